// The HTTP server's listening socket and accept loop (http_server.h).
#include "agent/net/http/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <vector>

#include "agent/log/log.h"
#include "agent/net/pool/thread_pool.h"
#include "agent/core/state/state.h"
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
  // Connections wait here, costing no thread, until their request begins. They all get
  // the same time-out, so the queue in accept order is also the order of their deadlines;
  // an entry whose connection has moved on is recognised by its sequence number.
  struct Waiting {
    int fd;
    uint64_t seq;
    Clock::time_point deadline;
  };
  std::deque<Waiting> queue;
  std::vector<uint64_t> waitingSeq;  // by descriptor: the entry that waits, 0 = none
  size_t waitingCount = 0;
  std::deque<int> ready;             // request begun, waiting for a free job
  uint64_t nextSeq = 1;
  const auto timeout = std::chrono::milliseconds(options_.timeoutMs);
  const size_t maxConnections = static_cast<size_t>(std::max(1, options_.maxConnections));
  const int maxActive = shared_->maxActive;

  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listen_;
  bool ok = ep >= 0 && ::epoll_ctl(ep, EPOLL_CTL_ADD, listen_, &ev) == 0;
  ev.data.fd = shared_->wake;
  ok = ok && shared_->wake >= 0 && ::epoll_ctl(ep, EPOLL_CTL_ADD, shared_->wake, &ev) == 0;
  if (!ok) {
    KS_LOG_ERROR(kModule, "httpServer cannot wait for connections: %s", std::strerror(errno));
    if (ep >= 0) ::close(ep);
    ::close(listen_);
    listen_ = -1;
    return;
  }

  auto stopWaiting = [&](int fd) {
    if (static_cast<size_t>(fd) < waitingSeq.size() && waitingSeq[fd] != 0) {
      waitingSeq[fd] = 0;
      --waitingCount;
      ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
    }
  };
  auto startWaiting = [&](int fd) {
    epoll_event e{};
    e.events = EPOLLIN | EPOLLRDHUP;
    e.data.fd = fd;
    if (::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e) != 0) {
      ::close(fd);
      return;
    }
    if (waitingSeq.size() <= static_cast<size_t>(fd)) waitingSeq.resize(static_cast<size_t>(fd) + 64, 0);
    waitingSeq[fd] = nextSeq;
    ++waitingCount;
    queue.push_back({fd, nextSeq++, Clock::now() + timeout});
  };
  // Hands ready connections to pool jobs while there is room.
  auto dispatchReady = [&] {
    while (!ready.empty() && shared_->active.load() < maxActive) {
      int fd = ready.front();
      ready.pop_front();
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
    }
  };

  epoll_event events[64];
  while (!stop_.load() && !ks::state::StopRequested()) {
    // Connections that sent nothing within the time-out are closed.
    auto now = Clock::now();
    while (!queue.empty() && queue.front().deadline <= now) {
      Waiting w = queue.front();
      queue.pop_front();
      if (static_cast<size_t>(w.fd) < waitingSeq.size() && waitingSeq[w.fd] == w.seq) {
        stopWaiting(w.fd);
        ::close(w.fd);
      }
    }
    while (!queue.empty() && (static_cast<size_t>(queue.front().fd) >= waitingSeq.size() ||
                              waitingSeq[queue.front().fd] != queue.front().seq))
      queue.pop_front();  // moved on to a job
    int waitMs = kStopCheckMs;
    if (!queue.empty()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(queue.front().deadline - now).count() + 1;
      waitMs = static_cast<int>(std::min<int64_t>(waitMs, left));
    }

    int n = ::epoll_wait(ep, events, 64, waitMs);
    if (n < 0) {
      if (errno != EINTR) ks::state::SleepUnlessStopped(10);
      continue;
    }
    bool accepting = false;
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == listen_) {
        accepting = true;
      } else if (fd == shared_->wake) {
        uint64_t count;
        [[maybe_unused]] ssize_t r = ::read(shared_->wake, &count, sizeof count);
      } else {
        stopWaiting(fd);
        ready.push_back(fd);
      }
    }
    dispatchReady();
    if (!accepting) continue;
    while (true) {
      int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        break;  // drained (EAGAIN), or out of descriptors: the next round tries again
      }
      if (waitingCount + ready.size() + static_cast<size_t>(shared_->active.load()) >= maxConnections) {
        ::close(fd);
        continue;
      }
      if (HasInput(fd)) {
        ready.push_back(fd);
        dispatchReady();
      } else {
        startWaiting(fd);
      }
    }
  }
  for (const Waiting& w : queue)
    if (static_cast<size_t>(w.fd) < waitingSeq.size() && waitingSeq[w.fd] == w.seq) ::close(w.fd);
  for (int fd : ready) ::close(fd);
  ::close(ep);
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
