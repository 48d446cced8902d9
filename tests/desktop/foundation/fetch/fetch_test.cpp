// The transfer module against the loopback web fake: the request on the wire, body
// framings and codings, redirects, limits, failures, proxies and the choice of transport.
#include "desktop/foundation/fetch/fetch.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "desktop/foundation/fetch/transport.h"
#include "tests/desktop/foundation/scoped_env.h"
#include "tests/fakes/fake_web_server.h"
#include "tests/fakes/net_io.h"

namespace {

namespace fetch = ks::desktop::fetch;
using fetch::Code;
using ks::fake::Deflate;
using ks::fake::FakeWebServer;
using ks::fake::WebReply;
using ks::test::ScopedEnv;
using Clock = std::chrono::steady_clock;

WebReply Raw(std::string bytes, bool close = false) {
  WebReply r;
  r.raw = std::move(bytes);
  r.close = close;
  return r;
}

WebReply Redirect(int status, std::string location) {
  WebReply r = WebReply::Ok("moved");
  r.status = status;
  r.reason = "Moved";
  r.headers.push_back({"Location", std::move(location)});
  return r;
}

std::string Chunked(const std::string& body, size_t piece) {
  std::string out;
  for (size_t i = 0; i < body.size(); i += piece) {
    std::string p = body.substr(i, piece);
    char size[32];
    std::snprintf(size, sizeof size, "%zx", p.size());
    out += std::string(size) + "\r\n" + p + "\r\n";
  }
  return out + "0\r\n";
}

struct Outcome {
  fetch::Result result;
  std::string body;
  std::vector<Clock::time_point> progress_calls;
  double seconds = 0;
};

class FetchTest : public ::testing::Test {
 protected:
  ScopedEnv loopback_{"KESTYL_LOOPBACK", "1"};
  ScopedEnv proxy_{"http_proxy", nullptr};
  ScopedEnv all_proxy_{"all_proxy", nullptr};
  ScopedEnv all_proxy_upper_{"ALL_PROXY", nullptr};
  FakeWebServer server_;

  fetch::Request Get(const std::string& path) {
    fetch::Request r;
    r.url = server_.url() + path;
    r.total_timeout_ms = 10000;  // a fault shows as a failure, not as a hanging test
    return r;
  }

