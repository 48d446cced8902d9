// The HTTP file server, started in this process on 127.0.0.1 with a free port, against a
// real database whose default folder and share are temporary folders. Clients are raw
// sockets (exact bytes) and curl.
#include "agent/net/http/http_server.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/db/local_db.h"
#include "agent/core/state/state.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::net::HttpServer;
using ks::net::HttpServerOptions;
using ks::test::TempDir;
using ks::test::WriteFile;

const std::string kContent = "hello world";

std::string OkHead(long long size) {
  return "HTTP/1.1 200 OK\r\nServer: KestylHttpServer/0.1.0\r\nContent-Length:  " +
         std::to_string(size) + "\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n";
}

// A client socket connected to the server; `receiveBuffer` > 0 sets its receive buffer first.
int Connect(uint16_t port, int receiveBuffer = 0) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0) ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  timeval tv{10, 0};  // a hung server fails the test instead of hanging it
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return s;
}

// Everything the server sends until it closes; `reset` tells whether it ended by an error.
std::string ReadAll(int s, bool* failed = nullptr) {
  std::string out;
  char buf[65536];
  while (true) {
    ssize_t n = ::recv(s, buf, sizeof buf, 0);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (failed) *failed = n < 0;
    break;
  }
  return out;
}

std::string Exchange(uint16_t port, const std::string& request) {
  int s = Connect(port);
  if (s < 0) return "<no connection>";
  ::send(s, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer = ReadAll(s);
  ::close(s);
  return answer;
}

std::string Get(uint16_t port, const std::string& url) {
  return Exchange(port, "GET " + url + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\n\r\n");
}

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateDatabaseFile(dir / "Kestyl.db", KS_SCHEMA_FILE), 0);
    GlobalDb().open((dir / "Kestyl.db").c_str());
    for (const char* d : {"share", "share/site", "share/empty", "share2", "music", "outside"})
      ::mkdir((dir / d).c_str(), 0755);
    DefShareInfo defs;
    defs.def = dir / "share";
    ASSERT_EQ(SetDefaultDir(defs), 0);
    ASSERT_EQ(SetShareInfo({dir / "music"}), 0);
    WriteFile(dir / "share/a b.txt", kContent);
    WriteFile(dir / "share/zero", "");
    WriteFile(dir / "share/site/index.html", "<p>index</p>");
    WriteFile(dir / "share/tool.exe", "MZ");
    WriteFile(dir / "share2/x", "sibling");
    WriteFile(dir / "outside/secret", "secret");
    WriteFile(dir / "music/song.mp3", "ID3");
    ASSERT_EQ(::mkfifo((dir / "share/fifo").c_str(), 0644), 0);
    ASSERT_EQ(::symlink((dir / "outside/secret").c_str(), (dir / "share/link-out").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (dir / "share/dir-out").c_str()), 0);
    ks::net::ForgetHttpShareView();  // an earlier test's folders are gone
  }

  void TearDown() override {
    StopServer();
    GlobalDb().close();
  }

  uint16_t StartServer(HttpServerOptions o = {}) {
    o.address = "127.0.0.1";
    o.port = 0;
    if (o.timeoutMs == HttpServerOptions{}.timeoutMs) o.timeoutMs = 5000;
    server_ = std::make_unique<HttpServer>(o);
    if (server_->Open() != 0) return 0;
    thread_ = std::thread([this] { server_->Run(); });
    return server_->Port();
  }

  void StopServer() {
    if (!server_) return;
    server_->Stop();
    thread_.join();
    server_.reset();
  }

  // Waits (bounded) for the connection jobs to end.
  bool WaitIdle() {
    for (int i = 0; i < 500 && server_->ActiveCount() != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return server_->ActiveCount() == 0;
  }

  TempDir dir;
  std::unique_ptr<HttpServer> server_;
  std::thread thread_;
};

TEST_F(HttpServerTest, ServesAFileWithTheExactHead) {
  uint16_t port = StartServer();
  ASSERT_NE(port, 0);
  EXPECT_EQ(Get(port, "/$DEFAULT$/a%20b.txt"), OkHead(11) + kContent);
  // A shared folder by its own path, and a share root given with a final "/".
  EXPECT_EQ(Get(port, "/" + (dir / "music/song.mp3")), OkHead(3) + "ID3");
  // Links that stay inside the share are followed: relative, absolute, to a folder.
  ASSERT_EQ(::symlink("a b.txt", (dir / "share/link-in").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "share/site").c_str(), (dir / "share/dir-in").c_str()), 0);
  EXPECT_EQ(Get(port, "/$DEFAULT$/link-in"), OkHead(11) + kContent);
  EXPECT_EQ(Get(port, "/$DEFAULT$/dir-in/index.html"), OkHead(12) + "<p>index</p>");
}

