// The P2P client on loopback against a fake rendezvous server and fake UDT mobile clients.
#include "agent/net/p2p/p2p.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "agent/log/log.h"
#include "agent/db/local_db.h"
#include "agent/net/pool/thread_pool.h"
#include "agent/core/state/state.h"
#include "tests/fakes/p2p/fake_p2p.h"
#include "tests/fakes/test_support.h"

namespace ks::p2p {
namespace {

using test::p2p::BigU16;
using test::p2p::BigU32;
using test::p2p::Datagram;
using test::p2p::FakeUdtPeer;
using test::p2p::Message;
using test::p2p::PunchFields;
using test::p2p::UdpEndpoint;

constexpr uint16_t kHeartBeat = 0x8888;
constexpr uint16_t kStream = 0x7001;      // body: u32 count, u16 size; answers `count` messages
constexpr uint16_t kStreamData = 0x7002;
constexpr uint16_t kCounted = 0x7003;     // counts its calls
constexpr uint16_t kDesktop = 0x5000;     // a desktop type: never run for P2P

std::atomic<int> g_countedCalls{0};
std::atomic<int> g_desktopCalls{0};
std::atomic<uint64_t> g_heartBeatChannel{0};  // the channel of the last heart-beat

std::mutex g_closedMutex;
std::vector<uint64_t> g_closed;  // channel ids notified closed
size_t ClosedCount() {
  std::lock_guard<std::mutex> lock(g_closedMutex);
  return g_closed.size();
}

// The device heart-beat's answer: {12, 0x8888, word}, u16 0, u16 370.
int HeartBeatHandler(const uint8_t* body, size_t, const net::MsgHead* head, net::Channel* conn,
                     std::vector<uint8_t>* reply, int*, int*) {
  if (!body) return 274;
  g_heartBeatChannel = conn->Id();
  reply->assign(12, 0);
  net::EncodeMsgHead(net::MsgHead{12, kHeartBeat, head->sequence}, reply->data());
  net::PutU16(reply->data() + 10, 370);
  return 0;
}

int StreamHandler(const uint8_t* body, size_t bodyLength, const net::MsgHead*, net::Channel* conn,
                  std::vector<uint8_t>*, int* udtSocket, int* direct) {
  if (bodyLength < 6 || *udtSocket < 0 || *direct != 1 || conn->origin() != net::Origin::kP2P) return -1;
  const uint32_t count = net::GetU32(body);
  const uint16_t size = net::GetU16(body + 4);
  std::vector<uint8_t> m(8 + size, 0xA5);
  for (uint32_t i = 0; i < count; ++i) {
    net::EncodeMsgHead(net::MsgHead{static_cast<uint16_t>(m.size()), kStreamData, i}, m.data());
    if (!conn->Write(m.data(), m.size())) return -1;
  }
  return 0;
}

int CountedHandler(const uint8_t*, size_t, const net::MsgHead*, net::Channel*, std::vector<uint8_t>*, int*, int*) {
  ++g_countedCalls;
  return 0;
}

int DesktopHandler(const uint8_t*, size_t, const net::MsgHead*, net::Channel*, std::vector<uint8_t>*, int*, int*) {
  ++g_desktopCalls;
  return 0;
}

test::TempDir& LogDir() {
  static test::TempDir d;  // removed at exit; threads still logging keep their open file
  return d;
}

class P2PEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // Before any thread starts: nothing may leave 127.0.0.0/8, heartbeats every second.
    ::setenv("KESTYL_LOOPBACK", "1", 1);
    ::setenv("KESTYL_P2P_HEARTBEAT_S", "1", 1);
    // P2P_TEST_ECHO=1 shows the log lines on the console as well.
    g_Log.Open(LogDir() / "Log.txt", LOG_LEVEL_DEBUG, getenv("P2P_TEST_ECHO") != nullptr);
    net::OS_RegFunction(kHeartBeat, HeartBeatHandler);
    net::OS_RegFunction(kStream, StreamHandler);
    net::OS_RegFunction(kCounted, CountedHandler);
    net::OS_RegFunction(kDesktop, DesktopHandler);
    net::OnChannelClosed([](uint64_t id) {
      std::lock_guard<std::mutex> lock(g_closedMutex);
      g_closed.push_back(id);
    });
  }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new P2PEnvironment);

