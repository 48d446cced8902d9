// The agent's tables on a real Kestyl.db made from schema.sql in a temporary folder.
#include "agent/db/local_db.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include <unistd.h>

#include "agent/log/log.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::test::TempDir;

class LocalDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateDatabaseFile(path, KS_SCHEMA_FILE), 0);
    GlobalDb().open(path.c_str());
  }
  void TearDown() override { GlobalDb().close(); }

  // Replaces the database with an empty file: every table is missing.
  void UseEmptyDatabase() {
    GlobalDb().close();
    std::remove(path.c_str());
    GlobalDb().open(path.c_str());
  }
  int Count(const char* table) {
    return GlobalDb().execScalar((std::string("select count(*) from ") + table).c_str());
  }

  TempDir dir;
  std::string path = dir / "Kestyl.db";
};

// True when another thread can take the database mutex (it is not left held).
bool MutexFree() {
  return std::async(std::launch::async, [] {
           std::unique_lock<std::recursive_mutex> l(GlobalDb().mutex(), std::try_to_lock);
           return l.owns_lock();
         }).get();
}

struct WriterCase {
  const char* name;
  std::function<int()> write;
  int failure;
};

const WriterCase kWriters[] = {
    {"ClearLogOnInfo", [] { return ClearLogOnInfo(); }, -1},
    {"WriteLogOnInfo", [] { return WriteLogOnInfo({"a@b.c", "pw"}); }, -1},
    {"SetDefaultDir", [] { return SetDefaultDir(DefShareInfo{"/d", "/p", "/m", "/v", "/o", "/i"}); }, -1},
    {"SetShareInfo", [] { return SetShareInfo({"/s1", "/s2"}); }, -1},
    {"ClearLog", [] { return ClearLog(); }, 1},
    {"SetPsw", [] { return SetPsw("secret"); }, -1},
};

TEST_F(LocalDbTest, WritersSucceedOnTheInstalledSchema) {
  for (const auto& c : kWriters) {
    EXPECT_EQ(c.write(), 0) << c.name;
    EXPECT_TRUE(MutexFree()) << c.name;
  }
  EXPECT_EQ(CreateSVListTable(), 0);
}

TEST_F(LocalDbTest, WritersReportTheirFailureValueOnAMissingTable) {
  UseEmptyDatabase();
  for (const auto& c : kWriters) {
    EXPECT_EQ(c.write(), c.failure) << c.name;
    EXPECT_TRUE(MutexFree()) << c.name;
  }
}

TEST_F(LocalDbTest, ReadersGiveDefaultsOnAMissingTable) {
  UseEmptyDatabase();
  int console = 9, threshold = 9;
  EXPECT_EQ(ParseLogConf(console, threshold), -1);
  EXPECT_EQ(console, 0);
  EXPECT_EQ(threshold, 600);
  EXPECT_EQ(ParseLocalPort(), 0);

  DefShareInfo def{"x", "x", "x", "x", "x", "x"};
  EXPECT_EQ(ParseDefaultDir(def), -1);
  EXPECT_EQ(def.def, "");
  EXPECT_EQ(def.def_instant, "");
  char slots[kDefShareCount][kDirSlotSize];
  std::memset(slots, 'x', sizeof slots);
  EXPECT_EQ(GetDefaultDir(slots), -1);
  for (auto& s : slots) EXPECT_STREQ(s, "");

  std::vector<std::string> shares{"old"};
  EXPECT_EQ(ParseShareInfo(shares), -1);
  EXPECT_TRUE(shares.empty());
  std::vector<TransLogRecord> log(1);
  EXPECT_EQ(GetTransLog(log), -1);
  EXPECT_TRUE(log.empty());
  std::string psw = "old";
  EXPECT_EQ(GetPsw(psw), -1);
  EXPECT_EQ(psw, "");
  UserRecord user{"old", "old"};
  EXPECT_EQ(GetUsernfo(user), -1);
  EXPECT_EQ(user.email, "");
  EXPECT_EQ(user.psw, "");
  ServerRecord p2p{7, "old"};
  EXPECT_EQ(GetP2PServerInfo(p2p), -1);
  EXPECT_EQ(p2p.host, "");
  EXPECT_EQ(p2p.port, 0);
  EXPECT_TRUE(MutexFree());
}

