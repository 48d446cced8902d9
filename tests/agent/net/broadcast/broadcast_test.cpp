// LAN discovery and wake-up announcements: the datagram layouts, the listener and the
// announcer on loopback (broadcasts to 127.255.255.255, made-up adapters), and discovery
// across real adapters in network namespaces made and removed by the test (root only).
#include "agent/net/broadcast/broadcast.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

#include "agent/db/local_db.h"
#include "agent/net/broadcast/device_id.h"
#include "agent/core/state/state.h"
#include "agent/util/util.h"
#include "platform/adapters.h"
#include "tests/fakes/net_io.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::net::BroadcastMsg;
using ks::net::BroadcastServer;
using ks::platform::Adapter;
using ks::platform::OperStatus;
using Bytes = std::vector<uint8_t>;

constexpr char kEmail[] = "owner@example.com";
constexpr char kPsw[] = "stored-psw-value";
constexpr char kDeviceId[] = "0123456789abcdef0123456789abcdef";

uint16_t U16(const Bytes& b, size_t off) { return static_cast<uint16_t>(b[off] << 8 | b[off + 1]); }
std::string Text(const Bytes& b, size_t off, size_t size) {
  const char* p = reinterpret_cast<const char*>(b.data() + off);
  return std::string(p, ::strnlen(p, size));
}
std::string Ip(const Bytes& b, size_t off) {
  in_addr a;
  std::memcpy(&a, b.data() + off, 4);
  return ::inet_ntoa(a);
}

Adapter MakeAdapter(const char* name, std::vector<std::string> ipv4, std::array<uint8_t, 6> mac) {
  Adapter a;
  a.name = name;
  a.status = OperStatus::kOperational;
  a.ipv4 = std::move(ipv4);
  a.mac = mac;
  return a;
}

Bytes Request(uint16_t type, const char* tag = "ks") {
  BroadcastMsg m;
  m.tag = tag;
  m.version = 370;
  m.type = type;
  Bytes b(ks::net::kBroadcastMsgSize);
  ks::net::EncodeBroadcastMsg(m, b.data());
  return b;
}

