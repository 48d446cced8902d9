// CSocketConnect against the real agent (AgentHarness), a silent listener and pushes made by
// the test in the agent's place.
#include "desktop/foundation/agentlink/socket_connect.h"
#include "desktop/foundation/agentlink/agent_requests.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "common/wire/desktop/desktop_wire.h"
#include "common/wire/types.h"
#include "common/wire/wire.h"
#include "tests/fakes/agent_harness.h"
#include "tests/fakes/net_io.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::desktop::CSocketConnect;
using ks::desktop::ISocketConnectCallback;
namespace wire = ks::wire;
namespace dw = ks::wire::desktop;

constexpr const char* kHost = "127.0.0.1";

// A socket listening on 127.0.0.1 at a free port; it accepts (the kernel does) and never answers.
struct SilentListener {
  int fd = -1;
  uint16_t port = 0;
  SilentListener() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(fd, 16);
    socklen_t l = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &l);
    port = ntohs(sa.sin_port);
  }
  ~SilentListener() { ::close(fd); }
};

// A port nobody listens on, claimed for this process (never handed to a client's connect).
uint16_t FreePort() { return ks::fake::FreeTcpPort(); }

int OpenFds() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
  ::closedir(d);
  return n;
}

// Connects from `from` (a loopback address) to 127.0.0.1:port; -1 when refused.
int ConnectFrom(const char* from, const char* to, uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &local.sin_addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  ::inet_pton(AF_INET, to, &sa.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

// What the peer reads until it has `want` bytes or the connection ends (5 s bound).
std::vector<uint8_t> ReadUpTo(int fd, size_t want) {
  std::vector<uint8_t> out;
  uint8_t buf[512];
  while (out.size() < want) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

// Records callbacks; waits for them with a bounded deadline.
class Recorder : public ISocketConnectCallback {
 public:
  void OnReceive(const uint8_t* message, size_t length) override {
    std::lock_guard<std::mutex> lock(m_);
    received_.emplace_back(message, message + length);
    cv_.notify_all();
  }
  void OnError(uint16_t type, int code) override {
    std::lock_guard<std::mutex> lock(m_);
    errors_.emplace_back(type, code);
    cv_.notify_all();
  }
  bool WaitFor(size_t received, size_t errors) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::seconds(10),
                        [&] { return received_.size() >= received && errors_.size() >= errors; });
  }
  std::vector<std::vector<uint8_t>> received() {
    std::lock_guard<std::mutex> lock(m_);
    return received_;
  }
  std::vector<std::pair<uint16_t, int>> errors() {
    std::lock_guard<std::mutex> lock(m_);
    return errors_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::vector<uint8_t>> received_;
  std::vector<std::pair<uint16_t, int>> errors_;
};

ks::fake::AgentOptions AgentOptionsForTest() {
  ks::fake::AgentOptions o;
  o.binary = KS_AGENT_BINARY;
  o.schema_file = KS_SCHEMA_FILE;
  return o;
}

// ---- requests --------------------------------------------------------------------------------

TEST(SocketConnectRequest, RealAgentAnswersAndAutoTidingIsFireAndForget) {
  ks::fake::AgentHarness agent(AgentOptionsForTest());
  ASSERT_TRUE(agent.Start()) << agent.ReadLog();
  CSocketConnect link(agent.message_port(), FreePort());

  std::vector<uint8_t> reply;
  ASSERT_EQ(0, link.SendRequest(kHost, dw::MakeRequest(MSG_SHOW_LOGON_STATUS, 7), &reply));
  ASSERT_EQ(12u, reply.size());
  wire::MsgHead head = wire::DecodeMsgHead(reply.data());
  EXPECT_EQ(12, head.length);
  EXPECT_EQ(MSG_SHOW_LOGON_STATUS, head.type);

  // The agent never answers 0x5014: sent whole, 0, without waiting for the receive time-out.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, link.SendRequest(kHost, dw::MakeSetAutoTidyingRequest(1, true), &reply));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(CSocketConnect::kRecvTimeoutMs));
  bool on = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  do {
    ASSERT_EQ(0, link.SendRequest(kHost, dw::MakeRequest(MSG_SHOW_GET_AUTO_TIDING, 2), &reply));
    ASSERT_TRUE(dw::ParseGetAutoTidyingReply(reply.data() + 8, reply.size() - 8, &on));
  } while (!on && std::chrono::steady_clock::now() < deadline);
  EXPECT_TRUE(on);
}

TEST(SocketConnectRequest, FailuresMapToTheirResults) {
  SilentListener silent;
  const std::vector<uint8_t> status = dw::MakeRequest(MSG_SHOW_LOGON_STATUS, 1);
  std::vector<uint8_t> tooLong(70000, 0);
  std::vector<uint8_t> lyingHead = status;
  lyingHead[1] = 20;  // announces 20 bytes, holds 8
  struct Case {
    const char* name;
    std::string host;
    uint16_t port;
    std::vector<uint8_t> message;
    int want;
  } cases[] = {
      {"agent down", kHost, FreePort(), status, CSocketConnect::kNoConnection},
      {"no host", "", silent.port, status, CSocketConnect::kNoConnection},
      {"host off loopback", "192.0.2.1", silent.port, status, CSocketConnect::kNoConnection},
      {"agent silent", kHost, silent.port, status, CSocketConnect::kTimedOut},
      {"body past u16", kHost, silent.port, tooLong, -1},
      {"head not the message's size", kHost, silent.port, lyingHead, -1},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> reply{1, 2, 3};
    EXPECT_EQ(c.want, CSocketConnect::SendRequestTo(c.host, c.port, c.message, &reply)) << c.name;
    EXPECT_TRUE(reply.empty()) << c.name;
  }
}

// A one-shot server that answers a request with fixed bytes, then closes.
struct ScriptedServer {
  SilentListener l;
  std::thread t;
  explicit ScriptedServer(std::vector<uint8_t> answer) {
    t = std::thread([this, answer] {
      int c = ::accept(l.fd, nullptr, nullptr);
      uint8_t head[8];
      ::recv(c, head, sizeof head, MSG_WAITALL);
      ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
      ::shutdown(c, SHUT_WR);
      ReadUpTo(c, 1);  // until the client closes
      ::close(c);
    });
  }
  ~ScriptedServer() { t.join(); }
};

TEST(SocketConnectRequest, ShortAndMalformedRepliesAreRefused) {
  std::vector<uint8_t> headOnly = dw::MakeRequest(MSG_SHOW_LOGON_STATUS, 1);
  std::vector<uint8_t> shortBody = dw::MakeResultReply(wire::DecodeMsgHead(headOnly.data()), 1);
  shortBody.resize(10);  // announces 12
  std::vector<uint8_t> smallHead = headOnly;
  smallHead[1] = 4;  // a length below the head itself
  struct Case {
    const char* name;
    std::vector<uint8_t> answer;
    int want;
    size_t replySize;
  } cases[] = {
      {"head alone", headOnly, 0, 8},
      {"body short", shortBody, -1, 0},
      {"length below 8", smallHead, CSocketConnect::kNoReplyHead, 0},
      {"closed without head", {}, CSocketConnect::kNoReplyHead, 0},
  };
  for (const Case& c : cases) {
    ScriptedServer server(c.answer);
    std::vector<uint8_t> reply;
    EXPECT_EQ(c.want, CSocketConnect::SendRequestTo(kHost, server.l.port, headOnly, &reply)) << c.name;
    EXPECT_EQ(c.replySize, reply.size()) << c.name;
  }
}

TEST(SocketConnectRequest, QueuedRequestsReachTheCallbackInOrder) {
  ks::fake::AgentHarness agent(AgentOptionsForTest());
  ASSERT_TRUE(agent.Start()) << agent.ReadLog();
  Recorder rec;
  {
    CSocketConnect link(agent.message_port(), FreePort());
    link.SetCallback(&rec);
    ASSERT_EQ(0, link.PostRequest(kHost, dw::MakeRequest(MSG_SHOW_LOGON_STATUS, 1)));
    ASSERT_EQ(0, link.PostRequest(kHost, dw::MakeRequest(MSG_SHOW_GET_AUTO_TIDING, 2)));
    EXPECT_EQ(-1, link.PostRequest("", dw::MakeRequest(MSG_SHOW_GET_SHARE, 3)));
    ASSERT_TRUE(rec.WaitFor(2, 1));
    link.SetCallback(nullptr);
  }
  auto got = rec.received();
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ(MSG_SHOW_LOGON_STATUS, wire::DecodeMsgHead(got[0].data()).type);
  EXPECT_EQ(MSG_SHOW_GET_AUTO_TIDING, wire::DecodeMsgHead(got[1].data()).type);
  ASSERT_EQ(1u, rec.errors().size());
  EXPECT_EQ(std::make_pair(uint16_t(MSG_SHOW_GET_SHARE), 1), rec.errors()[0]);

  // Agent down: connect failure; agent silent: receive failure.
  SilentListener silent;
  Recorder down;
  {
    CSocketConnect link(FreePort(), FreePort());
    link.SetCallback(&down);
    ASSERT_EQ(0, link.PostRequest(kHost, dw::MakeRequest(MSG_SHOW_LOGON_STATUS, 1)));
    ASSERT_TRUE(down.WaitFor(0, 1));
    link.SetCallback(nullptr);
  }
  EXPECT_EQ(std::make_pair(uint16_t(MSG_SHOW_LOGON_STATUS), 1), down.errors()[0]);
  Recorder quiet;
  {
    CSocketConnect link(silent.port, FreePort());
    link.SetCallback(&quiet);
    ASSERT_EQ(0, link.PostRequest(kHost, dw::MakeRequest(MSG_SHOW_LOGON_STATUS, 1)));
    ASSERT_TRUE(quiet.WaitFor(0, 1));
    link.SetCallback(nullptr);
  }
  EXPECT_EQ(std::make_pair(uint16_t(MSG_SHOW_LOGON_STATUS), 3), quiet.errors()[0]);
}

// ---- pushes ----------------------------------------------------------------------------------

std::vector<uint8_t> Ask(uint32_t word) {
  uint8_t body[64] = {};
  std::memcpy(body, "other@x.test", 12);
  return dw::MakeDeviceLoginAsk(word, body, sizeof body);
}

class SocketConnectPush : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, link_.StartListening()); }
  int Push(const std::vector<uint8_t>& message) {
    int fd = ConnectFrom(kHost, kHost, link_.listen_port());
    EXPECT_GE(fd, 0);
    ::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
    return fd;
  }
  Recorder rec_;
  CSocketConnect link_{FreePort(), FreePort()};
};

