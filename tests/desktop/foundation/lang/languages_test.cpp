#include "desktop/foundation/lang/languages.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tests/desktop/foundation/scoped_env.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::desktop::CLanguages;
using ks::desktop::ILanguageCallBack;
using ks::desktop::ILanguages;
using ks::desktop::LanguageFont;
using ks::test::ScopedEnv;

// UTF-16LE with a byte-order mark, CR LF line ends: the installed form.
// Big-endian on request, with LF line ends then.
std::string Utf16File(const std::string& utf8, bool big_endian = false) {
  std::u16string wide = ks::desktop::Utf8ToUtf16(utf8);
  std::string out;
  auto put = [&](char16_t u) {
    char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
    out.push_back(big_endian ? hi : lo);
    out.push_back(big_endian ? lo : hi);
  };
  put(0xFEFF);
  for (char16_t u : wide) {
    if (u == u'\n' && !big_endian) put(u'\r');
    put(u);
  }
  return out;
}

// Three language files whose texts name their language, in a folder of their own.
class LanguagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Write(0, "[UI]\nNAME=cn\n[FONT_DEFAULT]\nFONT_NAME=SimSun\n");
    Write(1, "[UI]\nNAME=en\nONLY_EN=yes\n[FONT_DEFAULT]\nFONT_NAME=Arial\n[FONT_EN_ONLY]\nFONT_NAME=Tahoma\n");
    Write(2, "[UI]\nNAME=tw\n");
    CLanguages::SetLanguageFolder(dir_.path());
  }
  void TearDown() override {
    CLanguages::SetLanguageFolder("");
    CLanguages::SetConfiguredLanguageHook(nullptr);
    CLanguages::SetLogHook(nullptr);
  }
  void Write(int index, const std::string& utf8) {
    ks::test::WriteFile(dir_ / CLanguages::kFileNames[index], Utf16File(utf8));
  }
  ks::test::TempDir dir_;
};

TEST_F(LanguagesTest, ReadsTextsAndFontsOfTheInstalledForm) {
  Write(1,
        "; comment before any section\n"
        "[UI]\n"
        "PLAIN=Hello\n"
        "EQ=a=b=c\n"
        " SPACED = kept \n"
        "DUP=first\n"
        "DUP=second\n"
        "no equals sign here\n"
        "; COMMENTED=x\n"
        "CJK=云盘 雲端\n"
        "EMPTY=\n"
        "[MESSAGEBOX]\n"
        "PLAIN=Box\n"
        "[FONT_DEFAULT]\n"
        "FONT_NAME = \"Microsoft YaHei\" \n"
        "font_height=-9\n"
        "FONT_WEIGHT=700\n"
        "FONT_HEIGHT=-20\n"
        "[FONT_PARTIAL]\n"
        "FONT_WEIGHT=x\n"
        "[FONT_LONG]\n"
        "FONT_NAME=ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\n"
        "[UI]\n"
        "PLAIN=second section body is ignored\n");
  CLanguages l(1);
  ASSERT_TRUE(l.IsLoaded());
  struct Case {
    const char* section;
    const char* key;
    const char* text;
  } cases[] = {
      {"UI", "PLAIN", "Hello"},
      {"UI", "EQ", "a=b=c"},
      {"UI", " SPACED ", " kept "},
      {"UI", "SPACED", ""},
      {"UI", "DUP", "second"},
      {"UI", "no equals sign here", ""},
      {"UI", "; COMMENTED", ""},
      {"UI", "CJK", "云盘 雲端"},
      {"UI", "EMPTY", ""},
      {"MESSAGEBOX", "PLAIN", "Box"},
      {"ui", "PLAIN", ""},
      {"UI", "plain", ""},
      {"NOPE", "PLAIN", ""},
      {"FONT_DEFAULT", "FONT_NAME", ""},  // font sections are not text sections
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key);
    EXPECT_EQ(c.text, l.GetTextA(c.section, c.key));
    EXPECT_EQ(ks::desktop::Utf8ToUtf16(c.text), l.GetText(c.section, c.key));
  }

  const LanguageFont* f = l.GetFont("FONT_DEFAULT");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ("Microsoft YaHei", f->NameUtf8());
  EXPECT_EQ(-9, f->height);  // key names in any case; the first occurrence counts
  EXPECT_EQ(700, f->weight);

  const LanguageFont* p = l.GetFont("FONT_PARTIAL");
  ASSERT_NE(nullptr, p);
  EXPECT_EQ("Arial", p->NameUtf8());
  EXPECT_EQ(-12, p->height);
  EXPECT_EQ(0, p->weight);

  const LanguageFont* lng = l.GetFont("FONT_LONG");
  ASSERT_NE(nullptr, lng);
  EXPECT_EQ(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", lng->name);

  EXPECT_EQ(f, l.GetFont("FONT_MISSING"));
  EXPECT_EQ(f, l.GetFont("UI"));
}

