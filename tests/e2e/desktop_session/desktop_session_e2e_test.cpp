// The agent program end to end: its start-up log-on with the fake vendor server, the
// heart-beat, and the desktop program's log-in, as the desktop program and the server see
// them.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "agent/net/proto/proto.h"
#include "tests/fakes/agent_harness.h"
#include "tests/fakes/desktop_request.h"
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::fake::AgentHarness;
using ks::fake::AgentOptions;
using ks::fake::DesktopReply;
using ks::fake::FakeVendorServer;
using ks::fake::ServerRequest;

AgentOptions Options(uint16_t vendorPort) {
  AgentOptions o;
  o.binary = KS_AGENT_BINARY;
  o.schema_file = KS_SCHEMA_FILE;
  o.vendor_port = vendorPort;
  o.sql = {"insert into ks_user (email, psw) values ('owner@example.com', 'ownerhash');"};
  return o;
}

// Polls the status request until it answers `want` or the time is up; the last answer.
uint32_t WaitForStatus(const AgentHarness& agent, uint32_t want, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  uint32_t last = 0xFFFFFFFF;
  do {
    DesktopReply r = ks::fake::DesktopRequest(agent.message_port(), MSG_SHOW_LOGON_STATUS);
    if (r.ok()) last = r.ResultWord();
    if (last == want) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < end);
  return last;
}

// The start-up log-on job writes "start log in." before its first log-on.
#define REQUIRE_STARTUP_LOG_ON(agent) ASSERT_TRUE((agent).WaitForLog("start log in.", 5000))

// Waits until the server has seen no new request for quietMs (at most timeoutMs).
void WaitForQuiet(const FakeVendorServer& server, int quietMs, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t seen = server.RequestCount();
  auto lastChange = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    size_t now = server.RequestCount();
    if (now != seen) {
      seen = now;
      lastChange = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - lastChange >= std::chrono::milliseconds(quietMs)) {
      return;
    }
  }
}

bool IsNonLoopbackIpv4(const std::string& ip) {
  in_addr a{};
  return ::inet_pton(AF_INET, ip.c_str(), &a) == 1 && ip.rfind("127.", 0) != 0 && ip != "0.0.0.0";
}

TEST(DesktopSessionE2E, StartUpAsksForAnIdThenLogsOnAndReports) {
  FakeVendorServer server;
  server.SetIssuedDeviceId("KSDEV-E2E-0001");
  AgentHarness agent(Options(server.port()));
  ASSERT_TRUE(agent.Start()) << agent.ReadLog() << agent.ReadConsole();
  REQUIRE_STARTUP_LOG_ON(agent);
  ASSERT_TRUE(server.WaitForRequests(4, 10000)) << agent.ReadLog();

  std::vector<ServerRequest> r = server.Requests();
  ASSERT_GE(r.size(), 4u);
  EXPECT_EQ(r[0].opcode, SRV_GET_UUID);
  EXPECT_EQ(r[1].opcode, SRV_LOGON);
  EXPECT_EQ(r[2].opcode, SRV_SET_SV_INFO);
  EXPECT_EQ(r[3].opcode, SRV_SET_POWER_ON_INFO);

  // Asked under the MAC text, everything after under the new id.
  DesktopReply mac = ks::fake::DesktopRequest(agent.message_port(), MSG_SHOW_GET_MAC);
  ASSERT_TRUE(mac.ok());
  std::string macText = ks::fake::GetText(mac.body, 0, 32);
  EXPECT_FALSE(macText.empty());
  EXPECT_EQ(r[0].device_id, macText);
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(r[i].device_id, "KSDEV-E2E-0001");
  EXPECT_EQ(r[1].account, "owner@example.com");
  EXPECT_EQ(r[1].password, "ownerhash");
  EXPECT_EQ(r[2].message_port, agent.message_port());
  EXPECT_TRUE(IsNonLoopbackIpv4(r[2].local_ip)) << r[2].local_ip;

  EXPECT_EQ(ks::test::ReadFile(agent.bin_dir() + "/.uuid"), "KSDEV-E2E-0001");
  EXPECT_EQ(WaitForStatus(agent, 0, 2000), 0u);
  ks::fake::VerAndType v = ks::fake::ParseVerAndType(
      ks::fake::DesktopRequest(agent.message_port(), MSG_GET_VER_AND_TYPE).body);
  EXPECT_EQ(v.device_id, "KSDEV-E2E-0001");
  for (const std::string& e : server.ProtocolErrors()) ADD_FAILURE() << e;
}

