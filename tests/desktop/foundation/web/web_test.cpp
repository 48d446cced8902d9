#include "desktop/foundation/web/web.h"

#include <gtest/gtest.h>

#include "tests/desktop/foundation/scoped_env.h"

namespace {

namespace web = ks::desktop::web;
using ks::test::ScopedEnv;

TEST(Web, AddressesFromTheEnvironment) {
  struct Case {
    const char* loopback;
    const char* web_url;
    const char* blog_url;
    const char* timeout;
    std::string web;
    std::string blog;
    int seconds;
  } cases[] = {
      {"1", nullptr, nullptr, nullptr, "http://127.0.0.1", "http://127.0.0.1", 30},
      {"1", "http://127.0.0.1:8080/", "http://127.0.0.2//", "2", "http://127.0.0.1:8080", "http://127.0.0.2", 2},
      {"1", "", "", "0", "http://127.0.0.1", "http://127.0.0.1", 30},
      {nullptr, "https://h.example:9", nullptr, "-4", "https://h.example:9", "http://blog.kestyl.com", 30},
      {"0", nullptr, nullptr, "7x", "http://www.kestyl.com", "http://blog.kestyl.com", 30},
      {"0", nullptr, nullptr, "600", "http://www.kestyl.com", "http://blog.kestyl.com", 600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.web);
    ScopedEnv a("KESTYL_LOOPBACK", c.loopback), b("KESTYL_WEB_URL", c.web_url), d("KESTYL_BLOG_URL", c.blog_url),
        e("KESTYL_WEB_TIMEOUT_S", c.timeout);
    EXPECT_EQ(c.web, web::WebUrl());
    EXPECT_EQ(c.blog, web::BlogUrl());
    EXPECT_EQ(c.seconds, web::TimeoutSeconds());
    EXPECT_EQ(c.web + "/kestyl/pcstatistic.html", web::PageUrl(web::kStatisticPost));
  }
}

TEST(Web, PagesOfTheSixUses) {
  ScopedEnv a("KESTYL_WEB_URL", "http://127.0.0.1:81"), b("KESTYL_BLOG_URL", "http://127.0.0.9");
  EXPECT_EQ("http://127.0.0.1:81/kestyl/update-pc.html", web::PageUrl(web::kUpdatePath));
  EXPECT_EQ("http://127.0.0.1:81/kestyl/register.html", web::PageUrl(web::kRegisterPost));
  EXPECT_EQ("http://127.0.0.1:81/kestyl/bannerpc?L=cn", web::BannerUrl(0));
  EXPECT_EQ("http://127.0.0.1:81/kestyl/bannerpc?L=en", web::BannerUrl(1));
  EXPECT_EQ("http://127.0.0.1:81/kestyl/bannerpc?L=tw", web::BannerUrl(2));
  EXPECT_EQ("http://127.0.0.1:81/kestyl/bannerpc?L=en", web::BannerUrl(9));
  EXPECT_EQ("http://127.0.0.1:81/changepwd.html?MAIL=a.b%2Bc%40d.e", web::ChangePasswordUrl("a.b+c@d.e"));
  EXPECT_EQ("http://127.0.0.9/book", web::BlogBookUrl());
  for (const char* p : {web::kDownloadPage, web::kFaqPage, web::kRegisterPage, web::kRootPage})
    EXPECT_EQ('/', p[0]);
}

TEST(Web, UrlEncodeKeepsOnlyUnreservedCharacters) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"AZaz09-._~", "AZaz09-._~"},
      {"1.2.3.4", "1.2.3.4"},
      {"a&b c", "a%26b%20c"},
      {"=+%/?#", "%3D%2B%25%2F%3F%23"},
      {"云", "%E4%BA%91"},
      {std::string("\0\xFF", 2), "%00%FF"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.out, web::UrlEncode(c.in)) << c.in;
}