int UdpSocket(const std::string& address, uint16_t port, bool reuse = true) {
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  if (reuse) ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// A UDP port claimed for this test process (see ks::fake::FreeUdpPort).
uint16_t FreeUdpPort() { return ks::fake::FreeUdpPort(); }

void SendTo(int s, const Bytes& data, const std::string& address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  ::sendto(s, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

// Datagrams arriving within `ms`; only those whose u16 at offset 4 is `type` when given.
std::vector<Bytes> Receive(int s, int ms, int wanted = 1000, int type = -1) {
  std::vector<Bytes> got;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (static_cast<int>(got.size()) < wanted) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    Bytes b(2048);
    ssize_t n = ::recv(s, b.data(), b.size(), 0);
    if (n < 0) continue;
    b.resize(static_cast<size_t>(n));
    if (type >= 0 && (b.size() < 6 || U16(b, 4) != type)) continue;
    got.push_back(b);
  }
  return got;
}

// ---- layouts ---------------------------------------------------------------------------

TEST(BroadcastMsgLayout, FieldsAtTheirOffsets) {
  BroadcastMsg m;
  m.tag = "ks";
  m.version = 370;
  m.type = 2;
  m.email = kEmail;
  m.psw = std::string(40, 'p');  // cut to 31 characters and a NUL
  ::inet_pton(AF_INET, "192.168.1.5", &m.addr);
  m.port = 15001;
  m.hostName = "host";
  m.deviceId = kDeviceId;
  Bytes b(206);
  ks::net::EncodeBroadcastMsg(m, b.data());
  EXPECT_EQ(Text(b, 0, 2), "ks");
  EXPECT_EQ(U16(b, 2), 370);
  EXPECT_EQ(U16(b, 4), 2);
  EXPECT_EQ(Text(b, 6, 32), kEmail);
  EXPECT_EQ(Text(b, 38, 32), std::string(31, 'p'));
  EXPECT_EQ(Ip(b, 70), "192.168.1.5");
  EXPECT_EQ(U16(b, 74), 15001);
  EXPECT_EQ(U16(b, 76), 0);
  EXPECT_EQ(Text(b, 78, 64), "host");
  EXPECT_EQ(Text(b, 142, 64), kDeviceId);

  BroadcastMsg back;
  ASSERT_EQ(ks::net::ParseBroadcastMsg(b.data(), b.size(), &back), 0);
  EXPECT_EQ(back.email, kEmail);
  EXPECT_EQ(back.port, 15001);
  EXPECT_EQ(back.addr, m.addr);
  EXPECT_EQ(back.deviceId, kDeviceId);
}

TEST(BroadcastMsgLayout, ParsingIsBoundedAndClassifies) {
  EXPECT_EQ(ks::net::ParseBroadcastMsg(nullptr, 10, nullptr), -1);
  Bytes full(513, 'A');  // no NUL anywhere: every text stops at its field's end
  BroadcastMsg m;
  ASSERT_EQ(ks::net::ParseBroadcastMsg(full.data(), full.size(), &m), 0);
  EXPECT_EQ(m.email.size(), 32u);
  EXPECT_EQ(m.deviceId.size(), 64u);
  Bytes shortOne = {'k', 's', 0x01, 0x72, 0x00, 0x04};
  ASSERT_EQ(ks::net::ParseBroadcastMsg(shortOne.data(), shortOne.size(), &m), 0);
  EXPECT_TRUE(ks::net::IsDiscoveryRequest(m));
  EXPECT_EQ(m.email, "");
  struct Case { uint16_t type; const char* tag; bool request; } cases[] = {
      {4, "ks", true}, {5, "ks", true}, {3, "ks", false}, {2, "ks", false}, {4, "kx", false}, {5, "KS", false},
  };
  for (const Case& c : cases) {
    Bytes b = Request(c.type, c.tag);
    ks::net::ParseBroadcastMsg(b.data(), b.size(), &m);
    EXPECT_EQ(ks::net::IsDiscoveryRequest(m), c.request) << c.tag << c.type;
  }
}

TEST(WakeupMsgLayout, ThreeAdaptersMake126Bytes) {
  Bytes b = ks::net::BuildWakeupMsg(kDeviceId, {"00-1A-2B-3C-4D-5E", "00-00-00-00-00-00", "AA-BB-CC-DD-EE-FF"});
  ASSERT_EQ(b.size(), 126u);
  EXPECT_EQ(U16(b, 0), 126);
  EXPECT_EQ(U16(b, 2), 0);
  EXPECT_EQ(U16(b, 4), 0x3101);
  EXPECT_EQ(Text(b, 6, 64), kDeviceId);
  EXPECT_EQ(U16(b, 70), 3);
  EXPECT_EQ(Text(b, 72, 18), "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(Text(b, 90, 18), "00-00-00-00-00-00");
  EXPECT_EQ(Text(b, 108, 18), "AA-BB-CC-DD-EE-FF");
  EXPECT_EQ(b[89], 0);
  EXPECT_EQ(ks::net::BuildWakeupMsg(std::string(100, 'x'), {}).size(), 72u);
  EXPECT_EQ(Text(ks::net::BuildWakeupMsg(std::string(100, 'x'), {}), 6, 64).size(), 63u);
}

// ---- listener and announcer on loopback ---------------------------------------------------

class LoopbackDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateDatabaseFile(dir / "Kestyl.db", KS_SCHEMA_FILE), 0);
    GlobalDb().open((dir / "Kestyl.db").c_str());
    ASSERT_EQ(WriteLogOnInfo({kEmail, kPsw}), 0);
    ks::state::SetLocalBindPort(15001);
    ks::state::SetSystemType(2);
    ks::state::SetTextEncoding("en");
    ks::net::SetDeviceIdLookup([](bool) { return std::string(kDeviceId); });
    // 127.0.0.2 stands for a LAN adapter: the whole of 127/8 is local, so it can be bound.
    ks::platform::SetAdapterSource([](std::vector<Adapter>& out) {
      out = {MakeAdapter("eth0", {"127.0.0.2"}, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}),
             MakeAdapter("wlan0", {"10.9.9.9"}, {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}),
             MakeAdapter("tap0", {"0.0.0.0"}, {})};
      return 0;
    });
  }
  void TearDown() override {
    if (thread_.joinable()) {
      if (server_) server_->Stop();
      thread_.join();
    }
    ks::platform::SetAdapterSource(nullptr);
    ks::net::SetDeviceIdLookup(nullptr);
    GlobalDb().close();
  }
  uint16_t Start() {
    uint16_t port = FreeUdpPort();
    server_ = std::make_unique<BroadcastServer>(port, "127.255.255.255");
    if (server_->Open() != 0) return 0;
    thread_ = std::thread([this] { server_->Run(); });
    return port;
  }

  ks::test::TempDir dir;
  std::unique_ptr<BroadcastServer> server_;
  std::thread thread_;
};

