// The desktop requests through a real local message server, as the desktop program sends
// them (one connection each), with the fake vendor server behind the log-in.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "agent/db/local_db.h"
#include "agent/core/transfer/transfer.h"
#include "agent/media/tidying/tidying.h"
#include "agent/net/msg/local_server.h"
#include "agent/net/msg/msg.h"
#include "agent/net/proto/proto.h"
#include "agent/net/session/session.h"
#include "agent/service/handler_tables.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"
#include "agent/util/util.h"
#include "platform/session_launcher.h"
#include "tests/fakes/desktop_request.h"
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/net_io.h"
#include "tests/fakes/test_support.h"
#include "tests/fakes/wire.h"

namespace {

using Bytes = ks::fake::ByteString;
using ks::fake::DesktopReply;
using ks::fake::DesktopRequestOptions;
using ks::fake::FakeVendorServer;
using ks::fake::ServerAction;

constexpr uint32_t kWord = 0x12345678;
constexpr const char* kMac = "02-00-00-00-00-01";

class RecordingLauncher : public ks::platform::SessionLauncher {
 public:
  Result Launch(uint32_t session, const std::string& command, std::string*) override {
    std::lock_guard<std::mutex> lock(mu_);
    launches_.emplace_back(session, command);
    return kStarted;
  }
  std::vector<std::pair<uint32_t, std::string>> Launches() {
    std::lock_guard<std::mutex> lock(mu_);
    return launches_;
  }

 private:
  std::mutex mu_;
  std::vector<std::pair<uint32_t, std::string>> launches_;
};

class DesktopTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(ks::service::RegShowFun(), 0); }

  void SetUp() override {
    ::mkdir((root.path() + "/bin").c_str(), 0755);
    ::mkdir((root.path() + "/etc").c_str(), 0755);
    ASSERT_EQ(CreateDatabaseFile(root / "etc/Kestyl.db", KS_SCHEMA_FILE), 0);
    GlobalDb().open((root / "etc/Kestyl.db").c_str());
    ASSERT_EQ(CreateAutoTidingTable(), 0);
    ks::state::SetInstallRoot(root.path());
    ks::state::SetDeviceId("KSDEV-DESK");
    ks::state::SetMacText(kMac);
    ks::state::SetLocalIp("192.168.1.100");
    ks::state::SetOsName("unknown");
    ::setenv("KESTYL_LOOPBACK", "1", 1);
    ::setenv("KESTYL_VENDOR_HOST", "127.0.0.1", 1);
    ::setenv("KESTYL_VENDOR_PORT", std::to_string(vendor.port()).c_str(), 1);
    ks::session::SetCurrentServer(ks::session::VendorServer());
    ks::session::SetLogOnResult(KS_EMPTY_ACCOUNT);
    ks::session::ClearLastMobileHeartBeat();
    previous = ks::platform::SetSessionLauncher(&launcher);

    ks::net::LocalServerOptions o;
    o.bindAddress = "127.0.0.1";
    server.Configure(o);
    ASSERT_EQ(server.Start(0), 0);
    ks::state::SetLocalBindPort(server.Port());
  }
  void TearDown() override {
    server.Stop();
    ks::platform::SetSessionLauncher(previous);
    ks::transfer::SessionTable::Global().Clear();
    GlobalDb().close();
  }

  DesktopReply Ask(uint16_t type, const Bytes& body = {}, uint32_t word = kWord) {
    return ks::fake::DesktopRequest(server.Port(), type, body, word);
  }
  // A request that must stay unanswered: a short wait is enough.
  DesktopReply AskSilent(uint16_t type, const Bytes& body = {}) {
    DesktopRequestOptions o;
    o.recv_timeout_ms = 300;
    return ks::fake::DesktopRequest(server.Port(), type, body, kWord, o);
  }
  // From 127.0.0.2: another host as far as the agent can tell. Silence is expected, so the
  // wait is short.
  DesktopReply AskFromElsewhere(uint16_t type, const Bytes& body = {}) {
    DesktopRequestOptions o;
    o.bind_ip = "127.0.0.2";
    o.recv_timeout_ms = 300;
    return ks::fake::DesktopRequest(server.Port(), type, body, kWord, o);
  }
  void Sql(const std::string& sql) { GlobalDb().execDML(sql.c_str()); }
  std::string Query(const std::string& sql) {
    CppSQLite3Query q = GlobalDb().execQuery(sql.c_str());
    return q.eof() ? std::string() : q.getStringField(0);
  }

  ks::test::TempDir root;
  FakeVendorServer vendor;
  RecordingLauncher launcher;
  ks::platform::SessionLauncher* previous = nullptr;
  ks::net::LocalServer server;
};

