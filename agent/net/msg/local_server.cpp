#include "agent/net/msg/local_server.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/thread.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "agent/log/log.h"
#include "agent/net/msg/frame.h"
#include "agent/net/msg/msg.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"
#include "agent/util/settings/settings.h"

namespace ks::net {

namespace {

// A connection whose executor lags this far behind stops being read until it catches up.
constexpr size_t kPauseReadAbove = 1 << 20;
constexpr size_t kResumeReadBelow = 256 << 10;
constexpr int kStopFlagPollMs = 200;

timeval Millis(int ms) { return timeval{ms / 1000, (ms % 1000) * 1000}; }

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class Connection;

}  // namespace

struct LocalServer::Impl {
  explicit Impl(const LocalServerOptions& o) : opt(o) {}

  // keepQueued: messages that arrived before the peer closed are still handled (an upload's
  // last chunks); otherwise they are dropped (refused stream, server stop).
  void Close(const std::shared_ptr<Connection>& c, bool keepQueued = false);
  void StartExecutor(const std::shared_ptr<Connection>& c);
  void ExecutorDone();
  // Out of descriptors: closes the LAN connection that has been quiet longest among those
  // with nothing to do, so that the next accept finds a descriptor. False when none is idle.
  bool ShedQuietestIdle();

  LocalServerOptions opt;
  ThreadPool* pool = nullptr;
  event_base* base = nullptr;
  evconnlistener* listener = nullptr;
  event* stopEvent = nullptr;      // activated by Stop() from another thread
  event* retryTimer = nullptr;     // re-enables the listener after an accept error
  event* stopFlagTimer = nullptr;  // watches the agent's stop flag
  uint16_t port = 0;

  std::mutex m;                    // guards the fields below
  std::condition_variable cv;
  std::map<uint64_t, std::shared_ptr<Connection>> conns;
  int executors = 0;               // executor jobs dispatched and not yet finished
  bool loopEnded = false;          // the loop returned; the base is about to be freed
  bool finished = false;           // everything released
};

namespace {

thread_local const LocalServer::Impl* tl_loopOf = nullptr;
thread_local const LocalServer::Impl* tl_executorOf = nullptr;

class Connection final : public Channel, public std::enable_shared_from_this<Connection> {
 public:
  Connection(LocalServer::Impl* server, bufferevent* bev, Origin origin)
      : server_(server), bev_(bev), origin_(origin), id_(NextChannelId()) {}
  ~Connection() override { bufferevent_free(bev_); }

  bool Write(const void* data, size_t length) override;
  bool WriteParts(const iovec* parts, size_t count) override;
  bool IsOpen() const override { return !closed_.load(); }
  Origin origin() const override { return origin_; }
  uint64_t Id() const override { return id_; }

  bufferevent* bev() const { return bev_; }
  LocalServer::Impl* server() const { return server_; }
  // Loop thread: milliseconds of the last bytes read (or of the accept).
  int64_t LastActiveMs() const { return lastActiveMs_; }
  // Loop thread: nothing queued, no handler running, nothing left to send.
  bool Idle();
  // Once closed: hands the descriptor back to the system now rather than when the
  // bufferevent is finally freed (later in the loop).
  void CloseDescriptorNow();

  // Loop thread, bufferevent lock held.
  void OnRead();
  void OnDrained();
  void OnEvent(short what);

  // Executor job body.
  void Drain();

  // Impl::Close, bufferevent lock held: false when it was closed already. *notify tells
  // whether the caller must announce the close (no executor running any more).
  bool MarkClosed(bool* notify, bool keepQueued);

 private:
  // Loop thread: queues a message; true when the executor must be started.
  bool Enqueue(Frame&& f);
  // Sends the pieces from the writing thread, waiting for room in the socket itself; the
  // caller holds writeMutex_ and has set direct_ with the output buffer empty.
  bool SendDirect(const iovec* parts, size_t count);
  void Handle(const Frame& f);

  LocalServer::Impl* const server_;
  bufferevent* const bev_;
  const Origin origin_;
  const uint64_t id_;
  FrameAssembler assembler_;  // loop thread only
  int64_t lastActiveMs_ = NowMs();  // loop thread only
  std::atomic<bool> closed_{false};
  bool discardQueued_ = false;  // under m_: closed and the queue dropped