TEST_F(LoopbackDiscovery, RequestIsAnsweredOnceFromTheMatchingAdapter) {
  uint16_t port = Start();
  ASSERT_NE(port, 0);
  int listen = UdpSocket("127.255.255.255", port);  // where the broadcast answers arrive
  int client = UdpSocket("127.0.0.1", 0);
  ASSERT_GE(listen, 0);
  ASSERT_GE(client, 0);

  SendTo(client, Request(4), "127.0.0.1", port);
  auto answers = Receive(listen, 3000, 1, 2);
  ASSERT_EQ(answers.size(), 1u);
  const Bytes& a = answers[0];
  ASSERT_EQ(a.size(), 206u);
  EXPECT_EQ(Text(a, 0, 2), "ks");
  EXPECT_EQ(U16(a, 2), 370);
  EXPECT_EQ(U16(a, 4), 2);
  EXPECT_EQ(Text(a, 6, 32), kEmail);
  EXPECT_EQ(Text(a, 38, 32), kPsw);  // the stored value, as peers expect
  EXPECT_EQ(Ip(a, 70), "127.0.0.2");
  EXPECT_EQ(U16(a, 74), 15001);
  std::string host;
  GetHostName(host);
  EXPECT_EQ(Text(a, 78, 64), host.substr(0, 63));
  EXPECT_EQ(Text(a, 142, 64), kDeviceId);
  EXPECT_TRUE(Receive(listen, 300, 1000, 2).empty()) << "answered more than once";

  // Not requests: too short, another tag, another type. None is answered...
  SendTo(client, Bytes{'k', 's', 0x01, 0x72, 0x00}, "127.0.0.1", port);
  SendTo(client, Request(4, "kx"), "127.0.0.1", port);
  SendTo(client, Request(3), "127.0.0.1", port);
  EXPECT_TRUE(Receive(listen, 400, 1000, 2).empty());
  // ... and the listener still answers a type 5.
  SendTo(client, Request(5), "127.0.0.1", port);
  EXPECT_EQ(Receive(listen, 3000, 1, 2).size(), 1u);
  ::close(listen);
  ::close(client);
}

TEST_F(LoopbackDiscovery, SenderOnNoLocalNetworkGetsNoAnswer) {
  uint16_t port = FreeUdpPort();
  BroadcastServer server(port, "127.255.255.255");
  EXPECT_EQ(server.RevAndSendBroadcastData("127.0.0.1"), -1);  // listening socket not open
  ASSERT_EQ(server.Open(), 0);
  int listen = UdpSocket("127.255.255.255", port);
  ks::net::BuildLocalIpMap(server.Map());
  EXPECT_EQ(server.Map().size(), 2u);
  EXPECT_EQ(server.RevAndSendBroadcastData("172.16.0.9"), 0);
  EXPECT_TRUE(Receive(listen, 300, 1000, 2).empty());
  // An empty sender: one answer from the listening socket, address 0.
  EXPECT_EQ(server.RevAndSendBroadcastData(""), 0);
  auto answers = Receive(listen, 3000, 1, 2);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(Ip(answers[0], 70), "0.0.0.0");
  ::close(listen);
}

class LoopbackWakeup : public ::testing::Test {
 protected:
  void SetUp() override {
    ks::platform::SetAdapterSource([](std::vector<Adapter>& out) {
      out = {MakeAdapter("eth0", {"192.168.1.5"}, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}),
             MakeAdapter("tap0", {}, {}),
             MakeAdapter("wlan0", {}, {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff})};
      return 0;
    });
  }
  void TearDown() override {
    ks::platform::SetAdapterSource(nullptr);
    ks::net::SetDeviceIdLookup(nullptr);
  }
};