// Bound of every wait for something that must happen: generous, since a loaded machine may
// take seconds, and costless, since the waits end when it happens.
constexpr int kWaitMs = 15000;

bool LogHas(const std::string& text) { return test::ReadFile(LogDir() / "Log.txt").find(text) != std::string::npos; }

bool WaitFor(const std::function<bool()>& pred, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The sockets this process holds open ("socket:[inode]").
std::set<std::string> OpenSockets() {
  std::set<std::string> out;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* e = ::readdir(d)) {
      char target[128] = {};
      const std::string link = std::string("/proc/self/fd/") + e->d_name;
      if (::readlink(link.c_str(), target, sizeof(target) - 1) > 0 && std::string(target).rfind("socket:", 0) == 0) {
        out.insert(target);
      }
    }
    ::closedir(d);
  }
  return out;
}

// True once every socket open now was already open in `before`.
bool OnlySocketsOf(const std::set<std::string>& before) {
  const auto now = OpenSockets();
  return std::includes(before.begin(), before.end(), now.begin(), now.end());
}

std::vector<uint8_t> HeartBeatRequest(uint32_t word) { return Message(kHeartBeat, word, {1, 2, 3, 4}); }

// The 12-byte heart-beat answer for `word`.
void ExpectHeartBeatAnswer(const std::optional<std::vector<uint8_t>>& m, uint32_t word) {
  ASSERT_TRUE(m.has_value());
  ASSERT_EQ(m->size(), 12u);
  EXPECT_EQ(BigU16(&(*m)[0]), 12);
  EXPECT_EQ(BigU16(&(*m)[2]), kHeartBeat);
  EXPECT_EQ(BigU32(&(*m)[4]), word);
  EXPECT_EQ(BigU16(&(*m)[8]), 0);
  EXPECT_EQ(BigU16(&(*m)[10]), 370);
}

class P2PClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state::ClearStop();
    state::SetMacText("00-1A-2B-3C-4D-5E");
    // The rendezvous server and the account come from the database.
    ASSERT_EQ(CreateDatabaseFile(dbPath_, KS_SCHEMA_FILE), 0);
    GlobalDb().open(dbPath_.c_str());
    GlobalDb().execDML(("update ks_conf set p2phost = '127.0.0.1', p2pport = " +
                        std::to_string(rendezvous_.port())).c_str());
    ASSERT_EQ(WriteLogOnInfo({"owner@example.com", "pw"}), 0);
    {
      std::lock_guard<std::mutex> lock(g_closedMutex);
      g_closed.clear();
    }
    ASSERT_EQ(net::DispatchJob(StartP2PClient), 0);
    ASSERT_TRUE(WaitFor([] { return P2PUdpPort() != 0; }, kWaitMs));
    port_ = P2PUdpPort();
  }

  void TearDown() override {
    state::RequestStop();
    EXPECT_TRUE(WaitP2PJobsEnded(kUdtReceiveTimeoutMs + 3000));
    GlobalDb().close();
    state::ClearStop();
  }

  // Punches (or acknowledges) and connects a fake client.
  void Connect(FakeUdtPeer& peer, bool viaAck = false) {
    if (viaAck) {
      ASSERT_TRUE(peer.Ack(port_));
    } else {
      ASSERT_EQ(peer.Punch(port_, PunchFields{}).size(), 3u);
    }
    ASSERT_TRUE(peer.Connect(port_));
  }

  test::TempDir dir_;
  const std::string dbPath_ = dir_ / "Kestyl.db";
  UdpEndpoint rendezvous_;
  uint16_t port_ = 0;
};

