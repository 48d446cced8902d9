// Reading artwork.tsv: a broken row is reported with its line, never half-read.
#include "desktop/resources/artwork_table.h"

#include <gtest/gtest.h>

namespace {

using ks::art::ArtworkRow;
using ks::art::ParseArtworkTable;

TEST(ArtworkTableTest, ReadsRowsAndSkipsComments) {
  std::vector<ArtworkRow> rows;
  std::string error;
  ASSERT_TRUE(ParseArtworkTable("# comment\n\n263\tpng\t355\t197\tmessage box\ta.svg\t12\t100\t#F4F4F4\r\n"
                                "174\tico\t32\t32\ttray\tb.svg\t4\t26\t#8994a0\n"
                                "banner_en.gif\tgif\t452\t111\tbanner\tc.svg\t0\t110\t#E7F2FC\n",
                                rows, error))
      << error;
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].id, "263");
  EXPECT_EQ(rows[0].width, 355);
  EXPECT_EQ(rows[0].probeRgb, 0xF4F4F4u);
  EXPECT_EQ(rows[0].line, 3);
  EXPECT_EQ(rows[1].probeRgb, 0x8994A0u);
  EXPECT_EQ(rows[2].kind, "gif");
}

TEST(ArtworkTableTest, RejectsBrokenRowsWithTheirLine) {
  const struct {
    const char* row;
    const char* reason;
  } cases[] = {
      {"263\tpng\t355\t197\trole\ta.svg\t12\t100", "9 tab-separated fields"},
      {"263\tjpg\t355\t197\trole\ta.svg\t12\t100\t#F4F4F4", "unknown kind"},
      {"abc\tpng\t355\t197\trole\ta.svg\t12\t100\t#F4F4F4", "bad id"},
      {"0263\tpng\t355\t197\trole\ta.svg\t12\t100\t#F4F4F4", "bad id"},
      {"banner.png\tgif\t10\t10\trole\ta.svg\t1\t1\t#F4F4F4", "bad id"},
      {"../x.gif\tgif\t10\t10\trole\ta.svg\t1\t1\t#F4F4F4", "bad id"},
      {"263\tpng\t0\t197\trole\ta.svg\t0\t0\t#F4F4F4", "bad size"},
      {"263\tpng\t355x\t197\trole\ta.svg\t0\t0\t#F4F4F4", "bad size"},
      {"174\tico\t32\t16\trole\ta.svg\t0\t0\t#F4F4F4", "square"},
      {"263\tpng\t355\t197\t\ta.svg\t12\t100\t#F4F4F4", "empty role"},
      {"263\tpng\t355\t197\trole\t../a.svg\t12\t100\t#F4F4F4", "plain file name"},
      {"263\tpng\t355\t197\trole\ta.svg\t355\t100\t#F4F4F4", "outside"},
      {"263\tpng\t355\t197\trole\ta.svg\t-1\t100\t#F4F4F4", "outside"},
      {"263\tpng\t355\t197\trole\ta.svg\t12\t100\tF4F4F4", "colour"},
      {"263\tpng\t355\t197\trole\ta.svg\t12\t100\t#F4F4G4", "colour"},
  };
  for (const auto& c : cases) {
    std::vector<ArtworkRow> rows;
    std::string error;
    EXPECT_FALSE(ParseArtworkTable(std::string("# head\n") + c.row + "\n", rows, error)) << c.row;
    EXPECT_NE(error.find("line 2:"), std::string::npos) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.row << " -> " << error;
    EXPECT_TRUE(rows.empty());
  }
}

TEST(ArtworkTableTest, AnIdMayAppearOncePerResourceFolder) {
  std::vector<ArtworkRow> rows;
  std::string error;
  EXPECT_TRUE(ParseArtworkTable("297\tbmp\t13\t13\tr\ta.svg\t1\t1\t#000000\n297\tpng\t13\t13\tr\tb.svg\t1\t1\t#000000\n", rows, error))
      << error;
  rows.clear();
  EXPECT_FALSE(ParseArtworkTable("297\tpng\t13\t13\tr\ta.svg\t1\t1\t#000000\n297\tpng\t13\t13\tr\tb.svg\t1\t1\t#000000\n", rows, error));
  EXPECT_NE(error.find("line 2: duplicate id 297"), std::string::npos) << error;
}

TEST(ArtworkTableTest, ProbeToleranceIsTwoPerChannel) {
  EXPECT_TRUE(ks::art::ProbeMatches(0xF4F4F4, 0xF4F4F4));
  EXPECT_TRUE(ks::art::ProbeMatches(0xF6F2F5, 0xF4F4F4));
  EXPECT_FALSE(ks::art::ProbeMatches(0xF7F4F4, 0xF4F4F4));
  EXPECT_FALSE(ks::art::ProbeMatches(0xF4F4F1, 0xF4F4F4));
}

}  // namespace
