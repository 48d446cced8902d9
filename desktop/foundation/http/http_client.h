// HTTP client: one form-encoded POST to a fixed page of the vendor's web server; the reply
// body comes back as text.
//
// Post(body, reply) sends `body` (already form-encoded, sent as it stands, its strlen as the
// length) with these request headers, in this order, after Host and User-Agent:
//   Accept: *,*/*
//   Content-Type: application/x-www-form-urlencoded
//   Accept-Encoding: gzip, deflate
// A gzip or deflate reply is decoded. The reply body is gathered in pieces of up to 1024
// bytes, each cut at its first NUL byte (so a NUL drops the rest of its piece only).
// Results:
//   0  a reply came (whatever its status: LastStatus() keeps it, reply holds the body)
//  -1  the URL is neither http:// nor https://
//   1  any other failure (refused, unresolvable, cut off, refused by loopback mode)
//   2  time-out: no connection within 30 s, or no byte moving either way for
//      web::TimeoutSeconds() (checked about once a second)
// A connection that cannot be made is tried once more (one retry), not after a time-out.
// HTTPS is sent without checking the certificate's name. Transfers go through
// desktop/foundation/fetch: proxies come from the environment (http_proxy, no_proxy ...);
// loopback mode (KESTYL_LOOPBACK=1) uses none and connects to nothing outside 127.0.0.0/8
// and ::1. No redirect is followed.
//
// One object per thread; an object may post any number of times, one after the other.
#pragma once

#include <string>

namespace ks::desktop {

class CHttpClient {
 public:
  static constexpr const char* kUserAgent =
      "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 2.0.50727)";
  static constexpr long kConnectTimeoutMs = 30000;
  static constexpr int kConnectRetries = 1;

  // The fixed page of this client: scheme://host[:port]/path.
  explicit CHttpClient(std::string url);
  virtual ~CHttpClient() = default;
  CHttpClient(const CHttpClient&) = delete;
  CHttpClient& operator=(const CHttpClient&) = delete;

  int Post(const std::string& body, std::string& reply);

  // Status code of the last reply; 0 when none came.
  long LastStatus() const { return last_status_; }
  const std::string& url() const { return url_; }

 private:
  std::string url_;
  long last_status_ = 0;
};

}  // namespace ks::desktop
