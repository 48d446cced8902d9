// Inside the fetch module: one hop of a transfer (one request, one reply, no redirect
// followed) on either transport, and the choices both share. Perform (fetch.cpp) runs the
// hops, follows redirects and picks the transport.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "desktop/foundation/fetch/fetch.h"
#include "desktop/foundation/web/web.h"

namespace ks::desktop::fetch {

using Clock = std::chrono::steady_clock;

struct Hop {
  const Request* request = nullptr;  // headers, user agent, coding, limits, callbacks
  std::string method;                // may differ from the request's after a redirect
  std::string url;
  web::UrlParts parts;
  bool with_body = false;            // send request->body (a POST)
  Clock::time_point deadline = Clock::time_point::max();  // of the whole transfer
  uint64_t received_before = 0;      // bytes of earlier hops, added to what progress sees
  uint64_t sent_before = 0;
};

struct HopResult {
  Code code = Code::kOther;
  long status = 0;
  std::string location;  // of a redirect that is to be followed (the body was skipped)
  uint64_t received = 0;
  uint64_t sent = 0;
};

// A status whose Location is followed when the request follows redirects.
bool IsFollowedRedirect(long status);

// Whether loopback mode lets a connection go to this address: 127.0.0.0/8, ::1 and
// IPv4-mapped 127.x.x.x.
bool LoopbackAddress(const sockaddr* address, socklen_t length);

// The proxy for an http:// address, from the environment (none in loopback mode).
struct Proxy {
  enum class Kind { kNone, kHttp, kOther } kind = Kind::kNone;
  std::string host;  // kHttp: host and port to connect to, the host without brackets
  std::string port;
};
Proxy ProxyFor(const web::UrlParts& target);
// True when a no_proxy list exempts the host (name, IP literal; no brackets).
bool NoProxyCovers(const std::string& list, const std::string& host);

// The reference of a Location resolved against the address it came from.
std::string ResolveReference(const std::string& base, const std::string& reference);

// The own transport (http:// only; directly or through an http:// proxy).
HopResult PlainHop(const Hop& hop, const Proxy& proxy);
// Through libcurl, loaded on the first call.
HopResult CurlHop(const Hop& hop);

// Loads libcurl once for the process; false (with the loader's message) when it cannot be.
bool LoadCurl(std::string* error);
// The library file that LoadCurl opens.
inline constexpr const char* kCurlLibrary = "libcurl.so.4";

}  // namespace ks::desktop::fetch
