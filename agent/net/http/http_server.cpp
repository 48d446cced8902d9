// The HTTP server's listening socket and accept loop (http_server.h).
#include "agent/net/http/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <vector>

#include "agent/log/log.h"
#include "agent/net/pool/thread_pool.h"
#include "agent/service/state.h"
#include "agent/util/settings/settings.h"

namespace ks::net {
namespace {

constexpr char kModule[] = "KestylClient";
constexpr int kStopCheckMs = 200;

using Clock = std::chrono::steady_clock;

int PositiveSetting(const char* name, int fallback) {
  long v = ks::settings::Number(name, fallback);
  return (v > 0 && v <= 10 * 1000 * 1000) ? static_cast<int>(v) : fallback;
}

// True when the peer has already sent something (or closed): no need to wait for it.
bool HasInput(int fd) {
  char c;
  ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  return n > 0 || n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

}  // namespace

HttpServerOptions HttpServerOptions::FromSettings() {
  HttpServerOptions o;
  o.address = ks::settings::Loopback() ? "127.0.0.1" : "";
  o.port = ks::settings::HttpPort();
  o.timeoutMs = PositiveSetting("KESTYL_HTTP_TIMEOUT_MS", o.timeoutMs);
  o.maxConnections = PositiveSetting("KESTYL_HTTP_MAX_CONNECTIONS", o.maxConnections);
  o.maxActive = PositiveSetting("KESTYL_HTTP_MAX_ACTIVE", o.maxActive);
  return o;
}

// What the accept loop shares with the connection jobs; a job keeps it alive after the
// server object is gone.
struct HttpServer::Shared {
  std::atomic<int> active{0};
  int maxActive = 1;
  int wake = -1;  // eventfd: a job ended while the server was saturated
  ~Shared() {
    if (wake >= 0) ::close(wake);
  }
  void JobEnded() {
    if (active.fetch_sub(1) == maxActive && wake >= 0) {
      uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(wake, &one, sizeof one);
    }
  }
};

int startup(uint16_t* port, const std::string& address) {
  int requested = port ? *port : 0;
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(requested));
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  int one = 1;
  socklen_t len = sizeof addr;
  bool ok = s >= 0 && port &&
            (address.empty() || ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) == 1) &&
            ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::listen(s, kHttpBacklog) == 0 &&
            ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  if (!ok) {
    KS_LOG_INFO(kModule, "httpServer binding on port %d error......", requested);
    if (s >= 0) ::close(s);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return s;
}

HttpServer::HttpServer(HttpServerOptions options)
    : options_(std::move(options)), shared_(std::make_shared<Shared>()) {
  shared_->maxActive = std::max(1, options_.maxActive);
  shared_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

HttpServer::~HttpServer() {
  if (listen_ >= 0) ::close(listen_);
}

int HttpServer::Open() {
  if (listen_ >= 0) return 0;
  uint16_t port = options_.port;
  listen_ = startup(&port, options_.address);
  if (listen_ < 0) return -1;
  port_ = port;
  return 0;
}

void HttpServer::Stop() { stop_.store(true); }

int HttpServer::ActiveCount() const { return shared_->active.load(); }

void HttpServer::Run() {
  if (listen_ < 0) return;
  struct Waiting {
    int fd;
    Clock::time_point deadline;
  };
  std::vector<Waiting> waiting;
  std::vector<pollfd> fds;
  const auto timeout = std::chrono::milliseconds(options_.timeoutMs);
  const size_t maxConnections = static_cast<size_t>(std::max(1, options_.maxConnections));
  const int maxActive = shared_->maxActive;

  // Hands a connection whose request has begun to a pool job; false when it must wait.
  auto dispatch = [&](int fd) {
    if (shared_->active.load() >= maxActive) return false;
    shared_->active.fetch_add(1);
    std::shared_ptr<Shared> shared = shared_;
    int timeoutMs = options_.timeoutMs;
    // Never wait for a free worker here: the loop must go on accepting.
    int rc = DispatchJob(GlobalPool(), [fd, timeoutMs, shared] {
      accept_request(fd, timeoutMs);
      shared->JobEnded();
    }, false);
    if (rc != 0) {
      shared_->active.fetch_sub(1);
      ::close(fd);
    }
    return true;
  };

  while (!stop_.load() && !ks::state::StopRequested()) {
    auto now = Clock::now();
    // Connections that never sent a request within the time-out are closed.
    int waitMs = kStopCheckMs;
    waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                 [&](const Waiting& w) {
                                   if (w.deadline > now) {
                                     auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                                     w.deadline - now).count() + 1;
                                     waitMs = static_cast<int>(std::min<int64_t>(waitMs, left));
                                     return false;
                                   }
                                   ::close(w.fd);
                                   return true;
                                 }),
                  waiting.end());

    bool canDispatch = shared_->active.load() < maxActive;
    fds.clear();
    fds.push_back({listen_, POLLIN, 0});
    fds.push_back({shared_->wake, POLLIN, 0});
    if (canDispatch)
      for (const Waiting& w : waiting) fds.push_back({w.fd, POLLIN, 0});
    int n = ::poll(fds.data(), fds.size(), waitMs);
    if (n < 0) {
      if (errno != EINTR) ks::state::SleepUnlessStopped(10);
      continue;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t count;
      [[maybe_unused]] ssize_t r = ::read(shared_->wake, &count, sizeof count);
    }
    if (canDispatch && n > 0) {
      std::vector<int> ready;
      for (size_t i = 2; i < fds.size(); ++i)
        if (fds[i].revents) ready.push_back(fds[i].fd);
      for (int fd : ready) {
        if (!dispatch(fd)) break;
        waiting.erase(std::find_if(waiting.begin(), waiting.end(),
                                   [fd](const Waiting& w) { return w.fd == fd; }));
      }
    }
    if (!(fds[0].revents & POLLIN)) continue;
    while (true) {
      int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        break;  // drained (EAGAIN), or out of descriptors: the next round tries again
      }
      if (waiting.size() + static_cast<size_t>(shared_->active.load()) >= maxConnections) {
        ::close(fd);
        continue;
      }
      if (HasInput(fd) && dispatch(fd)) continue;
      waiting.push_back({fd, Clock::now() + timeout});
    }
  }
  for (const Waiting& w : waiting) ::close(w.fd);
  ::close(listen_);
  listen_ = -1;
}

int RunHttpServer(const HttpServerOptions& options) {
  HttpServer server(options);
  if (server.Open() != 0) return -1;
  KS_LOG_INFO(kModule, "httpServer running on port %d", server.Port());
  server.Run();
  return 0;
}

void StartHttpServer(void*) { RunHttpServer(HttpServerOptions::FromSettings()); }

}  // namespace ks::net
