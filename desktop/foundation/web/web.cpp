#include "desktop/foundation/web/web.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <cerrno>
#include <cstdlib>
#include <strings.h>

namespace ks::desktop::web {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string WithoutTrailingSlash(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

}  // namespace

bool Loopback() { return Env("KESTYL_LOOPBACK") == "1"; }

std::string WebUrl() {
  std::string url = Env("KESTYL_WEB_URL");
  if (!url.empty()) return WithoutTrailingSlash(url);
  return Loopback() ? "http://127.0.0.1" : "http://www.kestyl.com";
}

std::string BlogUrl() {
  std::string url = Env("KESTYL_BLOG_URL");
  if (!url.empty()) return WithoutTrailingSlash(url);
  return Loopback() ? "http://127.0.0.1" : "http://blog.kestyl.com";
}

int TimeoutSeconds() {
  std::string v = Env("KESTYL_WEB_TIMEOUT_S");
  if (v.empty()) return 30;
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(v.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || n < 1 || n > 24 * 3600) return 30;
  return static_cast<int>(n);
}

std::string PageUrl(const std::string& path) { return WebUrl() + path; }

std::string BannerUrl(int language) {
  const char* l = language == 0 ? "cn" : language == 2 ? "tw" : "en";
  return PageUrl(std::string(kBannerPath) + "?L=" + l);
}

std::string ChangePasswordUrl(const std::string& account) {
  return PageUrl(std::string(kChangePasswordPage) + UrlEncode(account));
}

std::string BlogBookUrl() { return BlogUrl() + kBlogBookPath; }

std::string UrlEncode(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size() * 3);
  for (unsigned char c : value) {
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

std::string UrlHost(const std::string& url) {
  CURLU* h = curl_url();
  if (!h) return {};
  std::string host;
  char* part = nullptr;
  if (curl_url_set(h, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(h, CURLUPART_HOST, &part, 0) == CURLUE_OK && part) {
    host = part;
    curl_free(part);
  }
  curl_url_cleanup(h);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return host;
}

bool IsAllowedUrl(const std::string& url) {
  if (!Loopback()) return true;
  std::string host = UrlHost(url);
  if (strcasecmp(host.c_str(), "localhost") == 0) return true;
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
  return (ntohl(a.s_addr) >> 24) == 127;
}

}  // namespace ks::desktop::web