  static Outcome Run(fetch::Request r) {
    Outcome o;
    auto user_sink = r.sink;
    r.sink = [&](const char* d, size_t n) {
      o.body.append(d, n);
      return user_sink ? user_sink(d, n) : true;
    };
    auto user_progress = r.progress;
    r.progress = [&](uint64_t down, uint64_t up) {
      o.progress_calls.push_back(Clock::now());
      return user_progress ? user_progress(down, up) : true;
    };
    auto start = Clock::now();
    o.result = fetch::Perform(r);
    o.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return o;
  }
};

TEST_F(FetchTest, RequestOnTheWire) {
  server_.SetFixed(WebReply::Ok("x"));
  {
    fetch::Request r = Get("/a/b?q=1#frag");
    r.user_agent = "Agent/1";
    r.accept_encoding = "gzip, deflate";
    r.headers = {"X-One: 1", "X-Two:   two  "};
    ASSERT_EQ(Code::kOk, Run(r).result.code);
  }
  {
    fetch::Request r = Get("/post");
    r.method = "POST";
    r.body = "a=1&b=2";
    r.headers = {"Accept: *,*/*", "Content-Type: text/plain", "Accept-Encoding:", "X-Empty;"};
    ASSERT_EQ(Code::kOk, Run(r).result.code);
  }
  {
    fetch::Request r = Get("/empty-post");
    r.method = "POST";
    ASSERT_EQ(Code::kOk, Run(r).result.code);
  }
  const auto reqs = server_.Requests();
  ASSERT_EQ(3u, reqs.size());
  using Headers = std::vector<std::pair<std::string, std::string>>;
  const std::string host = "127.0.0.1:" + std::to_string(server_.port());

  EXPECT_EQ("GET", reqs[0].method);
  EXPECT_EQ("/a/b?q=1", reqs[0].target);
  EXPECT_EQ("HTTP/1.1", reqs[0].version);
  EXPECT_EQ((Headers{{"Host", host}, {"User-Agent", "Agent/1"}, {"Accept", "*/*"},
                     {"Accept-Encoding", "gzip, deflate"}, {"X-One", "1"}, {"X-Two", "two"}}),
            reqs[0].headers);

  EXPECT_EQ("POST", reqs[1].method);
  EXPECT_EQ("a=1&b=2", reqs[1].body);
  EXPECT_EQ((Headers{{"Host", host}, {"Accept", "*,*/*"}, {"Content-Type", "text/plain"}, {"X-Empty", ""},
                     {"Content-Length", "7"}}),
            reqs[1].headers);

  EXPECT_EQ((Headers{{"Host", host}, {"Accept", "*/*"}, {"Content-Length", "0"},
                     {"Content-Type", "application/x-www-form-urlencoded"}}),
            reqs[2].headers);
  for (const auto& r : reqs) {
    EXPECT_FALSE(r.HasHeader("Expect"));
    EXPECT_FALSE(r.HasHeader("Connection"));
  }
  EXPECT_EQ(3, server_.connections());  // one connection per transfer
}

TEST_F(FetchTest, BodyFramings) {
  const std::string big(100000, 'b');
  struct Case {
    const char* name;
    std::string method;
    std::string reply;
    long status;
    std::string body;
  } cases[] = {
      {"length", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 200, "hello"},
      {"length zero", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 200, ""},
      {"same length twice", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\ncontent-length: 2\r\n\r\nhi", 200, "hi"},
      {"chunked", "GET",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked(big, 7000) + "\r\n", 200, big},
      {"chunked with extensions and trailers", "GET",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\nContent-Length: 1\r\n\r\n"
       "3;name=value\r\nabc\r\nA \r\n0123456789\r\n0\r\nX-Trailer: 1\r\nY: 2\r\n\r\n",
       200, "abc0123456789"},
      {"until close", "GET", "HTTP/1.0 200 OK\r\n\r\n" + big, 200, big},
      {"bare line feeds", "GET", "HTTP/1.1 200 OK\nContent-Length: 3\n\nabc", 200, "abc"},
      {"1xx skipped", "GET",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nX: y\r\n\r\nHTTP/1.1 201 Created\r\n"
       "Content-Length: 2\r\n\r\nok",
       201, "ok"},
      {"no reason phrase", "GET", "HTTP/1.1 404\r\nContent-Length: 1\r\n\r\nn", 404, "n"},
      // No body, whatever the head says: the connection stays open, so reading one would
      // wait for the time-out.
      {"204", "GET", "HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n\r\n", 204, ""},
      {"304", "GET", "HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n", 304, ""},
      {"HEAD", "HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", 200, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool close = c.reply.rfind("HTTP/1.0", 0) == 0;
    server_.Enqueue(Raw(c.reply, close));
    fetch::Request r = Get("/f");
    r.method = c.method;
    r.total_timeout_ms = 3000;
    Outcome o = Run(r);
    EXPECT_EQ(Code::kOk, o.result.code) << fetch::CodeText(o.result.code);
    EXPECT_EQ(c.status, o.result.status);
    EXPECT_TRUE(c.body == o.body) << "got " << o.body.size() << " bytes, want " << c.body.size();
  }
}

TEST_F(FetchTest, ContentCodings) {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i) + "\n";
  struct Case {
    const char* name;
    const char* coding;
    std::string encoded;
    bool decode;
    Code code;
    std::string body;
  } cases[] = {
      {"gzip", "gzip", Deflate(text, 31), true, Code::kOk, text},
      {"x-gzip", "x-gzip", Deflate(text, 31), true, Code::kOk, text},
      {"deflate with the zlib header", "deflate", Deflate(text, 15), true, Code::kOk, text},
      {"deflate without it", "deflate", Deflate(text, -15), true, Code::kOk, text},
      {"identity", "identity", text, true, Code::kOk, text},
      {"two layers", "deflate, gzip", Deflate(Deflate(text, 15), 31), true, Code::kOk, text},
      {"not asked: passed as it came", "gzip", Deflate(text, 31), false, Code::kOk, Deflate(text, 31)},
      {"unknown coding", "br", "abc", true, Code::kProtocolError, ""},
      {"gzip that is not", "gzip", "this is no gzip stream", true, Code::kProtocolError, ""},
      {"six layers", "gzip, gzip, gzip, gzip, gzip, gzip", "x", true, Code::kProtocolError, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool chunked : {false, true}) {
      std::string head = std::string("HTTP/1.1 200 OK\r\nContent-Encoding: ") + c.coding + "\r\n";
      std::string reply = chunked ? head + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(c.encoded, 333) + "\r\n"
                                  : head + "Content-Length: " + std::to_string(c.encoded.size()) + "\r\n\r\n" + c.encoded;
      server_.Enqueue(Raw(reply));
      fetch::Request r = Get("/z");
      if (c.decode) r.accept_encoding = "gzip, deflate";
      Outcome o = Run(r);
      EXPECT_EQ(c.code, o.result.code) << fetch::CodeText(o.result.code);
      if (c.code == Code::kOk) {
        EXPECT_TRUE(c.body == o.body) << "got " << o.body.size() << " bytes, want " << c.body.size();
      }
    }
  }
}

TEST_F(FetchTest, RedirectsAreFollowedUpToTheCap) {
  const std::string base = server_.url();
  server_.Enqueue("/dir/start", Redirect(301, "next?x=1"));
  server_.Enqueue("/dir/next", Redirect(302, "../up/./there"));
  server_.Enqueue("/up/there", Redirect(307, "//127.0.0.1:" + std::to_string(server_.port()) + "/abs"));
  server_.Enqueue("/abs", Redirect(308, "/final#part"));
  server_.Enqueue("/final", WebReply::Ok("arrived"));
  fetch::Request r = Get("/dir/start");
  r.follow_redirects = true;
  r.max_redirects = 4;
  Outcome o = Run(r);
  EXPECT_EQ(Code::kOk, o.result.code);
  EXPECT_EQ(200, o.result.status);
  EXPECT_EQ("arrived", o.body);  // no redirect body delivered
  EXPECT_EQ(base + "/final", o.result.effective_url);
  std::vector<std::string> targets;
  for (const auto& q : server_.Requests()) targets.push_back(q.target);
  EXPECT_EQ((std::vector<std::string>{"/dir/start", "/dir/next?x=1", "/up/there", "/abs", "/final"}), targets);

  // One hop more than allowed.
  server_.Enqueue("/a", Redirect(302, "/b"));
  server_.Enqueue("/b", Redirect(302, "/c"));
  r = Get("/a");
  r.follow_redirects = true;
  r.max_redirects = 1;
  o = Run(r);
  EXPECT_EQ(Code::kTooManyRedirects, o.result.code);
  EXPECT_EQ(302, o.result.status);

  // Not following: the redirect is the reply.
  server_.Enqueue("/n", Redirect(302, "/elsewhere"));
  o = Run(Get("/n"));
  EXPECT_EQ(Code::kOk, o.result.code);
  EXPECT_EQ(302, o.result.status);
  EXPECT_EQ("moved", o.body);

  // Unbounded redirect loops end at 30 when the caller gives no cap.
  FakeWebServer loop;
  loop.SetFixed(Redirect(302, "/again"));
  r.url = loop.url() + "/again";
  r.max_redirects = -1;
  o = Run(r);
  EXPECT_EQ(Code::kTooManyRedirects, o.result.code);
  EXPECT_EQ(31u, loop.Requests().size());
}

TEST_F(FetchTest, PostBecomesGetOn301To303Only) {
  for (int status : {301, 302, 303, 307, 308}) {
    SCOPED_TRACE(status);
    FakeWebServer server;
    server.Enqueue("/form", Redirect(status, "/done"));
    server.Enqueue("/done", WebReply::Ok("ok"));
    fetch::Request r;
    r.url = server.url() + "/form";
    r.method = "POST";
    r.body = "k=v";
    r.follow_redirects = true;
    r.total_timeout_ms = 10000;
    ASSERT_EQ(Code::kOk, Run(r).result.code);
    auto reqs = server.Requests();
    ASSERT_EQ(2u, reqs.size());
    bool keeps = status == 307 || status == 308;
    EXPECT_EQ(keeps ? "POST" : "GET", reqs[1].method);
    EXPECT_EQ(keeps ? "k=v" : "", reqs[1].body);
    EXPECT_EQ(keeps, reqs[1].HasHeader("Content-Length"));
  }
}

TEST_F(FetchTest, EveryHopIsChecked) {
  struct Case {
    const char* location;
    Code code;
  } cases[] = {
      {"http://10.255.255.1/x", Code::kNotAllowed},
      {"http://127.0.0.1@10.255.255.1/x", Code::kNotAllowed},
      {"ftp://127.0.0.1/x", Code::kBadScheme},
      {"file:///etc/passwd", Code::kBadScheme},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.location);
    server_.Enqueue("/r", Redirect(302, c.location));
    fetch::Request r = Get("/r");
    r.follow_redirects = true;
    Outcome o = Run(r);
    EXPECT_EQ(c.code, o.result.code);
    EXPECT_EQ(c.location, o.result.effective_url);
    EXPECT_LT(o.seconds, 2.0);  // refused, not tried
  }
  EXPECT_EQ(Code::kBadScheme, Run(fetch::Request{}).result.code);
  // The first address alike: no connection is tried outside loopback.
  fetch::Request r;
  r.url = "http://10.255.255.1/";
  r.connect_timeout_ms = 20000;
  Outcome o = Run(r);
  EXPECT_EQ(Code::kNotAllowed, o.result.code);
  EXPECT_LT(o.seconds, 2.0);
}

TEST(FetchLoopbackAddress, OnlyLoopbackPasses) {
  struct Case {
    const char* address;
    bool loopback;
  } cases[] = {
      {"127.0.0.1", true},     {"127.255.1.2", true},     {"::1", true},          {"::ffff:127.0.0.9", true},
      {"10.255.255.1", false}, {"128.0.0.1", false},      {"0.0.0.0", false},     {"::", false},
      {"::ffff:10.0.0.1", false}, {"::2", false},         {"fe80::1", false},     {"::127.0.0.1", false},
  };
  for (const Case& c : cases) {
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (inet_pton(AF_INET, c.address, &reinterpret_cast<sockaddr_in*>(&ss)->sin_addr) == 1) {
      ss.ss_family = AF_INET;
      len = sizeof(sockaddr_in);
    } else {
      ASSERT_EQ(1, inet_pton(AF_INET6, c.address, &reinterpret_cast<sockaddr_in6*>(&ss)->sin6_addr)) << c.address;
      ss.ss_family = AF_INET6;
      len = sizeof(sockaddr_in6);
    }
    EXPECT_EQ(c.loopback, fetch::LoopbackAddress(reinterpret_cast<sockaddr*>(&ss), len)) << c.address;
    EXPECT_FALSE(fetch::LoopbackAddress(reinterpret_cast<sockaddr*>(&ss), 4)) << "short " << c.address;
  }
}

// A loopback port whose listen queue is full: a connect to it is neither accepted nor
// refused (the SYNs are dropped) until the time-out.
class FullBacklog {
 public:
  FullBacklog() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 0) != 0) return;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    for (int i = 0; i < 16 && !full_; ++i) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      fillers_.push_back(fd);
      if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) continue;
      pollfd p{fd, POLLOUT, 0};
      full_ = poll(&p, 1, 300) == 0;  // this one hangs: the queue is full
    }
  }
  ~FullBacklog() {
    for (int fd : fillers_) close(fd);
    if (listener_ >= 0) close(listener_);
  }
  bool full() const { return full_; }
  uint16_t port() const { return port_; }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  bool full_ = false;
  std::vector<int> fillers_;
};

