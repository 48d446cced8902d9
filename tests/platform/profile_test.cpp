#include "platform/profile.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "platform/utf16.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::platform;
using ks::test::ReadFile;
using ks::test::TempDir;
using ks::test::WriteFile;

const char* kSample =
    "; top comment\r\n"
    "[ks_config]\r\n"
    "Language = 1 \r\n"
    "Quoted=\"  padded  \"\r\n"
    "Single='x'\r\n"
    "Mixed=\"x'\r\n"
    "Lone=\"\r\n"
    "Empty=\r\n"
    "NoEquals\r\n"
    ";Hidden=1\r\n"
    "Language=2\r\n"
    "\r\n"
    "[Other]\n"
    "Key=lf line\n"
    "[KS_CONFIG]\r"
    "Late=3\r";

TEST(Profile, ReadingSingleValues) {
  TempDir dir;
  const std::string file = dir / "a.ini";
  WriteFile(file, kSample);
  struct Case {
    const char* section;
    const char* key;
    const char* def;
    std::string want;
  } cases[] = {
      {"ks_config", "Language", "d", "1"},  // trimmed; the first of two wins
      {"KS_CONFIG", "language", "d", "1"},  // names without case
      {"ks_config", "Quoted", "d", "  padded  "},
      {"ks_config", "Single", "d", "x"},
      {"ks_config", "Mixed", "d", "\"x'"},
      {"ks_config", "Lone", "d", "\""},
      {"ks_config", "Empty", "d", ""},
      {"ks_config", "NoEquals", "d", ""},
      {"ks_config", "Hidden", "d", "d"},      // a comment is no key
      {"ks_config", "Late", "d", "d"},        // a second section of the name is not read
      {"Other", "key", "d", "lf line"},
      {"ks_config", "Missing", "dflt  ", "dflt"},
      {"ks_config", "Missing", nullptr, ""},
      {"Nope", "Language", "d", "d"},
  };
  for (const auto& c : cases) {
    char buf[64];
    uint32_t n = GetPrivateProfileStringA(c.section, c.key, c.def, buf, sizeof buf, file.c_str());
    EXPECT_EQ(std::string(buf), c.want) << c.section << "/" << c.key;
    EXPECT_EQ(n, c.want.size()) << c.section << "/" << c.key;
  }
  char buf[8];
  EXPECT_EQ(GetPrivateProfileStringA("s", "k", "default", buf, sizeof buf, (dir / "missing.ini").c_str()), 7u);
  EXPECT_STREQ(buf, "default");
  EXPECT_EQ(ReadProfileValue(file, "ks_config", "Quoted"), std::optional<std::string>("  padded  "));
  EXPECT_EQ(ReadProfileValue(file, "ks_config", "Missing"), std::nullopt);
}

TEST(Profile, LongValuesAreCutAtTheBuffer) {
  TempDir dir;
  const std::string file = dir / "a.ini";
  std::string longValue(600, 'v');
  WriteFile(file, "[s]\r\nk=" + longValue + "\r\n");
  char buf[512];
  EXPECT_EQ(GetPrivateProfileStringA("s", "k", "", buf, sizeof buf, file.c_str()), 511u);
  EXPECT_EQ(std::string(buf), std::string(511, 'v'));
  char16_t wide[4];
  EXPECT_EQ(GetPrivateProfileStringW(u"s", u"k", u"", wide, 4, Utf8ToUtf16(file).c_str()), 3u);
  EXPECT_EQ(std::u16string(wide), u"vvv");
  EXPECT_EQ(GetPrivateProfileStringA("s", "k", "", buf, 0, file.c_str()), 0u);
}

