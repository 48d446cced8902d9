// The update description parser, the version comparison and the version marker.
#include "desktop/foundation/update/update_info.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/fakes/test_support.h"

namespace {

using namespace ks::desktop::update;

TEST(UpdateInfoParse, FlatReplies) {
  struct Case {
    const char* name;
    std::string reply;
    UpdateInfo want;
  } cases[] = {
      {"no blanks",
       R"({"version":"1.2.0.5","down":"http:\/\/h\/a\/inst","size":"1MB","md5":"ABCdef"})",
       {"http://h/a/inst", "1.2.0.5", "1MB", "ABCdef"}},
      {"blanks after the colons",
       "{\"version\": \"2.0.0.1\",\n \"down\":\t\"http://h/i\", \"size\" :\r\n \"3KB\", \"md5\":  \"00\"}",
       {"http://h/i", "2.0.0.1", "3KB", "00"}},
      {"missing md5", R"({"version":"1.0","down":"u","size":"1"})", {"u", "1.0", "1", ""}},
      {"value not a text leaves it empty, not the next field's",
       R"({"version":1.2,"down":"u","size":"1","md5":"m"})",
       {"u", "", "1", "m"}},
      {"empty value", R"({"version":"","down":"u","size":"1","md5":"m"})", {"u", "", "1", "m"}},
      {"no closing quote", R"({"down":"u","size":"1","md5":"m","version":"1.2)", {"u", "", "1", "m"}},
      {"only the first occurrence counts",
       R"({"md5":"first","md5":"second","down":"a\/\/b\\c\/","size":"s","version":"v"})",
       {"a//b\\\\c/", "v", "s", "first"}},
      {"an error page", "<html><body>404 Not Found</body></html>", {"", "", "", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateInfo got = ParseUpdateInfo(c.reply);
    EXPECT_EQ(c.want.version, got.version);
    EXPECT_EQ(c.want.down, got.down);
    EXPECT_EQ(c.want.size, got.size);
    EXPECT_EQ(c.want.md5, got.md5);
    EXPECT_EQ(c.want.Complete(), got.Complete());
  }
}

TEST(UpdateInfoVersions, Comparison) {
  const std::string thirty(30, '9');
  struct Case {
    std::string own, offered;
    bool newer;
  } cases[] = {
      {"1.2.0.4", "1.2.0.5", true},
      {"1.2.0.5", "1.2.0.4", false},
      {"1.2.0.0", "1.2.0", false},   // the missing fourth number is 0
      {"1.2.0", "1.2.0.1", true},
      {"1.9.9.9", "1.10.0.0", true},  // numbers, not texts
      {"1.2.3.4", "1.2.3.4", false},
      {"1.2.3.4", "1.2.3.4.9", false},  // a fifth number does not count
      {"1.2.3.4", "1.2.3.5.0", true},
      {"1.0.0.0", thirty + ".0.0.0", true},  // clamped, still larger
      {thirty, thirty + "9", false},        // both clamped: equal
      {"1.0.0.0", "", false},
      {"", "2.0.0.0", false},
      {"1.0.0.0", "2." + std::string(98, '0'), false},  // over 99 characters: missing
      {"1.0.0.0", "2." + std::string(97, '0'), true},   // 99 characters
      {"1.0.0.0", "x.y", false},
      {"1.0.0.0", "-1.0.0.0", false},  // no wrap-round of a sign
      {"1.0.0.0", "1.0.0.0a", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.own + " vs " + c.offered);
    EXPECT_EQ(c.newer, IsNewerVersion(c.own, c.offered));
  }
}

TEST(UpdateInfoVersions, Marker) {
  using namespace std::string_literals;
  const std::string m = "KESTYL_"s + "VERSION:";
  struct Case {
    const char* name;
    std::string bytes;
    std::string want;
  } cases[] = {
      {"four parts", "\x7f" "ELF\0\0junk "s + m + "1.2.3.4\0more"s, "1.2.3.4"},
      {"two parts", m + "10.20", "10.20.0.0"},
      {"a marker without number is skipped", m + "\0 " + m + "5.6.7.8", "5.6.7.8"},
      {"name alone is skipped", "KESTYL_"s + "VERSION\0" + m + "3.0.0.1", "3.0.0.1"},
      {"too large", m + "65536.0.0.0", ""},
      {"five parts", m + "1.2.3.4.5", "1.2.3.4"},
      {"none", "nothing here", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.want, VersionFromMarker(c.bytes));
  }
}

// A marker that straddles the reader's piece boundary, in a file larger than one piece.
TEST(UpdateInfoVersions, MarkerFileAcrossPieces) {
  ks::test::TempDir dir;
  const std::string m = std::string("KESTYL_") + "VERSION:";
  for (size_t before : {size_t{(1 << 20) - 20}, size_t{(1 << 20) - 3}, size_t{(1 << 20) + 5}, size_t{10}}) {
    SCOPED_TRACE(before);
    std::string bytes(before, 'x');
    bytes += m + "7.8.9.10";
    bytes += std::string(3000, 'y');
    ks::test::WriteFile(dir / "Kestyl", bytes);
    EXPECT_EQ("7.8.9.10", ReadVersionMarkerFile(dir / "Kestyl"));
  }
  EXPECT_EQ("", ReadVersionMarkerFile(dir / "missing"));
  // This test program's own bytes hold no stamp (the name is never stored whole).
  EXPECT_EQ("", ReadOwnVersion());
}

}  // namespace
