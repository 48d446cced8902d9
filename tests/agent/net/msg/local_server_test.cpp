#include "agent/net/msg/local_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/log/log.h"
#include "agent/net/msg/msg.h"
#include "agent/util/codes.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::net;
using namespace std::chrono_literals;

enum : uint16_t {
  kEcho = 0x7001,
  kThrow = 0x7002,
  kGated = 0x7003,
  kStream = 0x7004,
  kChannelId = 0x7005,
  kHugeReply = 0x7006,
  kGather = 0x7007,
  kDesktop = 0x5001,
  kUnregistered = 0x7777,
};

// ---- what the handlers saw, in order ----
struct Recorder {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> events;
  bool gateOpen = false;

  void Add(const std::string& e) {
    std::lock_guard<std::mutex> l(m);
    events.push_back(e);
    cv.notify_all();
  }
  bool WaitFor(const std::string& e, std::chrono::milliseconds t = 20s) {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, t, [&] { return std::find(events.begin(), events.end(), e) != events.end(); });
  }
  size_t Index(const std::string& e) {
    std::lock_guard<std::mutex> l(m);
    return size_t(std::find(events.begin(), events.end(), e) - events.begin());
  }
  bool WaitCount(const std::string& prefix, size_t n, std::chrono::milliseconds t = 10s) {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, t, [&] {
      size_t k = 0;
      for (auto& e : events) k += e.rfind(prefix, 0) == 0;
      return k == n;
    });
  }
  size_t Count(const std::string& prefix) {
    std::lock_guard<std::mutex> l(m);
    size_t n = 0;
    for (auto& e : events) n += e.rfind(prefix, 0) == 0;
    return n;
  }
  void Reset() {
    std::lock_guard<std::mutex> l(m);
    events.clear();
    gateOpen = false;
  }
  void OpenGate() {
    std::lock_guard<std::mutex> l(m);
    gateOpen = true;
    cv.notify_all();
  }
  void WaitGate() {
    std::unique_lock<std::mutex> l(m);
    cv.wait_for(l, 10s, [&] { return gateOpen; });
  }
} g_rec;

std::atomic<int> g_streamWrites{0};

std::vector<uint8_t> Encode(uint16_t length, uint16_t type, uint32_t seq, const std::string& body = "") {
  std::vector<uint8_t> m(8 + body.size());
  EncodeMsgHead(MsgHead{length, type, seq}, m.data());
  if (!body.empty()) std::memcpy(m.data() + 8, body.data(), body.size());
  return m;
}
std::vector<uint8_t> Message(uint16_t type, uint32_t seq, const std::string& body = "") {
  return Encode(uint16_t(8 + body.size()), type, seq, body);
}