TEST_F(SocketConnectPush, KeptPushIsAnsweredWithItsWordBytesAndVerdict) {
  link_.SetCallback(&rec_);
  const std::vector<uint8_t> ask = Ask(0x01020304);
  int fd = Push(ask);
  ASSERT_TRUE(rec_.WaitFor(1, 0));
  EXPECT_EQ(ask, rec_.received()[0]);
  EXPECT_EQ(1u, link_.KeptPushCount());
  uint32_t rawWord;
  std::memcpy(&rawWord, ask.data() + 4, 4);
  ASSERT_EQ(0, link_.SendPushReply(rawWord, 1));
  std::vector<uint8_t> answer = ReadUpTo(fd, 13);
  ASSERT_EQ(12u, answer.size());  // 12 bytes, then the connection ends
  EXPECT_EQ(12, wire::GetU16(answer.data()));
  EXPECT_EQ(MSG_SHOW_DEVICE_LOGIN_ASK, wire::GetU16(answer.data() + 2));
  EXPECT_EQ(0, std::memcmp(answer.data() + 4, ask.data() + 4, 4));
  EXPECT_EQ(1u, wire::GetU32(answer.data() + 8));
  EXPECT_EQ(0u, link_.KeptPushCount());
  EXPECT_EQ(-1, link_.SendPushReply(rawWord, 0));  // answered already
  ::close(fd);
}