TEST_F(LocalDbTest, ReadersOfTheInstalledDefaults) {
  int console = 9, threshold = 9;
  EXPECT_EQ(ParseLogConf(console, threshold), 0);
  EXPECT_EQ(console, 0);
  EXPECT_EQ(threshold, 600);
  EXPECT_EQ(ParseLocalPort(), 15002);
  ServerRecord p2p;
  EXPECT_EQ(GetP2PServerInfo(p2p), 0);
  EXPECT_EQ(p2p.host, "");
  EXPECT_EQ(p2p.port, 0);
  DefShareInfo def;
  EXPECT_EQ(ParseDefaultDir(def), 0);
  EXPECT_EQ(def.def, "");
  std::string psw = "old";
  EXPECT_EQ(GetPsw(psw), 0);
  EXPECT_EQ(psw, "");
  UserRecord user{"old", "old"};
  EXPECT_EQ(GetUsernfo(user), 0);
  EXPECT_EQ(user.email, "");
}

TEST_F(LocalDbTest, NullColumnsReadAsEmpty) {
  auto& db = GlobalDb();
  db.execDML("insert into ks_user (email, psw) values (NULL, NULL)");
  db.execDML("insert into ks_defshare (def) values ('/data')");
  db.execDML("insert into ks_share (path) values (NULL)");
  db.execDML("insert into ks_psw (psw) values (NULL)");
  db.execDML("insert into ks_trans (type) values (1)");
  db.execDML("update ks_conf set localport = NULL, log_console = NULL, log_priority = NULL, "
             "p2phost = NULL, p2pport = NULL");

  UserRecord user{"old", "old"};
  EXPECT_EQ(GetUsernfo(user), 0);
  EXPECT_EQ(user.email, "");
  EXPECT_EQ(user.psw, "");
  DefShareInfo def;
  EXPECT_EQ(ParseDefaultDir(def), 0);
  EXPECT_EQ(def.def, "/data");
  EXPECT_EQ(def.def_pic, "");
  EXPECT_EQ(def.def_instant, "");
  std::vector<std::string> shares;
  EXPECT_EQ(ParseShareInfo(shares), 0);
  EXPECT_EQ(shares, std::vector<std::string>{""});
  std::string psw = "old";
  EXPECT_EQ(GetPsw(psw), 0);
  EXPECT_EQ(psw, "");
  std::vector<TransLogRecord> log;
  EXPECT_EQ(GetTransLog(log), 0);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].type, 1);
  EXPECT_EQ(log[0].size, 0);
  EXPECT_EQ(log[0].file, "");
  EXPECT_EQ(log[0].time, "");

  // A NULL threshold is 0: nothing is logged at all.
  int console = 9, threshold = 9;
  EXPECT_EQ(ParseLogConf(console, threshold), 0);
  EXPECT_EQ(console, 0);
  EXPECT_EQ(threshold, 0);
  EXPECT_EQ(ParseLocalPort(), 0);
  ServerRecord p2p{7, "old"};
  EXPECT_EQ(GetP2PServerInfo(p2p), 0);
  EXPECT_EQ(p2p.host, "");
  EXPECT_EQ(p2p.port, 0);
}

TEST_F(LocalDbTest, ConfWithoutRowGivesDefaults) {
  GlobalDb().execDML("delete from ks_conf");
  int console = 9, threshold = 9;
  EXPECT_EQ(ParseLogConf(console, threshold), 0);
  EXPECT_EQ(console, 0);
  EXPECT_EQ(threshold, 600);
  EXPECT_EQ(ParseLocalPort(), 0);
}