int Echo(const uint8_t* body, size_t len, const MsgHead* h, Channel*, std::vector<uint8_t>* reply, int*, int*) {
  std::string b = body ? std::string(reinterpret_cast<const char*>(body), len) : "";
  g_rec.Add("handled " + std::to_string(h->type) + ":" + std::to_string(h->sequence) + (body ? "" : " null"));
  *reply = Message(h->type, h->sequence, b);
  return 0;
}
int Throw(const uint8_t*, size_t, const MsgHead*, Channel*, std::vector<uint8_t>*, int*, int*) {
  throw std::runtime_error("boom");
}
int Gated(const uint8_t* body, size_t len, const MsgHead* h, Channel* c, std::vector<uint8_t>* reply, int* u,
          int* d) {
  g_rec.Add("gated start");
  g_rec.WaitGate();
  g_rec.Add("gated end");
  return Echo(body, len, h, c, reply, u, d);
}
// Body: u32 number of 1000-byte messages to stream.
int Stream(const uint8_t* body, size_t len, const MsgHead*, Channel* c, std::vector<uint8_t>*, int*, int*) {
  uint32_t count = GetU32(FixedBody<4>(body, len).data());
  std::vector<uint8_t> m = Message(kStream, 0, std::string(1000, 's'));
  for (uint32_t i = 0; i < count; ++i) {
    PutU32(m.data() + 4, i);
    if (!c->Write(m.data(), m.size())) {
      g_rec.Add("stream write failed");
      break;
    }
    ++g_streamWrites;
  }
  g_rec.Add("stream end " + std::to_string(c->Id()));
  return 0;
}
// Body: u32 number of messages, sent in batches of 50 as gathered writes: each message's
// head, then its body (1000 bytes of its number's low byte) cut unevenly, with an empty
// piece among them.
int Gather(const uint8_t* body, size_t len, const MsgHead*, Channel* c, std::vector<uint8_t>*, int*, int*) {
  constexpr uint32_t kBatch = 50;
  const uint32_t count = GetU32(FixedBody<4>(body, len).data());
  std::vector<std::vector<uint8_t>> heads(kBatch), bodies(kBatch);
  std::vector<iovec> parts;
  for (uint32_t first = 0; first < count; first += kBatch) {
    parts.clear();
    for (uint32_t i = first; i < std::min(count, first + kBatch); ++i) {
      std::vector<uint8_t>& head = heads[i - first];
      std::vector<uint8_t>& data = bodies[i - first];
      head = Encode(1008, kGather, i);
      data.assign(1000, uint8_t(i));
      const size_t cut = 1 + i % 997;
      parts.push_back({head.data(), head.size()});
      parts.push_back({data.data(), cut});
      parts.push_back({data.data() + cut, 0});
      parts.push_back({data.data() + cut, data.size() - cut});
    }
    if (!c->WriteParts(parts.data(), parts.size())) {
      g_rec.Add("gather write failed");
      break;
    }
  }
  g_rec.Add("gather end");
  return 0;
}
int ChannelIdOf(const uint8_t*, size_t, const MsgHead* h, Channel* c, std::vector<uint8_t>* reply, int*, int*) {
  std::string id = std::to_string(c->Id());
  *reply = Message(h->type, h->sequence, id + (c->origin() == Origin::kLocal ? " local" : " lan"));
  return 0;
}
int HugeReply(const uint8_t*, size_t, const MsgHead*, Channel*, std::vector<uint8_t>* reply, int*, int*) {
  reply->assign(70000, 'h');
  return 0;
}

void RegisterOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    const Registration table[] = {
        {kEcho, Echo, "Echo"},         {kThrow, Throw, "Throw"},         {kGated, Gated, "Gated"},
        {kStream, Stream, "Stream"},   {kChannelId, ChannelIdOf, "Id"},  {kHugeReply, HugeReply, "Huge"},
        {kDesktop, Echo, "Desktop"},   {kGather, Gather, "Gather"},
    };
    ASSERT_EQ(RegisterHandlers(table, std::size(table)), 0);
    OnChannelClosed([](uint64_t id) { g_rec.Add("closed " + std::to_string(id)); });
  });
}