// ---- every type: length, echoed head, fields ----------------------------------------------

TEST_F(DesktopTest, EveryTypeAnswersWithItsLengthAndEchoesTypeAndWord) {
  Sql("insert into ks_user values ('owner@example.com', 'hash');");
  Sql("insert into ks_psw values ('access');");
  Sql("insert into ks_defshare values ('/d', '/d/pic', '/d/music', '/d/video', '/d/doc', '/d/inst');");
  Sql("insert into ks_share values ('/s1'); insert into ks_share values ('/s2');");
  struct Case {
    uint16_t type;
    size_t length;  // whole reply
  } cases[] = {
      {MSG_SHOW_GET_LOGON_INFO, 72},      {MSG_SHOW_LOGON_STATUS, 12},
      {MSG_SHOW_GET_DEF_SHARE, 1568},     {MSG_SHOW_GET_SHARE, 8 + 10},
      {MSG_SHOW_GET_PATH, 8 + 3},         {MSG_SHOW_GET_TRANS_LOG, 8},
      {MSG_SHOW_GET_IS_TRANSFERRING, 12}, {MSG_SHOW_GET_IS_MOBILE_LINKED, 12},
      {MSG_SHOW_GET_SYS_TYPE, 12},        {MSG_SHOW_GET_PWD, 40},
      {MSG_SHOW_GET_MAC, 40},             {MSG_SHOW_GET_AUTO_TIDING, 9},
      {MSG_GET_VER_AND_TYPE, 140},        {MSG_SHOW_CLEAR_LOG, 12},
      {MSG_SHOW_LOGOUT, 12},
  };
  for (const Case& c : cases) {
    DesktopReply r = Ask(c.type);
    ASSERT_TRUE(r.ok()) << std::hex << c.type << " " << ks::fake::StatusName(r.status);
    EXPECT_EQ(r.head.length, c.length) << std::hex << c.type;
    EXPECT_EQ(r.raw.size(), c.length) << std::hex << c.type;
    EXPECT_EQ(r.head.type, c.type);
    EXPECT_EQ(r.head.word, kWord) << std::hex << c.type;
  }
}

TEST_F(DesktopTest, ReadOnlyTypesCarryTheirFields) {
  Sql("insert into ks_user values ('owner@example.com', 'hash');");
  Sql("insert into ks_psw values ('access');");
  Sql("insert into ks_defshare values ('/d', '/d/pic', '/d/music', '/d/video', '/d/doc', '/d/inst');");
  Sql("insert into ks_share values ('/s1'); insert into ks_share values ('/s2');");

  ks::fake::LogonInfo info = ks::fake::ParseLogonInfo(Ask(MSG_SHOW_GET_LOGON_INFO).body);
  EXPECT_EQ(info.account, "owner@example.com");
  EXPECT_EQ(info.password, "hash");
  EXPECT_EQ(Ask(MSG_SHOW_LOGON_STATUS).ResultWord(), static_cast<uint32_t>(KS_EMPTY_ACCOUNT));
  EXPECT_EQ(ks::fake::ParseDefShare(Ask(MSG_SHOW_GET_DEF_SHARE).body),
            (std::vector<std::string>{"/d", "/d/pic", "/d/music", "/d/video", "/d/doc", "/d/inst"}));
  EXPECT_EQ(Ask(MSG_SHOW_GET_SHARE).body, "/s1\r\n/s2\r\n");
  EXPECT_EQ(Ask(MSG_SHOW_GET_PATH).body, "/\r\n");
  EXPECT_EQ(Ask(MSG_SHOW_GET_SYS_TYPE).ResultWord(), 2u);
  EXPECT_EQ(ks::fake::GetText(Ask(MSG_SHOW_GET_PWD).body, 0, 32), "access");
  EXPECT_EQ(ks::fake::GetText(Ask(MSG_SHOW_GET_MAC).body, 0, 32), kMac);
  EXPECT_EQ(Ask(MSG_SHOW_GET_AUTO_TIDING).body, "0");

  ks::fake::VerAndType v = ks::fake::ParseVerAndType(Ask(MSG_GET_VER_AND_TYPE).body);
  EXPECT_EQ(v.system_type, 2);
  EXPECT_EQ(v.version, 370);
  EXPECT_EQ(v.device_id, "KSDEV-DESK");
  std::string host;
  ASSERT_EQ(GetHostName(host), 0);
  EXPECT_EQ(v.host_name, host.substr(0, 63));
}