TEST_F(SocketConnectPush, PushesNobodyCanAnswerAreClosedAtOnce) {
  std::vector<uint8_t> shortAsk = Ask(5);
  shortAsk.resize(100);
  std::vector<uint8_t> smallHead = Ask(6);
  smallHead[0] = 0;
  smallHead[1] = 4;  // a length below the head itself
  struct Case {
    const char* name;
    bool callback;
    std::vector<uint8_t> message;
  } cases[] = {
      {"no callback", false, Ask(4)},
      {"short body", true, shortAsk},
      {"length below 8", true, smallHead},
  };
  for (const Case& c : cases) {
    link_.SetCallback(c.callback ? &rec_ : nullptr);
    int fd = Push(c.message);
    if (c.name == std::string("short body")) ::shutdown(fd, SHUT_WR);
    EXPECT_TRUE(ReadUpTo(fd, 1).empty()) << c.name;  // closed, nothing sent
    ::close(fd);
  }
  link_.SetCallback(nullptr);
  EXPECT_TRUE(rec_.received().empty());
  EXPECT_EQ(0u, link_.KeptPushCount());
}

TEST_F(SocketConnectPush, DuplicateWordReachesTheCallbackButKeepsTheFirst) {
  link_.SetCallback(&rec_);
  int first = Push(Ask(9));
  ASSERT_TRUE(rec_.WaitFor(1, 0));
  int second = Push(Ask(9));
  ASSERT_TRUE(rec_.WaitFor(2, 0));
  EXPECT_TRUE(ReadUpTo(second, 1).empty());  // the duplicate's connection is closed
  EXPECT_EQ(1u, link_.KeptPushCount());
  uint32_t raw = htonl(9);
  ASSERT_EQ(0, link_.SendPushReply(raw, 0));
  EXPECT_EQ(12u, ReadUpTo(first, 12).size());
  ::close(first);
  ::close(second);
}

