// The proxy of an http:// transfer, read from the environment the way libcurl reads it.
#include <arpa/inet.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "desktop/foundation/fetch/transport.h"
#include "desktop/foundation/web/web.h"

namespace ks::desktop::fetch {

namespace {

constexpr const char* kDefaultProxyPort = "1080";

const char* Env(const char* name) { return std::getenv(name); }

// The first `bits` bits of two addresses of `size` bytes are equal.
bool SamePrefix(const unsigned char* a, const unsigned char* b, size_t size, unsigned bits) {
  if (bits > size * 8) return false;
  size_t whole = bits / 8;
  if (std::memcmp(a, b, whole) != 0) return false;
  unsigned rest = bits % 8;
  if (rest == 0) return true;
  unsigned char mask = static_cast<unsigned char>(0xFF << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

// An IP literal host against an entry "address" or "address/bits" of the same family.
bool IpEntryCovers(const std::string& entry, const std::string& host, int family) {
  std::string address = entry;
  unsigned bits = family == AF_INET ? 32 : 128;
  size_t slash = entry.find('/');
  if (slash != std::string::npos) {
    address = entry.substr(0, slash);
    std::string b = entry.substr(slash + 1);
    if (b.empty() || b.size() > 3 || b.find_first_not_of("0123456789") != std::string::npos) return false;
    bits = static_cast<unsigned>(std::atoi(b.c_str()));
  }
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
    address = address.substr(1, address.size() - 2);
  unsigned char want[16], have[16];
  if (inet_pton(family, address.c_str(), want) != 1 || inet_pton(family, host.c_str(), have) != 1) return false;
  return SamePrefix(want, have, family == AF_INET ? 4 : 16, bits);
}

bool NameEntryCovers(std::string entry, const std::string& host) {
  if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
  if (entry.empty()) return false;
  if (entry.size() == host.size()) return strcasecmp(entry.c_str(), host.c_str()) == 0;
  if (entry.size() > host.size()) return false;
  size_t at = host.size() - entry.size();
  return host[at - 1] == '.' && strcasecmp(entry.c_str(), host.c_str() + at) == 0;
}

}  // namespace

bool NoProxyCovers(const std::string& list, const std::string& host) {
  size_t a = list.find_first_not_of(" \t");
  size_t b = list.find_last_not_of(" \t");
  if (a != std::string::npos && list.substr(a, b - a + 1) == "*") return true;
  unsigned char probe[16];
  int family = inet_pton(AF_INET, host.c_str(), probe) == 1    ? AF_INET
               : inet_pton(AF_INET6, host.c_str(), probe) == 1 ? AF_INET6
                                                               : 0;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t start = list.find_first_not_of(", \t", pos);
    if (start == std::string::npos) break;
    size_t end = list.find_first_of(", \t", start);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(start, end - start);
    pos = end;
    if (family ? IpEntryCovers(entry, host, family) : NameEntryCovers(entry, host)) return true;
  }
  return false;
}

Proxy ProxyFor(const web::UrlParts& target) {
  Proxy proxy;
  if (web::Loopback()) return proxy;
  const char* no_proxy = Env("no_proxy");
  if (!no_proxy) no_proxy = Env("NO_PROXY");
  if (no_proxy && NoProxyCovers(no_proxy, target.host)) return proxy;
  // HTTP_PROXY in upper case is never read: a web server's CGI sets it from a request header.
  const char* value = Env("http_proxy");
  if (!value) value = Env("all_proxy");
  if (!value) value = Env("ALL_PROXY");
  if (!value || !*value) return proxy;
  std::string text = value;
  if (text.find("://") == std::string::npos) text = "http://" + text;
  web::UrlParts p;
  if (!web::SplitUrl(text, p) || strcasecmp(p.scheme.c_str(), "http") != 0 || p.has_userinfo) {
    proxy.kind = Proxy::Kind::kOther;  // socks, https, credentials: libcurl's
    return proxy;
  }
  proxy.kind = Proxy::Kind::kHttp;
  proxy.host = p.host;
  proxy.port = p.port.empty() ? kDefaultProxyPort : p.port;
  return proxy;
}

}  // namespace ks::desktop::fetch