TEST_F(DesktopTest, SettingsAreStoredAndReadBack) {
  // Default folders: a short block reads as one padded with zeros.
  Bytes block = ks::fake::DefShareBody({"/a", "/a/p", "/a/m", "/a/v", "/a/d", "/a/i"});
  EXPECT_EQ(Ask(MSG_SHOW_SET_DEF_SHARE, block).ResultWord(), 0u);
  EXPECT_EQ(ks::fake::ParseDefShare(Ask(MSG_SHOW_GET_DEF_SHARE).body),
            (std::vector<std::string>{"/a", "/a/p", "/a/m", "/a/v", "/a/d", "/a/i"}));
  EXPECT_EQ(Ask(MSG_SHOW_SET_DEF_SHARE, block.substr(0, 600)).ResultWord(), 0u);
  EXPECT_EQ(ks::fake::ParseDefShare(Ask(MSG_SHOW_GET_DEF_SHARE).body),
            (std::vector<std::string>{"/a", "/a/p", "/a/m", "", "", ""}));
  EXPECT_EQ(AskSilent(MSG_SHOW_SET_DEF_SHARE).status, DesktopReply::Status::kTimeout);  // 274, silent

  // Shares: empty pieces dropped; no body empties the list.
  EXPECT_EQ(Ask(MSG_SHOW_SET_SHARE, "/x\r\n\r\n/y\r\n").ResultWord(), 0u);
  EXPECT_EQ(Ask(MSG_SHOW_GET_SHARE).body, "/x\r\n/y\r\n");
  EXPECT_EQ(Ask(MSG_SHOW_SET_SHARE).ResultWord(), 0u);
  EXPECT_EQ(Ask(MSG_SHOW_GET_SHARE).body, "");

  // Access password: 32 bytes without NUL are taken whole.
  EXPECT_EQ(Ask(MSG_SHOW_SET_PWD, std::string(32, 'p') + "ignored").ResultWord(), 0u);
  EXPECT_EQ(Query("select psw from ks_psw"), std::string(32, 'p'));
  EXPECT_EQ(Ask(MSG_SHOW_SET_PWD, "short").ResultWord(), 0u);
  EXPECT_EQ(Query("select psw from ks_psw"), "short");

  // Photo tidying: "1" stored, no reply; "2" changes nothing.
  EXPECT_EQ(AskSilent(MSG_SHOW_SET_AUTO_TIDING, "1").status, DesktopReply::Status::kTimeout);
  EXPECT_EQ(Ask(MSG_SHOW_GET_AUTO_TIDING).body, "1");
  EXPECT_EQ(AskSilent(MSG_SHOW_SET_AUTO_TIDING, "2").status, DesktopReply::Status::kTimeout);
  EXPECT_EQ(Ask(MSG_SHOW_GET_AUTO_TIDING).body, "1");
}

TEST_F(DesktopTest, PathListingShowsVisibleSubFoldersOnly) {
  std::string base = root / "tree";
  ::mkdir(base.c_str(), 0755);
  ::mkdir((base + "/b").c_str(), 0755);
  ::mkdir((base + "/a").c_str(), 0755);
  ::mkdir((base + "/.hidden").c_str(), 0755);
  ks::test::WriteFile(base + "/file.txt", "x");
  std::vector<std::string> lines = ks::fake::SplitCrLfLines(Ask(MSG_SHOW_GET_PATH, base).body);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{base + "/a", base + "/b"}));
  // A trailing separator is not doubled.
  lines = ks::fake::SplitCrLfLines(Ask(MSG_SHOW_GET_PATH, base + "/").body);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{base + "/a", base + "/b"}));

  DesktopReply missing = Ask(MSG_SHOW_GET_PATH, base + "/none");
  ASSERT_TRUE(missing.ok());
  EXPECT_EQ(missing.body, "");
  DesktopReply tooLong = Ask(MSG_SHOW_GET_PATH, "/" + std::string(300, 'x'));
  ASSERT_TRUE(tooLong.ok());
  EXPECT_EQ(tooLong.body, "");
}