  std::mutex writeMutex_;  // held by a writer (other than the loop) for a whole message
  // Under the bufferevent lock: a writer is sending directly; the loop thread's own writes
  // wait in deferred_ until it is done.
  bool direct_ = false;
  std::vector<uint8_t> deferred_;

  std::mutex m_;  // guards the fields below; taken after the bufferevent lock, never before
  std::condition_variable cv_;
  std::deque<Frame> queue_;
  size_t queuedBytes_ = 0;
  bool running_ = false;       // an executor job owns the queue
  bool readPaused_ = false;
  bool closeNotified_ = false;
  uint64_t drainGen_ = 0;      // counts "output drained" and close events for writers
};

void ReadCb(bufferevent*, void* ctx) { static_cast<Connection*>(ctx)->OnRead(); }
void WriteCb(bufferevent*, void* ctx) { static_cast<Connection*>(ctx)->OnDrained(); }
void EventCb(bufferevent*, short what, void* ctx) { static_cast<Connection*>(ctx)->OnEvent(what); }

void Connection::OnRead() {
  auto self = shared_from_this();  // Close() below may drop the server's reference
  evbuffer* in = bufferevent_get_input(bev_);
  lastActiveMs_ = NowMs();
  bool start = false, keep = true;
  try {
    while (keep && !closed_ && evbuffer_get_length(in) > 0) {
      evbuffer_iovec v;
      if (evbuffer_peek(in, -1, nullptr, &v, 1) < 1) break;
      size_t used = 0;
      keep = assembler_.Feed(static_cast<const uint8_t*>(v.iov_base), v.iov_len,
                             [&](Frame&& f) { start = Enqueue(std::move(f)) || start; }, &used);
      evbuffer_drain(in, used);
      if (!keep)
        KS_LOG_DEBUG("CommLib", "Unregistered type on connection %llu, closing it.",
                     static_cast<unsigned long long>(id_));
    }
  } catch (const std::bad_alloc&) {
    KS_LOG_ERROR("CommLib", "Allocate memory error.");
    keep = false;
  }
  if (!keep) {
    server_->Close(self);
    // Messages queued in this same read claimed the executor; release the claim here so
    // the close is still announced.
    if (start) Drain();
    return;
  }
  if (start) server_->StartExecutor(self);
}

bool Connection::Enqueue(Frame&& f) {
  bool start, pause = false;
  {
    std::lock_guard<std::mutex> lock(m_);
    if (closed_) return false;
    queuedBytes_ += f.body.size() + sizeof(MsgHead);
    queue_.push_back(std::move(f));
    if (!readPaused_ && queuedBytes_ > kPauseReadAbove) readPaused_ = pause = true;
    start = !running_;
    running_ = true;
  }
  // The bufferevent lock is held here, so the executor cannot resume in between.
  if (pause) bufferevent_disable(bev_, EV_READ);
  return start;
}

bool Connection::Idle() {
  {
    std::lock_guard<std::mutex> lock(m_);
    if (closed_ || running_ || !queue_.empty() || readPaused_) return false;
  }
  return evbuffer_get_length(bufferevent_get_output(bev_)) == 0;
}

void Connection::CloseDescriptorNow() {
  bufferevent_lock(bev_);
  evutil_socket_t fd = bufferevent_getfd(bev_);
  // Writers test closed_ under this lock, so nobody touches the descriptor after this.
  if (closed_ && fd >= 0 && bufferevent_setfd(bev_, -1) == 0) ::close(fd);
  bufferevent_unlock(bev_);
}

void Connection::OnDrained() {
  std::lock_guard<std::mutex> lock(m_);
  ++drainGen_;
  cv_.notify_all();
}

void Connection::OnEvent(short what) {
  auto self = shared_from_this();
  if ((what & BEV_EVENT_TIMEOUT) && !(what & (BEV_EVENT_EOF | BEV_EVENT_ERROR))) {
    bool busy, paused;
    {
      std::lock_guard<std::mutex> lock(m_);
      busy = running_ || !queue_.empty();
      paused = readPaused_;
    }
    busy = busy || evbuffer_get_length(bufferevent_get_output(bev_)) > 0;
    if (busy) {
      // A long download keeps its connection although the client sends nothing.
      if (!paused) bufferevent_enable(bev_, EV_READ);
      return;
    }
    KS_LOG_DEBUG("CommLib", "Closing idle connection %llu.", static_cast<unsigned long long>(id_));
  }
  if (what & (BEV_EVENT_EOF | BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)) server_->Close(self, true);
}

bool Connection::MarkClosed(bool* notify, bool keepQueued) {
  if (closed_.exchange(true)) return false;
  bufferevent_disable(bev_, EV_READ | EV_WRITE);
  ::shutdown(bufferevent_getfd(bev_), SHUT_RDWR);
  std::lock_guard<std::mutex> lock(m_);
  if (!keepQueued || !running_) {
    discardQueued_ = true;
    queue_.clear();
    queuedBytes_ = 0;
  }
  ++drainGen_;
  cv_.notify_all();
  *notify = !running_ && !closeNotified_;
  if (*notify) closeNotified_ = true;
  return true;
}

bool Connection::Write(const void* data, size_t length) {
  iovec part{const_cast<void*>(data), length};
  return WriteParts(&part, 1);
}

bool Connection::WriteParts(const iovec* parts, size_t count) {
  if (closed_) return false;
  size_t length = 0;
  for (size_t i = 0; i < count; ++i) {
    if (parts[i].iov_len > 0 && !parts[i].iov_base) return false;
    length += parts[i].iov_len;
  }
  if (length == 0) return true;
  evbuffer* out = bufferevent_get_output(bev_);
  if (tl_loopOf == server_) {
    // The loop thread never waits for itself: its bytes are queued for the loop to send,
    // behind a message another thread is sending directly.
    bufferevent_lock(bev_);
    bool ok = !closed_;
    for (size_t i = 0; ok && i < count; ++i) {
      const auto* p = static_cast<const uint8_t*>(parts[i].iov_base);
      if (direct_) {
        deferred_.insert(deferred_.end(), p, p + parts[i].iov_len);
      } else {
        ok = bufferevent_write(bev_, p, parts[i].iov_len) == 0;
      }
    }
    bufferevent_unlock(bev_);
    return ok;
  }
  // One writer at a time, so that whole messages keep their order whichever way they go.
  std::lock_guard<std::mutex> writing(writeMutex_);
  const int idleMs = server_->opt.idleMs;
  int64_t stalledSince = NowMs();
  uint64_t seenGen = 0;
  for (bool first = true;; first = false) {
    uint64_t gen;
    {
      std::lock_guard<std::mutex> lock(m_);
      if (closed_) return false;
      gen = drainGen_;
    }
    if (first || gen != seenGen) {
      seenGen = gen;
      stalledSince = NowMs();
    }
    if (evbuffer_get_length(out) <= server_->opt.highWater) break;
    // A client that stops reading must not hold this thread for ever: output that has not
    // drained for the idle time-out ends the connection.
    int64_t stalled = NowMs() - stalledSince;
    if (idleMs > 0 && stalled >= idleMs) {
      KS_LOG_WARNING("CommLib", "Connection %llu took no output for %lld ms, closing it.",
                     static_cast<unsigned long long>(id_), static_cast<long long>(stalled));
      server_->Close(shared_from_this());
      return false;
    }
    int64_t waitMs = idleMs > 0 ? std::min<int64_t>(1000, idleMs - stalled) : 1000;
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return closed_ || drainGen_ != gen; });
  }
  bufferevent_lock(bev_);
  bool ok = !closed_;
  // Nothing queued before us: this thread sends the message itself (see SendDirect)
  // instead of copying it for the loop and waking it.
  const bool direct = ok && evbuffer_get_length(out) == 0;
  if (direct) direct_ = true;
  for (size_t i = 0; ok && !direct && i < count; ++i)
    ok = bufferevent_write(bev_, parts[i].iov_base, parts[i].iov_len) == 0;
  bufferevent_unlock(bev_);
  return direct ? SendDirect(parts, count) : ok;
}

