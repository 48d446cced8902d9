// The HTTP server's listening socket and accept loop (http_server.h).
#include "agent/net/http/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/log/log.h"
#include "agent/net/pool/thread_pool.h"
#include "agent/core/state/state.h"
#include "agent/util/settings/settings.h"

namespace ks::net {
namespace {

constexpr char kModule[] = "KestylClient";
constexpr int kStopCheckMs = 200;
constexpr int kFirstPauseMs = 50;         // accepting paused while out of descriptors...
constexpr int kLongestPauseMs = 500;      // ...doubling up to this
constexpr int kJobIdleMs = 1000;          // a connection job waits this long for the next

using Clock = std::chrono::steady_clock;

int PositiveSetting(const char* name, int fallback) {
  long v = ks::settings::Number(name, fallback);
  return (v > 0 && v <= 10 * 1000 * 1000) ? static_cast<int>(v) : fallback;
}

bool OutOfDescriptors(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

HttpServerOptions HttpServerOptions::FromSettings() {
  HttpServerOptions o;
  o.address = ks::settings::Loopback() ? "127.0.0.1" : "";
  o.port = ks::settings::HttpPort();
  o.timeoutMs = PositiveSetting("KESTYL_HTTP_TIMEOUT_MS", o.timeoutMs);
  o.headTimeoutMs = PositiveSetting("KESTYL_HTTP_HEAD_TIMEOUT_MS", o.headTimeoutMs);
  o.maxConnections = PositiveSetting("KESTYL_HTTP_MAX_CONNECTIONS", o.maxConnections);
  o.maxActive = PositiveSetting("KESTYL_HTTP_MAX_ACTIVE", o.maxActive);
  return o;
}

// What the accept loop shares with the connection jobs; a job keeps it alive after the
// server object is gone.
struct HttpServer::Shared {
  struct Ready {
    int fd;
    std::string head;
  };
  std::atomic<int> active{0};      // jobs answering a connection now
  std::atomic<int> acceptPauses{0};
  int maxActive = 1;
  int timeoutMs = 30000;
  int wake = -1;  // eventfd: a connection was handed back
  std::mutex mutex;
  bool looping = false;             // the loop takes connections back (under mutex)
  std::vector<int> handedBack;      // connections to close after a lingering read
  std::vector<Ready> adopted;       // accepted by a job, head not complete (under mutex)
  // A job that has answered accepts the next connection itself when one is waiting (see
  // TryAccept): under load connections then go from the listener to an awake job without
  // a hand-off. listenFd is the listening socket while the loop runs, else -1; the loop
  // clears it under the exclusive lock before closing the socket.
  std::shared_mutex acceptMutex;
  int listenFd = -1;
  std::atomic<size_t> held{0};      // connections the loop holds (heads and lingering ones)
  size_t maxConnections = 1;
  // Heads read, waiting for a job (under mutex). Jobs live on while connections keep
  // coming: one that has answered takes the next from here, or waits up to kJobIdleMs
  // for one, so a busy server keeps its workers instead of starting a thread for each
  // connection. At most maxActive jobs exist; `jobs` counts them, `idle` the waiting ones.
  std::deque<Ready> ready;
  std::atomic<size_t> waiting{0};
  int jobs = 0;
  int idle = 0;
  bool closing = false;
  std::condition_variable work;
  ~Shared() {
    if (wake >= 0) ::close(wake);
    for (Ready& r : ready) ::close(r.fd);
    for (Ready& r : adopted) ::close(r.fd);
  }
  void Wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake, &one, sizeof one);
  }
  // ready.size(), readable without the mutex (the accept loop asks at every accept).
  size_t Waiting() const { return waiting.load(std::memory_order_relaxed); }
  // Queues a connection whose head is read; true when the caller must start a job for it
  // (no job waits and fewer than maxActive exist; the new one is already counted).
  bool Queue(int fd, std::string head) {
    bool wakeOne = false, start = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ready.push_back({fd, std::move(head)});
      waiting.store(ready.size(), std::memory_order_relaxed);
      if (idle > static_cast<int>(ready.size()) - 1) {
        wakeOne = true;
      } else if (jobs < maxActive) {
        ++jobs;
        start = true;
      }
    }
    // Woken after the mutex is free, so the job does not wake only to wait for it.
    if (wakeOne) work.notify_one();
    return start;
  }
  // A job's next connection; false (and the job counted out) when none came in time or
  // the server stopped.
  bool Next(Ready* out) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!ready.empty() || closing) return TakeLocked(out);
    }
    if (TryAccept(out)) {
      active.fetch_add(1);
      return true;
    }
    std::unique_lock<std::mutex> lock(mutex);
    if (ready.empty() && !closing) {
      ++idle;
      work.wait_for(lock, std::chrono::milliseconds(kJobIdleMs),
                    [this] { return !ready.empty() || closing; });
      --idle;
    }
    return TakeLocked(out);
  }
  // Next's end, under mutex.
  bool TakeLocked(Ready* out) {
    if (ready.empty()) {
      --jobs;
      return false;
    }
    *out = std::move(ready.front());
    ready.pop_front();
    waiting.store(ready.size(), std::memory_order_relaxed);
    active.fetch_add(1);
    return true;
  }
  // A connection waiting on the listener, taken by this job: true when its head came
  // whole with it. One whose head is still coming goes to the loop, which reads heads; so
  // does everything at the connection cap, where the loop chooses who makes room.
  bool TryAccept(Ready* out) {
    if (held.load() + Waiting() + static_cast<size_t>(active.load()) >= maxConnections) return false;
    int fd;
    {
      std::shared_lock<std::shared_mutex> lock(acceptMutex);
      if (listenFd < 0) return false;
      fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (fd < 0) return false;  // none waiting; out of descriptors is the loop's to handle
    char first[2048];
    ssize_t got = ::recv(fd, first, sizeof first, MSG_DONTWAIT);
    std::string head = got > 0 ? std::string(first, static_cast<size_t>(got)) : std::string();
    HttpHeadScanner scanner;
    scanner.Feed(head.data(), head.size());
    if (scanner.Done()) {
      *out = {fd, std::move(head)};
      return true;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (looping) {
        adopted.push_back({fd, std::move(head)});
        Wake();
        return false;
      }
    }
    ::close(fd);
    return false;
  }
  // A job could not be started: counted out again; when no job exists at all, nobody
  // would take the queued connections, so they are closed.
  void JobNotStarted() {
    std::lock_guard<std::mutex> lock(mutex);
    if (--jobs == 0) {
      for (Ready& r : ready) ::close(r.fd);
      ready.clear();
      waiting.store(0, std::memory_order_relaxed);
    }
  }
  // Answers queued connections until none comes in time.
  static void Serve(const std::shared_ptr<Shared>& self) {
    PipeSignalBlock pipeSignals;  // once for all the answers of this job
    Ready r;
    while (self->Next(&r)) {
      // The head is read already: only sends can wait on the socket from here on, and they
      // get the time-out before the first one that may.
      {
        HttpConnection conn(r.fd, std::move(r.head));
        conn.SetPendingSendTimeout(self->timeoutMs);
        AnswerRequest(conn, &Shared::HandBack, self.get());
      }
      self->active.fetch_sub(1);
    }
  }
  // A job's connection after a short answer: the loop closes it after a lingering read.
  static void HandBack(int sock, void* arg) {
    auto* self = static_cast<Shared*>(arg);
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      if (self->looping) {
        ::shutdown(sock, SHUT_WR);
        self->handedBack.push_back(sock);
        self->Wake();
        return;
      }
    }
    ::close(sock);
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
  shared_->maxConnections = static_cast<size_t>(std::max(1, options_.maxConnections));
  shared_->timeoutMs = options_.timeoutMs;
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

int HttpServer::AcceptPauses() const { return shared_->acceptPauses.load(); }

void HttpServer::Run() {
  if (listen_ < 0) return;
  // Every connection the loop holds is either still sending its head (kHead) or being
  // closed after a short answer (kLinger). Each kind has one fixed time-out, so a queue in
  // arrival order is also the order of the deadlines; an entry whose connection has moved
  // on is recognised by its sequence number.
  enum class Kind { kHead, kLinger };
  struct Held {
    uint64_t seq = 0;
    Kind kind = Kind::kHead;
    std::string head;
    HttpHeadScanner scanner;
    size_t dropped = 0;
  };
  struct Entry {
    int fd;
    uint64_t seq;
    Clock::time_point deadline;
  };
  std::unordered_map<int, Held> held;
  std::deque<Entry> heads, lingering;
  uint64_t nextSeq = 1;
  const auto headTimeout = std::chrono::milliseconds(options_.headTimeoutMs);
  const auto lingerTime = std::chrono::milliseconds(options_.lingerMs);
  const size_t maxConnections = static_cast<size_t>(std::max(1, options_.maxConnections));

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
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->looping = true;
  }
  {
    std::unique_lock<std::shared_mutex> lock(shared_->acceptMutex);
    shared_->listenFd = listen_;
  }

  auto drop = [&](int fd) {
    ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
    held.erase(fd);
    shared_->held.store(held.size());
  };
  auto closeHeld = [&](int fd) {
    drop(fd);
    ::close(fd);
  };
  auto hold = [&](int fd, Kind kind, Held* moved = nullptr) -> Held* {
    epoll_event e{};
    e.events = EPOLLIN | EPOLLRDHUP;
    e.data.fd = fd;
    if (::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e) != 0) {
      ::close(fd);
      return nullptr;
    }
    Held& h = held[fd];
    shared_->held.store(held.size());
    if (moved) h = std::move(*moved);
    h.seq = nextSeq++;
    h.kind = kind;
    (kind == Kind::kHead ? heads : lingering)
        .push_back({fd, h.seq, Clock::now() + (kind == Kind::kHead ? headTimeout : lingerTime)});
    return &h;
  };
  auto current = [&](const Entry& e) {
    auto it = held.find(e.fd);
    return it != held.end() && it->second.seq == e.seq;
  };
  // The oldest connection still in `q`, or -1; stale entries are dropped on the way.
  auto oldest = [&](std::deque<Entry>& q) {
    while (!q.empty() && !current(q.front())) q.pop_front();
    return q.empty() ? -1 : q.front().fd;
  };
  // Queues a connection whose head is read; starts a pool job for it while fewer than
  // maxActive run (a running job takes it otherwise).
  auto toJob = [&](int fd, std::string head) {
    if (!shared_->Queue(fd, std::move(head))) return;
    std::shared_ptr<Shared> shared = shared_;
    // Never wait for a free worker here: the loop must go on accepting.
    if (DispatchJob(GlobalPool(), [shared] { Shared::Serve(shared); }, false) != 0)
      shared_->JobNotStarted();
  };
  // Reads what a held connection has sent. A head that is complete, cut by the size limit
  // or by the peer's close goes to a job; a lingering connection closes once its peer has.
  auto readFrom = [&](int fd) {
    auto it = held.find(fd);
    if (it == held.end()) return;
    Held& h = it->second;
    char buf[4096];
    while (true) {
      size_t room = sizeof buf;
      if (h.kind == Kind::kHead) room = std::min(room, kMaxHeadBytes - h.head.size());
      ssize_t n = room == 0 ? 0 : ::recv(fd, buf, room, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      bool ended = n <= 0;
      if (h.kind == Kind::kLinger) {
        h.dropped += ended ? 0 : static_cast<size_t>(n);
        if (ended || h.dropped >= kMaxHeadBytes) closeHeld(fd);
        if (ended || h.dropped >= kMaxHeadBytes) return;
        continue;
      }
      if (!ended) {
        h.scanner.Feed(buf, static_cast<size_t>(n));
        h.head.append(buf, static_cast<size_t>(n));
      }
      if (ended || h.scanner.Done() || h.head.size() >= kMaxHeadBytes) {
        std::string head = std::move(h.head);
        drop(fd);
        toJob(fd, std::move(head));
        return;
      }
    }
  };

  // At maxConnections, room for a newcomer: the oldest connection being closed, else the
  // oldest one that has not finished its head; a full house of answers refuses the
  // newcomer (closed here; false).
  auto makeRoom = [&](int fd) {
    if (held.size() + shared_->Waiting() + static_cast<size_t>(shared_->active.load()) < maxConnections)
      return true;
    int victim = oldest(lingering);
    if (victim < 0) victim = oldest(heads);
    if (victim < 0) {
      ::close(fd);
      return false;
    }
    closeHeld(victim);
    return true;
  };
  // A new connection with what it has sent so far: to a job when its head is whole, else
  // held until it is.
  auto admit = [&](int fd, std::string first) {
    HttpHeadScanner scanner;
    scanner.Feed(first.data(), first.size());
    if (!first.empty() && scanner.Done()) {
      toJob(fd, std::move(first));
      return;
    }
    Held* h = hold(fd, Kind::kHead);
    if (!h) return;
    h->scanner = std::move(scanner);
    h->head = std::move(first);
    readFrom(fd);
  };

  bool listening = true;
  int pauseMs = kFirstPauseMs;
  Clock::time_point resumeAt{};
  epoll_event events[64];
  while (!stop_.load() && !ks::state::StopRequested()) {
    ReleaseStaleHttpShareView();
    auto now = Clock::now();
    // Heads not complete by their deadline: answered from what came, or closed when
    // nothing did; lingering connections are closed at theirs.
    while (oldest(heads) >= 0 && heads.front().deadline <= now) {
      int fd = heads.front().fd;
      heads.pop_front();
      std::string head = std::move(held[fd].head);
      if (head.empty()) {
        closeHeld(fd);
      } else {
        drop(fd);
        toJob(fd, std::move(head));
      }
    }
    while (oldest(lingering) >= 0 && lingering.front().deadline <= now) {
      int fd = lingering.front().fd;
      lingering.pop_front();
      closeHeld(fd);
    }
    if (!listening && now >= resumeAt) {
      epoll_event e{};
      e.events = EPOLLIN;
      e.data.fd = listen_;
      listening = ::epoll_ctl(ep, EPOLL_CTL_ADD, listen_, &e) == 0;
      if (!listening) resumeAt = now + std::chrono::milliseconds(pauseMs);
    }

    auto waitUntil = now + std::chrono::milliseconds(kStopCheckMs);
    if (oldest(heads) >= 0) waitUntil = std::min(waitUntil, heads.front().deadline);
    if (oldest(lingering) >= 0) waitUntil = std::min(waitUntil, lingering.front().deadline);
    if (!listening) waitUntil = std::min(waitUntil, resumeAt);
    int waitMs = static_cast<int>(std::max<int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(waitUntil - now).count() + 1));

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
        std::vector<int> back;
        std::vector<Shared::Ready> adopted;
        {
          std::lock_guard<std::mutex> lock(shared_->mutex);
          back.swap(shared_->handedBack);
          adopted.swap(shared_->adopted);
        }
        for (int b : back) {
          if (hold(b, Kind::kLinger)) readFrom(b);
        }
        for (Shared::Ready& r : adopted) {
          if (makeRoom(r.fd)) admit(r.fd, std::move(r.head));
        }
      } else {
        readFrom(fd);
      }
    }
    if (!accepting || !listening) continue;
    while (true) {
      int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (OutOfDescriptors(errno)) {
          // The pending connection stays in the queue and would wake every wait at once:
          // stop listening for a while instead of spinning on it.
          ::epoll_ctl(ep, EPOLL_CTL_DEL, listen_, nullptr);
          listening = false;
          resumeAt = Clock::now() + std::chrono::milliseconds(pauseMs);
          pauseMs = std::min(pauseMs * 2, kLongestPauseMs);
          if (shared_->acceptPauses.fetch_add(1) == 0)
            KS_LOG_ERROR(kModule, "httpServer accept: %s", std::strerror(errno));
        }
        break;  // drained (EAGAIN), or paused
      }
      pauseMs = kFirstPauseMs;
      if (!makeRoom(fd)) continue;
      // Most clients send their request with the connection: a head that is already
      // here whole goes to a job at once, without a round through epoll.
      char first[2048];
      ssize_t got = ::recv(fd, first, sizeof first, MSG_DONTWAIT);
      admit(fd, got > 0 ? std::string(first, static_cast<size_t>(got)) : std::string());
    }
  }
  {
    std::unique_lock<std::shared_mutex> lock(shared_->acceptMutex);
    shared_->listenFd = -1;
  }
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->looping = false;
    for (int fd : shared_->handedBack) ::close(fd);
    shared_->handedBack.clear();
    for (Shared::Ready& r : shared_->adopted) ::close(r.fd);
    shared_->adopted.clear();
    // Connections not yet taken by a job are closed unanswered; waiting jobs end now, jobs
    // under way with their own connection.
    for (Shared::Ready& r : shared_->ready) ::close(r.fd);
    shared_->ready.clear();
    shared_->waiting.store(0, std::memory_order_relaxed);
    shared_->closing = true;
    shared_->work.notify_all();
  }
  for (auto& [fd, h] : held) ::close(fd);
  ::close(ep);
  ::close(listen_);
  listen_ = -1;
  ForgetHttpShareView();  // no share folder stays open behind a stopped server
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