TEST_F(P2PClientTest, HeartBeatGoesToTheRendezvousServer) {
  std::vector<Datagram> beats;
  ASSERT_TRUE(WaitFor([&] {
    if (auto d = rendezvous_.Receive(100)) beats.push_back(*d);
    return beats.size() >= 2;
  }, kWaitMs));
  char host[256] = {};
  ::gethostname(host, sizeof(host) - 1);
  for (const Datagram& d : beats) {
    ASSERT_EQ(d.bytes.size(), 150u);
    EXPECT_EQ(ntohs(d.from.sin_port), port_);  // sent on the signalling socket
    EXPECT_EQ(BigU16(&d.bytes[0]), 150);
    EXPECT_EQ(BigU16(&d.bytes[2]), 370);
    EXPECT_EQ(BigU16(&d.bytes[4]), 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d.bytes[22])), std::string(host).substr(0, 31));
    EXPECT_EQ(std::vector<uint8_t>(d.bytes.begin() + 54, d.bytes.begin() + 60),
              (std::vector<uint8_t>{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d.bytes[86])), "owner@example.com");
  }
}

TEST_F(P2PClientTest, ShortSignallingDatagramsAreRefused) {
  // A server hole punch naming the sender itself as address 1 gets six answers there. A
  // refused datagram is followed by a probe: the first answer must be the probe's.
  UdpEndpoint s;
  struct Case {
    uint16_t type;
    size_t size;
    bool handled;
    const char* logLine;
  } cases[] = {
      {3, 31, false, "hole punch msg lens error: 31"},
      {3, 32, true, nullptr},
      {3, 40, true, nullptr},
      {4, 19, false, "ack msg lens error: 19"},
  };
  uint16_t tag = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " size " << c.size);
    PunchFields f;
    f.kind = 1;
    f.port1 = s.port();
    f.opaque16[0] = tag++;
    if (c.type == 3) {
      ASSERT_TRUE(s.SendTo(port_, test::p2p::HolePunchDatagram(f, c.size)));
    } else {
      ASSERT_TRUE(s.SendTo(port_, test::p2p::HoleAckDatagram(1, c.size)));
    }
    uint16_t expectTag = f.opaque16[0];
    if (!c.handled) {
      f.opaque16[0] = expectTag = 0xEEEE;
      ASSERT_TRUE(s.SendTo(port_, test::p2p::HolePunchDatagram(f)));
    }
    for (int i = 0; i < 6; ++i) {
      auto d = s.Receive(kWaitMs);
      ASSERT_TRUE(d.has_value()) << i;
      auto answer = test::p2p::DecodePunch(d->bytes);
      ASSERT_TRUE(answer.has_value());
      EXPECT_EQ(d->bytes.size(), 32u);
      EXPECT_EQ(answer->opaque16[0], expectTag);
    }
    if (c.logLine) {
      EXPECT_TRUE(WaitFor([&] { return LogHas(c.logLine); }, kWaitMs));
    }
  }
}

TEST_F(P2PClientTest, ServerHolePunchIsAnsweredThreeTimesToEachAddressInTurn) {
  UdpEndpoint p;  // the client's address the server names first
  UdpEndpoint server;
  PunchFields f;
  f.kind = 1;
  f.addr1 = "127.0.0.1";
  f.port1 = p.port();
  f.addr2 = "127.0.0.3";
  f.port2 = 4444;
  f.opaque = {9, 8, 7, 6};
  f.opaque16 = {1, 2, 3, 0xFFFF};
  ASSERT_TRUE(server.SendTo(port_, test::p2p::HolePunchDatagram(f)));

  std::vector<std::pair<int64_t, char>> arrivals;
  for (auto* e : {&p, &server}) {
    for (int i = 0; i < 3; ++i) {
      auto d = e->Receive(kWaitMs);
      ASSERT_TRUE(d.has_value());
      ASSERT_EQ(d->bytes.size(), 32u);
      EXPECT_EQ(ntohs(d->from.sin_port), port_);
      EXPECT_EQ(BigU16(&d->bytes[0]), 32);
      EXPECT_EQ(BigU16(&d->bytes[2]), 370);
      auto a = test::p2p::DecodePunch(d->bytes);
      ASSERT_TRUE(a.has_value());
      EXPECT_EQ(a->kind, 0);
      EXPECT_EQ(a->addr1, "127.0.0.3");
      EXPECT_EQ(a->port1, 4444);
      EXPECT_EQ(a->addr2, "127.0.0.1");
      EXPECT_EQ(a->port2, p.port());
      EXPECT_EQ(a->opaque, f.opaque);
      EXPECT_EQ(a->opaque16, f.opaque16);
      arrivals.push_back({d->stampNs, e == &p ? 'P' : 'S'});
    }
  }
  std::sort(arrivals.begin(), arrivals.end());
  std::string order;
  for (const auto& a : arrivals) order += a.second;
  EXPECT_EQ(order, "PSPSPS");
  EXPECT_TRUE(p.Drain().empty());
  EXPECT_TRUE(server.Drain().empty());
}

