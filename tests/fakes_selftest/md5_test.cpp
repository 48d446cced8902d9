#include "tests/fakes/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "tests/fakes/test_support.h"

namespace ks::fake {
namespace {

TEST(Md5, Rfc1321TestSuite) {
  struct Case {
    const char* input;
    const char* digest;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.digest, DigestHex(Md5Of(c.input))) << c.input;
}

// Lengths around the padding edges (55/56/64 bytes) checked against the system's md5sum,
// fed in uneven pieces.
TEST(Md5, MatchesSystemToolAcrossBlockEdges) {
  ks::test::TempDir dir;
  for (size_t len : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u, 70001u}) {
    std::string data;
    for (size_t i = 0; i < len; ++i) data.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    ks::test::WriteFile(dir / "f", data);
    std::string cmd = "md5sum " + (dir / "f");
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(nullptr, p);
    char out[33] = {};
    ASSERT_EQ(1u, std::fread(out, 32, 1, p));
    ::pclose(p);

    Md5 m;
    for (size_t off = 0, step = 1; off < len; off += step, step = step * 3 % 97 + 1)
      m.Update(data.data() + off, std::min(step, len - off));
    EXPECT_EQ(std::string(out), DigestHex(m.Finish())) << "length " << len;
  }
}

TEST(Md5, FingerprintTakesBothEndsOfLargeFiles) {
  ks::test::TempDir dir;
  auto content = [](size_t n, char middle) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i % 251));
    s[n / 2] = middle;
    return s;
  };
  // Up to 51200 bytes the whole file counts, the middle included.
  std::string whole = content(51200, 'x');
  ks::test::WriteFile(dir / "whole", whole);
  EXPECT_EQ(Md5Of(whole), FileFingerprint(dir / "whole"));
  ks::test::WriteFile(dir / "whole2", content(51200, 'y'));
  EXPECT_NE(FileFingerprint(dir / "whole"), FileFingerprint(dir / "whole2"));

  // From 51201 bytes on only the first and the last 25600 bytes count.
  std::string big = content(51201, 'x');
  ks::test::WriteFile(dir / "big", big);
  EXPECT_EQ(Md5Of(big.substr(0, 25600) + big.substr(big.size() - 25600)),
            FileFingerprint(dir / "big"));
  ks::test::WriteFile(dir / "big2", content(200000, 'x'));
  ks::test::WriteFile(dir / "big3", content(200000, 'y'));
  EXPECT_EQ(FileFingerprint(dir / "big2"), FileFingerprint(dir / "big3"));
  EXPECT_EQ(BytesFingerprint(content(200000, 'q')), FileFingerprint(dir / "big2"));

  ks::test::WriteFile(dir / "empty", "");
  EXPECT_EQ(Md5Of(""), FileFingerprint(dir / "empty"));
  EXPECT_EQ(Md5Of(""), FileFingerprint(dir / "missing"));
}

TEST(Md5, FingerprintOfSparseFileBeyondFourGiB) {
  ks::test::TempDir dir;
  ks::test::MakeSparseFile(dir / "huge", (5ull << 30) + 17);
  EXPECT_EQ(Md5Of(std::string(51200, '\0')), FileFingerprint(dir / "huge"));
}

}  // namespace
}  // namespace ks::fake