TEST_F(FetchTest, ConnectFailures) {
  {
    fetch::Request r;
    r.url = "http://127.0.0.1:" + std::to_string(ks::fake::FreeTcpPort()) + "/";
    Outcome o = Run(r);
    EXPECT_EQ(Code::kCouldNotConnect, o.result.code);
    EXPECT_EQ(0, o.result.status);
  }
  {
    fetch::Request r;
    r.url = "http://no-such-host.invalid/";
    EXPECT_EQ(Code::kNotAllowed, Run(r).result.code);
    ScopedEnv outside("KESTYL_LOOPBACK", "0");
    EXPECT_EQ(Code::kCouldNotResolve, Run(r).result.code);
  }
  FullBacklog backlog;
  ASSERT_TRUE(backlog.full());
  for (bool total : {false, true}) {
    SCOPED_TRACE(total ? "total time-out" : "connect time-out");
    fetch::Request r;
    r.url = "http://127.0.0.1:" + std::to_string(backlog.port()) + "/";
    (total ? r.total_timeout_ms : r.connect_timeout_ms) = 1500;
    Outcome o = Run(r);
    EXPECT_EQ(Code::kTimedOut, o.result.code);
    EXPECT_GE(o.seconds, 1.4);
    EXPECT_LT(o.seconds, 5.0);
    EXPECT_GE(o.progress_calls.size(), 1u);  // reported while waiting
  }
}

