// The synchronisation log rows and the CSV export of trans.log.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/sync/sync_log.h"
#include "platform/utf16.h"
#include "tests/fakes/test_support.h"

namespace {

namespace pf = ks::platform;
using ks::test::ReadFile;
using ks::test::TempDir;
using ks::test::WriteFile;

std::string U8(const std::u16string& s) { return pf::Utf16ToUtf8(s); }

// Language table that answers "<key>" for every key of section "UI".
class KeyLanguages : public ks::desktop::ILanguages {
 public:
  int AddRef() override { return 1; }
  int Release() override { return 1; }
  void RegisterCallBack(ks::desktop::ILanguageCallBack*) override {}
  void UnregisterCallBack(ks::desktop::ILanguageCallBack*) override {}
  bool IsLoaded() const override { return true; }
  void LoadLanguage(int) override {}
  std::string GetTextA(const std::string& section, const std::string& key) const override {
    return section == "UI" ? "<" + key + ">" : "";
  }
  std::u16string GetText(const std::string& section, const std::string& key) const override {
    return pf::Utf8ToUtf16(GetTextA(section, key));
  }
  const ks::desktop::LanguageFont* GetFont(const std::string&) const override { return nullptr; }
  void LoadDefaultLanguage() override {}
  int GetCurrentLanguage() const override { return 0; }
  int GetPreviousLanguage() const override { return 0; }
};

TEST(SyncLogRow, DateColumnFromTimeText) {
  const struct {
    const char* time;
    const char* column;
  } cases[] = {
      {"10:41:22.57 on 03 Nov 2013", "2013/11/03 10:41:22"},
      {"10:41:22 on 03 Nov 2013", "2013/11/03 "},           // no "." -> empty clock
      {"10:41:22.57 on 03 nov 2013", "2013/  /03 10:41:22"},  // month names are case-sensitive
      {"", "// "},
      {"10:41:22.57", "// 10:41:22"},
      {"10:41:22.57 on 03", "//03 10:41:22"},
      {"10:41:22.57  on   03 Jan   1999", "1999/01/03 10:41:22"},  // empty tokens skipped
  };
  for (const auto& c : cases) {
    SyncLogEntry e{pf::Utf8ToUtf16(c.time), u"copy", u"in", u"a.txt", true};
    EXPECT_EQ(U8(FormatSyncLogRow(e, nullptr)), std::string(c.column) + ",a.txt,copy") << c.time;
  }
}

TEST(SyncLogRow, HeaderAndOperationTexts) {
  EXPECT_EQ(U8(FormatSyncLogHeader(nullptr)), "Time,File Name,Operation");
  KeyLanguages lang;
  EXPECT_EQ(U8(FormatSyncLogHeader(&lang)),
            "<SETTING_SYNC_LOG_TIME>,<SETTING_SYNC_LOG_FILENAME>,<SETTING_SYNC_LOG_OPERATION>");
  const struct {
    const char16_t* op;
    const char16_t* dir;
    const char* key;
  } cases[] = {
      {u"copy", u"in", "<SETTING_SYNC_LOG_DOWNLOAD>"},   {u"copy", u"out", "<SETTING_SYNC_LOG_UPLOAD>"},
      {u"delete", u"in", "<SETTING_SYNC_LOG_DELETE>"},   {u"delete", u"out", "<SETTING_SYNC_LOG_DELETE>"},
      {u"other", u"in", "<SETTING_SYNC_LOG_OTHER>"},
  };
  for (const auto& c : cases) {
    SyncLogEntry e{u"", c.op, c.dir, u"f", true};
    EXPECT_EQ(U8(FormatSyncLogRow(e, &lang)), std::string("// ,f,") + c.key);
    EXPECT_EQ(FormatSyncLogRow(e, nullptr), std::u16string(u"// ,f,") + c.op);
  }
}

TEST(SyncLogRow, FieldsWithSeparatorsAreQuoted) {
  SyncLogEntry e{u"10:41:22.57 on 03 Nov 2013", u"copy", u"in", u"a,\"b\".txt", true};
  EXPECT_EQ(U8(FormatSyncLogRow(e, nullptr)), "2013/11/03 10:41:22,\"a,\"\"b\"\".txt\",copy");
}

const char* const kHeader = "Time,File Name,Operation\r\n";

std::string Csv(const std::string& log) {
  std::istringstream in(log);
  return U8(BuildSyncLogCsv(in, nullptr));
}

TEST(SyncLogExport, RunsAndPairs) {
  const std::string longName(5000, 'x');
  const struct {
    const char* what;
    std::string log;
    std::string rows;
  } cases[] = {
      {"empty log", "", ""},
      {"lines outside runs ignored", "[BGN] Copying a.txt from //x\n[END] Copying a.txt\n", ""},
      {"copy in, copy out, delete, ordinal order",
       "Unison started propagating changes at 10:41:20.00 on 03 Nov 2013\n"
       "[BGN] Copying a.txt from /local to //remote/x\n"
       "[BGN] Copying B.txt from //remote/x to /local\n"
       "[BGN] Deleting old.txt from /local\n"
       "[END] Copying a.txt\n"
       "[END] Copying B.txt\n"
       "[END] Deleting old.txt\n"
       "Unison finished propagating changes at 10:41:22.57 on 03 Nov 2013\n",
       "2013/11/03 10:41:22,B.txt,copy\r\n2013/11/03 10:41:22,a.txt,copy\r\n"
       "2013/11/03 10:41:22,old.txt,delete\r\n"},
      {"unfinished copy dropped",
       "started propagating\n[BGN] Copying a.txt from x\n[BGN] Copying b.txt from x\n[END] Copying b.txt\n"
       "finished propagating at 01:02:03.4 on 05 Dec 2020\n",
       "2020/12/05 01:02:03,b.txt,copy\r\n"},
      {"duplicate start: first wins",
       "started propagating\n[BGN] Copying a.txt from x\n[BGN] Deleting a.txt from x\n[END] Deleting a.txt\n"
       "finished propagating at 01:02:03.4 on 05 Dec 2020\n",
       "2020/12/05 01:02:03,a.txt,copy\r\n"},
      {"name holding \" from\" ends at the first one",
       "started propagating\n[BGN] Copying notes from me.txt from x\n[END] Copying notes\n"
       "finished propagating at 01:02:03.4 on 05 Dec 2020\n",
       "2020/12/05 01:02:03,notes,copy\r\n"},
      {"end of another run does not finish",
       "started propagating\n[BGN] Copying a.txt from x\nfinished propagating at 01:02:03.4 on 05 Dec 2020\n"
       "started propagating\n[END] Copying a.txt\nfinished propagating at 01:02:04.4 on 05 Dec 2020\n",
       ""},
      {"run without its finishing line dropped",
       "started propagating\n[BGN] Copying a.txt from x\n[END] Copying a.txt\n", ""},
      {"a 5000-character line read whole",
       "started propagating\n[BGN] Copying " + longName + " from x\n[END] Copying " + longName +
           "\nfinished propagating at 01:02:03.4 on 05 Dec 2020\n",
       "2020/12/05 01:02:03," + longName + ",copy\r\n"},
      {"comma in a name quoted",
       "started propagating\n[BGN] Copying a,b.txt from x\n[END] Copying a,b.txt\n"
       "finished propagating at 01:02:03.4 on 05 Dec 2020\n",
       "2020/12/05 01:02:03,\"a,b.txt\",copy\r\n"},
      {"CR LF log lines", "started propagating\r\n[BGN] Copying a.txt from x\r\n[END] Copying a.txt\r\n"
       "finished propagating at 01:02:03.4 on 05 Dec 2020\r\n",
       "2020/12/05 01:02:03,a.txt,copy\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(Csv(c.log), kHeader + c.rows) << c.what;
}

TEST(SyncLogExport, EncodingByLanguageAndWriteFailures) {
  TempDir tmp;
  const std::string log = tmp / "trans.log";
  WriteFile(log,
            "started propagating\n[BGN] Copying \xe6\x96\x87.txt from x\n[END] Copying \xe6\x96\x87.txt\n"
            "finished propagating at 01:02:03.4 on 05 Dec 2020\n");
  const std::string text = std::string(kHeader) + "2020/12/05 01:02:03,\xe6\x96\x87.txt,copy\r\n";
  const struct {
    unsigned langid;
    bool ansi;
  } cases[] = {{0x0804, true}, {0x0404, true}, {0x0409, false}, {0x0C04, false}, {0x0411, false}};
  for (const auto& c : cases) {
    const std::string csv = tmp / "out.csv";
    ASSERT_TRUE(ExportSyncLog(log, csv, c.langid, nullptr)) << std::hex << c.langid;
    EXPECT_EQ(ReadFile(csv), c.ansi ? text : pf::Utf16ToLeBytes(pf::Utf8ToUtf16(text))) << std::hex << c.langid;
  }
  // Missing log: header only, true.
  ASSERT_TRUE(ExportSyncLog(tmp / "missing.log", tmp / "h.csv", 0x0804, nullptr));
  EXPECT_EQ(ReadFile(tmp / "h.csv"), kHeader);
  // Unwritable CSV paths: false.
  EXPECT_FALSE(ExportSyncLog(log, tmp / "no/such/dir/out.csv", 0x0409, nullptr));
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_FALSE(ExportSyncLog(log, "/dev/full", 0x0409, nullptr));
  }
}


// The installed language files carry every text of the header and the operation column: a
// missing key would leave an empty column name or operation in every exported file.
TEST(SyncLogRow, InstalledLanguageFilesNameEveryColumnAndOperation) {
  ks::desktop::CLanguages::SetLanguageFolder(KS_BUILD_DIR "/bin");
  const SyncLogEntry kinds[] = {
      {u"10:41:22.57 on 03 Nov 2013", u"copy", u"in", u"f", true},
      {u"10:41:22.57 on 03 Nov 2013", u"copy", u"out", u"f", true},
      {u"10:41:22.57 on 03 Nov 2013", u"delete", u"in", u"f", true},
      {u"10:41:22.57 on 03 Nov 2013", u"other", u"in", u"", true},
  };
  for (int index = 0; index < 3; ++index) {
    ks::desktop::CLanguages lang(index);
    ASSERT_TRUE(lang.IsLoaded()) << index;
    const std::string header = U8(FormatSyncLogHeader(&lang));
    std::vector<std::string> names;
    std::stringstream cut(header);
    for (std::string n; std::getline(cut, n, ',');) names.push_back(n);
    ASSERT_EQ(names.size(), 3u) << index << ": " << header;
    for (const std::string& n : names) EXPECT_FALSE(n.empty()) << index << ": " << header;
    std::set<std::string> operations;
    for (const SyncLogEntry& e : kinds) {
      const std::string row = U8(FormatSyncLogRow(e, &lang));
      const std::string op = row.substr(row.rfind(',') + 1);
      EXPECT_FALSE(op.empty()) << index << ": " << row;
      operations.insert(op);
    }
    EXPECT_EQ(operations.size(), 4u) << index;  // download, upload, delete and other differ
    if (index == 1) {
      EXPECT_EQ(header, "Time,File Name,Operation");
      EXPECT_EQ(operations, (std::set<std::string>{"Download", "Upload", "Delete", "Other"}));
    }
  }
  ks::desktop::CLanguages::SetLanguageFolder("");
}

}  // namespace