bool Connection::SendDirect(const iovec* parts, size_t count) {
  // The caller's pieces are sent as they are; only a piece cut by a short send needs a
  // changed copy of the list.
  auto* pieces = const_cast<iovec*>(parts);
  std::vector<iovec> copy;
  size_t at = 0;  // the first piece with bytes left
  const int idleMs = server_->opt.idleMs;
  int64_t progressAt = NowMs();
  // Ends direct sending; bytes the loop thread queued meanwhile follow the message.
  auto finish = [&](bool sent) {
    if (sent && !deferred_.empty()) sent = bufferevent_write(bev_, deferred_.data(), deferred_.size()) == 0;
    deferred_.clear();
    direct_ = false;
    bufferevent_unlock(bev_);
    return sent;
  };
  for (;;) {
    bufferevent_lock(bev_);
    // Under the lock: once closed, the descriptor may be handed back to the system.
    if (closed_) return finish(false);
    const int fd = bufferevent_getfd(bev_);
    msghdr m{};
    m.msg_iov = pieces + at;
    m.msg_iovlen = std::min<size_t>(count - at, IOV_MAX);
    ssize_t n;
    do {
      n = ::sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    const int error = n < 0 ? errno : 0;
    if (n > 0) {
      progressAt = NowMs();
      size_t done = static_cast<size_t>(n);
      while (at < count && done >= pieces[at].iov_len) done -= pieces[at++].iov_len;
      if (done > 0) {
        if (copy.empty()) {
          copy.assign(parts, parts + count);
          pieces = copy.data();
        }
        pieces[at].iov_base = static_cast<uint8_t*>(pieces[at].iov_base) + done;
        pieces[at].iov_len -= done;
      }
    }
    while (at < count && pieces[at].iov_len == 0) ++at;
    if (at == count) return finish(true);
    // A failed send: the connection is broken; the loop reports it through the event callback.
    if (n < 0 && error != EAGAIN && error != EWOULDBLOCK) return finish(false);
    bufferevent_unlock(bev_);
    // A client that stops reading must not hold this thread for ever: output that has not
    // drained for the idle time-out ends the connection.
    const int64_t stalled = NowMs() - progressAt;
    if (idleMs > 0 && stalled >= idleMs) {
      KS_LOG_WARNING("CommLib", "Connection %llu took no output for %lld ms, closing it.",
                     static_cast<unsigned long long>(id_), static_cast<long long>(stalled));
      bufferevent_lock(bev_);
      finish(false);
      server_->Close(shared_from_this());
      return false;
    }
    // Closing the connection shuts the socket down, which ends this wait at once.
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(idleMs > 0 ? std::min<int64_t>(1000, idleMs - stalled) : 1000));
  }
}