TEST_F(LanguagesTest, AcceptsUtf8AndLineEndsOfAnyKind) {
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"utf8 LF", "[UI]\nA=1\nB=云\n"},
      {"utf8 bom CRLF", "\xEF\xBB\xBF[UI]\r\nA=1\r\nB=云\r\n"},
      {"utf8 CR", "[UI]\rA=1\rB=云"},
      {"utf16be", Utf16File("[UI]\nA=1\nB=云", true)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ks::test::WriteFile(dir_ / "English.ksl", c.bytes);
    CLanguages l(1);
    EXPECT_EQ("1", l.GetTextA("UI", "A"));
    EXPECT_EQ("云", l.GetTextA("UI", "B"));
  }
}

TEST_F(LanguagesTest, ReadsAFileOfAnyLength) {
  std::string src = "[FONT_DEFAULT]\nFONT_NAME=X\n";
  for (int i = 0; i < 400; ++i) src += "[SECTION_NUMBER_" + std::to_string(i) + "]\nK=" + std::to_string(i) + "\n";
  src += "[LAST]\nK=" + std::string(5000, 'v') + "\n";
  Write(1, src);
  CLanguages l(1);
  EXPECT_EQ("399", l.GetTextA("SECTION_NUMBER_399", "K"));
  EXPECT_EQ(std::string(5000, 'v'), l.GetTextA("LAST", "K"));
}

TEST_F(LanguagesTest, MissingFileGivesEmptyTablesAndStillNotifies) {
  struct Counter : ILanguageCallBack {
    int calls = 0;
    void OnLanguageChanged() override { ++calls; }
  } counter;
  CLanguages l(1);
  l.RegisterCallBack(&counter);
  std::remove((dir_ / "ChineseTrad.ksl").c_str());
  l.LoadLanguage(2);
  EXPECT_FALSE(l.IsLoaded());
  EXPECT_EQ("", l.GetTextA("UI", "NAME"));
  EXPECT_EQ(nullptr, l.GetFont("FONT_DEFAULT"));
  EXPECT_EQ(1, counter.calls);
  EXPECT_EQ(2, l.GetCurrentLanguage());
  EXPECT_EQ(1, l.GetPreviousLanguage());
}

TEST_F(LanguagesTest, LoadSwitchesTablesAndNotifiesListenersOnce) {
  struct Listener : ILanguageCallBack {
    CLanguages* owner = nullptr;
    std::vector<std::string> seen;
    void OnLanguageChanged() override { seen.push_back(owner->GetTextA("UI", "NAME")); }
  } a, b;
  CLanguages l(0);
  a.owner = b.owner = &l;
  l.RegisterCallBack(&a);
  l.RegisterCallBack(&a);  // once only
  l.RegisterCallBack(&b);
  l.LoadLanguage(1);
  EXPECT_EQ(1, l.GetCurrentLanguage());
  EXPECT_EQ(0, l.GetPreviousLanguage());
  // The font section only English has falls back to FONT_DEFAULT elsewhere.
  EXPECT_EQ("Tahoma", l.GetFont("FONT_EN_ONLY")->NameUtf8());
  EXPECT_EQ("yes", l.GetTextA("UI", "ONLY_EN"));
  l.UnregisterCallBack(&b);
  l.LoadLanguage(0);
  EXPECT_EQ("SimSun", l.GetFont("FONT_EN_ONLY")->NameUtf8());
  EXPECT_EQ("", l.GetTextA("UI", "ONLY_EN"));
  EXPECT_EQ((std::vector<std::string>{"en", "cn"}), a.seen);
  EXPECT_EQ((std::vector<std::string>{"en"}), b.seen);
}

TEST_F(LanguagesTest, OutOfRangeIndexChangesNothingAndIsLogged) {
  std::vector<std::string> log;
  CLanguages::SetLogHook([&](const std::string& line) { log.push_back(line); });
  struct Counter : ILanguageCallBack {
    int calls = 0;
    void OnLanguageChanged() override { ++calls; }
  } counter;
  CLanguages l(2);
  l.RegisterCallBack(&counter);
  for (int bad : {-1, 3, 1000}) l.LoadLanguage(bad);
  EXPECT_EQ("tw", l.GetTextA("UI", "NAME"));
  EXPECT_EQ(2, l.GetCurrentLanguage());
  EXPECT_EQ(0, counter.calls);
  ASSERT_EQ(3u, log.size());
  EXPECT_NE(std::string::npos, log[1].find("3"));
}