TEST_F(LocalDbTest, ConfValues) {
  GlobalDb().execDML("update ks_conf set log_console = 1, log_priority = 700, p2phost = 'p2p.example', p2pport = 6000");
  int console = 0, threshold = 0;
  EXPECT_EQ(ParseLogConf(console, threshold), 0);
  EXPECT_EQ(console, 1);
  EXPECT_EQ(threshold, 700);
  ServerRecord p2p;
  EXPECT_EQ(GetP2PServerInfo(p2p), 0);
  EXPECT_EQ(p2p.host, "p2p.example");
  EXPECT_EQ(p2p.port, 6000);

  // A stored value that is no port is not cut down to some other port.
  const struct {
    const char* value;
    uint16_t port;
  } ports[] = {{"0", 0}, {"1", 1}, {"65535", 65535}, {"65536", 0}, {"80002", 0}, {"-1", 0}, {"'abc'", 0}};
  for (const auto& c : ports) {
    GlobalDb().execDML((std::string("update ks_conf set localport = ") + c.value + ", p2pport = " + c.value).c_str());
    EXPECT_EQ(ParseLocalPort(), c.port) << c.value;
    EXPECT_EQ(GetP2PServerInfo(p2p), 0);
    EXPECT_EQ(p2p.port, c.port) << c.value;
  }
}

TEST_F(LocalDbTest, AccountRoundTrip) {
  EXPECT_EQ(WriteLogOnInfo({"first@example.com", "one"}), 0);
  EXPECT_EQ(WriteLogOnInfo({"o'brien@example.com", "it's"}), 0);
  EXPECT_EQ(Count("ks_user"), 1);
  UserRecord user;
  EXPECT_EQ(GetUsernfo(user), 0);
  EXPECT_EQ(user.email, "o'brien@example.com");
  EXPECT_EQ(user.psw, "it's");
  EXPECT_EQ(ClearLogOnInfo(), 0);
  EXPECT_EQ(GetUsernfo(user), 0);
  EXPECT_EQ(user.email, "");
}

TEST_F(LocalDbTest, PasswordRoundTrip) {
  EXPECT_EQ(SetPsw("first"), 0);
  EXPECT_EQ(SetPsw("pa'ss\"word"), 0);
  EXPECT_EQ(Count("ks_psw"), 1);
  std::string psw;
  EXPECT_EQ(GetPsw(psw), 0);
  EXPECT_EQ(psw, "pa'ss\"word");
  EXPECT_EQ(SetPsw(""), 0);
  EXPECT_EQ(GetPsw(psw), 0);
  EXPECT_EQ(psw, "");
}

TEST_F(LocalDbTest, DefaultFoldersRoundTrip) {
  DefShareInfo in{"/data", "/data/Pic's", "/data/Music", "/data/Video", "/data/Doc", "/data/Instant"};
  EXPECT_EQ(SetDefaultDir(in), 0);
  EXPECT_EQ(SetDefaultDir(in), 0);
  EXPECT_EQ(Count("ks_defshare"), 1);
  DefShareInfo out;
  EXPECT_EQ(ParseDefaultDir(out), 0);
  EXPECT_EQ(out.def, "/data");
  EXPECT_EQ(out.def_pic, "/data/Pic's");
  EXPECT_EQ(out.def_music, "/data/Music");
  EXPECT_EQ(out.def_video, "/data/Video");
  EXPECT_EQ(out.def_doc, "/data/Doc");
  EXPECT_EQ(out.def_instant, "/data/Instant");

  char slots[kDefShareCount][kDirSlotSize];
  EXPECT_EQ(GetDefaultDir(slots), 0);
  EXPECT_STREQ(slots[0], "/data");
  EXPECT_STREQ(slots[1], "/data/Pic's");
  EXPECT_STREQ(slots[5], "/data/Instant");
}

TEST_F(LocalDbTest, DefaultFolderSlots) {
  // A slot filled to its last byte carries no NUL; it is read up to its end, not beyond.
  char in[kDefShareCount][kDirSlotSize] = {};
  std::memset(in[0], 'a', kDirSlotSize);
  std::strcpy(in[1], "/pic");
  EXPECT_EQ(SetDefaultDir(in), 0);
  DefShareInfo out;
  EXPECT_EQ(ParseDefaultDir(out), 0);
  EXPECT_EQ(out.def, std::string(kDirSlotSize, 'a'));
  EXPECT_EQ(out.def_pic, "/pic");
  EXPECT_EQ(out.def_music, "");

  // Reading back into slots cuts at 259 characters and terminates.
  char slots[kDefShareCount][kDirSlotSize];
  std::memset(slots, 'x', sizeof slots);
  EXPECT_EQ(GetDefaultDir(slots), 0);
  EXPECT_EQ(std::string(slots[0]), std::string(kDirSlotSize - 1, 'a'));
  EXPECT_STREQ(slots[1], "/pic");
  EXPECT_STREQ(slots[2], "");
}