TEST(Profile, ListsAreDoubleNulTerminatedAndCut) {
  TempDir dir;
  const std::string file = dir / "a.ini";
  WriteFile(file, "[one]\r\na=1\r\nb = 2\r\n[two]\r\n[three]\r\n");
  char buf[64];
  uint32_t n = GetPrivateProfileSectionNamesA(buf, sizeof buf, file.c_str());
  EXPECT_EQ(std::string(buf, n + 1), std::string("one\0two\0three\0\0", 15));
  n = GetPrivateProfileStringA("one", nullptr, "x", buf, sizeof buf, file.c_str());
  EXPECT_EQ(std::string(buf, n + 1), std::string("a\0b\0\0", 5));
  n = GetPrivateProfileStringA(nullptr, nullptr, "x", buf, sizeof buf, file.c_str());
  EXPECT_EQ(n, 14u);
  n = GetPrivateProfileSectionA("ONE", buf, sizeof buf, file.c_str());
  EXPECT_EQ(std::string(buf, n + 1), std::string("a=1\0b=2\0\0", 9));
  // Cut: size-2 units kept, two NULs at the end.
  char small[7];
  n = GetPrivateProfileSectionNamesA(small, sizeof small, file.c_str());
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::string(small, 7), std::string("one\0t\0\0", 7));
  char16_t wide[32];
  n = GetPrivateProfileSectionW(u"one", wide, 32, Utf8ToUtf16(file).c_str());
  EXPECT_EQ(std::u16string(wide, n + 1), std::u16string(u"a=1\0b=2\0\0", 9));
  EXPECT_EQ(GetPrivateProfileSectionNamesA(buf, sizeof buf, (dir / "none").c_str()), 0u);
  EXPECT_EQ(buf[0], 0);
}

TEST(Profile, Numbers) {
  TempDir dir;
  const std::string file = dir / "a.ini";
  WriteFile(file, "[n]\na=42\nb= -7 \nc=0x1F\nd=12abc\ne=abc\nf=\"5\"\n");
  struct Case {
    const char* key;
    int want;
  } cases[] = {{"a", 42}, {"b", -7}, {"c", 31}, {"d", 12}, {"e", 0}, {"f", 5}, {"missing", 99}};
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<int>(GetPrivateProfileIntA("n", c.key, 99, file.c_str())), c.want) << c.key;
  }
}