TEST_F(FetchTest, ProgressWhileWaitingAndItsAbort) {
  server_.Enqueue(Raw("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789"));  // then nothing
  fetch::Request r = Get("/slow");
  uint64_t last_down = 0, last_up = 0;
  auto start = Clock::now();
  r.progress = [&](uint64_t down, uint64_t up) {
    last_down = down;
    last_up = up;
    return Clock::now() - start < std::chrono::milliseconds(2500);
  };
  Outcome o = Run(r);
  EXPECT_EQ(Code::kAborted, o.result.code);
  EXPECT_EQ(200, o.result.status);
  EXPECT_EQ("0123456789", o.body);
  EXPECT_GE(last_down, 10u);
  EXPECT_GT(last_up, 0u);
  ASSERT_GE(o.progress_calls.size(), 3u);
  for (size_t i = 1; i < o.progress_calls.size(); ++i)
    EXPECT_LT(o.progress_calls[i] - o.progress_calls[i - 1], std::chrono::milliseconds(1800)) << i;

  // The total time-out ends a silent reply.
  server_.Enqueue(WebReply::Silent());
  r = Get("/silent");
  r.total_timeout_ms = 800;
  o = Run(r);
  EXPECT_EQ(Code::kTimedOut, o.result.code);
  EXPECT_LT(o.seconds, 3.0);
}