TEST(DesktopSessionE2E, RefusedLogOnShowsInTheStatusAndTheHeartBeatRetries) {
  FakeVendorServer server;
  server.SetStatus(SRV_LOGON, 4101);
  AgentOptions o = Options(server.port());
  o.heartbeat_s = 1;
  AgentHarness agent(o);
  ASSERT_TRUE(agent.Start()) << agent.ReadLog();
  REQUIRE_STARTUP_LOG_ON(agent);
  ASSERT_TRUE(server.WaitForRequests(SRV_LOGON, 1, 10000));
  EXPECT_EQ(WaitForStatus(agent, 4101, 3000), 4101u);
  EXPECT_EQ(server.RequestCount(SRV_SET_SV_INFO), 0u);  // stopped at the refusal

  // The heart-beat logs on again every second; once the server accepts, so does the status.
  ASSERT_TRUE(server.WaitForRequests(SRV_LOGON, 3, 5000));
  server.SetStatus(SRV_LOGON, 0);
  EXPECT_EQ(WaitForStatus(agent, 0, 5000), 0u);
  EXPECT_TRUE(server.WaitForRequests(SRV_SET_SV_INFO, 1, 3000));
}

TEST(DesktopSessionE2E, DesktopLogInReplacesTheAccount) {
  FakeVendorServer server;
  AgentHarness agent(Options(server.port()));
  ASSERT_TRUE(agent.Start()) << agent.ReadLog();
  WaitForQuiet(server, 700, 10000);  // the start-up log-on (when start-up runs it) is over
  server.ClearRecords();

  DesktopReply bad = ks::fake::DesktopRequest(agent.message_port(), MSG_SHOW_LOGON,
                                              ks::fake::ShowLogonBody("a;b", "pw"));
  ASSERT_TRUE(bad.ok());
  EXPECT_EQ(bad.ResultWord(), 4132u);
  EXPECT_EQ(server.RequestCount(), 0u);

  DesktopReply r = ks::fake::DesktopRequest(agent.message_port(), MSG_SHOW_LOGON,
                                            ks::fake::ShowLogonBody("new@example.com", "newhash"));
  ASSERT_TRUE(r.ok()) << ks::fake::StatusName(r.status);
  EXPECT_EQ(r.ResultWord(), 0u);
  std::vector<ServerRequest> q = server.Requests();
  ASSERT_EQ(q.size(), 4u);
  EXPECT_EQ(q[0].opcode, SRV_LOGOUT);
  EXPECT_EQ(q[0].account, "owner@example.com");
  EXPECT_EQ(q[1].opcode, SRV_LOGON);
  EXPECT_EQ(q[1].account, "new@example.com");
  EXPECT_EQ(q[1].password, "newhash");
  EXPECT_EQ(q[2].opcode, SRV_SET_SV_INFO);
  EXPECT_EQ(q[3].opcode, SRV_SET_POWER_ON_INFO);
  EXPECT_EQ(agent.QueryText("select email from ks_user"), "new@example.com");
  EXPECT_EQ(agent.QueryText("select psw from ks_user"), "newhash");

  // Not from another address.
  ks::fake::DesktopRequestOptions elsewhere;
  elsewhere.bind_ip = "127.0.0.2";
  elsewhere.recv_timeout_ms = 300;
  DesktopReply foreign = ks::fake::DesktopRequest(
      agent.message_port(), MSG_SHOW_LOGON, ks::fake::ShowLogonBody("evil@example.com", "x"), 0,
      elsewhere);
  EXPECT_FALSE(foreign.ok());
  EXPECT_EQ(agent.QueryText("select email from ks_user"), "new@example.com");
  EXPECT_EQ(server.RequestCount(), 4u);
}

TEST(DesktopSessionE2E, DesktopLogInWithTheServerUnreachableAnswersNetworkError) {
  AgentHarness agent(Options(0));  // a port nobody listens on
  ASSERT_TRUE(agent.Start()) << agent.ReadLog();
  DesktopReply r = ks::fake::DesktopRequest(agent.message_port(), MSG_SHOW_LOGON,
                                            ks::fake::ShowLogonBody("u@example.com", "h"));
  ASSERT_TRUE(r.ok()) << ks::fake::StatusName(r.status);
  EXPECT_EQ(r.ResultWord(), 4122u);
  EXPECT_EQ(WaitForStatus(agent, 4122, 2000), 4122u);
}

}  // namespace