TEST_F(P2PClientTest, ClientHolePunchIsAnsweredThreeTimesWithItsSourcePort) {
  FakeUdtPeer peer;
  PunchFields f;
  f.addr1 = "127.0.0.5";
  f.port1 = 1111;
  f.addr2 = "127.0.0.6";
  f.port2 = 2222;
  const auto answers = peer.Punch(port_, f);
  ASSERT_EQ(answers.size(), 3u);
  for (const Datagram& d : answers) {
    ASSERT_EQ(d.bytes.size(), 20u);
    EXPECT_EQ(BigU16(&d.bytes[0]), 20);
    EXPECT_EQ(BigU16(&d.bytes[2]), 370);
    EXPECT_EQ(BigU16(&d.bytes[4]), 3);
    EXPECT_EQ(BigU16(&d.bytes[6]), 0);
    EXPECT_EQ(test::p2p::AddrAt(&d.bytes[8]), "127.0.0.6");
    EXPECT_EQ(BigU16(&d.bytes[12]), 2222);
    EXPECT_EQ(test::p2p::AddrAt(&d.bytes[14]), "127.0.0.5");
    EXPECT_EQ(BigU16(&d.bytes[18]), peer.port());  // the datagram's own source port
  }
  // A peer entry follows once the UDT connection is made.
  ASSERT_TRUE(peer.Connect(port_));
  EXPECT_TRUE(WaitFor([] { return P2PPeerCount() == 1; }, kWaitMs));
}

TEST_F(P2PClientTest, DeviceHeartBeatIsAnsweredOverUdt) {
  for (bool viaAck : {false, true}) {
    SCOPED_TRACE(viaAck ? "acknowledgement" : "hole punch");
    FakeUdtPeer peer;
    Connect(peer, viaAck);
    ASSERT_TRUE(peer.Send(HeartBeatRequest(77)));
    ExpectHeartBeatAnswer(peer.Receive(kWaitMs), 77);
  }
}

TEST_F(P2PClientTest, RepeatedSignallingFromOneClientMakesOnePeer) {
  FakeUdtPeer peer;
  ASSERT_EQ(peer.Punch(port_, PunchFields{}).size(), 3u);
  ASSERT_EQ(peer.Punch(port_, PunchFields{}).size(), 3u);
  ASSERT_TRUE(peer.Ack(port_));
  ASSERT_TRUE(peer.Connect(port_));
  ASSERT_TRUE(peer.Send(HeartBeatRequest(1)));
  ExpectHeartBeatAnswer(peer.Receive(kWaitMs), 1);
  EXPECT_EQ(P2PPeerCount(), 1u);
}

TEST_F(P2PClientTest, ConnectsUnderWayAreCapped) {
  // Clients that punch and then stay silent each hold a connect for its whole time-out.
  std::vector<std::unique_ptr<UdpEndpoint>> silent;
  for (size_t i = 0; i <= kMaxPendingConnects; ++i) {
    silent.push_back(std::make_unique<UdpEndpoint>());
    ASSERT_TRUE(silent.back()->SendTo(port_, test::p2p::HolePunchDatagram(PunchFields{})));
    for (int k = 0; k < 3; ++k) ASSERT_TRUE(silent.back()->Receive(kWaitMs).has_value()) << "client " << i;  // answered all the same
  }
  const std::string dropped = "udt connects all busy, 127.0.0.1:" + std::to_string(silent.back()->port()) + " dropped";
  EXPECT_TRUE(WaitFor([&] { return LogHas(dropped); }, kWaitMs));
  // The first ones are under way: UDT's handshakes reach them.
  EXPECT_TRUE(silent.front()->Receive(kWaitMs).has_value());
}

