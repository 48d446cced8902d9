#include "desktop/foundation/http/http_client.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/desktop/foundation/scoped_env.h"
#include "tests/fakes/fake_web_server.h"
#include "tests/fakes/net_io.h"

namespace {

using ks::desktop::CHttpClient;
using ks::fake::FakeWebServer;
using ks::fake::WebReply;
using ks::test::ScopedEnv;

constexpr const char* kPath = "/kestyl/pcstatistic.html";

class HttpClientTest : public ::testing::Test {
 protected:
  ScopedEnv loopback_{"KESTYL_LOOPBACK", "1"};
  ScopedEnv proxy_{"http_proxy", nullptr};
  ScopedEnv timeout_{"KESTYL_WEB_TIMEOUT_S", "2"};
  FakeWebServer server_;
};

TEST_F(HttpClientTest, PostsTheFormWithItsHeadersInOrder) {
  server_.Enqueue(kPath, WebReply::Ok("{\"status\":2}"));
  CHttpClient client(server_.url() + kPath);
  std::string reply = "stale";
  ASSERT_EQ(0, client.Post("Email=a%40b.c&Password=x", reply));
  EXPECT_EQ("{\"status\":2}", reply);
  EXPECT_EQ(200, client.LastStatus());

  ASSERT_EQ(1u, server_.Requests().size());
  const auto r = server_.Requests()[0];
  EXPECT_EQ("POST", r.method);
  EXPECT_EQ(kPath, r.target);
  EXPECT_EQ("HTTP/1.1", r.version);
  EXPECT_EQ("Email=a%40b.c&Password=x", r.body);
  EXPECT_EQ(CHttpClient::kUserAgent, r.Header("User-Agent"));
  EXPECT_EQ("24", r.Header("Content-Length"));
  // The three fixed headers, once each and in this order.
  std::vector<std::string> fixed;
  for (const auto& [name, value] : r.headers)
    if (name == "Accept" || name == "Content-Type" || name == "Accept-Encoding") fixed.push_back(name + ": " + value);
  EXPECT_EQ((std::vector<std::string>{"Accept: *,*/*", "Content-Type: application/x-www-form-urlencoded",
                                      "Accept-Encoding: gzip, deflate"}),
            fixed);
  EXPECT_FALSE(r.HasHeader("Expect"));
}

TEST_F(HttpClientTest, EmptyBodyAndBodiesWithANul) {
  struct Case {
    std::string body;
    std::string sent;
  } cases[] = {{"", ""}, {std::string("a=1\0b=2", 7), "a=1"}, {std::string(5000, 'x'), std::string(5000, 'x')}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent.size());
    FakeWebServer server;
    CHttpClient client(server.url() + kPath);
    std::string reply;
    ASSERT_EQ(0, client.Post(c.body, reply));
    ASSERT_EQ(1u, server.Requests().size());
    EXPECT_EQ("POST", server.Requests()[0].method);
    EXPECT_EQ(c.sent, server.Requests()[0].body);
    EXPECT_EQ(std::to_string(c.sent.size()), server.Requests()[0].Header("Content-Length"));
  }
}

TEST_F(HttpClientTest, ReplyIsReadInPiecesOf1024BytesEachCutAtItsFirstNul) {
  const std::string a1000(1000, 'a'), b100(100, 'b');
  struct Case {
    const char* name;
    std::string body;
    std::string reply;
  } cases[] = {
      {"nul in the only piece", std::string("abc\0def", 7), "abc"},
      {"nul at the start of the second piece", std::string(1024, 'a') + std::string("\0c", 2) + "d",
       std::string(1024, 'a')},
      {"nul in the first piece keeps the second", a1000 + std::string(1, '\0') + b100, a1000 + std::string(77, 'b')},
      {"nul in every piece", std::string("x\0", 2) + std::string(1022, 'y') + std::string("z\0", 2) + "w", "xz"},
      {"exactly one piece", std::string(1024, 'q'), std::string(1024, 'q')},
      {"long text", std::string(70000, 't'), std::string(70000, 't')},
  };
  for (const Case& c : cases) {
    for (auto enc : {WebReply::Encoding::kIdentity, WebReply::Encoding::kGzip, WebReply::Encoding::kDeflate}) {
      SCOPED_TRACE(std::string(c.name) + " encoding " + std::to_string(static_cast<int>(enc)));
      WebReply r = WebReply::Ok(c.body);
      r.encoding = enc;
      server_.Enqueue(r);
      CHttpClient client(server_.url() + kPath);
      std::string reply;
      ASSERT_EQ(0, client.Post("x=1", reply));
      EXPECT_EQ(c.reply, reply);
    }
  }
}

