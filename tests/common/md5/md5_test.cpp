#include "common/md5/md5.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/fakes/test_support.h"

namespace {

using ks::test::TempDir;
using ks::test::WriteFile;

constexpr const char* kEmptyDigest = "d41d8cd98f00b204e9800998ecf8427e";

struct Vector {
  const char* input;
  const char* digest;
};

// RFC 1321, appendix A.5.
const Vector kRfcVectors[] = {
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

std::string DigestOf(const std::string& bytes) {
  MD5 md5;
  md5.update(bytes.data(), bytes.size());
  return md5.toString();
}

// Bytes that differ at every position, so a misplaced block shows.
std::string Pattern(size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  uint32_t x = seed;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

TEST(Md5, RfcVectorsThroughEveryUpdateForm) {
  TempDir dir;
  for (const auto& v : kRfcVectors) {
    std::string input = v.input;
    EXPECT_EQ(DigestOf(input), v.digest) << "bytes: " << input;

    MD5 fromString;
    std::istringstream in(input);
    fromString.update(in);
    EXPECT_EQ(fromString.toString(), v.digest) << "string stream: " << input;

    WriteFile(dir / "v", input);
    MD5 fromFile;
    std::ifstream file(dir / "v", std::ios::binary);
    fromFile.update(file);
    EXPECT_FALSE(file.is_open()) << "a file stream is closed at the end";
    EXPECT_EQ(fromFile.toString(), v.digest) << "file stream: " << input;
  }
}

TEST(Md5, SplitPointsDoNotChangeTheDigest) {
  // Lengths around the block and padding boundaries, each cut at every point.
  for (size_t n : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 200u}) {
    std::string input = Pattern(n);
    std::string whole = DigestOf(input);
    for (size_t cut = 0; cut <= n; ++cut) {
      MD5 md5;
      md5.update(input.data(), cut);
      md5.update(input.data() + cut, n - cut);
      ASSERT_EQ(md5.toString(), whole) << "n=" << n << " cut=" << cut;
    }
  }
  // Streams larger than one 1024-byte piece, and not a multiple of it.
  std::string big = Pattern(5000);
  std::istringstream in(big);
  MD5 md5;
  md5.update(in);
  EXPECT_EQ(md5.toString(), DigestOf(big));
}

TEST(Md5, FailedStreamAddsNothing) {
  MD5 missing;
  std::ifstream none("/nonexistent/kestyl/md5");
  missing.update(none);
  EXPECT_EQ(missing.toString(), kEmptyDigest);

  std::istringstream bad("abc");
  bad.setstate(std::ios::failbit);
  MD5 md5;
  md5.update(bad);
  EXPECT_EQ(md5.toString(), kEmptyDigest);
}

TEST(Md5, ReadingTheDigestMidStreamAndGoingOn) {
  // Prefix lengths whose padding needs a second block (56..63) are the ones where finishing
  // in place would overwrite input still waiting in the buffer.
  for (size_t prefix : {0u, 3u, 55u, 56u, 60u, 63u, 64u, 100u}) {
    std::string input = Pattern(prefix + 77, 7);
    MD5 md5;
    md5.update(input.data(), prefix);
    std::string first = md5.toString();
    EXPECT_EQ(md5.toString(), first) << "toString twice, prefix " << prefix;
    EXPECT_EQ(first, DigestOf(input.substr(0, prefix)));
    md5.update(input.data() + prefix, input.size() - prefix);
    EXPECT_EQ(md5.toString(), DigestOf(input)) << "prefix " << prefix;
  }
}

TEST(Md5, DigestBytesMatchTheHexText) {
  MD5 md5;
  md5.update("abc", 3);
  const MD5::Digest& bytes = md5.digestBytes();
  EXPECT_EQ(bytes[0], 0x90);
  EXPECT_EQ(bytes[15], 0x72);
  EXPECT_EQ(MD5::bytesToHexString(bytes.data()), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5.toString(), "900150983cd24fb0d6963f7d28e17f72");
  const uint8_t some[] = {0x00, 0x0f, 0xf0, 0xff};
  EXPECT_EQ(MD5::bytesToHexString(some, 4), "000ff0ff");
}

// --- Fingerprint ---

TEST(Md5Fingerprint, SmallFilesWholeLargeFilesByTheirEnds) {
  TempDir dir;
  struct Case {
    size_t size;
    bool whole;
  };
  for (Case c : {Case{0, true}, Case{1, true}, Case{1024, true}, Case{51200, true}, Case{51201, false},
                 Case{200000, false}}) {
    std::string content = Pattern(c.size, 3);
    std::string path = dir / ("f" + std::to_string(c.size));
    WriteFile(path, content);
    std::string expected =
        c.whole ? DigestOf(content)
                : DigestOf(content.substr(0, 25600) + content.substr(content.size() - 25600));
    EXPECT_EQ(MD5(path).toString(), expected) << c.size;
  }
  EXPECT_EQ(MD5(dir / "f0").toString(), kEmptyDigest);
}

TEST(Md5Fingerprint, MiddleOfALargeFileTakesNoPart) {
  TempDir dir;
  std::string a = Pattern(100000, 5);
  std::string b = a;
  b[50000] ^= 0x55;
  WriteFile(dir / "a", a);
  WriteFile(dir / "b", b);
  EXPECT_EQ(MD5(dir / "a").toString(), MD5(dir / "b").toString());

  std::string c = a;
  c[c.size() - 1] ^= 0x55;  // the ends do count
  WriteFile(dir / "c", c);
  EXPECT_NE(MD5(dir / "a").toString(), MD5(dir / "c").toString());
}

TEST(Md5Fingerprint, MissingFolderAndFifoGiveTheEmptyDigest) {
  TempDir dir;
  EXPECT_EQ(MD5(dir / "missing").toString(), kEmptyDigest);
  EXPECT_EQ(MD5(dir.path()).toString(), kEmptyDigest);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(MD5(dir / "fifo").toString(), kEmptyDigest);  // returns at once, no writer needed
}

TEST(Md5Fingerprint, FilesOfThreeGiBKeepTheRule) {
  TempDir dir;
  const uint64_t size = 3ull << 30;
  ks::test::MakeSparseFile(dir / "big", size);
  EXPECT_EQ(MD5(dir / "big").toString(), DigestOf(std::string(51200, '\0')));
}

}  // namespace