TEST_F(P2PClientTest, MalformedAndDesktopMessagesAreNotDispatched) {
  g_countedCalls = 0;
  g_desktopCalls = 0;
  FakeUdtPeer peer;
  Connect(peer);
  // Idle for longer than the receive time-out: time-outs keep the peer.
  std::this_thread::sleep_for(std::chrono::milliseconds(kUdtReceiveTimeoutMs + 300));
  const std::vector<uint8_t> body(40, 1);
  ASSERT_TRUE(peer.Send(std::vector<uint8_t>(7, 0)));                               // shorter than MsgHead
  ASSERT_TRUE(peer.Send(Message(kCounted, 1, std::vector<uint8_t>(2100 - 8, 0))));  // above 2048
  ASSERT_TRUE(peer.Send(Message(kCounted, 2, std::vector<uint8_t>(2049 - 8, 0))));  // 2049
  ASSERT_TRUE(peer.Send(Message(kCounted, 3, body, 100)));                          // length beyond the bytes
  ASSERT_TRUE(peer.Send(Message(kDesktop, 4, body)));                               // desktop type
  ASSERT_TRUE(peer.Send(Message(kCounted, 5, std::vector<uint8_t>(2040, 0))));      // exactly 2048: fine
  ASSERT_TRUE(peer.Send(HeartBeatRequest(6)));
  ExpectHeartBeatAnswer(peer.Receive(kWaitMs), 6);  // in order: everything before is done
  EXPECT_EQ(g_countedCalls.load(), 1);
  EXPECT_EQ(g_desktopCalls.load(), 0);
  EXPECT_TRUE(LogHas("udt ==== read lens eeror"));
  EXPECT_TRUE(LogHas("udu datasize more than 2048"));
}

