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
      {"not a url", false},
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

}  // namespace