TEST_F(SocketConnectPush, ListenerIsReachableOnlyOn127001) {
  EXPECT_EQ(-1, ConnectFrom("127.0.0.2", "127.0.0.2", link_.listen_port()));
  // A connection from another loopback address to 127.0.0.1 is closed unread.
  link_.SetCallback(&rec_);
  int fd = ConnectFrom("127.0.0.2", kHost, link_.listen_port());
  ASSERT_GE(fd, 0);
  ::send(fd, Ask(3).data(), Ask(3).size(), MSG_NOSIGNAL);
  EXPECT_TRUE(ReadUpTo(fd, 1).empty());
  ::close(fd);
  link_.SetCallback(nullptr);
  EXPECT_TRUE(rec_.received().empty());
}

TEST(SocketConnectLifetime, DestructorEndsQueuedRequestsAndKeptPushesAndLeavesNoFd) {
  SilentListener silent;
  const uint16_t listenPort = FreePort();  // its claim keeps a descriptor: taken before counting
  int before = OpenFds();
  Recorder rec;
  int pushFd = -1;
  int halfFd = -1;
  {
    CSocketConnect link(silent.port, listenPort);
    ASSERT_EQ(0, link.StartListening());
    link.SetCallback(&rec);
    for (uint32_t i = 0; i < 5; ++i) link.PostRequest(kHost, dw::MakeRequest(MSG_SHOW_LOGON_STATUS, i));
    pushFd = ConnectFrom(kHost, kHost, link.listen_port());
    std::vector<uint8_t> ask = Ask(1);
    ::send(pushFd, ask.data(), ask.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(rec.WaitFor(1, 0));
    halfFd = ConnectFrom(kHost, kHost, link.listen_port());  // sends nothing: its thread waits
    ASSERT_GE(halfFd, 0);
    link.SetCallback(nullptr);
  }
  EXPECT_TRUE(ReadUpTo(pushFd, 1).empty());  // the kept push was closed
  ::close(pushFd);
  ::close(halfFd);
  EXPECT_EQ(before, OpenFds());
}

// ---- synchronous questions -------------------------------------------------------------------

TEST(AgentRequests, StatusWordsMapToLogOnStates) {
  const std::pair<uint32_t, int> cases[] = {{0, 1},    {4096, 4}, {4097, 4}, {4122, 5},
                                            {4127, 2}, {4132, 7}, {4100, 4100}};
  for (auto [word, state] : cases) EXPECT_EQ(state, ks::desktop::MapLogOnStatus(word)) << word;
}

TEST(AgentRequests, TransferCountsMapToStates) {
  struct Case {
    uint16_t sessions, downloads;
    int want;
  } cases[] = {{0, 0, 2}, {1, 0, 3}, {2, 1, 3}, {1, 1, 4}, {0, 1, 4}};
  for (const Case& c : cases)
    EXPECT_EQ(c.want, ks::desktop::MapTransferring(c.sessions, c.downloads)) << c.sessions << "/" << c.downloads;
}

TEST(AgentRequests, LogOnStatusReadsTheAgentsWordOrItsFailure) {
  wire::MsgHead status{8, MSG_SHOW_LOGON_STATUS, 0};
  wire::MsgHead other{8, MSG_SHOW_GET_SHARE, 0};
  struct Case {
    const char* name;
    std::vector<uint8_t> answer;
    int want;
  } cases[] = {
      {"wrong password", dw::MakeResultReply(status, 4127), 2},
      {"logged on", dw::MakeResultReply(status, 0), 1},
      {"another type", dw::MakeResultReply(other, 0), 0},
      {"no body", dw::MakeRequest(MSG_SHOW_LOGON_STATUS, 0), 0},
  };
  for (const Case& c : cases) {
    ScriptedServer server(c.answer);
    CSocketConnect link(server.l.port, FreePort());
    EXPECT_EQ(c.want, ks::desktop::GetLogOnStatus(link, kHost)) << c.name;
  }
  CSocketConnect down(FreePort(), FreePort());
  EXPECT_EQ(CSocketConnect::kNoConnection, ks::desktop::GetLogOnStatus(down, kHost));
  EXPECT_EQ(0, ks::desktop::GetTransferState(down, kHost));
  SilentListener silent;
  CSocketConnect quiet(silent.port, FreePort());
  EXPECT_EQ(CSocketConnect::kTimedOut, ks::desktop::GetLogOnStatus(quiet, kHost));
}

TEST(AgentRequests, RealAgentAutoTidingRoundTripAndNoMobileLinked) {
  ks::fake::AgentHarness agent(AgentOptionsForTest());
  ASSERT_TRUE(agent.Start()) << agent.ReadLog();
  CSocketConnect link(agent.message_port(), FreePort());
  EXPECT_EQ(1, ks::desktop::GetTransferState(link, kHost));
  for (bool want : {true, false}) {
    ASSERT_EQ(0, ks::desktop::SetAutoTiding(link, kHost, want));
    bool on = !want;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    // The agent applies the switch on its own time; a loaded machine may also let one
    // question go unanswered, which only means asking again.
    int asked = -1;
    do {
      asked = ks::desktop::GetAutoTiding(link, kHost, &on);
    } while ((asked != 0 || on != want) && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(0, asked);
    EXPECT_EQ(want, on);
  }
}

TEST(AgentRequests, RealAgentShareListRoundTripKeepsLongPathsAndRefusesOversizeLists) {
  ks::fake::AgentHarness agent(AgentOptionsForTest());
  ASSERT_TRUE(agent.Start()) << agent.ReadLog();
  CSocketConnect link(agent.message_port(), FreePort());
  ks::test::TempDir dir;
  std::string longPath = dir.path();
  while (longPath.size() < 300) longPath += "/" + std::string(40, 'd');
  std::filesystem::create_directories(longPath);
  std::string second = dir.path() + "/b";
  std::filesystem::create_directories(second);
  const std::vector<std::string> shares = {longPath, second};
  ASSERT_EQ(0, ks::desktop::SetShare(link, kHost, shares));
  std::vector<std::string> got;
  ASSERT_EQ(0, ks::desktop::GetShare(link, kHost, &got));
  EXPECT_EQ(shares, got);

  std::vector<std::string> huge;
  for (int i = 0; i < 700; ++i) huge.push_back(dir.path() + "/" + std::string(90, 'x') + std::to_string(i));
  EXPECT_EQ(-1, ks::desktop::SetShare(link, kHost, huge));
  ASSERT_EQ(0, ks::desktop::GetShare(link, kHost, &got));
  EXPECT_EQ(shares, got);  // the agent's list unchanged

  CSocketConnect down(FreePort(), FreePort());
  EXPECT_EQ(CSocketConnect::kNoConnection, ks::desktop::GetShare(down, kHost, &got));
  EXPECT_EQ(shares, got);  // untouched without a reply
}

}  // namespace
