// The vendor session against the fake vendor server: what each exchange sends, how replies
// and failures become codes, the start-up log-on and the heart-beat's passes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <thread>

#include "agent/db/local_db.h"
#include "agent/net/proto/proto.h"
#include "agent/net/session/session.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"
#include "agent/util/util.h"
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/net_io.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::session;
using ks::fake::FakeVendorServer;
using ks::fake::ServerAction;
using ks::fake::ServerRequest;

constexpr const char* kMac = "02-00-00-00-00-01";

// A port on 127.0.0.1 that nobody listens on (bound once, then closed).
uint16_t ClosedPort() {
  uint16_t port = 0;
  ks::fake::UniqueFd fd = ks::fake::ListenTcp("127.0.0.1", &port);
  return port;
}

class SessionServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir((root.path() + "/bin").c_str(), 0755);
    ::mkdir((root.path() + "/etc").c_str(), 0755);
    ASSERT_EQ(CreateDatabaseFile(root / "etc/Kestyl.db", KS_SCHEMA_FILE), 0);
    GlobalDb().open((root / "etc/Kestyl.db").c_str());
    ks::state::SetInstallRoot(root.path());
    ks::state::SetDeviceId(kMac);
    ks::state::SetMacText(kMac);
    ks::state::SetLocalIp("192.168.1.100");
    ks::state::SetLocalBindPort(15002);
    ks::state::SetOsName("unknown");
    ks::state::ClearStop();
    ::setenv("KESTYL_LOOPBACK", "1", 1);
    ::setenv("KESTYL_VENDOR_HOST", "127.0.0.1", 1);
    ::setenv("KESTYL_VENDOR_PORT", std::to_string(server.port()).c_str(), 1);
    SetCurrentServer(VendorServer());
    SetUpnpPort(0);
    SetLogOnResult(KS_EMPTY_ACCOUNT);
    ClearLastMobileHeartBeat();
    SetRelayExitHook(nullptr);
  }
  void TearDown() override {
    SetRelayExitHook(nullptr);
    GlobalDb().close();
  }

  void StoreAccount(const std::string& email = "owner@example.com",
                    const std::string& psw = "hash-of-pw") {
    ASSERT_EQ(WriteLogOnInfo({email, psw}), 0);
  }
  std::vector<uint16_t> Opcodes() { return server.Opcodes(); }
  void ExpectNoProtocolErrors() {
    for (const std::string& e : server.ProtocolErrors()) ADD_FAILURE() << e;
  }

  ks::test::TempDir root;
  FakeVendorServer server;
};

TEST_F(SessionServerTest, LogOnSendsThe70ByteHeadAndTheAccount) {
  StoreAccount();
  EXPECT_EQ(LogOn(CurrentServer()), 0);
  ASSERT_EQ(server.RequestCount(), 1u);
  ServerRequest r = server.Requests()[0];
  EXPECT_EQ(r.version, 370);
  EXPECT_EQ(r.opcode, SRV_LOGON);
  EXPECT_EQ(r.length, 70 + 132);
  EXPECT_EQ(r.body.size(), 132u);
  EXPECT_EQ(r.device_id, kMac);
  EXPECT_EQ(r.account, "owner@example.com");
  EXPECT_EQ(r.password, "hash-of-pw");
  EXPECT_EQ(r.system_type, 2);
  EXPECT_EQ(r.os_name, "unknown");
  EXPECT_EQ(r.mac, kMac);
  ExpectNoProtocolErrors();
}