TEST_F(HttpServerTest, AnswersOfTheEdgeCases) {
  uint16_t port = StartServer();
  ASSERT_NE(port, 0);
  const std::string notFound = ks::net::kNotFoundAnswer;
  const std::string notImplemented = ks::net::kNotImplementedAnswer;
  const std::string name243(243, 'a');  // "/$DEFAULT$/" + 243 = 254 characters
  WriteFile(dir / ("share/" + name243), "long");
  WriteFile(dir / "share/a.binkestyl.rename", "partial");
  WriteFile(dir / "share/a.binkestyl.renametmp", "journal");
  struct Case {
    std::string request;
    std::string answer;
  } cases[] = {
      {"get /$DEFAULT$/a%20b.txt HTTP/1.1\r\n\r\n", OkHead(11) + kContent},
      {"GET /$DEFAULT$/a+b.txt HTTP/1.0\n\n", OkHead(11) + kContent},  // "+" is a blank, LF only
      {"GET /$DEFAULT$/a%20b.txt HTTP/1.1\r\n\r\n", OkHead(11) + kContent},
      {"PUT /$DEFAULT$/a%20b.txt HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", notImplemented},
      {"DELETE /x HTTP/1.1\r\n\r\n", notImplemented},
      {"\r\n", notImplemented},
      {"GET /$DEFAULT$/a%20b.txt?x=1 HTTP/1.1\r\n\r\n", ""},  // existing: closed, no answer
      {"GET /$DEFAULT$/missing?x=1 HTTP/1.1\r\n\r\n", notFound},
      {"POST /$DEFAULT$/a%20b.txt HTTP/1.1\r\nContent-Length: 2\r\n\r\nab", ""},
      {"POST /$DEFAULT$/missing HTTP/1.1\r\n\r\n", notFound},
      {"GET /$DEFAULT$/site/ HTTP/1.1\r\n\r\n", OkHead(12) + "<p>index</p>"},
      {"GET /$DEFAULT$/empty/ HTTP/1.1\r\n\r\n", notFound},
      {"GET /$DEFAULT$/site HTTP/1.1\r\n\r\n", ""},  // a folder without the final "/"
      {"GET /$DEFAULT$/tool.exe HTTP/1.1\r\n\r\n", ""},
      {"GET /$DEFAULT$/zero HTTP/1.1\r\n\r\n", OkHead(0)},
      {"GET /$DEFAULT$/missing HTTP/1.1\r\n\r\n", notFound},
      // An upload's own files exist but are not there for anyone.
      {"GET /$DEFAULT$/a.binkestyl.rename HTTP/1.1\r\n\r\n", notFound},
      {"GET /$DEFAULT$/a.binkestyl.renametmp HTTP/1.1\r\n\r\n", notFound},
      {"GET /$DEFAULT$/a.bin%6Bestyl.rename HTTP/1.1\r\n\r\n", notFound},
      {"GET /$DEFAULT_PIC$/x HTTP/1.1\r\n\r\n", notFound},  // default folder not set
      {"GET HTTP/1.1\r\n\r\n", notFound},
      {"GET\r\n\r\n", notFound},
      // The request line is cut at 1023 characters; the rest is read as a header and dropped.
      {"GET /$DEFAULT$/a%20b.txt HTTP/1.1 " + std::string(1100, 'x') + "\r\n\r\n", OkHead(11) + kContent},
      {"GET /$DEFAULT$/" + name243 + " HTTP/1.1\r\n\r\n", OkHead(4) + "long"},
      // One character more must not be cut back into the 254-character path.
      {"GET /$DEFAULT$/" + name243 + "b HTTP/1.1\r\n\r\n", notFound},
  };
  for (const Case& c : cases) EXPECT_EQ(Exchange(port, c.request), c.answer) << c.request.substr(0, 80);
}