TEST_F(FetchTest, BodyCapAndSinkRefusal) {
  const std::string body(5000, 'c');
  struct Case {
    const char* name;
    WebReply reply;
    uint64_t cap;
    Code code;
    size_t delivered_at_most;
  } cases[] = {
      {"exactly the cap", WebReply::Ok(body), 5000, Code::kOk, 5000},
      {"length above the cap", WebReply::Ok(body), 4999, Code::kTooLarge, 0},
      {"growing body without a length", Raw("HTTP/1.1 200 OK\r\n\r\n" + body, true), 4000, Code::kTooLarge, 4000},
      {"growing chunked body", Raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked(body, 100) + "\r\n"),
       4000, Code::kTooLarge, 4000},
      {"decoded size counts", [&] { WebReply r = WebReply::Ok(body); r.encoding = WebReply::Encoding::kGzip; return r; }(),
       4000, Code::kTooLarge, 4000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.Enqueue(c.reply);
    fetch::Request r = Get("/cap");
    r.accept_encoding = "gzip";
    r.max_bytes = c.cap;
    Outcome o = Run(r);
    EXPECT_EQ(c.code, o.result.code);
    EXPECT_LE(o.body.size(), c.delivered_at_most);
  }
  server_.Enqueue(WebReply::Ok(body));
  fetch::Request r = Get("/sink");
  r.sink = [](const char*, size_t) { return false; };
  EXPECT_EQ(Code::kWriteError, Run(r).result.code);
}

