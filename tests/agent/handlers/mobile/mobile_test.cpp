// Device log-in, heart-beat and power-down handlers, called as the message server calls
// them, with a small desktop listener standing in for the owner's confirmation dialog.
#include "agent/handlers/mobile/mobile.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "agent/net/proto/proto.h"
#include "agent/net/session/session.h"
#include "agent/core/state/state.h"
#include "platform/power_control.h"
#include "tests/agent/handlers/mobile/desktop_stub.h"
#include "tests/agent/handlers/mobile/handler_test_support.h"

namespace {

using namespace ks::test;
using ks::mobile::ReqDeviceHeartBeat;
using ks::mobile::ReqDeviceLogin;
using ks::mobile::ReqShutDownSystem;

Bytes LoginBody(const std::string& account, const std::string& password, size_t size = 256) {
  Bytes b(size, 0);
  if (size >= 32) ks::net::PutFieldText(b.data(), 32, account);
  if (size >= 64) ks::net::PutFieldText(b.data() + 32, 32, password);
  for (size_t i = 64; i < size; ++i) b[i] = static_cast<uint8_t>(i);  // passed on unread
  return b;
}

class DeviceLoginTest : public AgentDbTest {
 protected:
  void SetUp() override {
    AgentDbTest::SetUp();
    ::setenv("KESTYL_DESKTOP_PORT", std::to_string(desktop.port()).c_str(), 1);
    ::setenv("KESTYL_CONFIRM_S", "1", 1);
  }
  void TearDown() override {
    ::unsetenv("KESTYL_DESKTOP_PORT");
    ::unsetenv("KESTYL_CONFIRM_S");
    AgentDbTest::TearDown();
  }
  // The verdict of the 12-byte answer written to the channel.
  int Login(const Bytes& body, uint32_t word = 77) {
    RecordingChannel conn;
    Call c = CallHandler(ReqDeviceLogin, MSG_REQ_DEVICE_LOGIN, word, body, &conn);
    EXPECT_EQ(c.result, 0);
    EXPECT_TRUE(c.reply.empty());
    auto m = conn.messages();
    if (m.size() != 1 || m[0].size() != 12) {
      ADD_FAILURE() << "expected one 12-byte answer";
      return -1;
    }
    ks::net::MsgHead h = HeadOf(m[0]);
    EXPECT_EQ(h.length, 12);
    EXPECT_EQ(h.type, MSG_REQ_DEVICE_LOGIN);
    EXPECT_EQ(h.sequence, 0u) << "the answer's word is always 0";
    EXPECT_EQ(ks::net::GetU16(m[0].data() + 10), 0);
    return ks::net::GetU16(m[0].data() + 8);
  }