TEST_F(HttpServerTest, NothingOutsideTheSharesIsServed) {
  uint16_t port = StartServer();
  ASSERT_NE(port, 0);
  const std::string notFound = ks::net::kNotFoundAnswer;
  const std::string urls[] = {
      "//etc/passwd",
      "/%2Fetc%2Fpasswd",
      "/$DEFAULT$/../outside/secret",
      "/$DEFAULT$/%2e%2e/outside/secret",
      "/$DEFAULT$/%2E%2E%2Foutside%2Fsecret",
      "/$DEFAULT$%5c..%5coutside%5csecret",  // backslashes are separators too
      "/$DEFAULT$/site/../../outside/secret",
      "/" + (dir / "share2/x"),  // sibling folder whose name begins with the share's
      "/" + (dir / "outside/secret"),
      "/$DEFAULT$/fifo",         // never opened: a FIFO would block the reader
      "/$DEFAULT$/link-out",     // symlink leading out of the share
      "/$DEFAULT$/dir-out/secret",
      "/$DEFAULT$/a%20b.txt%00.mp3",
      "/$DEFAULT$/a%20b.txt/",
  };
  for (const std::string& url : urls) EXPECT_EQ(Get(port, url), notFound) << url;
}

TEST_F(HttpServerTest, CurlDownloadsSmallAndLargeFiles) {
  if (std::system("curl --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl is not installed";
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
  WriteFile(dir / "share/big file.bin", big);
  uint16_t port = StartServer();
  ASSERT_NE(port, 0);
  std::string base = "http://127.0.0.1:" + std::to_string(port) + "/%24DEFAULT%24/";
  auto curl = [&](const std::string& url, const std::string& out) {
    std::string cmd = "curl -sS --max-time 20 -o '" + out + "' -D '" + out + ".head' '" + url + "'";
    return std::system(cmd.c_str());
  };
  ASSERT_EQ(curl(base + "a%20b.txt", dir / "small"), 0);
  EXPECT_EQ(ks::test::ReadFile(dir / "small"), kContent);
  EXPECT_EQ(ks::test::ReadFile(dir / "small.head"), OkHead(11));
  ASSERT_EQ(curl(base + "big%20file.bin", dir / "big"), 0);
  EXPECT_TRUE(ks::test::ReadFile(dir / "big") == big);
  ASSERT_EQ(curl(base + "zero", dir / "zero"), 0);
  EXPECT_EQ(ks::test::ReadFile(dir / "zero"), "");
}

TEST_F(HttpServerTest, SizesBeyond4GiBArePrintedWhole) {
  ks::test::MakeSparseFile(dir / "share/video.mkv", 5ull << 30);
  uint16_t port = StartServer();
  ASSERT_NE(port, 0);
  int s = Connect(port);
  ASSERT_GE(s, 0);
  std::string req = "GET /$DEFAULT$/video.mkv HTTP/1.1\r\n\r\n";
  ::send(s, req.data(), req.size(), MSG_NOSIGNAL);
  std::string head;
  char buf[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = ::recv(s, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    head.append(buf, static_cast<size_t>(n));
  }
  ::close(s);  // mid-body: the server must carry on
  EXPECT_EQ(head.substr(0, OkHead(5ll << 30).size()), OkHead(5ll << 30));
  EXPECT_EQ(Get(port, "/$DEFAULT$/a%20b.txt"), OkHead(11) + kContent);
  EXPECT_TRUE(WaitIdle());
}

TEST_F(HttpServerTest, ClientLeavingMidBodyLeavesTheServerRunning) {
  ks::test::MakeSparseFile(dir / "share/large.bin", 256ull << 20);
  uint16_t port = StartServer();
  ASSERT_NE(port, 0);
  for (int i = 0; i < 5; ++i) {
    int s = Connect(port);
    ASSERT_GE(s, 0);
    std::string req = "GET /$DEFAULT$/large.bin HTTP/1.1\r\n\r\n";
    ::send(s, req.data(), req.size(), MSG_NOSIGNAL);
    char buf[65536];
    size_t got = 0;
    while (got < (1u << 20)) {
      ssize_t n = ::recv(s, buf, sizeof buf, 0);
      ASSERT_GT(n, 0);
      got += static_cast<size_t>(n);
    }
    linger l{1, 0};  // reset, not a polite close
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(s);
  }
  EXPECT_EQ(Get(port, "/$DEFAULT$/a%20b.txt"), OkHead(11) + kContent);
  EXPECT_TRUE(WaitIdle());
}

// A client that asks for a large file and never reads holds its job only for the send
// time-out; the one job there is then answers the next client.
TEST_F(HttpServerTest, ClientThatNeverReadsHoldsItsJobOnlyForTheSendTimeout) {
  ks::test::MakeSparseFile(dir / "share/large.bin", 64ull << 20);
  HttpServerOptions o;
  o.maxActive = 1;
  o.timeoutMs = 300;
  uint16_t port = StartServer(o);
  ASSERT_NE(port, 0);
  int stalled = Connect(port, 4096);
  ASSERT_GE(stalled, 0);
  const std::string req = "GET /$DEFAULT$/large.bin HTTP/1.1\r\n\r\n";
  ::send(stalled, req.data(), req.size(), MSG_NOSIGNAL);
  // Give the job time to take the stalled download before the next client comes.
  for (int i = 0; i < 200 && server_->ActiveCount() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(port, "/$DEFAULT$/a%20b.txt"), OkHead(11) + kContent);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(8));
  ::close(stalled);
  EXPECT_TRUE(WaitIdle());
}

// Descriptors of this process that lead to `folder` or below it.
int DescriptorsUnder(const std::string& folder) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(e.path(), ec).string();
    if (!ec && (target == folder || target.rfind(folder + "/", 0) == 0)) ++n;
  }
  return n;
}