TEST_F(LanguagesTest, SystemLanguageFromEnvironment) {
  struct Case {
    const char* langid;
    const char* lang;
    unsigned id;
    int index;
  } cases[] = {
      {nullptr, "zh_CN.UTF-8", 0x0804, 0}, {nullptr, "zh_TW.UTF-8", 0x0404, 2},
      {nullptr, "zh_HK", 0x0404, 2},       {nullptr, "zh_SG.UTF-8", 0x0409, 1},
      {nullptr, "en_US.UTF-8", 0x0409, 1}, {nullptr, nullptr, 0x0409, 1},
      {nullptr, "C", 0x0409, 1},           {"0804", "en_US.UTF-8", 0x0804, 0},
      {"404", "zh_CN.UTF-8", 0x0404, 2},   {"0C04", "zh_CN.UTF-8", 0x0C04, 1},
      {"0x0409", "zh_CN", 0x0409, 1},      {"zz", "zh_TW", 0x0404, 2},
      {"", "zh_TW", 0x0404, 2},            {"10000", "zh_CN", 0x0804, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.langid ? c.langid : "-") + " " + (c.lang ? c.lang : "-"));
    ScopedEnv a("KESTYL_LANGID", c.langid);
    ScopedEnv b("LANG", c.lang);
    EXPECT_EQ(c.id, CLanguages::SystemLanguageId());
    EXPECT_EQ(c.index, CLanguages::IndexForLanguageId(CLanguages::SystemLanguageId()));
    CLanguages l;
    EXPECT_EQ(c.index, l.GetCurrentLanguage());
  }
}

TEST_F(LanguagesTest, ConfiguredLanguageComesBeforeTheSystemLanguage) {
  ScopedEnv a("KESTYL_LANGID", "0404");
  struct Case {
    std::optional<std::string> configured;
    int index;
  } cases[] = {
      {"0", 0}, {"2", 2}, {"1", 1}, {"5", 1}, {"abc", 0},  // atoi("abc") is 0
      {"-1", 2}, {"", 2}, {std::nullopt, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.configured.value_or("<none>"));
    CLanguages::SetConfiguredLanguageHook([&] { return c.configured; });
    CLanguages l;
    EXPECT_EQ(c.index, l.GetCurrentLanguage());
    l.LoadLanguage(c.index == 1 ? 0 : 1);
    l.LoadDefaultLanguage();
    EXPECT_EQ(c.index, l.GetCurrentLanguage());
  }
}

TEST_F(LanguagesTest, ProcessWideInstanceIsReferenceCounted) {
  ScopedEnv a("KESTYL_LANGID", "0409");
  ILanguages* first = CLanguages::GetInstance();
  ASSERT_NE(nullptr, first);
  EXPECT_EQ("en", first->GetTextA("UI", "NAME"));
  ILanguages* second = CLanguages::GetInstance();
  EXPECT_EQ(first, second);
  EXPECT_EQ(3, first->AddRef());
  EXPECT_EQ(2, first->Release());
  EXPECT_EQ(1, first->Release());
  EXPECT_EQ(0, second->Release());
  // A new instance is made afresh, with the language chosen now.
  ScopedEnv b("KESTYL_LANGID", "0804");
  ILanguages* third = CLanguages::GetInstance();
  ASSERT_NE(nullptr, third);
  EXPECT_EQ("cn", third->GetTextA("UI", "NAME"));
  EXPECT_EQ(0, third->Release());
}

TEST(ProgramFolder, IsTheFolderOfThisTestProgram) {
  std::string folder = ks::desktop::ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ("tests", folder.substr(folder.rfind('/') + 1));
  // Without a folder set, the files are looked up there.
  CLanguages::SetLanguageFolder("");
  EXPECT_EQ(folder, CLanguages::LanguageFolder());
}

// The installed files of this build, read through the class.
TEST(InstalledLanguageFiles, NameTheDataFolderInEachLanguage) {
  CLanguages::SetLanguageFolder(KS_BIN_DIR);
  const char* expected[] = {"Kestyl 云盘", "Kestyl Cloud", "Kestyl 雲端硬碟"};
  for (int i = 0; i < 3; ++i) {
    CLanguages l(i);
    EXPECT_TRUE(l.IsLoaded());
    EXPECT_EQ(expected[i], l.GetTextA("UI", "DIRVER_NAME"));
    EXPECT_NE(nullptr, l.GetFont("FONT_DEFAULT"));
  }
  CLanguages::SetLanguageFolder("");
}

}  // namespace
