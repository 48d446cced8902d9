#include "desktop/foundation/fetch/fetch.h"

#include <netinet/in.h>
#include <strings.h>

#include <cctype>

#include "desktop/foundation/fetch/transport.h"
#include "desktop/foundation/web/web.h"

namespace ks::desktop::fetch {

namespace {

bool HasScheme(const std::string& ref) {
  size_t colon = ref.find(':');
  if (colon == 0 || colon == std::string::npos || !std::isalpha(static_cast<unsigned char>(ref[0]))) return false;
  for (size_t i = 1; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(ref[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// Dot segments of a path removed (RFC 3986, 5.2.4).
std::string RemoveDots(const std::string& path) {
  std::string in = path, out;
  while (!in.empty()) {
    if (in.rfind("../", 0) == 0) {
      in.erase(0, 3);
    } else if (in.rfind("./", 0) == 0) {
      in.erase(0, 2);
    } else if (in.rfind("/./", 0) == 0) {
      in.erase(0, 2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.rfind("/../", 0) == 0 || in == "/..") {
      in = in.size() == 3 ? "/" : in.substr(3);
      size_t cut = out.rfind('/');
      out.erase(cut == std::string::npos ? 0 : cut);
    } else if (in == "." || in == "..") {
      in.clear();
    } else {
      size_t next = in.find('/', 1);
      out += in.substr(0, next);
      in.erase(0, next == std::string::npos ? in.size() : next);
    }
  }
  return out;
}

// scheme://authority + path (dots removed, "/" when empty) + query; the fragment dropped.
std::string Compose(const std::string& prefix, const std::string& path_and_query) {
  std::string rest = path_and_query.substr(0, path_and_query.find('#'));
  size_t q = rest.find('?');
  std::string path = RemoveDots(rest.substr(0, q));
  if (path.empty() || path.front() != '/') path.insert(0, "/");
  return prefix + path + (q == std::string::npos ? "" : rest.substr(q));
}

// "scheme://authority" of a URL split by SplitUrl.
std::string Prefix(const std::string& url, const web::UrlParts& p) {
  return url.substr(0, url.size() - p.rest.size());
}

}  // namespace

const char* CodeText(Code code) {
  switch (code) {
    case Code::kOk: return "ok";
    case Code::kBadScheme: return "not an http or https address";
    case Code::kNotAllowed: return "address refused in loopback mode";
    case Code::kCouldNotResolve: return "host not found";
    case Code::kCouldNotConnect: return "could not connect";
    case Code::kTimedOut: return "timed out";
    case Code::kAborted: return "aborted";
    case Code::kTooLarge: return "too large";
    case Code::kWriteError: return "write error";
    case Code::kTooManyRedirects: return "too many redirects";
    case Code::kProtocolError: return "protocol error";
    case Code::kNoLibrary: return "libcurl missing";
    case Code::kOther: break;
  }
  return "transfer error";
}

bool IsFollowedRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool LoopbackAddress(const sockaddr* address, socklen_t length) {
  if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(address);
    return (ntohl(a->sin_addr.s_addr) >> 24) == 127;
  }
  if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(address);
    if (IN6_IS_ADDR_LOOPBACK(&a->sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&a->sin6_addr) && a->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

std::string ResolveReference(const std::string& base, const std::string& reference) {
  web::UrlParts ref_parts;
  if (HasScheme(reference)) {
    if (!web::SplitUrl(reference, ref_parts)) return reference;  // the next hop refuses it
    return Compose(Prefix(reference, ref_parts), ref_parts.rest);
  }
  web::UrlParts b;
  if (!web::SplitUrl(base, b)) return reference;
  if (reference.rfind("//", 0) == 0) return ResolveReference(base, b.scheme + ":" + reference);
  std::string base_rest = b.rest.substr(0, b.rest.find('#'));
  size_t q = base_rest.find('?');
  std::string base_path = base_rest.substr(0, q);
  if (reference.empty() || reference.front() == '#') return Compose(Prefix(base, b), base_rest);
  if (reference.front() == '?') return Compose(Prefix(base, b), base_path + reference);
  if (reference.front() == '/') return Compose(Prefix(base, b), reference);
  size_t slash = base_path.rfind('/');
  std::string dir = slash == std::string::npos ? "/" : base_path.substr(0, slash + 1);
  return Compose(Prefix(base, b), dir + reference);
}

Result Perform(const Request& request) {
  Result result;
  Hop hop;
  hop.request = &request;
  hop.method = request.method;
  hop.url = request.url;
  hop.with_body = request.method == "POST";
  if (request.total_timeout_ms > 0) hop.deadline = Clock::now() + std::chrono::milliseconds(request.total_timeout_ms);
  const int max_redirects = request.max_redirects < 0 ? 30 : request.max_redirects;
  for (int redirects = 0;;) {
    result.effective_url = hop.url;
    if (!web::SplitUrl(hop.url, hop.parts)) {
      result.code = Code::kBadScheme;
      return result;
    }
    const bool https = strcasecmp(hop.parts.scheme.c_str(), "https") == 0;
    if (!https && strcasecmp(hop.parts.scheme.c_str(), "http") != 0) {
      result.code = Code::kBadScheme;
      return result;
    }
    if (!web::IsAllowedUrl(hop.url)) {
      result.code = Code::kNotAllowed;
      return result;
    }
    HopResult h;
    if (https || hop.parts.has_userinfo) {
      h = CurlHop(hop);
    } else {
      Proxy proxy = ProxyFor(hop.parts);
      h = proxy.kind == Proxy::Kind::kOther ? CurlHop(hop) : PlainHop(hop, proxy);
    }
    result.status = h.status;
    hop.received_before += h.received;
    hop.sent_before += h.sent;
    if (h.code != Code::kOk || h.location.empty()) {
      result.code = h.code;
      return result;
    }
    if (redirects == max_redirects) {
      result.code = Code::kTooManyRedirects;
      return result;
    }
    ++redirects;
    hop.url = ResolveReference(hop.url, h.location);
    // As libcurl does: 303 turns anything but HEAD into GET, 301 and 302 turn a POST into GET.
    if ((h.status == 303 && hop.method != "HEAD") || ((h.status == 301 || h.status == 302) && hop.method == "POST")) {
      hop.method = "GET";
      hop.with_body = false;
    }
  }
}

}  // namespace ks::desktop::fetch