// Between requests the server may hold the shared folders open for a moment, but an idle
// server holds none (a shared file system can then be unmounted), nor does a stopped one.
TEST_F(HttpServerTest, SharedFoldersAreNotHeldOpenWhileIdle) {
  uint16_t port = StartServer();
  ASSERT_NE(port, 0);
  ASSERT_EQ(Get(port, "/$DEFAULT$/a%20b.txt"), OkHead(11) + kContent);
  bool released = false;
  for (int i = 0; i < 100 && !released; ++i) {
    released = DescriptorsUnder(dir / "share") == 0 && DescriptorsUnder(dir / "music") == 0;
    if (!released) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(released) << "share folders still open 5 s after the last request";
  ASSERT_EQ(Get(port, "/$DEFAULT$/a%20b.txt"), OkHead(11) + kContent);
  StopServer();
  EXPECT_EQ(DescriptorsUnder(dir / "share"), 0);
}

TEST_F(HttpServerTest, IdleConnectionIsClosedAfterTheHeadDeadline) {
  HttpServerOptions o;
  o.headTimeoutMs = 300;
  uint16_t port = StartServer(o);
  ASSERT_NE(port, 0);
  int idle = Connect(port);
  ASSERT_GE(idle, 0);
  bool failed = true;
  EXPECT_EQ(ReadAll(idle, &failed), "");
  EXPECT_FALSE(failed) << "closed by the server, not timed out by the client";
  ::close(idle);

  // Begun but never finished: the job gives up at the same deadline.
  int slow = Connect(port);
  ASSERT_GE(slow, 0);
  ::send(slow, "GE", 2, MSG_NOSIGNAL);
  EXPECT_EQ(ReadAll(slow, &failed), ks::net::kNotImplementedAnswer);
  EXPECT_FALSE(failed);
  ::close(slow);
  EXPECT_TRUE(WaitIdle());
}

TEST_F(HttpServerTest, TwoHundredIdleConnectionsDoNotStopServing) {
  uint16_t port = StartServer();
  ASSERT_NE(port, 0);
  std::vector<int> idle;
  for (int i = 0; i < 200; ++i) {
    int s = Connect(port);
    ASSERT_GE(s, 0);
    idle.push_back(s);
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Get(port, "/$DEFAULT$/a%20b.txt"), OkHead(11) + kContent);
  for (int s : idle) ::close(s);
}

// True while the peer has neither closed nor reset the connection.
bool StillOpen(int s) {
  char c;
  ssize_t n = ::recv(s, &c, 1, MSG_DONTWAIT | MSG_PEEK);
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

TEST_F(HttpServerTest, AtTheCapTheOldestIdleConnectionMakesRoom) {
  HttpServerOptions o;
  o.maxConnections = 3;
  o.headTimeoutMs = 60000;  // nothing here may depend on the head deadline
  uint16_t port = StartServer(o);
  ASSERT_NE(port, 0);
  // Accepted in the order of their handshakes, the first is the oldest.
  std::vector<int> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(Connect(port));
  ::send(idle[0], "GET /$DEFAULT$/a", 16, MSG_NOSIGNAL);  // a head begun counts as idle too
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(Get(port, "/$DEFAULT$/a%20b.txt"), OkHead(11) + kContent);
    bool failed = true;
    EXPECT_EQ(ReadAll(idle[round], &failed), "");  // closed to make room
    EXPECT_FALSE(failed);
    ASSERT_TRUE(WaitIdle());
    idle.push_back(Connect(port));  // the house full again
  }
  for (size_t i = 2; i < idle.size(); ++i) EXPECT_TRUE(StillOpen(idle[i])) << i;
  for (int s : idle) ::close(s);
}

// Heads that trickle in (or never end) are read by the accept loop, not by jobs: with one
// job for all, a complete request is answered at once.
TEST_F(HttpServerTest, SlowHeadsHoldNoJob) {
  HttpServerOptions o;
  o.maxActive = 1;
  o.headTimeoutMs = 60000;
  uint16_t port = StartServer(o);
  ASSERT_NE(port, 0);
  std::vector<int> slow;
  const char* parts[] = {"G", "GET /$DEFAULT$/a%20b.txt", "GET /$DEFAULT$/a%20b.txt HTTP/1.1\r\n",
                         "GET /$DEFAULT$/a%20b.txt HTTP/1.1\r\nHost: x\r\n\r"};
  for (int i = 0; i < 40; ++i) {
    int s = Connect(port);
    ASSERT_GE(s, 0);
    const char* part = parts[i % 4];
    ::send(s, part, std::strlen(part), MSG_NOSIGNAL);
    slow.push_back(s);
  }
  EXPECT_EQ(Get(port, "/$DEFAULT$/a%20b.txt"), OkHead(11) + kContent);
  // A head ended by a lone CR is complete: answered without waiting for another byte.
  EXPECT_EQ(ReadAll(slow[3]), OkHead(11) + kContent);
  for (int s : slow) ::close(s);
}

// After a 404 or 501 the connection is read until the peer closes, for up to lingerMs; the
// job that answered is free at once.
TEST_F(HttpServerTest, ShortAnswersLingerWithoutAJob) {
  HttpServerOptions o;
  o.maxActive = 1;
  o.lingerMs = 60000;
  uint16_t port = StartServer(o);
  ASSERT_NE(port, 0);
  struct Case {
    std::string request;
    std::string answer;
  } cases[] = {
      {"GET /$DEFAULT$/missing HTTP/1.1\r\n\r\n", ks::net::kNotFoundAnswer},
      {"PUT /x HTTP/1.1\r\nContent-Length: 100\r\n\r\n", ks::net::kNotImplementedAnswer},
  };
  std::vector<int> kept;
  for (const Case& c : cases) {
    int s = Connect(port);
    ASSERT_GE(s, 0);
    ::send(s, c.request.data(), c.request.size(), MSG_NOSIGNAL);
    EXPECT_EQ(ReadAll(s), c.answer);  // our side shut, the peer's still open
    kept.push_back(s);
  }
  EXPECT_TRUE(WaitIdle());
  EXPECT_EQ(Get(port, "/$DEFAULT$/a%20b.txt"), OkHead(11) + kContent);
  for (int s : kept) ::close(s);
}

// Out of descriptors, the accept loop pauses instead of spinning on the connection it
// cannot take, and serves it once descriptors are free again.
TEST_F(HttpServerTest, OutOfDescriptorsTheLoopWaitsQuietly) {
  uint16_t port = StartServer();
  ASSERT_NE(port, 0);
  ASSERT_EQ(Get(port, "/$DEFAULT$/a%20b.txt"), OkHead(11) + kContent);  // the database is open
  ASSERT_TRUE(WaitIdle());  // and that connection is closed: nothing frees a descriptor later
  int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 512;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> filler;
  auto fill = [&] {
    for (int fd; (fd = ::dup(client)) >= 0;) filler.push_back(fd);
    return errno;
  };
  ASSERT_EQ(fill(), EMFILE);

  clockid_t serverClock;
  ASSERT_EQ(::pthread_getcpuclockid(thread_.native_handle(), &serverClock), 0);
  auto cpuMs = [&] {
    timespec t{};
    ::clock_gettime(serverClock, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
  };
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);  // in the backlog
  const std::string req = "GET /$DEFAULT$/a%20b.txt HTTP/1.1\r\n\r\n";
  ::send(client, req.data(), req.size(), MSG_NOSIGNAL);
  bool paused = false;
  for (int i = 0; i < 1000 && !paused; ++i) {
    paused = server_->AcceptPauses() >= 1;
    if (!paused) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(paused);
  // Four pauses in a row (50, 100, 200, 400 ms): a loop that spun would burn the time.
  double before = cpuMs();
  bool fourMore = false;
  for (int i = 0; i < 1000 && !fourMore; ++i) {
    fourMore = server_->AcceptPauses() >= 5;
    if (!fourMore) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  double spent = cpuMs() - before;
  for (int fd : filler) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(fourMore);
  EXPECT_LT(spent, 100.0) << "CPU milliseconds of the accept loop while it could not accept";
  timeval tv{10, 0};
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  EXPECT_EQ(ReadAll(client), OkHead(11) + kContent);
  ::close(client);
}

TEST_F(HttpServerTest, JobListensOnTheSettingsPortUntilTheStopFlag) {
  uint16_t port = 0;
  int probe = ks::net::startup(&port, "127.0.0.1");
  ASSERT_GE(probe, 0);
  ::close(probe);
  ::setenv("KESTYL_HTTP_PORT", std::to_string(port).c_str(), 1);
  ::setenv("KESTYL_LOOPBACK", "1", 1);
  std::thread job([] { ks::net::StartHttpServer(nullptr); });
  std::string answer;
  for (int i = 0; i < 200 && (answer.empty() || answer == "<no connection>"); ++i) {
    answer = Get(port, "/$DEFAULT$/a%20b.txt");
    if (answer == "<no connection>") std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(answer, OkHead(11) + kContent);
  ks::state::RequestStop();
  job.join();
  ks::state::ClearStop();
  ::unsetenv("KESTYL_HTTP_PORT");
  ::unsetenv("KESTYL_LOOPBACK");
}

// ---- the request reader and decoder on their own -----------------------------------------

std::vector<std::string> Lines(const std::string& input, int count) {
  int sv[2];
  ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
  ::send(sv[0], input.data(), input.size(), MSG_NOSIGNAL);
  ::shutdown(sv[0], SHUT_WR);
  ks::net::HttpConnection conn(sv[1], 1000);
  std::vector<std::string> out;
  char line[ks::net::kHttpLineSize];
  for (int i = 0; i < count; ++i) {
    int n = ks::net::ReadHttpLine(conn, line);
    out.push_back(std::string(line, static_cast<size_t>(n)));
  }
  ::close(sv[0]);
  ::close(sv[1]);
  return out;
}

TEST(ReadHttpLine, LineEndsAndLimits) {
  EXPECT_EQ(Lines("a\r\nb\rc\nd", 5), (std::vector<std::string>{"a\n", "b\n", "c\n", "d\n", "\n"}));
  EXPECT_EQ(Lines("\r\r\n", 2), (std::vector<std::string>{"\n", "\n"}));
  std::string longLine(1500, 'x');
  auto lines = Lines(longLine + "\n", 2);
  EXPECT_EQ(lines[0], std::string(1023, 'x'));
  EXPECT_EQ(lines[1], std::string(477, 'x') + "\n");
}

TEST(UrlDecode, Table) {
  struct Case { const char* in; std::string out; } cases[] = {
      {"a%20b", "a b"}, {"a+b", "a b"}, {"100%%", "100%"}, {"%zz", "%zz"}, {"%4", "%4"},
      {"%", "%"}, {"%e4%B8%AD", "\xe4\xb8\xad"}, {"%2e%2e", ".."}, {"%00x", std::string("\0x", 2)},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ks::net::UrlDecode(c.in), c.out) << c.in;
}

TEST(ParseHttpRequestLine, MethodAndUrl) {
  auto p = [](const std::string& s) { return ks::net::ParseHttpRequestLine(s.c_str(), s.size()); };
  EXPECT_EQ(p("GET /a HTTP/1.1\n").method, "GET");
  EXPECT_EQ(p("GET /a HTTP/1.1\n").url, "/a");
  EXPECT_EQ(p("get  \t/b\n").url, "/b");
  EXPECT_EQ(p("GET\n").url, "");
  EXPECT_EQ(p(std::string(300, 'G') + " /a\n").method.size(), 254u);
  EXPECT_FALSE(p("GET /" + std::string(253, 'a') + " HTTP/1.1\n").urlTooLong);
  EXPECT_TRUE(p("GET /" + std::string(254, 'a') + " HTTP/1.1\n").urlTooLong);
}

}  // namespace