void Connection::Handle(const Frame& f) {
  std::vector<uint8_t> reply;
  Dispatch(f.head, f.Body(), f.BodyLength(), this, &reply, -1, 1, origin_);
  if (reply.empty()) return;
  if (reply.size() > kMaxMessageLength) {
    KS_LOG_ERROR("CommLib", "Reply of %zu bytes to type %d refused: a message holds at most %zu.",
                 reply.size(), int(f.head.type), kMaxMessageLength);
    return;
  }
  if (!Write(reply.data(), reply.size())) KS_LOG_ERROR("CommLib", "Write return message error.");
}

void Connection::Drain() {
  for (;;) {
    Frame f;
    bool done = false, notify = false, resume = false;
    {
      std::lock_guard<std::mutex> lock(m_);
      if (queue_.empty() || (closed_ && discardQueued_)) {
        running_ = false;
        done = true;
        notify = closed_ && !closeNotified_;
        if (notify) closeNotified_ = true;
      } else {
        f = std::move(queue_.front());
        queue_.pop_front();
        queuedBytes_ -= f.body.size() + sizeof(MsgHead);
        resume = readPaused_ && queuedBytes_ < kResumeReadBelow;
      }
    }
    if (done) {
      if (notify) NotifyChannelClosed(id_);
      return;
    }
    if (resume) {
      bufferevent_lock(bev_);
      {
        std::lock_guard<std::mutex> lock(m_);
        resume = !closed_ && readPaused_ && queuedBytes_ < kResumeReadBelow;
        if (resume) readPaused_ = false;
      }
      if (resume) bufferevent_enable(bev_, EV_READ);
      bufferevent_unlock(bev_);
    }
    Handle(f);
  }
}

}  // namespace