  DesktopStub desktop;
};

TEST_F(DeviceLoginTest, StoredAccountIsAcceptedWithoutAsking) {
  ASSERT_EQ(WriteLogOnInfo({"owner@x.y", "secret"}), 0);
  EXPECT_EQ(Login(LoginBody("owner@x.y", "secret")), 0);
  EXPECT_TRUE(desktop.asks().empty());
}

TEST_F(DeviceLoginTest, OtherCredentialsAreAskedAndTheOwnerDecides) {
  struct Case {
    const char* name;
    bool stored;
    const char* account;
    const char* password;
    DesktopStub::Mode mode;
    uint32_t verdict;
    int expected;
  } cases[] = {
      {"no stored account, owner accepts", false, "a@b.c", "pw", DesktopStub::Mode::kAnswer, 0, 0},
      {"no stored account, owner refuses", false, "a@b.c", "pw", DesktopStub::Mode::kAnswer, 1, 1},
      {"stored account, other password, owner accepts", true, "owner@x.y", "guess", DesktopStub::Mode::kAnswer, 0, 0},
      {"another account, owner refuses", true, "other@x.y", "secret", DesktopStub::Mode::kAnswer, 1, 1},
      {"empty credentials equal to nothing stored", false, "", "", DesktopStub::Mode::kAnswer, 1, 1},
      {"a verdict that is 0 in its low 16 bits", false, "a@b.c", "pw", DesktopStub::Mode::kAnswer, 0x10000, 1},
      {"answer of another type", false, "a@b.c", "pw", DesktopStub::Mode::kWrongHead, 0, 1},
      {"owner silent past the time-out", false, "a@b.c", "pw", DesktopStub::Mode::kSilent, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.stored ? WriteLogOnInfo({"owner@x.y", "secret"}) : ClearLogOnInfo(), 0);
    desktop.mode = c.mode;
    desktop.verdict = c.verdict;
    size_t before = desktop.asks().size();
    EXPECT_EQ(Login(LoginBody(c.account, c.password)), c.expected);
    EXPECT_EQ(desktop.asks().size(), before + 1);
  }
}

TEST_F(DeviceLoginTest, TheAskCarriesTheFirst256BytesAndAnIncreasingWord) {
  Bytes body = LoginBody("a@b.c", "pw", 300);  // longer than 256: only 256 go on
  Login(body);
  Login(body);
  auto asks = desktop.asks();
  ASSERT_EQ(asks.size(), 2u);
  for (const Bytes& a : asks) {
    ASSERT_EQ(a.size(), 264u);
    ks::net::MsgHead h = HeadOf(a);
    EXPECT_EQ(h.length, 264);
    EXPECT_EQ(h.type, MSG_SHOW_DEVICE_LOGIN_ASK);
    EXPECT_TRUE(std::equal(a.begin() + 8, a.end(), body.begin()));
  }
  uint32_t w0 = HeadOf(asks[0]).sequence, w1 = HeadOf(asks[1]).sequence;
  EXPECT_GT(w1, w0) << "two asks within one second must not share a word";
  EXPECT_GE(w0 + 5, static_cast<uint32_t>(std::time(nullptr)) - 5) << "the word follows the clock";
}

TEST_F(DeviceLoginTest, ShortBodyReadsAsZeroFilled) {
  Bytes body = LoginBody("a@b.c", "", 40);  // password field cut short
  EXPECT_EQ(Login(body), 0);
  auto asks = desktop.asks();
  ASSERT_EQ(asks.size(), 1u);
  EXPECT_TRUE(std::equal(asks[0].begin() + 8, asks[0].begin() + 48, body.begin()));
  EXPECT_TRUE(std::all_of(asks[0].begin() + 48, asks[0].end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(DeviceLoginTest, NoDesktopProgramRefuses) {
  ::setenv("KESTYL_DESKTOP_PORT", "1", 1);  // nothing listens there
  EXPECT_EQ(Login(LoginBody("a@b.c", "pw")), 1);
}

TEST_F(DeviceLoginTest, ConnectionClosedWhileTheOwnerDecides) {
  RecordingChannel conn;
  desktop.onAsk = [&] { conn.Close(); };
  Call c = CallHandler(ReqDeviceLogin, MSG_REQ_DEVICE_LOGIN, 5, LoginBody("a@b.c", "pw"), &conn);
  EXPECT_EQ(c.result, 0);
  EXPECT_TRUE(c.reply.empty());
  EXPECT_TRUE(conn.messages().empty());
  EXPECT_EQ(desktop.asks().size(), 1u);
}

TEST_F(DeviceLoginTest, RelayedLoginReadsAfterThePrefixAndAnswersThroughTheReply) {
  ASSERT_EQ(WriteLogOnInfo({"owner@x.y", "secret"}), 0);
  RecordingChannel relay(ks::net::Origin::kRelay, 99);
  Call c = CallHandler(ReqDeviceLogin, MSG_REQ_DEVICE_LOGIN, 3, LoginBody("owner@x.y", "secret"), &relay, true);
  EXPECT_EQ(c.result, 0);
  EXPECT_TRUE(relay.messages().empty());
  ASSERT_EQ(c.reply.size(), 12u);
  EXPECT_EQ(HeadOf(c.reply).sequence, 0u);
  EXPECT_EQ(ks::net::GetU16(c.reply.data() + 8), 0);
  EXPECT_TRUE(desktop.asks().empty());
}

TEST_F(DeviceLoginTest, NoBodyIsRefusedWithoutAnswer) {
  RecordingChannel conn;
  Call c = CallHandler(ReqDeviceLogin, MSG_REQ_DEVICE_LOGIN, 1, {}, &conn, false, "", true);
  EXPECT_EQ(c.result, -1);
  EXPECT_TRUE(conn.messages().empty());
  EXPECT_TRUE(desktop.asks().empty());
}

TEST(LoginAskWord, StrictlyIncreasingAcrossThreads) {
  std::vector<uint32_t> words[4];
  std::vector<std::thread> ts;
  for (auto& w : words)
    ts.emplace_back([&w] {
      for (int i = 0; i < 1000; ++i) w.push_back(ks::mobile::NextLoginAskWord());
    });
  for (auto& t : ts) t.join();
  std::vector<uint32_t> all;
  for (auto& w : words) {
    EXPECT_TRUE(std::is_sorted(w.begin(), w.end()));
    all.insert(all.end(), w.begin(), w.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "no word given twice";
}

TEST(DeviceHeartBeat, AnswersVersion370WithTheRequestWord) {
  ks::session::ClearLastMobileHeartBeat();
  RecordingChannel conn;
  Call c = CallHandler(ReqDeviceHeartBeat, MSG_REQ_DEVICE_HEARTBEAT, 0xABCD1234, Bytes(4, 0), &conn);
  EXPECT_EQ(c.result, 0);
  ASSERT_EQ(c.reply.size(), 12u);
  ks::net::MsgHead h = HeadOf(c.reply);
  EXPECT_EQ(h.length, 12);
  EXPECT_EQ(h.type, MSG_REQ_DEVICE_HEARTBEAT);
  EXPECT_EQ(h.sequence, 0xABCD1234u);
  EXPECT_EQ(ks::net::GetU16(c.reply.data() + 8), 0);
  EXPECT_EQ(ks::net::GetU16(c.reply.data() + 10), 370);
  EXPECT_TRUE(ks::session::CheckMobileHeartBeatRecent()) << "the heart-beat time is recorded";
}

TEST(DeviceHeartBeat, NoBodyGives274) {
  RecordingChannel conn;
  Call c = CallHandler(ReqDeviceHeartBeat, MSG_REQ_DEVICE_HEARTBEAT, 1, {}, &conn, false, "", true);
  EXPECT_EQ(c.result, 274);
  EXPECT_TRUE(c.reply.empty());
}

class ShutDownTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ks::state::ClearStop();
    ks::platform::InstallPowerControl(&power);
  }
  void TearDown() override {
    ks::platform::InstallPowerControl(nullptr);
    ks::state::ClearStop();
  }
  ks::platform::RecordingPowerControl power;
  RecordingChannel conn;
};

TEST_F(ShutDownTest, AcceptedHibernationStopsTheAgent) {
  Call c = CallHandler(ReqShutDownSystem, MSG_REQ_SHUTDOWN_SYSTEM, 1, Bytes(1, 0), &conn);
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(power.calls(), 1);
  EXPECT_TRUE(ks::state::StopRequested());
  EXPECT_TRUE(c.reply.empty());
  EXPECT_TRUE(conn.messages().empty());
}

TEST_F(ShutDownTest, RefusedHibernationLeavesTheAgentRunning) {
  power.set_result(false);
  Call c = CallHandler(ReqShutDownSystem, MSG_REQ_SHUTDOWN_SYSTEM, 1, Bytes(1, 0), &conn);
  EXPECT_EQ(c.result, -1);
  EXPECT_EQ(power.calls(), 1);
  EXPECT_FALSE(ks::state::StopRequested());
}

TEST_F(ShutDownTest, NoBodyDoesNothing) {
  Call c = CallHandler(ReqShutDownSystem, MSG_REQ_SHUTDOWN_SYSTEM, 1, {}, &conn, false, "", true);
  EXPECT_EQ(c.result, -1);
  EXPECT_EQ(power.calls(), 0);
  EXPECT_FALSE(ks::state::StopRequested());
}

TEST(CommandPowerControl, ExitStatusDecides) {
  TempDir dir;
  std::string mark = dir / "hibernated";
  EXPECT_TRUE(ks::platform::CommandPowerControl("touch '" + mark + "'").Hibernate());
  EXPECT_EQ(::access(mark.c_str(), F_OK), 0);
  EXPECT_FALSE(ks::platform::CommandPowerControl("exit 3").Hibernate());
  EXPECT_FALSE(ks::platform::CommandPowerControl("").Hibernate());
  EXPECT_FALSE(ks::platform::CommandPowerControl("/nonexistent/hibernate").Hibernate());
}

TEST(CommandPowerControl, AHangingCommandIsKilledAndRefused) {
  auto start = std::chrono::steady_clock::now();
  // The shell waits for its child: both must go, or the child holds our output open.
  EXPECT_FALSE(ks::platform::CommandPowerControl("sleep 30; true", 1).Hibernate());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