TEST_F(FetchTest, MalformedRepliesAreProtocolErrors) {
  WebReply hang_up;
  hang_up.hang_up = true;
  struct Case {
    const char* name;
    WebReply reply;
  } cases[] = {
      {"no reply at all", hang_up},
      {"not http", Raw("NOT HTTP AT ALL\r\n\r\n", true)},
      {"version 2 line", Raw("HTTP/2 200 OK\r\n\r\n", true)},
      {"four-digit status", Raw("HTTP/1.1 2000 OK\r\n\r\n", true)},
      {"status below 100", Raw("HTTP/1.1 099 Low\r\n\r\n", true)},
      {"folded header", Raw("HTTP/1.1 200 OK\r\nX: a\r\n  b\r\nContent-Length: 0\r\n\r\n")},
      {"header without a colon", Raw("HTTP/1.1 200 OK\r\nBroken\r\n\r\n")},
      {"space before the colon", Raw("HTTP/1.1 200 OK\r\nContent-Length : 0\r\n\r\n")},
      {"NUL in the head", Raw(std::string("HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\n", 27))},
      {"head too large", Raw("HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'h') + "\r\n\r\n", true)},
      {"endless 1xx heads", Raw([] {
         std::string s;
         for (int i = 0; i < 4000; ++i) s += "HTTP/1.1 100 Continue\r\nX: 0123456789\r\n\r\n";
         return s;
       }(), true)},
      {"cut in the head", Raw("HTTP/1.1 200 OK\r\nContent-Le", true)},
      {"lengths differ", Raw("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc")},
      {"length not a number", Raw("HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\na")},
      {"negative length", Raw("HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\na")},
      {"body cut short", Raw("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", true)},
      {"chunk size not hex", Raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n0\r\n\r\n")},
      {"chunk size overflows", Raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffffff\r\n")},
      {"chunk without its line end", Raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n")},
      {"chunked cut before the last chunk", Raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n", true)},
      {"chunked cut in the trailers", Raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX: 1\r\n", true)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.Enqueue(c.reply);
    fetch::Request r = Get("/bad");
    r.total_timeout_ms = 3000;
    Outcome o = Run(r);
    EXPECT_EQ(Code::kProtocolError, o.result.code) << fetch::CodeText(o.result.code);
  }
}

TEST_F(FetchTest, HttpProxyFromTheEnvironment) {
  ScopedEnv outside("KESTYL_LOOPBACK", "0");
  FakeWebServer proxy;
  proxy.SetFixed(WebReply::Ok("via proxy"));
  const std::string proxy_hostport = "127.0.0.1:" + std::to_string(proxy.port());
  struct Case {
    const char* name;
    const char* http_proxy;
    const char* all_proxy;
    const char* all_proxy_upper;
    const char* no_proxy;
    const char* no_proxy_upper;
    bool via_proxy;
  } cases[] = {
      {"http_proxy", "URL", nullptr, nullptr, nullptr, nullptr, true},
      {"without a scheme", "HOSTPORT", nullptr, nullptr, nullptr, nullptr, true},
      {"all_proxy", nullptr, "URL", nullptr, nullptr, nullptr, true},
      {"ALL_PROXY", nullptr, nullptr, "URL", nullptr, nullptr, true},
      {"an empty http_proxy wins", "", "URL", nullptr, nullptr, nullptr, false},
      {"no_proxy by address", "URL", nullptr, nullptr, "example.com, 127.0.0.1", nullptr, false},
      {"no_proxy by range", "URL", nullptr, nullptr, "127.0.0.0/8", nullptr, false},
      {"no_proxy star", "URL", nullptr, nullptr, "*", nullptr, false},
      {"NO_PROXY", "URL", nullptr, nullptr, nullptr, "127.0.0.1", false},
      {"no_proxy before NO_PROXY", "URL", nullptr, nullptr, "example.com", "127.0.0.1", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto value = [&](const char* v) -> std::optional<std::string> {
      if (!v) return std::nullopt;
      std::string s = v;
      return s == "URL" ? proxy.url() : s == "HOSTPORT" ? proxy_hostport : s;
    };
    auto hp = value(c.http_proxy), ap = value(c.all_proxy), apu = value(c.all_proxy_upper);
    ScopedEnv a("http_proxy", hp ? hp->c_str() : nullptr), b("all_proxy", ap ? ap->c_str() : nullptr),
        d("ALL_PROXY", apu ? apu->c_str() : nullptr), e("no_proxy", c.no_proxy), f("NO_PROXY", c.no_proxy_upper);
    size_t before = proxy.Requests().size();
    server_.Enqueue(WebReply::Ok("direct"));
    Outcome o = Run(Get("/p?x=1"));
    ASSERT_EQ(Code::kOk, o.result.code);
    EXPECT_EQ(c.via_proxy ? "via proxy" : "direct", o.body);
    if (c.via_proxy) {
      ASSERT_EQ(before + 1, proxy.Requests().size());
      const auto req = proxy.Requests().back();
      EXPECT_EQ(server_.url() + "/p?x=1", req.target);
      EXPECT_EQ("127.0.0.1:" + std::to_string(server_.port()), req.Header("Host"));
      EXPECT_EQ("Keep-Alive", req.Header("Proxy-Connection"));
    } else {
      EXPECT_EQ(before, proxy.Requests().size());
    }
  }
  // Loopback mode uses no proxy.
  ScopedEnv l("KESTYL_LOOPBACK", "1");
  ScopedEnv p("http_proxy", proxy.url());
  server_.Enqueue(WebReply::Ok("direct"));
  EXPECT_EQ("direct", Run(Get("/p")).body);
}

TEST(FetchNoProxy, ListEntries) {
  struct Case {
    const char* list;
    const char* host;
    bool covered;
  } cases[] = {
      {"*", "anything.example", true},
      {" * ", "anything.example", true},
      {"a.example,*", "b.example", false},  // "*" counts only alone
      {"example.com", "example.com", true},
      {"example.com", "www.EXAMPLE.com", true},
      {".example.com", "www.example.com", true},
      {".example.com", "example.com", true},
      {"example.com", "badexample.com", false},
      {"www.example.com", "example.com", false},
      {"a.test b.test,c.test", "b.test", true},
      {",, ,c.test", "x.c.test", true},
      {"", "example.com", false},
      {"10.1.2.3", "10.1.2.3", true},
      {"10.1.2.3", "10.1.2.4", false},
      {"10.0.0.0/8", "10.200.1.1", true},
      {"10.0.0.0/8", "11.0.0.1", false},
      {"192.168.1.128/25", "192.168.1.200", true},
      {"192.168.1.128/25", "192.168.1.100", false},
      {"10.0.0.0/33", "10.0.0.1", false},
      {"::1", "::1", true},
      {"[::1]", "::1", true},
      {"fd00::/8", "fd12::5", true},
      {"fd00::/8", "fe80::1", false},
      {"10.0.0.0/8", "example.com", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.covered, fetch::NoProxyCovers(c.list, c.host)) << "'" << c.list << "' " << c.host;
}

TEST(FetchReference, ResolvedAgainstTheCurrentAddress) {
  const std::string base = "http://h.example:81/a/b/c?q=1#f";
  struct Case {
    const char* reference;
    const char* resolved;
  } cases[] = {
      {"d", "http://h.example:81/a/b/d"},
      {"./d/", "http://h.example:81/a/b/d/"},
      {"../d", "http://h.example:81/a/d"},
      {"../../../../d", "http://h.example:81/d"},
      {"/d/./e/../f", "http://h.example:81/d/f"},
      {"?x=2", "http://h.example:81/a/b/c?x=2"},
      {"#g", "http://h.example:81/a/b/c?q=1"},
      {"", "http://h.example:81/a/b/c?q=1"},
      {"//other.example/p", "http://other.example/p"},
      {"//other.example", "http://other.example/"},
      {"https://s.example", "https://s.example/"},
      {"HTTP://s.example/x/../y?z#w", "HTTP://s.example/y?z"},
      {"ftp://f.example/x", "ftp://f.example/x"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.resolved, fetch::ResolveReference(base, c.reference)) << c.reference;
}

// What goes through libcurl: an https hop, a proxy of another kind.
TEST_F(FetchTest, HttpsAndOtherProxiesGoThroughLibcurl) {
  const std::string closed = std::to_string(ks::fake::FreeTcpPort());
  std::string error;
  ASSERT_TRUE(fetch::LoadCurl(&error)) << error;
  {
    fetch::Request r;
    r.url = "https://127.0.0.1:" + closed + "/";
    EXPECT_EQ(Code::kCouldNotConnect, Run(r).result.code);
  }
  {
    server_.Enqueue("/r", Redirect(302, "https://127.0.0.1:" + closed + "/secure"));
    fetch::Request r = Get("/r");
    r.follow_redirects = true;
    Outcome o = Run(r);
    EXPECT_EQ(Code::kCouldNotConnect, o.result.code);
    EXPECT_EQ("https://127.0.0.1:" + closed + "/secure", o.result.effective_url);
  }
  {
    // A socks proxy: libcurl's; its connection fails, and nothing reaches the server.
    ScopedEnv outside("KESTYL_LOOPBACK", "0");
    ScopedEnv p("http_proxy", "socks5://127.0.0.1:" + closed);
    size_t before = server_.Requests().size();
    Outcome o = Run(Get("/x"));
    EXPECT_EQ(Code::kCouldNotConnect, o.result.code) << fetch::CodeText(o.result.code);
    EXPECT_EQ(before, server_.Requests().size());
  }
  {
    // An address with user information: libcurl's transport (it sends the credentials),
    // with the module's redirects, cap and callbacks around it.
    const std::string userinfo_url = "http://user:pw@127.0.0.1:" + std::to_string(server_.port());
    server_.Enqueue("/u", Redirect(302, "/after"));
    server_.Enqueue("/after", WebReply::Ok("done"));
    fetch::Request r;
    r.url = userinfo_url + "/u";
    r.follow_redirects = true;
    size_t before = server_.Requests().size();
    Outcome o = Run(r);
    EXPECT_EQ(Code::kOk, o.result.code) << fetch::CodeText(o.result.code);
    EXPECT_EQ("done", o.body);
    EXPECT_EQ(userinfo_url + "/after", o.result.effective_url);
    auto reqs = server_.Requests();
    ASSERT_EQ(before + 2, reqs.size());
    EXPECT_EQ("Basic dXNlcjpwdw==", reqs[before].Header("Authorization"));
    EXPECT_EQ("/after", reqs[before + 1].target);

    server_.Enqueue("/big", WebReply::Ok(std::string(5000, 'b')));
    r.url = userinfo_url + "/big";
    r.max_bytes = 4999;
    EXPECT_EQ(Code::kTooLarge, Run(r).result.code);

    server_.Enqueue("/silent", WebReply::Silent());
    r.url = userinfo_url + "/silent";
    auto start = Clock::now();
    r.progress = [&](uint64_t, uint64_t) { return Clock::now() - start < std::chrono::milliseconds(1200); };
    o = Run(r);
    EXPECT_EQ(Code::kAborted, o.result.code);
    EXPECT_LT(o.seconds, 5.0);
  }
}

}  // namespace