void LocalServer::Impl::Close(const std::shared_ptr<Connection>& c, bool keepQueued) {
  bool notify = false;
  bufferevent_lock(c->bev());
  bool first = c->MarkClosed(&notify, keepQueued);
  bufferevent_unlock(c->bev());
  if (!first) return;
  {
    std::lock_guard<std::mutex> lock(m);
    conns.erase(c->Id());
  }
  if (notify) NotifyChannelClosed(c->Id());
}

bool LocalServer::Impl::ShedQuietestIdle() {
  std::vector<std::shared_ptr<Connection>> lan;
  {
    std::lock_guard<std::mutex> lock(m);
    for (const auto& [id, c] : conns)
      if (c->origin() == Origin::kLan) lan.push_back(c);
  }
  // Idle() takes the connection's locks: never under `m`.
  std::shared_ptr<Connection> quietest;
  for (const auto& c : lan)
    if ((!quietest || c->LastActiveMs() < quietest->LastActiveMs()) && c->Idle()) quietest = c;
  if (!quietest) return false;
  KS_LOG_WARNING("CommLib", "Out of descriptors: closing connection %llu, idle for %lld ms, to accept a new one.",
                 static_cast<unsigned long long>(quietest->Id()),
                 static_cast<long long>(NowMs() - quietest->LastActiveMs()));
  Close(quietest);
  // The accept it makes room for comes before the bufferevent's final release.
  quietest->CloseDescriptorNow();
  return true;
}

namespace {

void RunExecutor(void* p) {
  std::unique_ptr<std::shared_ptr<Connection>> holder(static_cast<std::shared_ptr<Connection>*>(p));
  LocalServer::Impl* server = (*holder)->server();
  tl_executorOf = server;
  (*holder)->Drain();
  holder.reset();  // may free the bufferevent; the base outlives every executor
  tl_executorOf = nullptr;
  server->ExecutorDone();
}

}  // namespace

void LocalServer::Impl::StartExecutor(const std::shared_ptr<Connection>& c) {
  {
    std::lock_guard<std::mutex> lock(m);
    ++executors;
  }
  auto* holder = new (std::nothrow) std::shared_ptr<Connection>(c);
  // Never the saturation wait: this runs on the loop thread.
  if (holder && pool->Dispatch(&RunExecutor, holder, false) == 0) return;
  delete holder;
  KS_LOG_ERROR("CommLib", "Couldn't start a job for connection %llu.",
               static_cast<unsigned long long>(c->Id()));
  Close(c);
  // The queue was emptied by Close; the executor that never ran releases its claim.
  c->Drain();
  ExecutorDone();
}

void LocalServer::Impl::ExecutorDone() {
  std::lock_guard<std::mutex> lock(m);
  --executors;
  cv.notify_all();
}