TEST_F(SessionServerTest, LogOnAndLogOutWithoutAccountSendNothing) {
  EXPECT_EQ(LogOn(CurrentServer()), KS_EMPTY_ACCOUNT);
  EXPECT_EQ(LogOut(CurrentServer()), KS_EMPTY_ACCOUNT);
  StoreAccount("owner@example.com", "");
  EXPECT_EQ(LogOn(CurrentServer()), KS_EMPTY_ACCOUNT);
  EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_F(SessionServerTest, ReplyStatusAndFailuresBecomeCodes) {
  StoreAccount();
  struct Case {
    const char* name;
    ServerAction action;
    int want;
  } cases[] = {
      {"status passed on", ServerAction::Status(4101), 4101},
      {"closed without reply", ServerAction::Close(), KS_NETWORK_ERROR},
      {"reply head below 8", ServerAction::Raw(ks::fake::EncodeReplyHead(4, 0)), KS_NETWORK_ERROR},
      {"reply with a body", ServerAction::WithBody(0, "ignored"), 0},
  };
  for (const Case& c : cases) {
    server.SetAction(SRV_LOGON, c.action);
    EXPECT_EQ(LogOn(CurrentServer()), c.want) << c.name;
  }
  server.SetAction(SRV_LOGOUT, ServerAction::Status(7));
  EXPECT_EQ(LogOut(CurrentServer()), 7);
  std::vector<ServerRequest> out = server.Requests(SRV_LOGOUT);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].length, 70 + 64);
  EXPECT_EQ(out[0].account, "owner@example.com");
  EXPECT_EQ(out[0].password, "hash-of-pw");

  ServerRecord nobody{ClosedPort(), "127.0.0.1"};
  EXPECT_EQ(LogOn(nobody), KS_NETWORK_ERROR);
  EXPECT_EQ(LogOut(nobody), KS_NETWORK_ERROR);
  EXPECT_EQ(LogOn(ServerRecord{15000, "host.invalid"}), KS_NETWORK_ERROR);
}

TEST_F(SessionServerTest, ServerInformationReportsWhereThePcIs) {
  StoreAccount();
  SetUpnpPort(61716);
  server.SetStatus(SRV_SET_SV_INFO, 9);
  EXPECT_EQ(SetSVInfo(), 9);
  std::vector<ServerRequest> sv = server.Requests(SRV_SET_SV_INFO);
  ASSERT_EQ(sv.size(), 1u);
  EXPECT_EQ(sv[0].length, 70 + 212);
  EXPECT_EQ(sv[0].local_ip, "192.168.1.100");
  EXPECT_EQ(sv[0].upnp_port, 61716);
  EXPECT_EQ(sv[0].message_port, 15002);
  EXPECT_EQ(sv[0].system_type, 2);
  EXPECT_EQ(sv[0].account, "owner@example.com");
  std::string host;
  ASSERT_EQ(GetHostName(host), 0);
  EXPECT_EQ(sv[0].host_name, host.substr(0, 63));

  auto addr = ResolveServer("127.0.0.1", server.port());
  ASSERT_TRUE(addr);
  server.SetStatus(SRV_SET_SV_INFO, 0);
  EXPECT_EQ(SetSVInfo(*addr, "given-name"), 0);
  EXPECT_EQ(server.Requests(SRV_SET_SV_INFO).back().host_name, "given-name");
  EXPECT_EQ(SetSVInfo(*addr, ""), -1);  // no host name: nothing sent
  EXPECT_EQ(server.RequestCount(SRV_SET_SV_INFO), 2u);
  ExpectNoProtocolErrors();
}

TEST_F(SessionServerTest, PowerOnInformationAlwaysGoesToTheVendor) {
  StoreAccount();
  FakeVendorServer other;
  SetCurrentServer({other.port(), "127.0.0.1"});
  SetPowerOnInfo();
  EXPECT_EQ(other.RequestCount(), 0u);
  std::vector<ServerRequest> p = server.Requests(SRV_SET_POWER_ON_INFO);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].length, 70 + 162);
  EXPECT_EQ(p[0].system_type, 2);  // decoded little-endian by the fake
  EXPECT_EQ(p[0].account, "owner@example.com");
  EXPECT_EQ(p[0].mac, kMac);
  ExpectNoProtocolErrors();
}

TEST_F(SessionServerTest, DeviceIdComesFromTheFileOrOnceFromTheServer) {
  server.SetIssuedDeviceId("KSDEV-ISSUED-1");
  EXPECT_EQ(LoadDeviceUuid(), "KSDEV-ISSUED-1");
  ASSERT_EQ(server.RequestCount(SRV_GET_UUID), 1u);
  EXPECT_EQ(server.Requests(SRV_GET_UUID)[0].device_id, kMac);  // asked under the MAC text
  EXPECT_EQ(server.Requests(SRV_GET_UUID)[0].length, 70);
  EXPECT_EQ(ks::test::ReadFile(root / "bin/.uuid"), "KSDEV-ISSUED-1");
  EXPECT_EQ(LoadDeviceUuid(), "KSDEV-ISSUED-1");
  EXPECT_EQ(server.RequestCount(SRV_GET_UUID), 1u);  // the file answers now
}