TEST_F(LoopbackWakeup, NothingUntilARealDeviceIdThenThe126ByteDatagram) {
  std::mutex m;
  std::string id;  // empty: no id yet
  std::atomic<int> looks{0}, asks{0};
  ks::net::SetDeviceIdLookup([&](bool askServer) {
    ++looks;
    if (askServer) ++asks;
    std::lock_guard<std::mutex> lock(m);
    return id;
  });
  ks::net::WakeupOptions o;
  o.broadcastAddress = "127.255.255.255";
  o.port = FreeUdpPort();
  o.intervalMs = 200;
  o.deviceIdPollMs = 20;
  o.serverAskEvery = 10;
  int listen = UdpSocket("127.255.255.255", o.port);
  ASSERT_GE(listen, 0);
  std::atomic<bool> stop{false};
  int rc = -2;
  std::thread job([&] { rc = ks::net::RunWakeupAnnouncer(o, &stop); });

  EXPECT_TRUE(Receive(listen, 400).empty()) << "sent without a device id";
  {
    std::lock_guard<std::mutex> lock(m);
    id = "00-1A-2B-3C-4D-5E";  // the MAC text stands in until the server gives an id
  }
  EXPECT_TRUE(Receive(listen, 400).empty()) << "sent with the MAC text as device id";
  EXPECT_GE(looks.load(), 10);
  EXPECT_LE(asks.load(), looks.load() / 10 + 1) << "the server is asked at every look";
  {
    std::lock_guard<std::mutex> lock(m);
    id = kDeviceId;
  }
  auto got = Receive(listen, 3000, 2);
  stop = true;
  job.join();
  EXPECT_EQ(rc, 0);
  ASSERT_EQ(got.size(), 2u);  // the first at once, then every interval
  EXPECT_EQ(got[0].size(), 126u);
  EXPECT_EQ(U16(got[0], 0), 126);
  EXPECT_EQ(U16(got[0], 4), 0x3101);
  EXPECT_EQ(Text(got[0], 6, 64), kDeviceId);
  EXPECT_EQ(U16(got[0], 70), 3);
  EXPECT_EQ(Text(got[0], 72, 18), "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(Text(got[0], 90, 18), "00-00-00-00-00-00");
  EXPECT_EQ(Text(got[0], 108, 18), "AA-BB-CC-DD-EE-FF");
  EXPECT_EQ(got[1], got[0]);
  ::close(listen);
}

TEST_F(LoopbackWakeup, StopFlagEndsTheWaitForADeviceId) {
  ks::net::SetDeviceIdLookup([](bool) { return std::string(); });
  ks::net::WakeupOptions o;
  o.broadcastAddress = "127.255.255.255";
  o.port = FreeUdpPort();
  std::thread job([&] { EXPECT_EQ(ks::net::RunWakeupAnnouncer(o), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ks::state::RequestStop();
  job.join();
  ks::state::ClearStop();
}

// ---- discovery across real adapters, in network namespaces -------------------------------

int Shell(const std::string& command, std::string* output = nullptr) {
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[512];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
  int status = ::pclose(p);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Namespaces of this test left by a run that was killed (its process is gone).
void RemoveStaleNamespaces() {
  DIR* d = ::opendir("/var/run/netns");
  if (!d) return;
  std::vector<std::string> stale;
  while (const dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name.rfind("ks-bc", 0) != 0) continue;
    std::string pid = name.substr(name.rfind('-') + 1);
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (::access(("/proc/" + pid).c_str(), F_OK) == 0) continue;
    stale.push_back(name);
  }
  ::closedir(d);
  for (const std::string& ns : stale) Shell("ip netns del " + ns);
}

// Runs fn on a thread that has entered the namespace (sockets it opens belong there).
template <typename Fn>
std::thread InNamespace(const std::string& ns, Fn fn) {
  return std::thread([ns, fn]() mutable {
    int fd = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    bool entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) ::close(fd);
    fn(entered);
  });
}

// The agent's namespace with two adapters, 192.168.77.5/24 and 10.77.0.7/24, each a veth
// pair to a client namespace (192.168.77.20 and 10.77.0.20). Nothing routes anywhere else.
class NamespaceDiscovery : public LoopbackDiscovery {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create network namespaces";
    if (Shell("ip netns list") != 0) GTEST_SKIP() << "`ip netns` is not available (iproute2)";
    RemoveStaleNamespaces();
    std::string pid = std::to_string(::getpid());
    agent_ = "ks-bca-" + pid;
    lan1_ = "ks-bcl-" + pid;
    lan2_ = "ks-bcw-" + pid;
    for (const std::string& ns : {agent_, lan1_, lan2_}) {
      std::string out;
      if (Shell("ip netns add " + ns, &out) != 0) GTEST_SKIP() << "cannot create network namespaces: " << out;
      created_.push_back(ns);
    }
    const std::string a = "ip -n " + agent_ + " ";
    for (const std::string& cmd : {
             a + "link set lo up",
             a + "link add a1 type veth peer name c1 netns " + lan1_,
             a + "link add a2 type veth peer name c2 netns " + lan2_,
             a + "addr add 192.168.77.5/24 dev a1", a + "link set a1 up",
             a + "addr add 10.77.0.7/24 dev a2", a + "link set a2 up",
             "ip -n " + lan1_ + " addr add 192.168.77.20/24 dev c1", "ip -n " + lan1_ + " link set c1 up",
             "ip -n " + lan2_ + " addr add 10.77.0.20/24 dev c2", "ip -n " + lan2_ + " link set c2 up"}) {
      std::string out;
      ASSERT_EQ(Shell(cmd, &out), 0) << cmd << ": " << out;
    }
    LoopbackDiscovery::SetUp();
    ks::platform::SetAdapterSource(nullptr);  // the namespace's real adapters
  }
  void TearDown() override {
    if (thread_.joinable()) {
      if (server_) server_->Stop();
      thread_.join();
    }
    for (const std::string& ns : created_) Shell("ip netns del " + ns);
    if (!created_.empty()) LoopbackDiscovery::TearDown();
  }

  std::string agent_, lan1_, lan2_;
  std::vector<std::string> created_;
};

TEST_F(NamespaceDiscovery, AnsweredOnceFromTheAdapterOfTheClientsNetwork) {
  static constexpr uint16_t kPort = 61617;  // the product's port: each namespace has its own ports
  std::atomic<bool> ready{false};
  thread_ = InNamespace(agent_, [this, &ready](bool entered) {
    if (!entered) return;
    server_ = std::make_unique<BroadcastServer>(kPort, "255.255.255.255");
    if (server_->Open() != 0) return;
    ready = true;
    server_->Run();
  });
  for (int i = 0; i < 300 && !ready; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(ready) << "the listener did not start in the agent's namespace";

  // The other network listens too: it must hear nothing.
  std::vector<Bytes> heardOnLan2;
  std::atomic<bool> lan2Ready{false};
  std::thread lan2 = InNamespace(lan2_, [&](bool entered) {
    if (!entered) return;
    int s = UdpSocket("0.0.0.0", kPort);
    lan2Ready = true;
    heardOnLan2 = Receive(s, 2500, 1000, 2);
    ::close(s);
  });
  std::vector<Bytes> answers, ignored, later;
  bool ok = false;
  std::thread lan1 = InNamespace(lan1_, [&](bool entered) {
    if (!entered) return;
    int listen = UdpSocket("0.0.0.0", kPort);
    int client = UdpSocket("192.168.77.20", 0);  // a phone broadcasting from its address
    if (listen < 0 || client < 0) return;
    for (int i = 0; i < 300 && !lan2Ready; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    SendTo(client, Request(4), "255.255.255.255", kPort);
    answers = Receive(listen, 1500, 1000, 2);
    SendTo(client, Bytes{'k', 's', 0x01, 0x72, 0x00}, "255.255.255.255", kPort);
    SendTo(client, Request(5, "xx"), "255.255.255.255", kPort);
    SendTo(client, Request(3), "255.255.255.255", kPort);
    ignored = Receive(listen, 500, 1000, 2);
    SendTo(client, Request(5), "192.168.77.5", kPort);  // unicast works as well
    later = Receive(listen, 1500, 1, 2);
    ::close(listen);
    ::close(client);
    ok = true;
  });
  lan1.join();
  lan2.join();
  ASSERT_TRUE(ok) << "client namespace could not be entered";
  ASSERT_EQ(answers.size(), 1u);
  ASSERT_EQ(answers[0].size(), 206u);
  EXPECT_EQ(Ip(answers[0], 70), "192.168.77.5");
  EXPECT_EQ(Text(answers[0], 6, 32), kEmail);
  EXPECT_EQ(Text(answers[0], 142, 64), kDeviceId);
  EXPECT_TRUE(ignored.empty());
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(Ip(later[0], 70), "192.168.77.5");
  EXPECT_TRUE(heardOnLan2.empty()) << "the answer left through the other adapter";
}

}  // namespace