TEST_F(LocalDbTest, ShareListKeepsOrderAndQuotes) {
  std::vector<std::string> paths{"/home/z", "/home/it's mine", "/a;b", "/home/a"};
  EXPECT_EQ(SetShareInfo(paths), 0);
  std::vector<std::string> out;
  EXPECT_EQ(ParseShareInfo(out), 0);
  EXPECT_EQ(out, paths);
  EXPECT_EQ(SetShareInfo({"/only"}), 0);
  EXPECT_EQ(ParseShareInfo(out), 0);
  EXPECT_EQ(out, std::vector<std::string>{"/only"});
  EXPECT_EQ(SetShareInfo({}), 0);  // an empty list empties the table
  EXPECT_EQ(ParseShareInfo(out), 0);
  EXPECT_TRUE(out.empty());
}

TEST_F(LocalDbTest, TransferLogOldestFirstWith64BitSizes) {
  auto& db = GlobalDb();
  db.execDML("insert into ks_trans (type,status,file,size,time)values(1,0,'/a/first',5368709120,'2013-05-01 10:20:30')");
  db.execDML("insert into ks_trans (type,status,file,size,time)values(0,0,'/a/it''s',1,'2013-05-01 10:20:31')");
  db.execDML("insert into ks_trans (type,status,file,size,time)values(1,0,'/a/third',2,'2013-05-01 10:20:32')");
  db.execDML("delete from ks_trans where file = '/a/first'");
  db.execDML("insert into ks_trans (type,status,file,size,time)values(1,0,'/a/fourth',4294967296,'2013-05-01 10:20:33')");
  std::vector<TransLogRecord> log;
  EXPECT_EQ(GetTransLog(log), 0);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].file, "/a/it's");
  EXPECT_EQ(log[0].type, 0);
  EXPECT_EQ(log[0].time, "2013-05-01 10:20:31");
  EXPECT_EQ(log[1].file, "/a/third");
  EXPECT_EQ(log[2].file, "/a/fourth");
  EXPECT_EQ(log[2].size, 4294967296LL);
  EXPECT_EQ(ClearLog(), 0);
  EXPECT_EQ(GetTransLog(log), 0);
  EXPECT_TRUE(log.empty());
}

TEST_F(LocalDbTest, ServerListHoldsOneDefaultRowAfterEveryStart) {
  setenv("KESTYL_VENDOR_HOST", "vendor.example", 1);
  setenv("KESTYL_VENDOR_PORT", "15100", 1);
  ServerRecord sv;
  EXPECT_EQ(GetDefSVInfo(sv), 0);
  EXPECT_EQ(sv.host, "vendor.example");
  EXPECT_EQ(sv.port, 15100);
  EXPECT_EQ(CreateSVListTable(), 0);
  EXPECT_EQ(CreateSVListTable(), 0);
  unsetenv("KESTYL_VENDOR_HOST");
  unsetenv("KESTYL_VENDOR_PORT");
  ASSERT_EQ(Count("ks_svlist"), 1);
  CppSQLite3Query q = GlobalDb().execQuery("select host, port from ks_svlist");
  EXPECT_STREQ(q.getStringField("host"), "vendor.example");
  EXPECT_EQ(q.getIntField("port"), 15100);
  q.finalize();
  CppSQLite3Query t = GlobalDb().execQuery("select sql from sqlite_master where name = 'ks_svlist'");
  EXPECT_STREQ(t.getStringField(0), "CREATE TABLE [ks_svlist] ( [host] VARCHAR(250)  NULL, [port] INTEGER  NULL)");
}