namespace {

void AcceptCb(evconnlistener* listener, evutil_socket_t fd, sockaddr* peer, int, void* ctx) {
  auto* server = static_cast<LocalServer::Impl*>(ctx);
  // Every write is one or more whole messages: nothing is gained by holding a short one
  // back, and a reply that follows a stream (a download's end) would otherwise wait for
  // the peer's delayed acknowledgement, tens of milliseconds.
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  bufferevent* bev = bufferevent_socket_new(evconnlistener_get_base(listener), fd,
                                            BEV_OPT_CLOSE_ON_FREE | BEV_OPT_THREADSAFE);
  if (!bev) {
    KS_LOG_ERROR("CommLib", "Couldn't open socket event.");
    ::close(fd);
    return;
  }
  bool local = peer && peer->sa_family == AF_INET &&
               reinterpret_cast<sockaddr_in*>(peer)->sin_addr.s_addr == htonl(INADDR_LOOPBACK);
  std::shared_ptr<Connection> c;
  try {
    c = std::make_shared<Connection>(server, bev, local ? Origin::kLocal : Origin::kLan);
  } catch (const std::bad_alloc&) {
    KS_LOG_ERROR("CommLib", "Allocate memory error.");
    bufferevent_free(bev);
    return;
  }
  bufferevent_setcb(bev, ReadCb, WriteCb, EventCb, c.get());
  bufferevent_setwatermark(bev, EV_WRITE, server->opt.highWater / 2, 0);
  timeval idle = Millis(server->opt.idleMs);
  bufferevent_set_timeouts(bev, server->opt.idleMs > 0 ? &idle : nullptr, nullptr);
  {
    std::lock_guard<std::mutex> lock(server->m);
    server->conns.emplace(c->Id(), c);
  }
  bufferevent_enable(bev, EV_READ | EV_WRITE);
}

void AcceptErrorCb(evconnlistener* listener, void* ctx) {
  auto* server = static_cast<LocalServer::Impl*>(ctx);
  int err = EVUTIL_SOCKET_ERROR();
  if (err == EMFILE || err == ENFILE) {
    // accept() wants a free descriptor before it looks at the queue, so a full table fails
    // it even when nobody waits: then there is nothing to do until somebody connects.
    pollfd waiting{evconnlistener_get_fd(listener), POLLIN, 0};
    if (::poll(&waiting, 1, 0) == 0) return;
    // A table full of idle connections must not lock out the desktop program or a phone
    // that is in use: the quietest idle LAN connection makes room, and the listener (still
    // readable) accepts on the next pass of the loop.
    if (server->ShedQuietestIdle()) return;
  }
  KS_LOG_ERROR("CommLib", "Got an error %d (%s) on the listener. Retrying in %d ms.", err,
               evutil_socket_error_to_string(err), server->opt.acceptRetryMs);
  // Accepting again at once would spin on the same error (out of descriptors).
  evconnlistener_disable(listener);
  timeval delay = Millis(server->opt.acceptRetryMs);
  evtimer_add(server->retryTimer, &delay);
}

void RetryCb(evutil_socket_t, short, void* ctx) {
  evconnlistener_enable(static_cast<LocalServer::Impl*>(ctx)->listener);
}

void StopCb(evutil_socket_t, short, void* ctx) {
  event_base_loopbreak(static_cast<LocalServer::Impl*>(ctx)->base);
}

void StopFlagCb(evutil_socket_t, short, void* ctx) {
  if (ks::state::StopRequested()) event_base_loopbreak(static_cast<LocalServer::Impl*>(ctx)->base);
}

void FreeEvents(LocalServer::Impl* s) {
  if (s->listener) evconnlistener_free(s->listener);
  if (s->stopEvent) event_free(s->stopEvent);
  if (s->retryTimer) event_free(s->retryTimer);
  if (s->stopFlagTimer) event_free(s->stopFlagTimer);
  if (s->base) event_base_free(s->base);
  s->listener = nullptr;
  s->stopEvent = s->retryTimer = s->stopFlagTimer = nullptr;
  s->base = nullptr;
}

}  // namespace

void InitLibevent() {
  static std::once_flag once;
  std::call_once(once, [] {
    evthread_use_pthreads();
    std::signal(SIGPIPE, SIG_IGN);
  });
}

LocalServerOptions LocalServerOptions::FromSettings() {
  LocalServerOptions o;
  o.bindAddress = ks::settings::Text("KESTYL_LOCAL_ADDR", "0.0.0.0");
  long idle = ks::settings::Number("KESTYL_IDLE_S", 600);
  if (idle > 0 && idle < 86400) o.idleMs = static_cast<int>(idle * 1000);
  o.watchStopFlag = true;
  return o;
}

LocalServer::LocalServer(LocalServerOptions options) : options_(std::move(options)) {}

LocalServer::~LocalServer() { Stop(); }

void LocalServer::Configure(const LocalServerOptions& options) {
  if (!impl_) options_ = options;
}