TEST_F(DesktopTest, PathListingOfAHugeFolderIsCutAtALine) {
  std::string base = root / "huge";
  ::mkdir(base.c_str(), 0755);
  const std::string pad(100, 'n');
  for (int i = 0; i < 700; ++i) ::mkdir((base + "/" + pad + std::to_string(i)).c_str(), 0755);
  DesktopReply r = Ask(MSG_SHOW_GET_PATH, base);
  ASSERT_TRUE(r.ok()) << ks::fake::StatusName(r.status);
  EXPECT_LE(r.raw.size(), 65535u);
  EXPECT_GT(r.body.size(), 60000u);
  ASSERT_GE(r.body.size(), 2u);
  EXPECT_EQ(r.body.substr(r.body.size() - 2), "\r\n");
  for (const std::string& line : ks::fake::SplitCrLfLines(r.body))
    EXPECT_EQ(line.rfind(base + "/" + pad, 0), 0u) << line;
}

TEST_F(DesktopTest, ShareListPastTheLengthIsCutAtALine) {
  std::string many = "begin transaction;";
  for (int i = 0; i < 800; ++i)
    many += "insert into ks_share values ('/" + std::string(90, 's') + std::to_string(i) + "');";
  Sql(many + "commit;");
  DesktopReply r = Ask(MSG_SHOW_GET_SHARE);
  ASSERT_TRUE(r.ok());
  EXPECT_LE(r.raw.size(), 65535u);
  EXPECT_EQ(r.body.substr(r.body.size() - 2), "\r\n");
  EXPECT_EQ(ks::fake::SplitCrLfLines(r.body).front(), "/" + std::string(90, 's') + "0");
}

// ---- transfer log and state ----------------------------------------------------------------

TEST_F(DesktopTest, TransferLogReadsCapsAndClears) {
  Sql("insert into ks_trans (type,status,file,size,time) values (1,0,'/d/a.jpg',1234,'2024-05-01 10:00:00');");
  Sql("insert into ks_trans (type,status,file,size,time) values (0,0,'/d/b.mp4',5000000000,'2024-05-01 10:01:00');");
  std::vector<ks::fake::TransLogRecord> recs;
  std::string error;
  DesktopReply r = Ask(MSG_SHOW_GET_TRANS_LOG);
  ASSERT_TRUE(ks::fake::ParseTransLog(r.body, &recs, &error)) << error;
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].type, 1);
  EXPECT_EQ(recs[0].status, 0);
  EXPECT_EQ(recs[0].size, 1234u);
  EXPECT_EQ(recs[0].time, "2024-05-01 10:00:00");
  EXPECT_EQ(recs[0].file, "/d/a.jpg");
  EXPECT_EQ(recs[1].type, 0);
  EXPECT_EQ(recs[1].size, 0xFFFFFFFFu);  // past 32 bits: the largest value, not a wrapped one

  std::string many = "begin transaction;";
  for (int i = 0; i < 230; ++i)
    many += "insert into ks_trans (type,status,file,size,time) values (1,0,'/f" + std::to_string(i) +
            "',1,'2024-05-01 10:00:00');";
  Sql(many + "commit;");
  r = Ask(MSG_SHOW_GET_TRANS_LOG);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.head.length, 8 + 218 * 300);
  ASSERT_TRUE(ks::fake::ParseTransLog(r.body, &recs, &error)) << error;
  EXPECT_EQ(recs.front().file, "/d/a.jpg");

  EXPECT_EQ(Ask(MSG_SHOW_CLEAR_LOG).ResultWord(), 0u);
  EXPECT_EQ(Ask(MSG_SHOW_GET_TRANS_LOG).head.length, 8);
}