TEST_F(P2PClientTest, PeerEndingLeavesTheSignallingSocketAlone) {
  const int signalFd = P2PUdpSocket();
  const auto sockets = OpenSockets();
  {
    FakeUdtPeer first;
    Connect(first);
    ASSERT_TRUE(first.Send(HeartBeatRequest(10)));
    ExpectHeartBeatAnswer(first.Receive(kWaitMs), 10);
  }  // the client goes away
  ASSERT_TRUE(WaitFor([] { return P2PPeerCount() == 0 && ClosedCount() == 1; }, kWaitMs));
  {
    // The sessions of that client's channel are told it ended.
    std::lock_guard<std::mutex> lock(g_closedMutex);
    EXPECT_EQ(g_closed[0], g_heartBeatChannel.load());
  }
  // Both ends' UDP sockets close with their UDT sockets; the signalling one stays as it was.
  EXPECT_TRUE(WaitFor([&] { return OnlySocketsOf(sockets); }, kWaitMs));
  EXPECT_EQ(P2PUdpSocket(), signalFd);
  EXPECT_NE(::fcntl(signalFd, F_GETFD), -1);
  timeval tv{};
  socklen_t len = sizeof(tv);
  ASSERT_EQ(::getsockopt(signalFd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec, 5);
  EXPECT_EQ(tv.tv_usec, 0);

  FakeUdtPeer second;
  Connect(second);
  ASSERT_TRUE(second.Send(HeartBeatRequest(11)));
  ExpectHeartBeatAnswer(second.Receive(kWaitMs), 11);
}

TEST_F(P2PClientTest, SignallingIsNotLostWhileAPeerTransfers) {
  FakeUdtPeer peer;
  Connect(peer);
  constexpr uint32_t kMessages = 20000;
  std::atomic<bool> done{false};
  uint32_t received = 0;
  bool inOrder = true;
  std::thread reader([&] {
    std::vector<uint8_t> req(6);
    net::PutU32(req.data(), kMessages);
    net::PutU16(req.data() + 4, 1000);
    if (peer.Send(Message(kStream, 0, req))) {
      while (received < kMessages) {
        auto m = peer.Receive(kWaitMs);
        if (!m || m->size() != 1008 || BigU16(&(*m)[2]) != kStreamData) break;
        inOrder = inOrder && BigU32(&(*m)[4]) == received;
        ++received;
      }
    }
    done = true;
  });
  // Ping-pong server hole punches for as long as the transfer runs.
  UdpEndpoint s;
  int punches = 0;
  int answered = 0;
  while (!done || punches < 200) {
    PunchFields f;
    f.kind = 1;
    f.port1 = s.port();
    f.opaque16[0] = static_cast<uint16_t>(punches);
    ASSERT_TRUE(s.SendTo(port_, test::p2p::HolePunchDatagram(f)));
    ++punches;
    int got = 0;
    while (got < 6) {
      auto d = s.Receive(kWaitMs);
      if (!d) break;
      auto a = test::p2p::DecodePunch(d->bytes);
      if (a && a->opaque16[0] == f.opaque16[0]) ++got;
    }
    if (got == 6) ++answered;
  }
  reader.join();
  EXPECT_EQ(received, kMessages);
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(answered, punches);
}

// At exit UDT's own threads are ended before the process's globals go; a later start (the
// service started again in the same process) brings UDT back.
TEST_F(P2PClientTest, UdtStoppedAtTheEndStartsAgain) {
  {
    FakeUdtPeer peer;
    Connect(peer);
    ASSERT_TRUE(peer.Send(HeartBeatRequest(5)));
    ExpectHeartBeatAnswer(peer.Receive(kWaitMs), 5);
  }
  state::RequestStop();
  ASSERT_TRUE(WaitP2PJobsEnded(kUdtReceiveTimeoutMs + 3000));
  StopUdt();
  StopUdt();  // twice is harmless

  state::ClearStop();
  ASSERT_EQ(net::DispatchJob(StartP2PClient), 0);
  ASSERT_TRUE(WaitFor([] { return P2PUdpPort() != 0; }, kWaitMs));
  port_ = P2PUdpPort();
  FakeUdtPeer again;
  Connect(again);
  ASSERT_TRUE(again.Send(HeartBeatRequest(6)));
  ExpectHeartBeatAnswer(again.Receive(kWaitMs), 6);
}

TEST_F(P2PClientTest, StopFlagEndsEveryJob) {
  const auto sockets = OpenSockets();
  auto peer = std::make_unique<FakeUdtPeer>();
  Connect(*peer);
  ASSERT_TRUE(WaitFor([] { return P2PPeerCount() == 1; }, kWaitMs));
  // The client asks for a long stream and reads none of it: the agent's writes back up.
  std::vector<uint8_t> req(6);
  net::PutU32(req.data(), 1000000);
  net::PutU16(req.data() + 4, 1000);
  ASSERT_TRUE(peer->Send(Message(kStream, 0, req)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // A client that punches and then stays silent keeps a connect under way.
  auto silent = std::make_unique<UdpEndpoint>();
  ASSERT_TRUE(silent->SendTo(port_, test::p2p::HolePunchDatagram(PunchFields{})));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(silent->Receive(kWaitMs).has_value());
  // The connect is under way once UDT's handshakes reach the silent client.
  ASSERT_TRUE(silent->Receive(kWaitMs).has_value());

  const auto t0 = std::chrono::steady_clock::now();
  state::RequestStop();
  EXPECT_TRUE(WaitP2PJobsEnded(kUdtReceiveTimeoutMs + 3000));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  RecordProperty("stop_ms", static_cast<int>(ms));
  EXPECT_EQ(P2PUdpSocket(), -1);
  EXPECT_EQ(P2PUdpPort(), 0);
  EXPECT_EQ(P2PPeerCount(), 0u);
  EXPECT_EQ(ClosedCount(), 1u);
  // Every socket the client opened is closed, the aborted connect's included.
  peer.reset();
  silent.reset();
  EXPECT_TRUE(WaitFor([&] { return OnlySocketsOf(sockets); }, kWaitMs));
}

}  // namespace
}  // namespace ks::p2p
