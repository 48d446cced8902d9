#include "agent/net/socket/socket.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "agent/log/log.h"
#include "agent/net/msg/msg.h"
#include "agent/net/proto/proto.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::net;

int OpenFdCount() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
  ::closedir(d);
  return n - 1;  // the directory stream itself
}

// A listening socket on 127.0.0.1 with a system-chosen port.
struct Listener {
  int fd = -1;
  uint16_t port = 0;
  explicit Listener(int backlog = 8) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, backlog);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd); }
};

bool RecvAll(int fd, void* buf, size_t n) {
  auto* p = static_cast<uint8_t*>(buf);
  while (n) {
    ssize_t r = ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

// A vendor server that answers one request with the given bytes and closes.
struct FakeServer {
  Listener l;
  std::thread t;
  std::vector<uint8_t> request;
  FakeServer(size_t requestLength, std::vector<uint8_t> answer) {
    t = std::thread([this, requestLength, answer] {
      int c = ::accept(l.fd, nullptr, nullptr);
      request.resize(requestLength);
      if (!RecvAll(c, request.data(), request.size())) request.clear();
      if (!answer.empty()) ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
      ::close(c);
    });
  }
  void Join() {
    if (t.joinable()) t.join();
  }
  ~FakeServer() { Join(); }
};

std::vector<uint8_t> Reply(uint16_t length, uint16_t status, const std::string& body) {
  std::vector<uint8_t> r(8);
  ServerReplyHead{length, 0, 0, status}.Encode(r.data());
  r.insert(r.end(), body.begin(), body.end());
  return r;
}

TEST(SendRequest, ReplyLengthsAndCutShortReplies) {
  struct Case {
    const char* name;
    std::vector<uint8_t> answer;
    int rc;
    std::string body;
  };
  std::vector<Case> cases = {
      {"head only", Reply(8, 7, ""), 0, ""},
      {"head and body", Reply(8 + 5, 0, "hello"), 0, "hello"},
      {"cut short in the body", Reply(8 + 100, 0, "abc"), -1, ""},
      {"cut short in the head", {0, 20, 0}, -1, ""},
      {"nothing", {}, -1, ""},
  };
  for (uint16_t len = 0; len < 8; ++len) cases.push_back({"length below 8", Reply(len, 0, "xyzxyzxyz"), -1, ""});

  const std::string body = "request-body";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fdsBefore = OpenFdCount();
    {
      FakeServer server(ServerHead::kSize + body.size(), c.answer);
      ServerHead head = ServerHead::Make(SRV_LOGON, body.size(), "device-42");
      const ServerHead copy = head;
      ServerReplyHead reply{};
      std::vector<uint8_t> replyBody = {9, 9};  // stale content must not survive
      int rc = OS_SendRequest(head, ServerAddr{server.l.port, "127.0.0.1"},
                              reinterpret_cast<const uint8_t*>(body.data()), body.size(), &reply, &replyBody);
      EXPECT_EQ(rc, c.rc);
      EXPECT_EQ(std::string(replyBody.begin(), replyBody.end()), c.body);
      if (rc == 0) {
        EXPECT_EQ(reply.length, 8 + c.body.size());
      }
      if (c.rc == 0 && c.body.empty()) {
        EXPECT_EQ(reply.status, 7);
      }
      EXPECT_EQ(std::memcmp(&head, &copy, sizeof head), 0) << "caller's head changed";

      server.Join();
      ASSERT_EQ(server.request.size(), ServerHead::kSize + body.size());
      const uint8_t* r = server.request.data();
      EXPECT_EQ(GetU16(r), ServerHead::kSize + body.size());
      EXPECT_EQ(GetU16(r + 2), 370);
      EXPECT_EQ(GetU16(r + 4), SRV_LOGON);
      EXPECT_STREQ(reinterpret_cast<const char*>(r + 6), "device-42");
      EXPECT_EQ(std::string(r + 70, r + 70 + body.size()), body);
    }
    EXPECT_EQ(OpenFdCount(), fdsBefore) << "socket leaked";
  }
}

TEST(SendRequest, BodyTooLongForTheHeadsLengthIsNeverSent) {
  // The largest body the u16 length describes still goes...
  const std::vector<uint8_t> largest(65535 - ServerHead::kSize, 'b');
  {
    FakeServer server(65535, Reply(8, 0, ""));
    ServerReplyHead reply{};
    std::vector<uint8_t> replyBody;
    EXPECT_EQ(OS_SendRequest(ServerHead::Make(SRV_LOGON, largest.size(), "d"), ServerAddr{server.l.port, "127.0.0.1"},
                             largest.data(), largest.size(), &reply, &replyBody),
              0);
    server.Join();
    ASSERT_EQ(server.request.size(), 65535u);
    EXPECT_EQ(GetU16(server.request.data()), 65535);
  }
  // ...one byte more would wrap the length: refused before connecting.
  Listener l;
  const std::vector<uint8_t> tooLong(largest.size() + 1, 'b');
  ServerReplyHead reply{};
  std::vector<uint8_t> replyBody = {1};
  EXPECT_EQ(OS_SendRequest(ServerHead::Make(SRV_LOGON, tooLong.size(), "d"), ServerAddr{l.port, "127.0.0.1"},
                           tooLong.data(), tooLong.size(), &reply, &replyBody),
            -1);
  EXPECT_TRUE(replyBody.empty());
  pollfd p{l.fd, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "a connection was made for a request that cannot be sent whole";
}

TEST(SendRequest, NoServerFailsAndLeaksNothing) {
  uint16_t port;
  {
    Listener l;  // a port that was free a moment ago and is closed now
    port = l.port;
  }
  int fdsBefore = OpenFdCount();
  ServerReplyHead reply{};
  std::vector<uint8_t> body;
  EXPECT_EQ(OS_SendRequest(ServerHead::Make(SRV_LOGOUT, 0, "d"), ServerAddr{port, "127.0.0.1"}, nullptr, 0,
                           &reply, &body),
            -1);
  EXPECT_EQ(OpenFdCount(), fdsBefore);
}

TEST(SockConnect, RefusesBadArgumentsWithoutTouchingTheSocket) {
  int s = OS_SockCreateTcp();
  ASSERT_NE(s, -1);
  const int before = s;
  EXPECT_EQ(OS_SockConnect(&s, 65535, "127.0.0.1"), -1);
  EXPECT_EQ(OS_SockConnect(&s, 80, nullptr), -1);
  EXPECT_EQ(s, before);
  int none = -1;
  EXPECT_EQ(OS_SockConnect(&none, 80, "127.0.0.1"), -1);
  EXPECT_EQ(OS_SockClose(&s), 0);
  EXPECT_EQ(s, -1);
  EXPECT_EQ(OS_SockClose(&s), -1);
}

TEST(SockConnect, GivesUpOnAServerThatNeverAnswers) {
  // With the accept queue full the kernel drops further SYNs: the connect hangs.
  Listener l(0);
  int first = OS_SockCreateTcp();
  ASSERT_EQ(OS_SockConnect(&first, l.port, "127.0.0.1"), 0);
  int second = OS_SockCreateTcp();
  OS_SockConnect(&second, l.port, "127.0.0.1", 200);  // may still fit the queue
  int third = OS_SockCreateTcp();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(OS_SockConnect(&third, l.port, "127.0.0.1", 300), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  OS_SockClose(&first);
  OS_SockClose(&second);
  OS_SockClose(&third);
}

TEST(SockBindListen, RefusesPortZeroAnd65535) {
  int s = OS_SockCreateTcp();
  EXPECT_EQ(OS_SockBindListen(0, &s), -1);
  EXPECT_EQ(OS_SockBindListen(65535, &s), -1);
  int none = -1;
  EXPECT_EQ(OS_SockBindListen(4000, &none), -1);
  OS_SockClose(&s);
}

TEST(SockRecv, HeadCutAfterThreeBytesFailsWithOneErrorLine) {
  ks::test::TempDir dir;
  ASSERT_TRUE(g_Log.Open(dir / "Log.txt", LOG_LEVEL_DEBUG, false));
  Listener l;
  std::thread peer([&] {
    int c = ::accept(l.fd, nullptr, nullptr);
    uint8_t three[3] = {0, 8, 0};
    ::send(c, three, 3, MSG_NOSIGNAL);
    ::close(c);
  });
  int s = OS_SockCreateTcp();
  ASSERT_EQ(OS_SockConnect(&s, l.port, "127.0.0.1"), 0);
  ServerReplyHead h{};
  EXPECT_EQ(OS_SockRecv(&s, &h), -1);
  peer.join();
  OS_SockClose(&s);
  g_Log.Close();
  std::string log = ks::test::ReadFile(dir / "Log.txt");
  size_t first = log.find("recv error, code");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("recv error, code", first + 1), std::string::npos) << log;
  EXPECT_NE(log.find("[ERROR]"), std::string::npos);
}

TEST(SockSendRecv, WholeBuffersAndZeroCounts) {
  Listener l;
  std::vector<uint8_t> big(3 << 20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7);
  std::vector<uint8_t> got(big.size());
  int rc = -2;
  std::thread peer([&] {
    int c = ::accept(l.fd, nullptr, nullptr);
    rc = OS_SockRecv(&c, got.size(), got.data());
    ::close(c);
  });
  int s = OS_SockCreateTcp();
  ASSERT_EQ(OS_SockConnect(&s, l.port, "127.0.0.1"), 0);
  EXPECT_EQ(OS_SockSend(&s, 0, big.data()), 0);
  EXPECT_EQ(OS_SockSend(&s, 1, nullptr), -1);
  EXPECT_EQ(OS_SockSend(&s, big.size(), big.data()), 0);
  peer.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(got, big);
  EXPECT_EQ(OS_SockRecv(&s, 0, nullptr), 0);
  OS_SockClose(&s);
}

TEST(SockSendTo, DatagramArrivesWhole) {
  int rx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len);
  int tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(OS_SockSendTo(&tx, 5, "hello", a), 0);
  char buf[16] = {};
  EXPECT_EQ(::recv(rx, buf, sizeof buf, 0), 5);
  EXPECT_STREQ(buf, "hello");
  ::close(rx);
  OS_SockClose(&tx);
}

TEST(AddrToString, FormatsBytesInMemoryOrder) {
  const uint8_t a[4] = {192, 168, 0, 255};
  EXPECT_EQ(OS_AddrToString(a), "192.168.0.255");
  in_addr ia{};
  ::inet_pton(AF_INET, "10.1.2.3", &ia);
  EXPECT_EQ(OS_AddrToString(ia), "10.1.2.3");
}

TEST(ServerHeads, EncodeAndDecode) {
  ServerHead h = ServerHead::Make(SRV_GET_UUID, 10, std::string(80, 'x'));
  EXPECT_EQ(h.length, 80);
  EXPECT_EQ(h.DeviceIdText(), std::string(63, 'x'));
  uint8_t raw[70];
  h.Encode(raw);
  EXPECT_EQ(raw[0], 0);
  EXPECT_EQ(raw[1], 80);
  EXPECT_EQ(raw[69], 0);
  ServerHead back = ServerHead::Decode(raw);
  EXPECT_EQ(back.opcode, SRV_GET_UUID);
  EXPECT_EQ(back.version, 370);
  const uint8_t reply[8] = {0x01, 0x02, 0, 0, 0, 0, 0x10, 0x14};
  ServerReplyHead r = ServerReplyHead::Decode(reply);
  EXPECT_EQ(r.length, 0x0102);
  EXPECT_EQ(r.status, 0x1014);
}

}  // namespace
