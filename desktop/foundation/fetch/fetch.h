// Web transfers of the desktop program and the command program: one blocking request per
// call, on any thread, one connection per transfer (nothing stays open between calls).
//
// http:// is done here over plain sockets. libcurl ("libcurl.so.4") is loaded on first use
// only, for what this module does not do itself: https://, a proxy other than an http://
// one, and addresses with user information. A process that only ever speaks http:// never
// maps it (nor the TLS libraries it brings). When it cannot be loaded such a transfer ends
// with kNoLibrary (and the process's first such transfer writes why on stderr).
//
// The request on the wire (own transport), in this order:
//   <METHOD> <path?query, or the absolute URL through a proxy> HTTP/1.1
//   Host: host[:port] (the port unless it is 80), User-Agent when given, Accept: */*,
//   Accept-Encoding (accept_encoding, when not empty), Proxy-Connection: Keep-Alive (through
//   a proxy), then the caller's headers in order, then for a POST Content-Length (also 0)
//   and Content-Type: application/x-www-form-urlencoded.
// A header of the caller replaces the module's header of that name; "Name:" with no value
// sends nothing and drops the module's header, "Name;" sends it with an empty value (as
// libcurl does). No Expect, no Connection.
// The body follows as given.
//
// The reply: the status line (HTTP/1.x), a head of at most 64 KiB with no folded or
// malformed lines, 1xx replies skipped; the body by chunked coding (trailers read and
// dropped), Content-Length or until the peer closes; none for HEAD, 204 and 304. With
// accept_encoding set, a Content-Encoding of gzip, x-gzip or deflate (a stack of up to 5)
// is decoded (deflate without its zlib header is taken as raw deflate); any other coding is
// a protocol error. Without it the body passes as it came.
//
// Redirects (follow_redirects): 301, 302, 303, 307 and 308 with a Location, which may be
// relative; at most max_redirects hops (then kTooManyRedirects); a POST becomes a body-less
// GET on 301, 302 and 303. A redirect reply's own body is not delivered. Every address,
// the first and each hop, must be http:// or https:// (else kBadScheme) and pass
// web::IsAllowedUrl (else kNotAllowed); an https hop goes through libcurl, an http hop
// back here.
//
// Proxies (outside loopback mode), for http:// as libcurl reads them: `http_proxy` (lower
// case only), else `all_proxy`, else `ALL_PROXY`; `no_proxy`, else `NO_PROXY`, exempts a
// host: "*", or a list separated by commas or spaces of host names (a name also covers its
// sub-domains; a leading "." is ignored), IP literals and IP ranges (address/bits). A proxy
// without a scheme or with http:// is used here (port 1080 unless given); any other goes to
// libcurl. libcurl finds its own proxy for https.
//
// Loopback mode (web::Loopback()): no proxy, and connections only to 127.0.0.0/8, ::1 and
// IPv4-mapped 127.x.x.x (other addresses a name resolves to are skipped; with none left
// the result is kCouldNotConnect, nothing having been sent).
//
// Limits: connect_timeout_ms for the connection of each hop (tried address by address);
// total_timeout_ms for the whole transfer including redirects (0: none); past either:
// kTimedOut. max_bytes caps the body delivered (a Content-Length above it ends the
// transfer before the body): kTooLarge. Every socket is close-on-exec; sends never raise
// SIGPIPE.
//
// Callbacks run on the calling thread. sink gets the body bytes (decoded) in order; false
// ends the transfer with kWriteError. progress gets the bytes received and sent so far
// (summed over the hops; how the head bytes count depends on the transport) at least once
// a second while the transfer waits, and after bytes moved; false ends it with kAborted.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ks::desktop::fetch {

enum class Code {
  kOk = 0,
  kBadScheme,          // not http:// or https:// (or no URL at all)
  kNotAllowed,         // refused by loopback mode (web::IsAllowedUrl)
  kCouldNotResolve,    // the host name (or the proxy's) does not resolve
  kCouldNotConnect,    // no address accepted the connection
  kTimedOut,           // connect or total time-out
  kAborted,            // progress returned false
  kTooLarge,           // the body is longer than max_bytes
  kWriteError,         // sink returned false
  kTooManyRedirects,
  kProtocolError,      // a reply that is no HTTP, cut short or badly coded
  kNoLibrary,          // libcurl was needed and could not be loaded
  kOther,              // a send or receive error, a TLS failure, anything else
};

// A short English name of a code, for log lines ("timed out", ...).
const char* CodeText(Code code);

struct Request {
  std::string method = "GET";  // "GET", "POST" or "HEAD"
  std::string url;
  std::vector<std::string> headers;  // "Name: value", sent in this order
  std::string body;                  // POST only
  std::string user_agent;            // "" sends none
  std::string accept_encoding;       // "" asks for nothing and decodes nothing
  bool follow_redirects = false;
  int max_redirects = 30;            // used when following; below 0 counts as 30
  long connect_timeout_ms = 300000;
  long total_timeout_ms = 0;         // 0: none
  uint64_t max_bytes = 0;            // 0: no cap
  bool check_host_name = true;       // https: false accepts a certificate of another name
  std::function<bool(const char* data, size_t size)> sink;            // null: body dropped
  std::function<bool(uint64_t received, uint64_t sent)> progress;     // null: none
};

struct Result {
  Code code = Code::kOther;
  long status = 0;            // of the last reply received (0 when none came)
  std::string effective_url;  // the address of the last hop tried
};

Result Perform(const Request& request);

}  // namespace ks::desktop::fetch