TEST(Web, LoopbackModeAllowsOnlyLoopbackHosts) {
  struct Case {
    const char* url;
    bool allowed;
  } cases[] = {
      {"http://127.0.0.1/x", true},        {"http://127.200.1.9:8080/x", true},
      {"https://LOCALHOST/x", true},       {"http://10.0.0.1/x", false},
      {"http://127.0.0.1@192.0.2.1/", false}, {"http://127.0.0.1.example.com/", false},
      {"http://[::1]/", false},            {"http://www.kestyl.com/", false},
      {"not a url", false},                {"http://127.1:8/x", true},
      {"http://0x7f.0.0.1/", true},          {"http://0x0a.1/", false},
  };
  {
    ScopedEnv l("KESTYL_LOOPBACK", "1");
    for (const Case& c : cases) EXPECT_EQ(c.allowed, web::IsAllowedUrl(c.url)) << c.url;
  }
  ScopedEnv l("KESTYL_LOOPBACK", "0");
  for (const Case& c : cases) EXPECT_TRUE(web::IsAllowedUrl(c.url)) << c.url;
  EXPECT_EQ("192.0.2.1", web::UrlHost("http://127.0.0.1@192.0.2.1/"));
  EXPECT_EQ("::1", web::UrlHost("http://[::1]:5/"));
}

TEST(Web, UrlHostOfOddAddresses) {
  struct Case {
    const char* url;
    std::string host;
  } cases[] = {
      {"http://www.kestyl.com", "www.kestyl.com"},
      {"HTTPS://Mixed.Case.Example:8443/p", "Mixed.Case.Example"},
      {"http://h.example?q=1", "h.example"},
      {"http://h.example#frag", "h.example"},
      {"http://h.example:/", "h.example"},
      {"http://user:pa:ss@h.example:81/", "h.example"},
      {"http://a@b@c.example/", ""},
      {"http://[::1]/", "::1"},
      {"http://[2001:DB8::7]:8080/x", "2001:DB8::7"},
      {"ftp://files.example/x", "files.example"},
      {"http://h.example/a@b/c:d", "h.example"},
      {"http://%41.example/", "A.example"},
      {"http://%zz.example/", ""},
      {"http://%4/", ""},
      {"http://h%20x/", ""},
      {"http://127.1/", "127.0.0.1"},
      {"http://0x7f.0.0.1:80/", "127.0.0.1"},
      {"http://0177.0.0.1/", "127.0.0.1"},
      {"http://2130706433/", "127.0.0.1"},
      {"http://1.2.3/", "1.2.0.3"},
      {"http://08.1.1.1/", "08.1.1.1"},
      {"http://127.0.0.256/", "127.0.0.256"},
      {"http://1.2.3.4.5/", "1.2.3.4.5"},
      {"http://127.0.0.1./", "127.0.0.1."},
      {"", ""},
      {"not a url", ""},
      {"www.kestyl.com/x", ""},
      {"http:/h.example/", ""},
      {"://h.example/", ""},
      {"1http://h.example/", ""},
      {"http:///path", ""},
      {"http://user@/", ""},
      {"http://:80/", ""},
      {"http://h.example:port/", ""},
      {"http://h.example:65536/", ""},
      {"http://h.example:123456/", ""},
      {"http://h.example:-1/", ""},
      {"http://[::1/", ""},
      {"http://[::1]x/", ""},
      {"http://[not:an:ip%]/", ""},
      {"http://h ex.example/", ""},
      {"http://h\tab/", ""},
      {"http://h<>/", ""},
      {"http://a]b/", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.host, web::UrlHost(c.url)) << c.url;

  web::UrlParts p;
  ASSERT_TRUE(web::SplitUrl("http://u:p@[::1]:8080/a?b#c", p));
  EXPECT_EQ("http", p.scheme);
  EXPECT_TRUE(p.has_userinfo);
  EXPECT_EQ("u:p", p.userinfo);
  EXPECT_EQ("::1", p.host);
  EXPECT_TRUE(p.bracketed);
  EXPECT_EQ("8080", p.port);
  EXPECT_EQ("/a?b#c", p.rest);
  ASSERT_TRUE(web::SplitUrl("http://h", p));
  EXPECT_FALSE(p.has_userinfo);
  EXPECT_FALSE(p.bracketed);
  EXPECT_EQ("", p.port);
  EXPECT_EQ("", p.rest);
}

}  // namespace