TEST_F(LocalDbTest, ServerListFailureReturnsTheSqliteCode) {
  GlobalDb().execDML("create view ks_svlist as select 1 as host, 2 as port");
  EXPECT_EQ(CreateSVListTable(), SQLITE_ERROR);
  EXPECT_TRUE(MutexFree());
}

TEST_F(LocalDbTest, MissingFileIsCreatedEmpty) {
  GlobalDb().close();
  std::string fresh = dir / "new.db";
  GlobalDb().open(fresh.c_str());
  EXPECT_EQ(access(fresh.c_str(), F_OK), 0);
  EXPECT_EQ(CreateSVListTable(), 0);
  EXPECT_EQ(Count("ks_svlist"), 1);
  int console = 9, threshold = 9;
  EXPECT_EQ(ParseLogConf(console, threshold), -1);
  EXPECT_EQ(threshold, 600);
  EXPECT_EQ(ParseLocalPort(), 0);
  std::vector<std::string> shares;
  EXPECT_EQ(ParseShareInfo(shares), -1);
  EXPECT_EQ(SetPsw("x"), -1);
}

TEST(CheckInvalidChar, EveryForbiddenCharacter) {
  for (char c : std::string("';\"=`*%$^&<>{}[]")) {
    EXPECT_EQ(CheckInvalidChar(std::string("name") + c + "x"), -1) << c;
  }
  const struct {
    const char* text;
    int result;
  } cases[] = {
      {"user.name42@example.com", 0}, {"", 0},           {"a-b_c+d!#~|/\\ ?,:()", 0},
      {"user;drop@example.com", -1},  {"'", -1},         {"x]", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(CheckInvalidChar(c.text), c.result) << c.text;
}

// ---- failures inside a write ----

class LocalDbFailureTest : public LocalDbTest {
 protected:
  void SetUp() override {
    LocalDbTest::SetUp();
    GlobalDb().execDML(
        "create trigger refuse before insert on ks_share when new.path = 'abort' "
        "begin select raise(abort, 'refused'); end;"
        "create trigger undo before insert on ks_share when new.path = 'rollback' "
        "begin select raise(rollback, 'undone'); end;");
    ASSERT_EQ(SetShareInfo({"/kept1", "/kept2"}), 0);
  }
  std::vector<std::string> Shares() {
    std::vector<std::string> out;
    EXPECT_EQ(ParseShareInfo(out), 0);
    return out;
  }
  // A write from another thread: it would block for ever on a mutex left held.
  int WriteFromOtherThread(std::vector<std::string> paths) {
    auto f = std::async(std::launch::async, [paths] { return SetShareInfo(paths); });
    if (f.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "database mutex left held";
      std::abort();
    }
    return f.get();
  }
  const std::vector<std::string> kept{"/kept1", "/kept2"};
};

TEST_F(LocalDbFailureTest, ThrowingStatementRollsBackAndReleases) {
  EXPECT_EQ(SetShareInfo({"/new", "abort"}), -1);
  EXPECT_EQ(Shares(), kept);  // the delete and the first insert were undone
  EXPECT_EQ(WriteFromOtherThread({"/next"}), 0);
  EXPECT_EQ(Shares(), std::vector<std::string>{"/next"});
}

TEST_F(LocalDbFailureTest, FailedRollbackStillReleases) {
  // SQLite rolls back by itself; the writer's own rollback then throws.
  TempDir logDir;
  ASSERT_TRUE(g_Log.Open(logDir / "Log.txt", LOG_LEVEL_DEBUG, false));
  EXPECT_EQ(SetShareInfo({"/new", "rollback"}), -1);
  g_Log.Close();
  EXPECT_EQ(Shares(), kept);
  EXPECT_EQ(WriteFromOtherThread({"/next"}), 0);
  std::string log = ks::test::ReadFile(logDir / "Log.txt");
  EXPECT_NE(log.find("no transaction is active"), std::string::npos) << log;
  EXPECT_NE(log.find("[CommLib SetShareInfo "), std::string::npos) << log;
  EXPECT_NE(log.find("sqlite get a exception code 19,msg SQLITE_CONSTRAINT[19]: undone"), std::string::npos) << log;
}

TEST_F(LocalDbTest, FailureLogLines) {
  TempDir logDir;
  ASSERT_TRUE(g_Log.Open(logDir / "Log.txt", LOG_LEVEL_DEBUG, false));
  UseEmptyDatabase();
  EXPECT_EQ(SetPsw("x"), -1);
  std::string psw;
  EXPECT_EQ(GetPsw(psw), -1);
  GlobalDb().execDML("create view ks_svlist as select 1 as host");
  EXPECT_NE(CreateSVListTable(), 0);
  g_Log.Close();
  std::string log = ks::test::ReadFile(logDir / "Log.txt");
  EXPECT_NE(log.find("[CommLib SetPsw "), std::string::npos) << log;
  // A lost write at ERROR; a failed read, which falls back to defaults, at DEBUG.
  EXPECT_NE(log.find("[ERROR] sqlite get a exception code 1,msg SQLITE_ERROR[1]: no such table: ks_psw"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("[CommLib GetPsw "), std::string::npos) << log;
  EXPECT_NE(log.find("[DEBUG] sqlite get a exception code 1,msg SQLITE_ERROR[1]: no such table: ks_psw"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("[KestylClient CreateSVListTable "), std::string::npos) << log;
  EXPECT_NE(log.find("[ERROR] CreateSVListTable function error:SQLITE_ERROR[1]: "), std::string::npos) << log;
}

// A database that takes no writes (read-only file, full disk): every writer fails with a
// line the installed ERROR threshold keeps.
TEST_F(LocalDbTest, WritesThatFailAreLoggedAtError) {
  TempDir logDir;
  ASSERT_TRUE(g_Log.Open(logDir / "Log.txt", LOG_LEVEL_ERROR, false));
  GlobalDb().execDML("PRAGMA query_only = 1");
  DefShareInfo defs;
  defs.def = "/srv/data";
  struct Case {
    const char* name;
    std::function<int()> write;
    int failure;
  } cases[] = {
      {"SetShareInfo", [] { return SetShareInfo({"/srv/a"}); }, -1},
      {"SetDefaultDir", [&] { return SetDefaultDir(defs); }, -1},
      {"SetPsw", [] { return SetPsw("x"); }, -1},
      {"ClearLog", [] { return ClearLog(); }, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(c.write(), c.failure) << c.name;
  g_Log.Close();
  GlobalDb().execDML("PRAGMA query_only = 0");
  std::string log = ks::test::ReadFile(logDir / "Log.txt");
  for (const Case& c : cases) {
    EXPECT_NE(log.find(std::string("[CommLib ") + c.name + " "), std::string::npos) << c.name << "\n" << log;
  }
  EXPECT_NE(log.find("[ERROR] sqlite get a exception code 8,msg SQLITE_READONLY[8]"), std::string::npos) << log;
}

// ---- concurrency ----

TEST_F(LocalDbTest, ReaderNeverSeesAHalfRewrittenShareList) {
  std::vector<std::string> a, b;
  for (int i = 0; i < 20; ++i) {
    a.push_back("/a" + std::to_string(i));
    b.push_back("/b" + std::to_string(i));
  }
  ASSERT_EQ(SetShareInfo(a), 0);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 300; ++i) EXPECT_EQ(SetShareInfo(i % 2 ? a : b), 0);
    done = true;
  });
  int reads = 0, bad = 0;
  while (!done.load() || reads < 50) {
    std::vector<std::string> seen;
    EXPECT_EQ(ParseShareInfo(seen), 0);
    if (seen != a && seen != b) ++bad;
    ++reads;
  }
  writer.join();
  EXPECT_EQ(bad, 0) << "of " << reads << " reads";
}

TEST_F(LocalDbTest, ConcurrentWritersAllCommit) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(SetPsw("p" + std::to_string(t)), 0);
        EXPECT_EQ(WriteLogOnInfo({"u" + std::to_string(i), "p"}), 0);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(Count("ks_psw"), 1);
  EXPECT_EQ(Count("ks_user"), 1);
}

}  // namespace
