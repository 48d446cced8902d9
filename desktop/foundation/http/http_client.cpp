#include "desktop/foundation/http/http_client.h"

#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <mutex>

#include "desktop/foundation/web/web.h"

namespace ks::desktop {

namespace {

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsLoopbackAddress(const curl_sockaddr* addr) {
  if (addr->family == AF_INET && addr->addrlen >= sizeof(sockaddr_in)) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&addr->addr);
    return (ntohl(a->sin_addr.s_addr) >> 24) == 127;
  }
  if (addr->family == AF_INET6 && addr->addrlen >= sizeof(sockaddr_in6)) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr->addr);
    if (IN6_IS_ADDR_LOOPBACK(&a->sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&a->sin6_addr) && a->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

// Every socket close-on-exec; in loopback mode only loopback addresses.
curl_socket_t OpenSocket(void* loopback, curlsocktype, curl_sockaddr* addr) {
  if (loopback && !IsLoopbackAddress(addr)) return CURL_SOCKET_BAD;
  int fd = socket(addr->family, addr->socktype | SOCK_CLOEXEC, addr->protocol);
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

// The reply as the pieces of 1024 bytes it is read in, each cut at its first NUL.
struct ReplySink {
  std::string* reply;
  std::string piece;

  void Flush() {
    size_t nul = piece.find('\0');
    reply->append(piece, 0, nul == std::string::npos ? piece.size() : nul);
    piece.clear();
  }
  static size_t Write(char* data, size_t size, size_t n, void* self) {
    auto* sink = static_cast<ReplySink*>(self);
    size_t total = size * n;
    size_t pos = 0;
    while (pos < total) {
      size_t take = std::min(total - pos, 1024 - sink->piece.size());
      sink->piece.append(data + pos, take);
      pos += take;
      if (sink->piece.size() == 1024) sink->Flush();
    }
    return total;
  }
};

// Ends a transfer on which no byte moved for `limit`. (curl's own low-speed check averages
// over several seconds, so the bytes of the request itself postpone it by seconds.)
struct StallGuard {
  std::chrono::steady_clock::duration limit;
  std::chrono::steady_clock::time_point last_move = std::chrono::steady_clock::now();
  curl_off_t last_down = 0, last_up = 0;
  bool stalled = false;

  static int Progress(void* self, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto* g = static_cast<StallGuard*>(self);
    auto now = std::chrono::steady_clock::now();
    if (down != g->last_down || up != g->last_up) {
      g->last_down = down;
      g->last_up = up;
      g->last_move = now;
      return 0;
    }
    if (now - g->last_move >= g->limit) {
      g->stalled = true;
      return 1;
    }
    return 0;
  }
};

bool HasHttpScheme(const std::string& url) {
  return strncasecmp(url.c_str(), "http://", 7) == 0 || strncasecmp(url.c_str(), "https://", 8) == 0;
}

}  // namespace

void ApplyLoopbackGuard(CURL* curl) {
  static int marker = 0;
  bool loopback = web::Loopback();
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, &OpenSocket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, loopback ? static_cast<void*>(&marker) : nullptr);
  if (loopback) curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
}

CHttpClient::CHttpClient(std::string url) : url_(std::move(url)) { GlobalInit(); }

CHttpClient::~CHttpClient() { Close(); }

void CHttpClient::Close() {
  if (curl_) {
    curl_easy_cleanup(curl_);
    curl_ = nullptr;
  }
}

int CHttpClient::Post(const std::string& body, std::string& reply) {
  last_status_ = 0;
  reply.clear();
  if (!HasHttpScheme(url_)) return -1;
  if (!web::IsAllowedUrl(url_)) return 1;
  Close();
  curl_ = curl_easy_init();
  if (!curl_) return 1;

  // The body is sent up to its first NUL, as a C string would be.
  std::string sent(body.c_str());
  curl_slist* headers = nullptr;
  for (const char* h : {"Accept: *,*/*", "Content-Type: application/x-www-form-urlencoded",
                        "Accept-Encoding: gzip, deflate", "Expect:"}) {
    curl_slist* next = curl_slist_append(headers, h);
    if (!next) {
      curl_slist_free_all(headers);
      Close();
      return 1;
    }
    headers = next;
  }

  int result = 1;
  for (int attempt = 0; attempt <= kConnectRetries; ++attempt) {
    ReplySink sink{&reply, {}};
    StallGuard stall{std::chrono::seconds(web::TimeoutSeconds())};
    reply.clear();
    curl_easy_reset(curl_);
    curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl_, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl_, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");  // decode replies
    curl_easy_setopt(curl_, CURLOPT_POST, 1L);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, sent.c_str());
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(sent.size()));
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &StallGuard::Progress);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, &stall);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &ReplySink::Write);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &sink);
    ApplyLoopbackGuard(curl_);

    CURLcode rc = curl_easy_perform(curl_);
    long status = 0;
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    last_status_ = status;
    if (rc == CURLE_OK) {
      sink.Flush();
      result = 0;
      break;
    }
    reply.clear();
    if (rc == CURLE_OPERATION_TIMEDOUT || (rc == CURLE_ABORTED_BY_CALLBACK && stall.stalled)) {
      result = 2;
      break;
    }
    result = 1;
    if (rc != CURLE_COULDNT_CONNECT) break;
  }
  curl_slist_free_all(headers);
  Close();
  return result;
}

}  // namespace ks::desktop