TEST(Profile, WritesReplaceInPlaceAndKeepEveryOtherLine) {
  TempDir dir;
  const std::string file = dir / "a.ini";
  WriteFile(file, "; keep me\n[s]\nA = 1\n\n[t]\nx=1");
  ::chmod(file.c_str(), 0640);
  ASSERT_EQ(WritePrivateProfileStringA("S", "a", "2", file.c_str()), 1);
  EXPECT_EQ(ReadFile(file), "; keep me\n[s]\nA=2\n\n[t]\nx=1");
  ASSERT_EQ(WritePrivateProfileStringA("s", "B", "new", file.c_str()), 1);
  EXPECT_EQ(ReadFile(file), "; keep me\n[s]\nA=2\nB=new\r\n\n[t]\nx=1");
  ASSERT_EQ(WritePrivateProfileStringA("t", "y", "2", file.c_str()), 1);
  EXPECT_EQ(ReadFile(file), "; keep me\n[s]\nA=2\nB=new\r\n\n[t]\nx=1\r\ny=2\r\n");
  ASSERT_EQ(WritePrivateProfileStringA("u", "z", "\"q\"", file.c_str()), 1);
  EXPECT_EQ(ReadFile(file), "; keep me\n[s]\nA=2\nB=new\r\n\n[t]\nx=1\r\ny=2\r\n[u]\r\nz=\"q\"\r\n");
  ASSERT_EQ(WritePrivateProfileStringA("s", "A", nullptr, file.c_str()), 1);
  ASSERT_EQ(WritePrivateProfileStringA("t", nullptr, nullptr, file.c_str()), 1);
  EXPECT_EQ(ReadFile(file), "; keep me\n[s]\nB=new\r\n\n[u]\r\nz=\"q\"\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // Nothing but the file in the folder: no temporary left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Profile, WriteCreatesTheFileAndRefusesWhatWouldNotReadBack) {
  TempDir dir;
  const std::string file = dir / "new.cfg";
  ASSERT_EQ(WritePrivateProfileStringA("ks_config", "Language", "1", file.c_str()), 1);
  EXPECT_EQ(ReadFile(file), "[ks_config]\r\nLanguage=1\r\n");
  EXPECT_EQ(WritePrivateProfileStringA("ks_config", "Bad", "a\r\n[evil]\r\nx=1", file.c_str()), 0);
  EXPECT_EQ(WritePrivateProfileStringA("ks_config", "a=b", "1", file.c_str()), 0);
  EXPECT_EQ(WritePrivateProfileStringA("a]b", "k", "1", file.c_str()), 0);
  EXPECT_EQ(WritePrivateProfileStringA(nullptr, "k", "1", file.c_str()), 0);
  EXPECT_EQ(ReadFile(file), "[ks_config]\r\nLanguage=1\r\n");
  // Deleting from a missing file creates nothing; a missing folder fails.
  EXPECT_EQ(WritePrivateProfileStringA("s", "k", nullptr, (dir / "other.ini").c_str()), 1);
  EXPECT_FALSE(std::filesystem::exists(dir / "other.ini"));
  EXPECT_EQ(WritePrivateProfileStringA("s", "k", "v", (dir / "no/such.ini").c_str()), 0);
}

TEST(Profile, Utf16FilesStayUtf16AndBothFormsReadThem) {
  TempDir dir;
  const std::string file = dir / "English.ksl";
  const std::u16string content = u"[UI]\r\nDIRVER_NAME=\u6587\u4EF6 Kestyl\r\n[FONT_MAIN]\r\nSize=9\r\n";
  WriteFile(file, "\xFF\xFE" + Utf16ToLeBytes(content));
  const std::u16string wfile = Utf8ToUtf16(file);
  char16_t buf[64];
  uint32_t n = GetPrivateProfileStringW(u"ui", u"dirver_name", u"", buf, 64, wfile.c_str());
  EXPECT_EQ(std::u16string(buf, n), u"\u6587\u4EF6 Kestyl");
  EXPECT_EQ(ReadProfileValue(file, "UI", "DIRVER_NAME"), "\xE6\x96\x87\xE4\xBB\xB6 Kestyl");

  ASSERT_EQ(WritePrivateProfileStringW(u"UI", u"New", u"\u4E2D", wfile.c_str()), 1);
  ASSERT_EQ(WritePrivateProfileStringA("FONT_MAIN", "Size", "10", file.c_str()), 1);
  EXPECT_EQ(ReadFile(file),
            "\xFF\xFE" + Utf16ToLeBytes(u"[UI]\r\nDIRVER_NAME=\u6587\u4EF6 Kestyl\r\nNew=\u4E2D\r\n"
                                        u"[FONT_MAIN]\r\nSize=10\r\n"));

  const std::string bom = dir / "bom.ini";
  WriteFile(bom, "\xEF\xBB\xBF[s]\nk=1\n");
  ASSERT_EQ(WritePrivateProfileStringA("s", "k", "2", bom.c_str()), 1);
  EXPECT_EQ(ReadFile(bom), "\xEF\xBB\xBF[s]\nk=2\n");
}

TEST(Profile, ConcurrentWritersLoseNothing) {
  TempDir dir;
  const std::string file = dir / "shared.ini";
  constexpr int kThreads = 6, kEach = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        WritePrivateProfileStringA(("s" + std::to_string(t % 2)).c_str(), ("k" + std::to_string(t) + "_" + std::to_string(i)).c_str(),
                                   std::to_string(i).c_str(), file.c_str());
      }
    });
  }
  for (auto& t : threads) t.join();
  size_t total = ReadProfileSection(file, "s0").size() + ReadProfileSection(file, "s1").size();
  EXPECT_EQ(total, static_cast<size_t>(kThreads * kEach));
}

}  // namespace