TEST_F(SessionServerTest, DeviceIdRepliesAreReadWithinTheirBytes) {
  struct Case {
    const char* name;
    ServerAction action;
    std::string want;
  } cases[] = {
      {"64 bytes without NUL", ServerAction::WithBody(0, std::string(64, 'x')), std::string(63, 'x')},
      {"short body without NUL", ServerAction::WithBody(0, "SHORT"), "SHORT"},
      {"longer body", ServerAction::WithBody(0, std::string("ID-7\0", 5) + std::string(100, 'z')), "ID-7"},
      {"refused", ServerAction::Status(3), ""},
      {"no body", ServerAction::Raw(ks::fake::EncodeReplyHead(8, 0)), ""},
      {"reply head below 8", ServerAction::Raw(ks::fake::EncodeReplyHead(7, 0)), ""},
      {"closed", ServerAction::Close(), ""},
  };
  for (const Case& c : cases) {
    std::remove((root / "bin/.uuid").c_str());
    server.SetAction(SRV_GET_UUID, c.action);
    EXPECT_EQ(LoadDeviceUuid(), c.want) << c.name;
    EXPECT_EQ(ks::test::ReadFile(root / "bin/.uuid"), c.want) << c.name;
  }
}

TEST_F(SessionServerTest, UserOpAsksForAnIdThenLogsOnAndReports) {
  StoreAccount();
  SetCurrentServer({});
  server.SetIssuedDeviceId("KSDEV-NEW");
  UserOp(nullptr);
  EXPECT_EQ(Opcodes(), (std::vector<uint16_t>{SRV_GET_UUID, SRV_LOGON, SRV_SET_SV_INFO,
                                              SRV_SET_POWER_ON_INFO}));
  std::vector<ServerRequest> r = server.Requests();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].device_id, kMac);
  for (size_t i = 1; i < r.size(); ++i) EXPECT_EQ(r[i].device_id, "KSDEV-NEW");
  EXPECT_EQ(ks::state::DeviceId(), "KSDEV-NEW");
  EXPECT_EQ(ks::test::ReadFile(root / "bin/.uuid"), "KSDEV-NEW");
  EXPECT_EQ(LogOnResult(), 0u);
  ServerRecord current = CurrentServer();
  EXPECT_EQ(current.host, "127.0.0.1");
  EXPECT_EQ(current.port, server.port());
  ExpectNoProtocolErrors();
}

TEST_F(SessionServerTest, UserOpStopsAtAFailedLogOnAndFallsBackToTheMac) {
  StoreAccount();
  ks::test::WriteFile(root / "bin/.uuid", "");
  server.SetStatus(SRV_GET_UUID, 1);  // no id from the server either
  server.SetStatus(SRV_LOGON, 4101);
  UserOp(nullptr);
  EXPECT_EQ(Opcodes(), (std::vector<uint16_t>{SRV_GET_UUID, SRV_LOGON}));
  EXPECT_EQ(ks::state::DeviceId(), kMac);
  EXPECT_EQ(LogOnResult(), 4101u);
}

TEST_F(SessionServerTest, UserOpKeepsA70CharacterIdFileTo63) {
  StoreAccount();
  ks::test::WriteFile(root / "bin/.uuid", std::string(70, 'k'));
  UserOp(nullptr);
  EXPECT_EQ(server.RequestCount(SRV_GET_UUID), 0u);
  EXPECT_EQ(ks::state::DeviceId(), std::string(63, 'k'));
  EXPECT_EQ(server.Requests(SRV_LOGON).at(0).device_id, std::string(63, 'k'));
}