TEST_F(HttpClientTest, StatusIsKeptNotExamined) {
  for (int status : {404, 500, 302}) {
    WebReply r = WebReply::Ok("error page " + std::to_string(status));
    r.status = status;
    r.reason = "Whatever";
    if (status == 302) r.headers.push_back({"Location", "/elsewhere"});
    server_.Enqueue(r);
    CHttpClient client(server_.url() + kPath);
    std::string reply;
    EXPECT_EQ(0, client.Post("a=b", reply));
    EXPECT_EQ("error page " + std::to_string(status), reply);
    EXPECT_EQ(status, client.LastStatus());
  }
  EXPECT_EQ(3u, server_.Requests().size());  // no redirect followed
}

TEST_F(HttpClientTest, FailuresAndTimeOuts) {
  FakeWebServer silent;
  silent.SetSilentAccept(true);
  WebReply hang_up;
  hang_up.hang_up = true;
  WebReply garbage;
  garbage.raw = "NOT HTTP AT ALL\r\n\r\n";
  WebReply slow = WebReply::Ok("late");
  slow.delay_ms = 300;
  const std::string refused = "http://127.0.0.1:" + std::to_string(ks::fake::FreeTcpPort());
  struct Case {
    const char* name;
    std::string url;
    std::optional<WebReply> reply;
    int result;
  } cases[] = {
      {"ftp", "ftp://127.0.0.1/x", std::nullopt, -1},
      {"no scheme", "127.0.0.1/kestyl/x", std::nullopt, -1},
      {"file", "file:///etc/hostname", std::nullopt, -1},
      {"refused", refused + kPath, std::nullopt, 1},
      {"hang up", server_.url() + kPath, hang_up, 1},
      {"not http", server_.url() + kPath, garbage, 1},
      {"silent accept", silent.url() + kPath, std::nullopt, 2},
      {"silent after the request", server_.url() + kPath, WebReply::Silent(), 2},
      {"slow but moving", server_.url() + kPath, slow, 0},
      {"unresolvable", "http://no-such-host.invalid/x", std::nullopt, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.reply) server_.Enqueue(*c.reply);
    CHttpClient client(c.url);
    std::string reply = "stale";
    EXPECT_EQ(c.result, client.Post("a=b", reply));
    if (c.result != 0) {
      EXPECT_EQ("", reply);
    }
  }
}

TEST_F(HttpClientTest, OneClientPostsAgain) {
  server_.Enqueue(WebReply::Ok("one"));
  server_.Enqueue(WebReply::Ok("two"));
  CHttpClient client(server_.url() + kPath);
  std::string reply;
  ASSERT_EQ(0, client.Post("n=1", reply));
  EXPECT_EQ("one", reply);
  ASSERT_EQ(0, client.Post("n=2", reply));
  EXPECT_EQ("two", reply);
  EXPECT_EQ(2u, server_.Requests().size());
}

TEST_F(HttpClientTest, LoopbackModeSendsNothingOutsideLoopback) {
  for (const char* url : {"http://10.255.255.1/x", "http://192.0.2.1:80/x", "http://127.0.0.1@192.0.2.1/x",
                          "http://example.com/x"}) {
    SCOPED_TRACE(url);
    CHttpClient client(url);
    std::string reply;
    EXPECT_EQ(1, client.Post("a=b", reply));
  }
  // localhost is loopback.
  std::string local = "http://localhost:" + std::to_string(server_.port()) + kPath;
  CHttpClient client(local);
  std::string reply;
  EXPECT_EQ(0, client.Post("a=b", reply));
}

TEST_F(HttpClientTest, ProxyFromTheEnvironmentAndNoProxyHonoured) {
  ScopedEnv outside("KESTYL_LOOPBACK", "0");
  FakeWebServer proxy;
  proxy.SetFixed(WebReply::Ok("via proxy"));
  ScopedEnv p("http_proxy", proxy.url());
  {
    ScopedEnv n("no_proxy", nullptr);
    CHttpClient client(server_.url() + kPath);
    std::string reply;
    ASSERT_EQ(0, client.Post("a=b", reply));
    EXPECT_EQ("via proxy", reply);
    ASSERT_EQ(1u, proxy.Requests().size());
    EXPECT_EQ(server_.url() + kPath, proxy.Requests()[0].target);
  }
  {
    ScopedEnv n("no_proxy", "127.0.0.1");
    CHttpClient client(server_.url() + kPath);
    std::string reply;
    ASSERT_EQ(0, client.Post("a=b", reply));
    EXPECT_EQ(1u, server_.Requests().size());
    EXPECT_EQ(1u, proxy.Requests().size());
  }
  {
    // Loopback mode never uses a proxy.
    ScopedEnv n("no_proxy", nullptr);
    ScopedEnv l("KESTYL_LOOPBACK", "1");
    CHttpClient client(server_.url() + kPath);
    std::string reply;
    ASSERT_EQ(0, client.Post("a=b", reply));
    EXPECT_EQ(2u, server_.Requests().size());
    EXPECT_EQ(1u, proxy.Requests().size());
  }
}

}  // namespace