// ---- a blocking test client ----
class Client {
 public:
  explicit Client(uint16_t port, const char* source = nullptr, int rcvbuf = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (source) {
      ::inet_pton(AF_INET, source, &a.sin_addr);
      EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~Client() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool connected() const { return connected_; }

  void Send(const std::vector<uint8_t>& b) {
    ASSERT_EQ(::send(fd_, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
  }
  // One message; false on close, error or time-out.
  bool Recv(MsgHead* h, std::string* body, std::chrono::milliseconds t = 5s) {
    uint8_t head[8];
    if (!ReadExact(head, 8, t)) return false;
    *h = DecodeMsgHead(head);
    body->assign(h->length > 8 ? h->length - 8 : 0, '\0');
    return body->empty() || ReadExact(body->data(), body->size(), t);
  }
  // The server closed the connection (end of stream or reset) within the time.
  bool SeesClose(std::chrono::milliseconds t = 5s) {
    char c;
    for (;;) {
      if (!Readable(t)) return false;
      ssize_t n = ::recv(fd_, &c, 1, 0);
      if (n <= 0) return true;
    }
  }

 private:
  bool Readable(std::chrono::milliseconds t) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, int(t.count())) == 1;
  }
  bool ReadExact(void* buf, size_t n, std::chrono::milliseconds t) {
    auto* p = static_cast<char*>(buf);
    while (n) {
      if (!Readable(t)) return false;
      ssize_t r = ::recv(fd_, p, n, 0);
      if (r <= 0) return false;
      p += r;
      n -= size_t(r);
    }
    return true;
  }
  int fd_ = -1;
  bool connected_ = false;
};

class LocalServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterOnce();
    g_rec.Reset();
    g_streamWrites = 0;
  }
  void StartServer(LocalServerOptions o = {}) {
    o.bindAddress = "127.0.0.1";
    server_ = std::make_unique<LocalServer>(o);
    ASSERT_EQ(server_->Start(0), 0);
    port_ = server_->Port();
    ASSERT_NE(port_, 0);
  }
  void TearDown() override {
    g_rec.OpenGate();  // never leave a handler blocked
    if (server_) server_->Stop();
  }
  // Expects the next message on c to be the echo of (type, seq).
  void ExpectEcho(Client& c, uint16_t type, uint32_t seq, const std::string& body = "") {
    MsgHead h;
    std::string b;
    ASSERT_TRUE(c.Recv(&h, &b)) << "no reply for seq " << seq;
    EXPECT_EQ(h.type, type);
    EXPECT_EQ(h.sequence, seq);
    EXPECT_EQ(b, body);
  }

  std::unique_ptr<LocalServer> server_;
  uint16_t port_ = 0;
};

TEST_F(LocalServerTest, MessageInOneBytePiecesIsDispatchedOnce) {
  StartServer();
  Client c(port_);
  auto m = Message(kEcho, 11, "split me");
  for (uint8_t byte : m) {
    c.Send({byte});
    std::this_thread::sleep_for(1ms);  // separate segments, separate read callbacks
  }
  ExpectEcho(c, kEcho, 11, "split me");
  c.Send(Message(kEcho, 12));
  ExpectEcho(c, kEcho, 12);
  EXPECT_EQ(g_rec.Count("handled 28673:11"), 1u);
}

TEST_F(LocalServerTest, TwoMessagesInOneSegmentAreDispatchedInOrder) {
  StartServer();
  Client c(port_);
  auto both = Message(kEcho, 1, "first");
  auto second = Message(kEcho, 2, "second");
  both.insert(both.end(), second.begin(), second.end());
  c.Send(both);
  ExpectEcho(c, kEcho, 1, "first");
  ExpectEcho(c, kEcho, 2, "second");
}

TEST_F(LocalServerTest, HeadLengthEightOrBelowGivesANullBody) {
  StartServer();
  Client c(port_);
  auto stream = Encode(8, kEcho, 1);
  auto shorter = Encode(5, kEcho, 2);  // the 8 head bytes only; the next message follows
  auto next = Message(kEcho, 3, "x");
  stream.insert(stream.end(), shorter.begin(), shorter.end());
  stream.insert(stream.end(), next.begin(), next.end());
  c.Send(stream);
  ExpectEcho(c, kEcho, 1);
  ExpectEcho(c, kEcho, 2);
  ExpectEcho(c, kEcho, 3, "x");
  EXPECT_EQ(g_rec.Count("handled 28673:1 null"), 1u);
  EXPECT_EQ(g_rec.Count("handled 28673:2 null"), 1u);
}

TEST_F(LocalServerTest, ThrowingHandlerLeavesTheConnectionOpen) {
  StartServer();
  Client c(port_);
  c.Send(Message(kThrow, 1));
  c.Send(Message(kEcho, 2));
  ExpectEcho(c, kEcho, 2);
}

