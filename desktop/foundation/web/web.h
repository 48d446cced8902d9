// The vendor's web server: where the desktop program and the command program find it, the
// pages they use, and the transfer limits of their requests.
//
//   KESTYL_WEB_URL        scheme://host[:port] of the web server, no trailing "/";
//                         "http://127.0.0.1" in loopback mode (KESTYL_LOOPBACK=1), else the
//                         product's host
//   KESTYL_BLOG_URL       the same for the blog host
//   KESTYL_WEB_TIMEOUT_S  seconds a transfer may stall (no byte moving) before it counts as
//                         a time-out; default 30; values below 1 or not a number: default
//
// A trailing "/" of either URL is dropped. In loopback mode requests are sent only to
// 127.0.0.0/8 ("localhost" included): IsAllowedUrl refuses every other host, and the HTTP
// clients check it before they connect. Proxies follow the environment as the transfer
// module (desktop/foundation/fetch) reads it; in loopback mode no proxy is used.
#pragma once

#include <string>

namespace ks::desktop::web {

// Paths of the six uses, relative to the web server unless said otherwise.
inline constexpr const char* kUpdatePath = "/kestyl/update-pc.html";   // update description
inline constexpr const char* kBannerPath = "/kestyl/bannerpc";         // + "?L=cn|en|tw"
inline constexpr const char* kDownloadPage = "/download.html";         // owner pages
inline constexpr const char* kFaqPage = "/faq.html";
inline constexpr const char* kChangePasswordPage = "/changepwd.html?MAIL=";  // + account
inline constexpr const char* kRegisterPage = "/register.html";
inline constexpr const char* kBlogBookPath = "/book";                  // on the blog host
inline constexpr const char* kRootPage = "/";
inline constexpr const char* kRegisterPost = "/kestyl/register.html";  // account registration
inline constexpr const char* kStatisticPost = "/kestyl/pcstatistic.html";  // statistics

bool Loopback();
std::string WebUrl();
std::string BlogUrl();
int TimeoutSeconds();

// WebUrl() + path.
std::string PageUrl(const std::string& path);
// Banner page for a language index: 0 "?L=cn", 2 "?L=tw", anything else "?L=en".
std::string BannerUrl(int language);
// Change-password page for an account (percent-encoded).
std::string ChangePasswordUrl(const std::string& account);
// The book page on the blog host.
std::string BlogBookUrl();

// Percent-encoding of a form or query value: RFC 3986 unreserved characters (A-Z a-z 0-9
// - . _ ~) stay, every other byte becomes %XX (upper-case hex).
std::string UrlEncode(const std::string& value);
// Percent-encoding (upper-case hex) of every byte that `keep` refuses.
std::string PercentEncode(const std::string& value, bool (*keep)(unsigned char));

// The pieces of scheme://[userinfo@]host[:port][/path][?query][#fragment], letter case
// kept. `rest` is everything from the first "/", "?" or "#" after the authority ("" when
// none). `host` is percent-decoded, an IPv4 number in any form inet_aton reads ("127.1",
// "0x7f.0.0.1") becomes its dotted quad, an IPv6 literal loses its brackets (`bracketed`
// tells that it had them). False without "scheme://", with more than one "@" in the
// authority, with an empty or malformed host (a bracket unmatched, a bad %-sequence, a
// control character, a space or one of the characters " < > \ ^ ` { | }) or with a port
// that is not a number up to 65535 (an empty port counts as none).
struct UrlParts {
  std::string scheme;
  std::string userinfo;
  bool has_userinfo = false;
  std::string host;
  bool bracketed = false;
  std::string port;
  std::string rest;
};
bool SplitUrl(const std::string& url, UrlParts& parts);

// Host of a URL ("" when SplitUrl finds none); brackets of an IPv6 literal removed.
std::string UrlHost(const std::string& url);
// False in loopback mode for hosts outside 127.0.0.0/8 and other than "localhost".
bool IsAllowedUrl(const std::string& url);

}  // namespace ks::desktop::web