TEST_F(SessionServerTest, HeartBeatWithoutAccountSendsNothing) {
  HeartBeatState st;
  st.hostName = "pc";
  SetLogOnResult(0);
  HeartBeatPass(st);
  HeartBeatPass(st);
  EXPECT_EQ(LogOnResult(), static_cast<uint32_t>(KS_EMPTY_ACCOUNT));
  EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_F(SessionServerTest, HeartBeatLogsOnAgainAndReportsWithItsHostName) {
  StoreAccount();
  HeartBeatState st;
  st.hostName = "heart-pc";
  server.SetStatus(SRV_LOGON, 4101);
  HeartBeatPass(st);
  EXPECT_EQ(LogOnResult(), 4101u);
  server.SetStatus(SRV_LOGON, 0);
  HeartBeatPass(st);
  EXPECT_EQ(LogOnResult(), 0u);
  EXPECT_EQ(Opcodes(), (std::vector<uint16_t>{SRV_LOGON, SRV_SET_SV_INFO, SRV_LOGON, SRV_SET_SV_INFO}));
  EXPECT_EQ(server.Requests(SRV_SET_SV_INFO).back().host_name, "heart-pc");
  EXPECT_TRUE(st.server.has_value());
  EXPECT_EQ(st.svInfoCode, 0);
}

TEST_F(SessionServerTest, HeartBeatResolvesAgainAfterANetworkError) {
  StoreAccount();
  HeartBeatState st;
  st.hostName = "pc";
  SetCurrentServer({15000, "host.invalid"});
  HeartBeatPass(st);
  EXPECT_EQ(LogOnResult(), static_cast<uint32_t>(KS_NETWORK_ERROR));  // does not resolve
  EXPECT_FALSE(st.server.has_value());

  SetCurrentServer(VendorServer());
  server.SetAction(SRV_LOGON, ServerAction::Close());
  HeartBeatPass(st);
  EXPECT_EQ(LogOnResult(), static_cast<uint32_t>(KS_NETWORK_ERROR));
  EXPECT_FALSE(st.server.has_value());  // dropped: the next pass resolves the name again
  EXPECT_EQ(server.RequestCount(SRV_SET_SV_INFO), 0u);

  server.SetAction(SRV_LOGON, ServerAction::Status(0));
  HeartBeatPass(st);
  EXPECT_EQ(LogOnResult(), 0u);
  EXPECT_TRUE(st.server.has_value());
}

class SwitchTest : public SessionServerTest {
 protected:
  void SetUp() override {
    SessionServerTest::SetUp();
    StoreAccount();
    other.SetAction(SRV_LOGON, ServerAction::Close());
    SetCurrentServer({other.port(), "127.0.0.1"});
    SetRelayExitHook([this] { ++exits; });
    st.hostName = "pc";
  }
  FakeVendorServer other;
  HeartBeatState st;
  std::atomic<int> exits{0};
};

TEST_F(SwitchTest, AFailingOtherServerIsLeftForTheVendorAndTheRelayTold) {
  HeartBeatPass(st);
  EXPECT_EQ(exits.load(), 1);
  ServerRecord current = CurrentServer();
  EXPECT_EQ(current.port, server.port());
  EXPECT_EQ(LogOnResult(), 0u);
  EXPECT_EQ(other.RequestCount(SRV_LOGON), 1u);
  EXPECT_EQ(Opcodes(), (std::vector<uint16_t>{SRV_LOGON, SRV_SET_SV_INFO}));
}

TEST_F(SwitchTest, ARecentMobileHeartBeatKeepsTheServer) {
  ::setenv("TZ", "Europe/Berlin", 1);  // a zone with summer time: the age must not shift
  ::tzset();
  RecordMobileHeartBeat();
  HeartBeatPass(st);
  ::unsetenv("TZ");
  ::tzset();
  EXPECT_EQ(exits.load(), 0);
  EXPECT_EQ(CurrentServer().port, other.port());
  EXPECT_EQ(LogOnResult(), static_cast<uint32_t>(KS_NETWORK_ERROR));
  EXPECT_EQ(server.RequestCount(), 0u);

  SetLastMobileHeartBeat(std::time(nullptr) - 61);  // too old now
  HeartBeatPass(st);
  EXPECT_EQ(exits.load(), 1);
  EXPECT_EQ(CurrentServer().port, server.port());
}

TEST_F(SessionServerTest, HeartBeatJobRepeatsAndEndsAtTheStopFlag) {
  StoreAccount();
  ::setenv("KESTYL_HEARTBEAT_S", "1", 1);
  std::thread job(HeartBeat, nullptr);
  bool twice = server.WaitForRequests(SRV_LOGON, 2, 5000);
  ks::state::RequestStop();
  job.join();
  ks::state::ClearStop();
  ::unsetenv("KESTYL_HEARTBEAT_S");
  EXPECT_TRUE(twice);
}

}  // namespace