int LocalServer::Start(uint16_t port) {
  if (impl_) {
    if (Running()) return 0;
    Stop();  // the loop ended by itself (stop flag): release it before starting anew
  }
  InitLibevent();
  auto impl = std::make_unique<Impl>(options_);
  impl->pool = options_.pool ? options_.pool : GlobalPool();
  impl->base = impl->pool ? event_base_new() : nullptr;
  if (!impl->base) {
    KS_LOG_ERROR("CommLib", "Couldn't open event base.");
    return KS_SERVER_NOT_STARTED;
  }
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  if (::inet_pton(AF_INET, options_.bindAddress.c_str(), &sin.sin_addr) != 1)
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
  impl->listener = evconnlistener_new_bind(
      impl->base, AcceptCb, impl.get(), LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE | LEV_OPT_CLOSE_ON_EXEC,
      -1, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  if (!impl->listener) {
    KS_LOG_ERROR("CommLib", "Couldn't create listener.");
    FreeEvents(impl.get());
    return KS_LOCAL_PORT_UNKNOWN;
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  if (::getsockname(evconnlistener_get_fd(impl->listener), reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
    KS_LOG_ERROR("CommLib", "Couldn't create listener.");
    FreeEvents(impl.get());
    return KS_LOCAL_PORT_UNKNOWN;
  }
  impl->port = ntohs(bound.sin_port);
  KS_LOG_DEBUG("CommLib", "Bind port %d.", int(impl->port));
  evconnlistener_set_error_cb(impl->listener, AcceptErrorCb);
  impl->stopEvent = event_new(impl->base, -1, 0, StopCb, impl.get());
  impl->retryTimer = evtimer_new(impl->base, RetryCb, impl.get());
  if (options_.watchStopFlag) {
    impl->stopFlagTimer = event_new(impl->base, -1, EV_PERSIST, StopFlagCb, impl.get());
    timeval poll = Millis(kStopFlagPollMs);
    if (impl->stopFlagTimer) event_add(impl->stopFlagTimer, &poll);
  }
  if (!impl->stopEvent || !impl->retryTimer || (options_.watchStopFlag && !impl->stopFlagTimer)) {
    KS_LOG_ERROR("CommLib", "Couldn't open event base.");
    FreeEvents(impl.get());
    return KS_SERVER_NOT_STARTED;
  }
  impl_ = std::move(impl);
  if (impl_->pool->Dispatch(&OS_RunEvent, this) != 0) {
    FreeEvents(impl_.get());
    impl_.reset();
    return KS_SERVER_NOT_STARTED;
  }
  return 0;
}

void LocalServer::RunLoop() {
  Impl* s = impl_.get();
  if (!s) return;
  tl_loopOf = s;
  event_base_dispatch(s->base);
  KS_LOG_INFO("CommLib", "%s.", "exit local server");

  std::vector<std::shared_ptr<Connection>> open;
  {
    std::lock_guard<std::mutex> lock(s->m);
    s->loopEnded = true;
    for (auto& [id, c] : s->conns) open.push_back(c);
  }
  evconnlistener_free(s->listener);
  s->listener = nullptr;
  for (auto& c : open) s->Close(c);
  open.clear();
  {
    // Handlers still running see their channel closed; the base must outlive them.
    std::unique_lock<std::mutex> lock(s->m);
    s->cv.wait(lock, [s] { return s->executors == 0; });
  }
  FreeEvents(s);
  tl_loopOf = nullptr;
  std::lock_guard<std::mutex> lock(s->m);
  s->finished = true;
  s->cv.notify_all();
}

void LocalServer::Stop() {
  Impl* s = impl_.get();
  if (!s) return;
  std::unique_lock<std::mutex> lock(s->m);
  if (!s->loopEnded) event_active(s->stopEvent, 0, 0);
  if (tl_loopOf == s || tl_executorOf == s) return;  // cannot wait for itself: the loop ends alone
  s->cv.wait(lock, [s] { return s->finished; });
  lock.unlock();
  impl_.reset();
}

bool LocalServer::Running() const {
  Impl* s = impl_.get();
  if (!s) return false;
  std::lock_guard<std::mutex> lock(s->m);
  return !s->loopEnded;
}

uint16_t LocalServer::Port() const { return impl_ ? impl_->port : 0; }

size_t LocalServer::ConnectionCount() const {
  Impl* s = impl_.get();
  if (!s) return 0;
  std::lock_guard<std::mutex> lock(s->m);
  return s->conns.size();
}

LocalServer& ProcessLocalServer() {
  static LocalServer& server = *new LocalServer(LocalServerOptions::FromSettings());
  return server;
}

void OS_RunEvent(void* server) {
  if (server) static_cast<LocalServer*>(server)->RunLoop();
}

}  // namespace ks::net
