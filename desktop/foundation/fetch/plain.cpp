// The own HTTP/1.1 transport: name resolution, a non-blocking connect address by address,
// the request, and the reply through ReadReply.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "desktop/foundation/fetch/reply.h"
#include "desktop/foundation/fetch/transport.h"
#include "desktop/foundation/web/web.h"

namespace ks::desktop::fetch {

namespace {

constexpr auto kProgressEvery = std::chrono::seconds(1);

// One connection; the reply's byte source.
class Connection : public ByteSource {
 public:
  explicit Connection(const Hop& hop) : hop_(hop) {}
  ~Connection() override {
    if (fd_ >= 0) ::close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Code Open(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0 || !list) return Code::kCouldNotResolve;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(list, &::freeaddrinfo);
    const Clock::time_point until =
        std::min(hop_.deadline, Clock::now() + std::chrono::milliseconds(std::max(0L, hop_.request->connect_timeout_ms)));
    const bool loopback = web::Loopback();
    Code result = Code::kCouldNotConnect;
    for (addrinfo* a = list; a; a = a->ai_next) {
      if (loopback && !LoopbackAddress(a->ai_addr, a->ai_addrlen)) continue;
      Code c = ConnectTo(a, until);
      if (c == Code::kOk) return c;
      if (c != Code::kCouldNotConnect) return c;  // time-out or abort: no further address
    }
    return result;
  }

  Code SendAll(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
        sent_ += static_cast<uint64_t>(n);
        if (!Report()) return Code::kAborted;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        Code c = Wait(POLLOUT, hop_.deadline);
        if (c != Code::kOk) return c;
        continue;
      }
      return Code::kOther;
    }
    return Code::kOk;
  }

  Code Read(char* buf, size_t cap, size_t& got) override {
    got = 0;
    for (;;) {
      ssize_t n = ::recv(fd_, buf, cap, 0);
      if (n > 0) {
        got = static_cast<size_t>(n);
        received_ += got;
        return Report() ? Code::kOk : Code::kAborted;
      }
      if (n == 0) return Code::kOk;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return Code::kOther;
      Code c = Wait(POLLIN, hop_.deadline);
      if (c != Code::kOk) return c;
    }
  }

  uint64_t received() const { return received_; }
  uint64_t sent() const { return sent_; }

 private:
  Code ConnectTo(const addrinfo* a, Clock::time_point until) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) return Code::kCouldNotConnect;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) return Code::kOk;
    if (errno != EINPROGRESS && errno != EINTR) return Code::kCouldNotConnect;
    Code c = Wait(POLLOUT, until);
    if (c != Code::kOk) return c;
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return Code::kCouldNotConnect;
    return Code::kOk;
  }

  // Waits for the events in steps of at most a second, reporting progress after each.
  Code Wait(short events, Clock::time_point until) {
    for (;;) {
      Clock::time_point now = Clock::now();
      if (now >= until) return Code::kTimedOut;
      auto step = std::min<Clock::duration>(until - now, kProgressEvery);
      int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(step).count());
      pollfd p{fd_, events, 0};
      int n = ::poll(&p, 1, ms);
      if (n < 0 && errno != EINTR) return Code::kOther;
      if (!Report()) return Code::kAborted;
      if (n > 0) return Code::kOk;  // ready, or an error the next call reports
    }
  }

  bool Report() {
    const auto& progress = hop_.request->progress;
    return !progress || progress(hop_.received_before + received_, hop_.sent_before + sent_);
  }

  const Hop& hop_;
  int fd_ = -1;
  uint64_t received_ = 0;
  uint64_t sent_ = 0;
};

bool HasHeader(const std::vector<std::string>& headers, const char* name) {
  size_t len = std::strlen(name);
  for (const std::string& h : headers)
    if (h.size() > len && strncasecmp(h.c_str(), name, len) == 0 && (h[len] == ':' || h[len] == ';')) return true;
  return false;
}

// Bytes a request line must not carry (controls, space, non-ASCII) as %XX.
std::string EncodeTarget(const std::string& target) {
  return web::PercentEncode(target, [](unsigned char c) { return c > 0x20 && c < 0x7f; });
}

std::string HostField(const web::UrlParts& p) {
  std::string host = p.bracketed ? "[" + p.host + "]" : p.host;
  if (!p.port.empty() && p.port != "80") host += ":" + p.port;
  return host;
}

std::string RequestText(const Hop& hop, bool via_proxy) {
  const Request& r = *hop.request;
  const web::UrlParts& p = hop.parts;
  std::string path = p.rest.substr(0, p.rest.find('#'));
  if (path.empty() || path.front() != '/') path.insert(0, "/");
  std::string target = via_proxy ? "http://" + HostField(p) + path : path;
  std::string text = hop.method + " " + EncodeTarget(target) + " HTTP/1.1\r\n";
  auto add = [&](const char* name, const std::string& value) {
    if (!HasHeader(r.headers, name)) text += std::string(name) + ": " + value + "\r\n";
  };
  add("Host", HostField(p));
  if (!r.user_agent.empty()) add("User-Agent", r.user_agent);
  add("Accept", "*/*");
  if (!r.accept_encoding.empty()) add("Accept-Encoding", r.accept_encoding);
  if (via_proxy) add("Proxy-Connection", "Keep-Alive");
  for (const std::string& h : r.headers) {
    size_t colon = h.find(':');
    if (colon != std::string::npos) {
      // "Name:" with no value only drops the module's header of that name.
      if (h.find_first_not_of(" \t", colon + 1) != std::string::npos) text += h + "\r\n";
      continue;
    }
    size_t semicolon = h.find(';');  // "Name;" sends the header with an empty value
    if (semicolon != std::string::npos && h.find_first_not_of(" \t", semicolon + 1) == std::string::npos)
      text += h.substr(0, semicolon) + ":\r\n";
  }
  if (hop.with_body) {
    add("Content-Length", std::to_string(r.body.size()));
    add("Content-Type", "application/x-www-form-urlencoded");
  }
  text += "\r\n";
  if (hop.with_body) text += r.body;
  return text;
}

}  // namespace

HopResult PlainHop(const Hop& hop, const Proxy& proxy) {
  HopResult out;
  Connection conn(hop);
  const bool via_proxy = proxy.kind == Proxy::Kind::kHttp;
  const std::string port = hop.parts.port.empty() ? "80" : hop.parts.port;
  out.code = via_proxy ? conn.Open(proxy.host, proxy.port) : conn.Open(hop.parts.host, port);
  if (out.code == Code::kOk) out.code = conn.SendAll(RequestText(hop, via_proxy));
  if (out.code == Code::kOk) {
    const Request& r = *hop.request;
    ReplyRules rules;
    rules.head_request = hop.method == "HEAD";
    rules.decode = !r.accept_encoding.empty();
    rules.max_bytes = r.max_bytes;
    ReplyHead head;
    auto on_head = [&](const ReplyHead& h) {
      const std::string* location = h.Find("Location");
      if (r.follow_redirects && IsFollowedRedirect(h.status) && location && !location->empty()) {
        out.location = *location;
        return false;
      }
      return true;
    };
    out.code = ReadReply(conn, rules, on_head, r.sink, head);
    out.status = head.status;
  }
  out.received = conn.received();
  out.sent = conn.sent();
  return out;
}

}  // namespace ks::desktop::fetch