TEST_F(DesktopTest, TransferLogWrittenByTransfersShowsUp) {
  ks::transfer::WriteTranLog("/d/c.png", 1, 77);
  std::vector<ks::fake::TransLogRecord> recs;
  std::string error;
  ASSERT_TRUE(ks::fake::ParseTransLog(Ask(MSG_SHOW_GET_TRANS_LOG).body, &recs, &error)) << error;
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].file, "/d/c.png");
  EXPECT_EQ(recs[0].size, 77u);
}

TEST_F(DesktopTest, TransferringCountsSessionsThenDownloads) {
  auto s = std::make_shared<ks::transfer::Session>();
  s->id = 5;
  ks::transfer::SessionTable::Global().Put(s);
  ks::transfer::DownloadCounter one, two;
  ks::fake::TransferCounts c = ks::fake::ParseTransferCounts(Ask(MSG_SHOW_GET_IS_TRANSFERRING).body);
  EXPECT_EQ(c.sessions, 1);
  EXPECT_EQ(c.downloads, 2);
}

TEST_F(DesktopTest, MobileLinkedWithinSixtySeconds) {
  EXPECT_EQ(Ask(MSG_SHOW_GET_IS_MOBILE_LINKED).ResultWord(), 0xFFFFFFFFu);
  ks::session::RecordMobileHeartBeat();
  EXPECT_EQ(Ask(MSG_SHOW_GET_IS_MOBILE_LINKED).ResultWord(), 0u);
  ks::session::SetLastMobileHeartBeat(std::time(nullptr) - 60);
  EXPECT_EQ(Ask(MSG_SHOW_GET_IS_MOBILE_LINKED).ResultWord(), 0u);
  ks::session::SetLastMobileHeartBeat(std::time(nullptr) - 62);
  EXPECT_EQ(Ask(MSG_SHOW_GET_IS_MOBILE_LINKED).ResultWord(), 0xFFFFFFFFu);
}

// ---- program start ---------------------------------------------------------------------

TEST_F(DesktopTest, ExecStartsInTheGivenSessionOnlyAndNeverAnswers) {
  EXPECT_EQ(AskSilent(MSG_SHOW_EXEC, ks::fake::ExecBody(0, "/usr/bin/kestyl")).status,
            DesktopReply::Status::kTimeout);
  EXPECT_EQ(AskSilent(MSG_SHOW_EXEC, Bytes("\0\0\x03", 3)).status, DesktopReply::Status::kTimeout);  // no id
  EXPECT_TRUE(launcher.Launches().empty());
  EXPECT_EQ(AskSilent(MSG_SHOW_EXEC, ks::fake::ExecBody(1000, "/usr/bin/kestyl --tray")).status,
            DesktopReply::Status::kTimeout);
  Bytes unterminated;
  ks::fake::PutU32(unterminated, 1001);
  unterminated += "run-me";
  AskSilent(MSG_SHOW_EXEC, unterminated);
  EXPECT_EQ(launcher.Launches(),
            (std::vector<std::pair<uint32_t, std::string>>{{1000, "/usr/bin/kestyl --tray"},
                                                           {1001, "run-me"}}));
}

// ---- log-in and log-out -------------------------------------------------------------------

TEST_F(DesktopTest, LogInWithANewAccountLogsTheOldOneOutFirst) {
  Sql("insert into ks_user values ('old@example.com', 'oldhash');");
  DesktopReply r = Ask(MSG_SHOW_LOGON, ks::fake::ShowLogonBody("new@example.com", "newhash"));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.ResultWord(), 0u);
  EXPECT_EQ(vendor.Opcodes(), (std::vector<uint16_t>{SRV_LOGOUT, SRV_LOGON, SRV_SET_SV_INFO,
                                                     SRV_SET_POWER_ON_INFO}));
  auto reqs = vendor.Requests();
  EXPECT_EQ(reqs[0].account, "old@example.com");
  EXPECT_EQ(reqs[0].password, "oldhash");
  EXPECT_EQ(reqs[1].account, "new@example.com");
  EXPECT_EQ(reqs[1].password, "newhash");
  EXPECT_EQ(reqs[2].message_port, server.Port());
  EXPECT_EQ(Query("select email from ks_user"), "new@example.com");
  EXPECT_EQ(Query("select psw from ks_user"), "newhash");
  EXPECT_EQ(Ask(MSG_SHOW_LOGON_STATUS).ResultWord(), 0u);
  for (const std::string& e : vendor.ProtocolErrors()) ADD_FAILURE() << e;
}

