#include "desktop/foundation/http/http_client.h"

#include <strings.h>

#include <chrono>
#include <cstdint>

#include "desktop/foundation/fetch/fetch.h"
#include "desktop/foundation/web/web.h"

namespace ks::desktop {

namespace {

// The reply as the pieces of 1024 bytes it is read in, each cut at its first NUL.
struct ReplySink {
  std::string* reply;
  std::string piece;

  void Flush() {
    size_t nul = piece.find('\0');
    reply->append(piece, 0, nul == std::string::npos ? piece.size() : nul);
    piece.clear();
  }
  bool Write(const char* data, size_t total) {
    size_t pos = 0;
    while (pos < total) {
      size_t take = std::min(total - pos, 1024 - piece.size());
      piece.append(data + pos, take);
      pos += take;
      if (piece.size() == 1024) Flush();
    }
    return true;
  }
};

// Ends a transfer on which no byte moved for `limit`.
struct StallGuard {
  std::chrono::steady_clock::duration limit;
  std::chrono::steady_clock::time_point last_move = std::chrono::steady_clock::now();
  uint64_t last_down = 0, last_up = 0;
  bool stalled = false;

  bool Progress(uint64_t down, uint64_t up) {
    auto now = std::chrono::steady_clock::now();
    if (down != last_down || up != last_up) {
      last_down = down;
      last_up = up;
      last_move = now;
      return true;
    }
    if (now - last_move >= limit) {
      stalled = true;
      return false;
    }
    return true;
  }
};

bool HasHttpScheme(const std::string& url) {
  return strncasecmp(url.c_str(), "http://", 7) == 0 || strncasecmp(url.c_str(), "https://", 8) == 0;
}

}  // namespace

CHttpClient::CHttpClient(std::string url) : url_(std::move(url)) {}

int CHttpClient::Post(const std::string& body, std::string& reply) {
  last_status_ = 0;
  reply.clear();
  if (!HasHttpScheme(url_)) return -1;
  if (!web::IsAllowedUrl(url_)) return 1;

  fetch::Request request;
  request.method = "POST";
  request.url = url_;
  request.body = body.c_str();  // sent up to its first NUL, as a C string would be
  request.headers = {"Accept: *,*/*", "Content-Type: application/x-www-form-urlencoded",
                     "Accept-Encoding: gzip, deflate"};
  request.user_agent = kUserAgent;
  request.accept_encoding = "gzip, deflate";  // decode replies
  request.connect_timeout_ms = kConnectTimeoutMs;
  request.check_host_name = false;

  int result = 1;
  for (int attempt = 0; attempt <= kConnectRetries; ++attempt) {
    ReplySink sink{&reply, {}};
    StallGuard stall{std::chrono::seconds(web::TimeoutSeconds())};
    reply.clear();
    request.sink = [&sink](const char* data, size_t size) { return sink.Write(data, size); };
    request.progress = [&stall](uint64_t down, uint64_t up) { return stall.Progress(down, up); };
    fetch::Result r = fetch::Perform(request);
    last_status_ = r.status;
    if (r.code == fetch::Code::kOk) {
      sink.Flush();
      result = 0;
      break;
    }
    reply.clear();
    if (r.code == fetch::Code::kTimedOut || (r.code == fetch::Code::kAborted && stall.stalled)) {
      result = 2;
      break;
    }
    result = 1;
    if (r.code != fetch::Code::kCouldNotConnect) break;
  }
  return result;
}

}  // namespace ks::desktop