TEST_F(LocalServerTest, UnregisteredTypeClosesTheConnection) {
  StartServer();
  Client c(port_);
  c.Send(Message(kUnregistered, 1, "abc"));
  EXPECT_TRUE(c.SeesClose());
  for (int i = 0; i < 500 && server_->ConnectionCount() != 0; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(server_->ConnectionCount(), 0u);
  // The server itself goes on.
  Client d(port_);
  d.Send(Message(kEcho, 2));
  ExpectEcho(d, kEcho, 2);

  // A valid message and an unregistered one in the same segment: closed, and announced.
  Client e(port_);
  e.Send(Message(kChannelId, 3));
  MsgHead h;
  std::string idText;
  ASSERT_TRUE(e.Recv(&h, &idText));
  auto both = Message(kEcho, 4);
  auto bad = Message(kUnregistered, 5);
  both.insert(both.end(), bad.begin(), bad.end());
  e.Send(both);
  EXPECT_TRUE(e.SeesClose());
  EXPECT_TRUE(g_rec.WaitFor("closed " + idText.substr(0, idText.find(' '))));
}

TEST_F(LocalServerTest, RelayTypesAreReadWholeAndRefusedWithTheConnectionKept) {
  StartServer();
  Client c(port_);
  auto stream = Message(0x1008, 1, std::string(62, 'r'));
  auto relay = Message(0x1009, 2, std::string(300, 'p'));
  auto echo = Message(kEcho, 3, "after");
  stream.insert(stream.end(), relay.begin(), relay.end());
  stream.insert(stream.end(), echo.begin(), echo.end());
  c.Send(stream);
  ExpectEcho(c, kEcho, 3, "after");  // the first and only answer
}

TEST_F(LocalServerTest, DesktopTypesAnswerOnlyThePeer127001) {
  StartServer();
  Client lan(port_, "127.0.0.2");
  lan.Send(Message(kDesktop, 1));
  lan.Send(Message(kChannelId, 2));
  MsgHead h;
  std::string b;
  ASSERT_TRUE(lan.Recv(&h, &b));
  EXPECT_EQ(h.type, kChannelId) << "the desktop request got an answer from a LAN peer";
  EXPECT_NE(b.find(" lan"), std::string::npos);
  EXPECT_EQ(g_rec.Count("handled 20481"), 0u);

  Client local(port_);
  local.Send(Message(kDesktop, 3));
  ExpectEcho(local, kDesktop, 3);
  local.Send(Message(kChannelId, 4));
  ASSERT_TRUE(local.Recv(&h, &b));
  EXPECT_NE(b.find(" local"), std::string::npos);
}

TEST_F(LocalServerTest, HandlersRunOffTheLoopAndInOrderPerConnection) {
  StartServer();
  Client a(port_), b(port_);
  a.Send(Message(kGated, 1));
  a.Send(Message(kEcho, 2));
  ASSERT_TRUE(g_rec.WaitFor("gated start"));
  // The loop still serves other connections while a's handler is blocked...
  b.Send(Message(kEcho, 3));
  ExpectEcho(b, kEcho, 3);
  // ...but a's second message waits for its first.
  EXPECT_EQ(g_rec.Count("handled 28673:2"), 0u);
  g_rec.OpenGate();
  ExpectEcho(a, kGated, 1);
  ExpectEcho(a, kEcho, 2);
  EXPECT_LT(g_rec.Index("gated end"), g_rec.Index("handled 28673:2"));
}

TEST_F(LocalServerTest, StreamingWritesWaitForTheReaderAndFailOnceClosed) {
  LocalServerOptions o;
  o.highWater = 64 * 1024;
  StartServer(o);
  constexpr uint32_t kCount = 40000;  // 40 MB: far beyond the socket buffers
  {
    Client c(port_, nullptr, 64 * 1024);
    std::string count(4, '\0');
    PutU32(reinterpret_cast<uint8_t*>(count.data()), kCount);
    c.Send(Message(kStream, 1, count));
    // The handler has started writing (however busy the machine is)...
    for (int i = 0; i < 2000 && g_streamWrites == 0; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_GT(g_streamWrites.load(), 0);
    std::this_thread::sleep_for(300ms);  // ...and, not being read, it must be held back
    int written = g_streamWrites;
    EXPECT_LT(written, int(kCount / 4)) << "writes were buffered instead of waiting";

    MsgHead h;
    std::string b;
    for (uint32_t i = 0; i < kCount; ++i) {
      ASSERT_TRUE(c.Recv(&h, &b)) << i;
      ASSERT_EQ(h.sequence, i);
      ASSERT_EQ(b.size(), 1000u);
    }
  }
  ASSERT_TRUE(g_rec.WaitCount("stream end", 1));
  EXPECT_EQ(g_rec.Count("stream write failed"), 0u);

  // A client that goes away mid-stream: Write turns false, and the close is announced
  // only after the handler has returned.
  g_rec.Reset();
  Client c(port_);
  c.Send(Message(kChannelId, 9));
  MsgHead h;
  std::string idText;
  ASSERT_TRUE(c.Recv(&h, &idText));
  std::string id = idText.substr(0, idText.find(' '));
  std::string count(4, '\0');
  PutU32(reinterpret_cast<uint8_t*>(count.data()), 1000000);
  c.Send(Message(kStream, 10, count));
  std::this_thread::sleep_for(100ms);
  c.Close();
  ASSERT_TRUE(g_rec.WaitFor("closed " + id));
  EXPECT_EQ(g_rec.Count("stream write failed"), 1u);
  EXPECT_LT(g_rec.Index("stream end " + id), g_rec.Index("closed " + id));
}

// Gathered writes far beyond the socket buffers (the writer meets a full socket again and
// again): every message arrives whole, in order, with its own bytes, then a plain reply.
TEST_F(LocalServerTest, GatheredWritesArriveWholeAndInOrder) {
  LocalServerOptions o;
  o.highWater = 64 * 1024;
  StartServer(o);
  constexpr uint32_t kCount = 20000;  // 20 MB
  Client c(port_, nullptr, 64 * 1024);
  std::string count(4, '\0');
  PutU32(reinterpret_cast<uint8_t*>(count.data()), kCount);
  c.Send(Message(kGather, 1, count));
  c.Send(Message(kEcho, 2));
  MsgHead h;
  std::string b;
  for (uint32_t i = 0; i < kCount; ++i) {
    ASSERT_TRUE(c.Recv(&h, &b)) << i;
    ASSERT_EQ(h.type, kGather) << i;
    ASSERT_EQ(h.sequence, i);
    ASSERT_EQ(b, std::string(1000, char(uint8_t(i)))) << i;
  }
  ExpectEcho(c, kEcho, 2);
  ASSERT_TRUE(g_rec.WaitFor("gather end"));
  EXPECT_EQ(g_rec.Count("gather write failed"), 0u);
}

// A client that asks for a stream and never reads: once its output has not drained for the
// idle time-out the connection is closed and the handler's write fails, freeing its thread.
TEST_F(LocalServerTest, OutputThatDoesNotDrainEndsAfterTheIdleTimeOut) {
  LocalServerOptions o;
  o.highWater = 64 * 1024;
  o.idleMs = 300;
  StartServer(o);
  Client c(port_, nullptr, 64 * 1024);
  c.Send(Message(kChannelId, 1));
  MsgHead h;
  std::string idText;
  ASSERT_TRUE(c.Recv(&h, &idText));
  std::string id = idText.substr(0, idText.find(' '));
  std::string count(4, '\0');
  PutU32(reinterpret_cast<uint8_t*>(count.data()), 1000000);  // 1 GB: never all buffered
  c.Send(Message(kStream, 2, count));
  ASSERT_TRUE(g_rec.WaitFor("closed " + id));
  EXPECT_EQ(g_rec.Count("stream write failed"), 1u);
  EXPECT_LT(g_rec.Index("stream end " + id), g_rec.Index("closed " + id));
  EXPECT_LT(g_streamWrites.load(), 1000000);
}

TEST_F(LocalServerTest, ReadingPausesWhileHandlersLagAndResumesAfterwards) {
  StartServer();
  Client c(port_);
  c.Send(Message(kGated, 0));
  ASSERT_TRUE(g_rec.WaitFor("gated start"));
  // 2.4 MB of requests queue up behind the blocked handler: more than the server keeps
  // waiting before it stops reading.
  const std::string body(60000, 'b');
  std::thread sender([&] {
    for (uint32_t i = 1; i <= 40; ++i) c.Send(Message(kEcho, i, body));
  });
  std::this_thread::sleep_for(200ms);
  g_rec.OpenGate();
  ExpectEcho(c, kGated, 0);
  for (uint32_t i = 1; i <= 40; ++i) {
    MsgHead h;
    std::string b;
    ASSERT_TRUE(c.Recv(&h, &b)) << i;
    ASSERT_EQ(h.sequence, i);
    ASSERT_EQ(b.size(), body.size());
  }
  sender.join();
}

TEST_F(LocalServerTest, ReplyTooLongForAMessageIsRefused) {
  StartServer();
  Client c(port_);
  c.Send(Message(kHugeReply, 1));
  c.Send(Message(kEcho, 2));
  ExpectEcho(c, kEcho, 2);
}

TEST_F(LocalServerTest, IdleConnectionsCloseButBusyOnesStay) {
  LocalServerOptions o;
  o.idleMs = 200;
  StartServer(o);
  Client idle(port_);
  EXPECT_TRUE(idle.SeesClose());

  Client busy(port_);
  busy.Send(Message(kGated, 1));
  ASSERT_TRUE(g_rec.WaitFor("gated start"));
  std::this_thread::sleep_for(600ms);  // three idle periods while the handler runs
  g_rec.OpenGate();
  ExpectEcho(busy, kGated, 1);
}

TEST_F(LocalServerTest, AcceptErrorPausesTheListenerInsteadOfEndingIt) {
  LocalServerOptions o;
  o.acceptRetryMs = 100;
  StartServer(o);
  ks::test::TempDir dir;
  ASSERT_TRUE(g_Log.Open(dir / "Log.txt", LOG_LEVEL_DEBUG, false));

  // Opened now: no file can be opened while descriptors are exhausted.
  int logFd = ::open((dir / "Log.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(logFd, 0);
  auto readLog = [&] {
    std::string text(1 << 16, '\0');
    ssize_t n = ::pread(logFd, text.data(), text.size(), 0);
    text.resize(n > 0 ? size_t(n) : 0);
    return text;
  };
  int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  int lowestFree = ::dup(0);
  ::close(lowestFree);
  rlimit tight = saved;
  tight.rlim_cur = rlim_t(lowestFree);  // no descriptor left for accept()
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);

  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port_);
  int rc = ::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
  std::string log;
  for (int i = 0; i < 500; ++i) {
    log = readLog();
    if (log.find("on the listener") != std::string::npos) break;
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_EQ(rc, 0);
  EXPECT_NE(log.find("on the listener"), std::string::npos) << log;

  // After the pause the waiting connection is accepted and served.
  auto m = Message(kEcho, 5);
  ASSERT_EQ(::send(client, m.data(), m.size(), MSG_NOSIGNAL), ssize_t(m.size()));
  pollfd p{client, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  uint8_t head[8];
  EXPECT_EQ(::recv(client, head, 8, MSG_WAITALL), 8);
  EXPECT_EQ(DecodeMsgHead(head).sequence, 5u);
  ::close(client);
  ::close(logFd);
  g_Log.Close();
}

TEST_F(LocalServerTest, OutOfDescriptorsTheQuietestIdleLanConnectionMakesRoom) {
  LocalServerOptions o;
  o.acceptRetryMs = 5000;  // far beyond the desktop program's 1 s: the pause must not happen
  StartServer(o);
  {
    // One connection ends before the descriptors run out: the sanitizers' type check of
    // its destructor needs a pipe the first time, and finds none once they are gone.
    Client warm(port_, "127.0.0.2");
    warm.Send(Message(kEcho, 9));
    ExpectEcho(warm, kEcho, 9);
  }
  ASSERT_TRUE(g_rec.WaitCount("closed ", 1));
  Client quiet(port_, "127.0.0.2");
  std::this_thread::sleep_for(50ms);
  Client recent(port_, "127.0.0.2");
  Client local(port_);
  Client busy(port_, "127.0.0.2");
  ASSERT_TRUE(quiet.connected() && recent.connected() && local.connected() && busy.connected());
  local.Send(Message(kEcho, 1));
  ExpectEcho(local, kEcho, 1);
  recent.Send(Message(kEcho, 2));
  ExpectEcho(recent, kEcho, 2);
  busy.Send(Message(kGated, 3));
  ASSERT_TRUE(g_rec.WaitFor("gated start"));

  int desktop = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  int lowestFree = ::dup(0);
  ::close(lowestFree);
  rlimit tight = saved;
  tight.rlim_cur = rlim_t(lowestFree);  // no descriptor left for accept()
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port_);
  int rc = ::connect(desktop, reinterpret_cast<sockaddr*>(&a), sizeof a);
  auto m = Message(kDesktop, 4);
  ::send(desktop, m.data(), m.size(), MSG_NOSIGNAL);
  pollfd p{desktop, POLLIN, 0};
  int ready = ::poll(&p, 1, 1000);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_EQ(rc, 0);
  ASSERT_EQ(ready, 1) << "the desktop program's request waited for a descriptor";
  uint8_t head[8];
  EXPECT_EQ(::recv(desktop, head, 8, MSG_WAITALL), 8);
  EXPECT_EQ(DecodeMsgHead(head).sequence, 4u);
  ::close(desktop);

  EXPECT_TRUE(quiet.SeesClose(1s)) << "the quietest idle LAN connection made room";
  recent.Send(Message(kEcho, 5));
  ExpectEcho(recent, kEcho, 5);
  local.Send(Message(kEcho, 6));
  ExpectEcho(local, kEcho, 6);
  g_rec.OpenGate();
  ExpectEcho(busy, kGated, 3);
}

TEST_F(LocalServerTest, StopClosesConnectionsAndTheServerStartsAgain) {
  StartServer();
  Client c(port_);
  c.Send(Message(kEcho, 1));
  ExpectEcho(c, kEcho, 1);
  server_->Stop();
  EXPECT_FALSE(server_->Running());
  EXPECT_TRUE(c.SeesClose());
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(server_->Start(0), 0);
    Client d(server_->Port());
    d.Send(Message(kEcho, 2));
    ExpectEcho(d, kEcho, 2);
    server_->Stop();
  }
  // A second server on another port runs beside the first.
  ASSERT_EQ(server_->Start(0), 0);
  LocalServer other(LocalServerOptions{.bindAddress = "127.0.0.1"});
  ASSERT_EQ(other.Start(0), 0);
  EXPECT_NE(other.Port(), server_->Port());
  Client e(other.Port());
  e.Send(Message(kEcho, 3));
  ExpectEcho(e, kEcho, 3);
}

TEST_F(LocalServerTest, TakenPortIsReportedAsAListenerFailure) {
  StartServer();
  LocalServer second(LocalServerOptions{.bindAddress = "127.0.0.1"});
  EXPECT_EQ(second.Start(port_), KS_LOCAL_PORT_UNKNOWN);
  EXPECT_FALSE(second.Running());
}

}  // namespace