TEST_F(DesktopTest, LogInRefusalsTouchNeitherStoreNorServer) {
  Sql("insert into ks_user values ('old@example.com', 'oldhash');");
  ks::session::SetCurrentServer({4321, "kept.example"});
  struct Case {
    std::string account, password;
    uint32_t want;
  } cases[] = {
      {"a;b", "pw", KS_INVALID_ACCOUNT},
      {"ok@example.com", "p'w", KS_INVALID_ACCOUNT},
      {"ok@example.com", "", KS_EMPTY_ACCOUNT},
      {"", "pw", KS_EMPTY_ACCOUNT},
  };
  for (const Case& c : cases) {
    DesktopReply r = Ask(MSG_SHOW_LOGON, ks::fake::ShowLogonBody(c.account, c.password));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.ResultWord(), c.want) << c.account << " / " << c.password;
  }
  EXPECT_EQ(vendor.RequestCount(), 0u);
  EXPECT_EQ(Query("select email from ks_user"), "old@example.com");
  EXPECT_EQ(ks::session::CurrentServer().host, "kept.example");
  EXPECT_EQ(AskSilent(MSG_SHOW_LOGON).status, DesktopReply::Status::kTimeout);  // no body: 274, silent
}

TEST_F(DesktopTest, LogInPasswordIsReadOnlyAsFarAsTheBodyReaches) {
  const std::string pw32(32, 'q');
  Ask(MSG_SHOW_LOGON, ks::fake::ShowLogonBody(std::string(31, 'a'), pw32, 63));
  EXPECT_EQ(Query("select psw from ks_user"), std::string(31, 'q'));
  EXPECT_EQ(Query("select email from ks_user"), std::string(31, 'a'));
  Ask(MSG_SHOW_LOGON, ks::fake::ShowLogonBody(std::string(31, 'a'), pw32, 64));
  EXPECT_EQ(Query("select psw from ks_user"), pw32);
  Ask(MSG_SHOW_LOGON, ks::fake::ShowLogonBody("x@example.com", "", 40));  // password cut off
  EXPECT_EQ(Query("select email from ks_user"), std::string(31, 'a'));
}

TEST_F(DesktopTest, LogInCarriesTheServersVerdictAndNetworkFailures) {
  vendor.SetStatus(SRV_LOGON, 4101);
  EXPECT_EQ(Ask(MSG_SHOW_LOGON, ks::fake::ShowLogonBody("u@example.com", "h")).ResultWord(), 4101u);
  EXPECT_EQ(Ask(MSG_SHOW_LOGON_STATUS).ResultWord(), 4101u);

  uint16_t closed = 0;
  { ks::fake::UniqueFd fd = ks::fake::ListenTcp("127.0.0.1", &closed); }
  ks::session::SetCurrentServer({closed, "127.0.0.1"});
  ::setenv("KESTYL_VENDOR_PORT", std::to_string(closed).c_str(), 1);
  DesktopReply r = Ask(MSG_SHOW_LOGON, ks::fake::ShowLogonBody("u@example.com", "h"));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.ResultWord(), static_cast<uint32_t>(KS_NETWORK_ERROR));
  EXPECT_EQ(Ask(MSG_SHOW_LOGON_STATUS).ResultWord(), static_cast<uint32_t>(KS_NETWORK_ERROR));
}

TEST_F(DesktopTest, LogInBeforeAnyServerWasChosenUsesTheDefault) {
  Sql("insert into ks_user values ('old@example.com', 'oldhash');");
  ks::session::SetCurrentServer({});
  EXPECT_EQ(Ask(MSG_SHOW_LOGON, ks::fake::ShowLogonBody("u@example.com", "h")).ResultWord(), 0u);
  EXPECT_EQ(ks::session::CurrentServer().port, vendor.port());
  EXPECT_EQ(vendor.Opcodes(), (std::vector<uint16_t>{SRV_LOGOUT, SRV_LOGON, SRV_SET_SV_INFO,
                                                     SRV_SET_POWER_ON_INFO}));
  EXPECT_EQ(vendor.Requests(SRV_LOGOUT).at(0).account, "old@example.com");
}

