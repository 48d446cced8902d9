// The installed form of the language files: the test reader's refusals, and ks-ksl-pack, the
// build step that writes UTF-16LE with a byte-order mark and CR LF from the UTF-8 sources.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/desktop/resources/lang/ksl_reader.h"

namespace kstest {
namespace {

// UTF-16LE bytes of an ASCII text, with the byte-order mark.
std::string Utf16(const std::string& ascii, bool bom = true) {
  std::string out = bom ? std::string("\xFF\xFE", 2) : std::string();
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

TEST(KslReader, ReadsSectionsKeysAndUntrimmedValues) {
  KslFile f;
  std::string bytes = Utf16("; note\r\n\r\n[UI]\r\nA= x =y \r\nB=\r\n[FONT_X]\r\nFONT_NAME=Arial\r\n");
  // One character outside the BMP, written as a surrogate pair.
  bytes += Utf16("[E]\r\nK=", false) + std::string("\x3D\xD8\x00\xDE", 4) + Utf16("\r\n", false);
  ASSERT_EQ(ParseKsl(bytes, f), "");
  ASSERT_EQ(f.sections.size(), 3u);
  EXPECT_EQ(ToUtf8(f.sections[0].name), "UI");
  ASSERT_EQ(f.sections[0].entries.size(), 2u);
  EXPECT_EQ(ToUtf8(f.sections[0].entries[0].key), "A");
  EXPECT_EQ(ToUtf8(f.sections[0].entries[0].value), " x =y ");
  EXPECT_EQ(ToUtf8(f.sections[0].entries[1].value), "");
  EXPECT_EQ(ToUtf8(f.sections[1].name), "FONT_X");
  ASSERT_EQ(f.sections[2].entries.size(), 1u);
  EXPECT_EQ(f.sections[2].entries[0].value, std::u32string(1, U'\U0001F600'));
}

TEST(KslReader, RefusesWhatTheProgramsWouldReadOtherwise) {
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"no byte-order mark", Utf16("[UI]\r\nA=b\r\n", false)},
      {"odd byte count", Utf16("[UI]\r\nA=b\r\n") + "x"},
      {"LF alone", Utf16("[UI]\nA=b\r\n")},
      {"CR alone", Utf16("[UI]\r\nA=b\rC=d\r\n")},
      {"no final line end", Utf16("[UI]\r\nA=b")},
      {"lone low surrogate", Utf16("[UI]\r\nA=") + std::string("\x00\xDC", 2) + Utf16("\r\n", false)},
      {"text before the first section", Utf16("A=b\r\n[UI]\r\n")},
      {"line without =", Utf16("[UI]\r\nA b\r\n")},
      {"comment in a section", Utf16("[UI]\r\n;A=b\r\n")},
      {"open section header", Utf16("[UI\r\nA=b\r\n")},
      {"line of 300 characters", Utf16("[UI]\r\nA=" + std::string(298, 'x') + "\r\n")},
  };
  for (const Case& c : cases) {
    KslFile f;
    EXPECT_NE(ParseKsl(c.bytes, f), "") << c.what;
  }
  KslFile f;
  EXPECT_EQ(ParseKsl(Utf16("[UI]\r\nA=" + std::string(297, 'x') + "\r\n"), f), "") << "299 characters fit";
}

class KslPack : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("ks_ksl_pack_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs the packer on `source`; returns its exit status.
  int Pack(const std::string& source) {
    {
      std::ofstream(dir_ / "in.ksl", std::ios::binary) << source;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
      std::string in = (dir_ / "in.ksl").string(), out = (dir_ / "out.ksl").string();
      // Keep the test's output clean of the tool's error line.
      std::freopen("/dev/null", "w", stderr);
      ::execl(KS_KSL_PACK, KS_KSL_PACK, in.c_str(), out.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Output() {
    std::ifstream in(dir_ / "out.ksl", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  bool OutputExists() { return std::filesystem::exists(dir_ / "out.ksl"); }

  std::filesystem::path dir_;
};

TEST_F(KslPack, WritesUtf16WithByteOrderMarkAndCrLf) {
  // UTF-8 byte-order mark (dropped), CJK, a character outside the BMP, LF and CR LF line
  // ends, and a last line without a line end.
  ASSERT_EQ(Pack("\xEF\xBB\xBF[UI]\nA=\xE8\xB4\xA6 \r\nB=\xF0\x9F\x98\x80\nC=d"), 0);
  std::string want("\xFF\xFE", 2);
  want += Utf16("[UI]\r\nA=", false) + std::string("\x26\x8D\x20\x00\x0D\x00\x0A\x00", 8);
  want += Utf16("B=", false) + std::string("\x3D\xD8\x00\xDE", 4) + Utf16("\r\nC=d\r\n", false);
  EXPECT_EQ(Output(), want);
  KslFile f;
  EXPECT_EQ(ParseKsl(Output(), f), "");
}

TEST_F(KslPack, RefusesSourcesThatAreNotStrictUtf8) {
  const char* bad[] = {
      "[UI]\nA=\xC3\n",              // truncated sequence
      "[UI]\nA=\xC0\xAF\n",          // overlong form of '/'
      "[UI]\nA=\xED\xA0\x80\n",      // encoded surrogate
      "[UI]\nA=\xF4\x90\x80\x80\n",  // above U+10FFFF
      "[UI]\rA=b\n",                 // CR without LF
      "[UI]\nA=\xFF\n",              // not a lead byte
  };
  for (const char* source : bad) {
    EXPECT_EQ(Pack(source), 1) << source;
    EXPECT_FALSE(OutputExists()) << "a refused source leaves no file behind";
  }
  std::string with_nul("[UI]\nA=\0\n", 9);
  EXPECT_EQ(Pack(with_nul), 1);
  EXPECT_FALSE(OutputExists());
}

}  // namespace
}  // namespace kstest
