#include "desktop/foundation/web/web.h"

#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// %XX sequences decoded in place; false for a "%" not followed by two hex digits.
bool PercentDecode(std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(s[i + 2])))
      return false;
    out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  s = out;
  return true;
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

std::string PercentEncode(const std::string& value, bool (*keep)(unsigned char)) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size() * 3);
  for (unsigned char c : value) {
    if (keep(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

std::string UrlEncode(const std::string& value) {
  return PercentEncode(value, [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
  });
}

bool SplitUrl(const std::string& url, UrlParts& parts) {
  parts = UrlParts{};
  size_t colon = url.find(':');
  if (colon == 0 || colon == std::string::npos || url.compare(colon, 3, "://") != 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    char c = url[i];
    bool ok = std::isalpha(static_cast<unsigned char>(c)) ||
              (i > 0 && (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'));
    if (!ok) return false;
  }
  parts.scheme = url.substr(0, colon);
  size_t start = colon + 3;
  size_t end = url.find_first_of("/?#", start);
  if (end == std::string::npos) end = url.size();
  std::string authority = url.substr(start, end - start);
  parts.rest = url.substr(end);
  size_t at = authority.find('@');
  if (at != std::string::npos) {
    if (authority.find('@', at + 1) != std::string::npos) return false;
    parts.has_userinfo = true;
    parts.userinfo = authority.substr(0, at);
    authority.erase(0, at + 1);
  }
  std::string port;
  bool has_port = false;
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    parts.host = authority.substr(1, close - 1);
    parts.bracketed = true;
    std::string after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      has_port = true;
      port = after.substr(1);
    }
    for (char c : parts.host)
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
  } else {
    size_t pc = authority.find(':');
    parts.host = authority.substr(0, pc);
    if (pc != std::string::npos) {
      has_port = true;
      port = authority.substr(pc + 1);
    }
    if (!PercentDecode(parts.host)) return false;
    for (unsigned char c : parts.host)
      if (c <= 0x20 || c == 0x7f || std::strchr("\"<>\\^`{|}[]", c)) return false;
    // An IPv4 number in any form inet_aton reads ("127.1", "0x7f.0.0.1") as a dotted quad.
    in_addr v4{};
    char text[INET_ADDRSTRLEN];
    if (!parts.host.empty() && inet_aton(parts.host.c_str(), &v4) != 0 && inet_ntop(AF_INET, &v4, text, sizeof text))
      parts.host = text;
  }
  if (parts.host.empty()) return false;
  if (has_port && !port.empty()) {
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535)
      return false;
    parts.port = port;
  }
  return true;
}

std::string UrlHost(const std::string& url) {
  UrlParts parts;
  return SplitUrl(url, parts) ? parts.host : std::string();
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