TEST_F(DesktopTest, LogOutClearsTheAccountAndTheStatus) {
  Sql("insert into ks_user values ('owner@example.com', 'hash');");
  ks::session::SetLogOnResult(0);
  EXPECT_EQ(Ask(MSG_SHOW_LOGOUT).ResultWord(), 0u);
  EXPECT_EQ(vendor.Opcodes(), (std::vector<uint16_t>{SRV_LOGOUT}));
  EXPECT_EQ(Query("select count(*) from ks_user"), "0");
  EXPECT_EQ(Ask(MSG_SHOW_LOGON_STATUS).ResultWord(), static_cast<uint32_t>(KS_EMPTY_ACCOUNT));
}

// ---- origin -------------------------------------------------------------------------------

TEST_F(DesktopTest, DesktopTypesFromAnotherAddressHaveNoEffectAndNoReply) {
  Sql("insert into ks_user values ('owner@example.com', 'hash');");
  Sql("insert into ks_psw values ('access');");
  Sql("insert into ks_share values ('/s1');");
  ks::session::SetLogOnResult(0);
  const uint16_t types[] = {
      MSG_SHOW_GET_LOGON_INFO, MSG_SHOW_LOGON_STATUS,   MSG_SHOW_LOGON,
      MSG_SHOW_GET_DEF_SHARE,  MSG_SHOW_SET_DEF_SHARE,  MSG_SHOW_GET_SHARE,
      MSG_SHOW_SET_SHARE,      MSG_SHOW_GET_PATH,       MSG_SHOW_GET_TRANS_LOG,
      MSG_SHOW_GET_IS_TRANSFERRING, MSG_SHOW_GET_IS_MOBILE_LINKED, MSG_SHOW_GET_SYS_TYPE,
      MSG_SHOW_LOGOUT,         MSG_SHOW_CLEAR_LOG,      MSG_SHOW_GET_PWD,
      MSG_SHOW_SET_PWD,        MSG_SHOW_GET_MAC,        MSG_SHOW_GET_AUTO_TIDING,
      MSG_SHOW_SET_AUTO_TIDING, MSG_SHOW_EXEC,
  };
  Sql("insert into ks_trans (type,status,file,size,time) values (1,0,'/f',1,'t');");
  // All at once: each one waits out its silence.
  std::vector<std::future<DesktopReply>> replies;
  for (uint16_t t : types) {
    Bytes body;
    if (t == MSG_SHOW_LOGON) body = ks::fake::ShowLogonBody("evil@example.com", "x");
    if (t == MSG_SHOW_SET_DEF_SHARE) body = ks::fake::DefShareBody({"/evil"});
    if (t == MSG_SHOW_SET_SHARE) body = "/evil\r\n";
    if (t == MSG_SHOW_SET_PWD) body = "evil";
    if (t == MSG_SHOW_SET_AUTO_TIDING) body = "1";
    if (t == MSG_SHOW_EXEC) body = ks::fake::ExecBody(1000, "evil");
    replies.push_back(std::async(std::launch::async, [this, t, body] { return AskFromElsewhere(t, body); }));
  }
  for (size_t i = 0; i < replies.size(); ++i) {
    DesktopReply r = replies[i].get();
    EXPECT_FALSE(r.ok()) << std::hex << types[i];
    EXPECT_TRUE(r.raw.empty()) << std::hex << types[i];
  }
  EXPECT_EQ(vendor.RequestCount(), 0u);
  EXPECT_EQ(Query("select email from ks_user"), "owner@example.com");
  EXPECT_EQ(Query("select psw from ks_psw"), "access");
  EXPECT_EQ(Query("select path from ks_share"), "/s1");
  EXPECT_EQ(Query("select count(*) from ks_defshare"), "0");
  EXPECT_EQ(Query("select count(*) from ks_trans"), "1");
  EXPECT_EQ(Ask(MSG_SHOW_GET_AUTO_TIDING).body, "0");
  EXPECT_EQ(ks::session::LogOnResult(), 0u);
  EXPECT_TRUE(launcher.Launches().empty());

  // The version request answers anyone.
  DesktopRequestOptions o;
  o.bind_ip = "127.0.0.2";
  EXPECT_TRUE(ks::fake::DesktopRequest(server.Port(), MSG_GET_VER_AND_TYPE, {}, 1, o).ok());
}

}  // namespace
