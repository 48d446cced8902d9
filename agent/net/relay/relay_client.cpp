// The relay client: one libevent session per connection to the current server, and the
// job that keeps starting sessions.
//
// Threads: the session's loop runs on the caller's thread (a pool worker); its callbacks
// are deferred and run without the bufferevent's lock, so they may take the relay write
// mutex. Relayed requests are handled one after the other by an executor job on another
// pool worker. Locks, outermost first: the executor queue's mutex, the relay write mutex,
// libevent's bufferevent lock.
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/dns.h>
#include <event2/event.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>

#include "agent/log/log.h"
#include "agent/net/msg/local_server.h"
#include "agent/net/msg/msg.h"
#include "agent/net/pool/thread_pool.h"
#include "agent/net/proto/proto.h"
#include "agent/net/relay/relay.h"
#include "agent/net/relay/relay_frame.h"
#include "agent/net/socket/socket.h"
#include "agent/core/state/state.h"

namespace ks::relay {

namespace {

const char kModule[] = "CommLib";
constexpr size_t kHighWater = 256 * 1024;  // Write waits while more than this is unsent
constexpr size_t kPauseReadAbove = 1 << 20;  // queued requests that stop the reading
constexpr size_t kResumeReadBelow = 256 << 10;
constexpr int kStopWatchMs = 200;

// The control pair's write end, -1 while no session runs.
std::mutex g_controlMutex;
int g_controlWrite = -1;

thread_local bool tl_onRelayLoop = false;

timeval Millis(int ms) { return timeval{ms / 1000, (ms % 1000) * 1000}; }

class RelayConnection final : public ks::net::Channel, public std::enable_shared_from_this<RelayConnection> {
 public:
  explicit RelayConnection(bufferevent* bev) : bev_(bev), id_(ks::net::NextChannelId()) {}
  ~RelayConnection() override { Close(); }

  // Raw bytes to the relay connection: one whole message per call.
  bool Write(const void* data, size_t length) override;
  bool IsOpen() const override { return open_.load(); }
  ks::net::Origin origin() const override { return ks::net::Origin::kRelay; }
  uint64_t Id() const override { return id_; }

  // Loop thread.
  void OnRead();
  void OnDrained();
  void MarkConnected() { connected_ = true; }
  // Loop thread: called (once) when the stream is out of step; the session must end.
  void SetOnLost(std::function<void()> onLost) { onLost_ = std::move(onLost); }
  // Loop thread, at each keep-alive: true when a frame has been under way since the last
  // call without any head read since (a length that swallows the server's answers).
  bool Stuck();
  bool Connected() const { return connected_.load(); }
  bool SendInterlineRequest();
  // Loop thread (or the session's end): closes the socket and drops queued requests.
  void Close();
  // Waits for the running handler to return.
  void WaitIdle();

 private:
  void Enqueue(RelayedRequest&& r);
  void Drain();
  void Handle(const RelayedRequest& r);

  std::mutex writeMutex_;  // the relay write mutex: guards bev_ and serialises writes
  bufferevent* bev_;       // null once closed
  const uint64_t id_;
  std::atomic<bool> open_{true};
  std::atomic<bool> connected_{false};
  RelayFrameAssembler assembler_;  // loop thread only
  std::function<void()> onLost_;   // loop thread only
  bool midFrameAtCheck_ = false;   // loop thread only
  uint64_t headsAtCheck_ = 0;      // loop thread only

  std::mutex m_;  // guards the fields below
  std::condition_variable cv_;
  std::deque<RelayedRequest> queue_;
  size_t queuedBytes_ = 0;
  bool running_ = false;     // an executor job owns the queue
  bool readPaused_ = false;
  uint64_t drainGen_ = 0;    // counts "output drained" and the close, for waiting writers
};

bool RelayConnection::Write(const void* data, size_t length) {
  if (length == 0) return open_;
  if (!data) return false;
  const bool mayWait = !tl_onRelayLoop;  // the loop must never wait for itself
  for (;;) {
    uint64_t gen;
    {
      std::lock_guard<std::mutex> l(m_);
      gen = drainGen_;
    }
    {
      std::lock_guard<std::mutex> w(writeMutex_);
      if (!bev_) return false;
      if (!mayWait || evbuffer_get_length(bufferevent_get_output(bev_)) <= kHighWater)
        return bufferevent_write(bev_, data, length) == 0;
    }
    std::unique_lock<std::mutex> l(m_);
    cv_.wait_for(l, std::chrono::seconds(1), [&] { return !open_ || drainGen_ != gen; });
  }
}

bool RelayConnection::SendInterlineRequest() {
  uint8_t head[kServerHeadSize];
  ks::net::ServerHead::Make(SRV_INTERLINE_REQ, 0, ks::state::DeviceId()).Encode(head);
  std::lock_guard<std::mutex> w(writeMutex_);
  return bev_ && bufferevent_write(bev_, head, sizeof head) == 0;
}

void RelayConnection::OnRead() {
  bufferevent* bev = bev_;  // only the loop thread changes it
  if (!bev) return;
  evbuffer* in = bufferevent_get_input(bev);
  RelayFrameAssembler::Sink sink;
  sink.ack = [](const RelayAck& a) {
    KS_LOG_DEBUG(kModule, "server ack, opcode 0x%x status %d.", a.opcode, a.status);
  };
  sink.dropped = [](DropReason why, uint16_t opcode, uint16_t length) {
    KS_LOG_WARNING(kModule, "relayed frame dropped (%s), opcode 0x%x length %d.", DropReasonText(why), opcode,
                   length);
  };
  sink.request = [this](RelayedRequest&& r) {
    const uint16_t type = r.inner.type;
    if (type != SRV_RELAY_TO_PEER && type != SRV_INTERLINE_REQ && !ks::net::IsRegistered(type)) {
      KS_LOG_ERROR(kModule, "opcode error. %d", type);
      return;
    }
    Enqueue(std::move(r));
  };
  sink.lost = [](uint16_t length, uint16_t version, uint16_t opcode) {
    KS_LOG_WARNING(kModule, "relay stream out of step (length %d, version %d, opcode 0x%x): reconnecting.",
                   length, version, opcode);
  };
  try {
    while (open_ && !assembler_.Lost() && evbuffer_get_length(in) > 0) {
      evbuffer_iovec v;
      if (evbuffer_peek(in, -1, nullptr, &v, 1) < 1) break;
      KS_LOG_DEBUG(kModule, "read info lens %d", static_cast<int>(v.iov_len));
      assembler_.Feed(static_cast<const uint8_t*>(v.iov_base), v.iov_len, sink);
      evbuffer_drain(in, v.iov_len);
    }
  } catch (const std::bad_alloc&) {
    // The request being read is lost with the stream's framing: start over.
    KS_LOG_ERROR(kModule, "Allocate memory error.");
    assembler_ = RelayFrameAssembler();
    evbuffer_drain(in, evbuffer_get_length(in));
  }
  if (assembler_.Lost()) {
    evbuffer_drain(in, evbuffer_get_length(in));
    if (onLost_) {
      auto lost = std::move(onLost_);
      onLost_ = nullptr;
      lost();
    }
  }
}

bool RelayConnection::Stuck() {
  bool paused;
  {
    std::lock_guard<std::mutex> l(m_);
    paused = readPaused_;
  }
  const bool mid = !assembler_.Idle() && !paused;
  const bool stuck = mid && midFrameAtCheck_ && assembler_.Heads() == headsAtCheck_;
  midFrameAtCheck_ = mid;
  headsAtCheck_ = assembler_.Heads();
  return stuck;
}

void RelayConnection::Enqueue(RelayedRequest&& r) {
  bool start;
  {
    std::lock_guard<std::mutex> l(m_);
    if (!open_) return;
    queuedBytes_ += r.body.size();
    queue_.push_back(std::move(r));
    if (!readPaused_ && queuedBytes_ > kPauseReadAbove) {
      readPaused_ = true;
      bufferevent_disable(bev_, EV_READ);
    }
    start = !running_;
    running_ = true;
  }
  if (!start) return;
  auto self = shared_from_this();
  if (ks::net::DispatchJob(ks::net::GlobalPool(), [self] { self->Drain(); }, false) != 0) {
    KS_LOG_ERROR(kModule, "no worker for relayed requests; dropped.");
    std::lock_guard<std::mutex> l(m_);
    queue_.clear();
    queuedBytes_ = 0;
    running_ = false;
    cv_.notify_all();
  }
}

void RelayConnection::Drain() {
  for (;;) {
    RelayedRequest r;
    {
      std::lock_guard<std::mutex> l(m_);
      if (!open_ || queue_.empty()) {
        queue_.clear();
        queuedBytes_ = 0;
        running_ = false;
        cv_.notify_all();
        return;
      }
      r = std::move(queue_.front());
      queue_.pop_front();
      queuedBytes_ -= r.body.size();
      if (readPaused_ && queuedBytes_ < kResumeReadBelow) {
        readPaused_ = false;
        std::lock_guard<std::mutex> w(writeMutex_);
        if (bev_) bufferevent_enable(bev_, EV_READ);
      }
    }
    Handle(r);
  }
}

void RelayConnection::Handle(const RelayedRequest& r) {
  std::vector<uint8_t> reply;
  ks::net::Dispatch(r.inner, r.Body(), r.BodyLength(), this, &reply, -1, 0, ks::net::Origin::kRelay);
  if (reply.empty()) return;
  std::vector<uint8_t> out =
      WrapRelayed(SRV_RELAY_TO_PEER, ks::state::DeviceId(), r.idB.data(), reply.data(), reply.size());
  if (out.empty()) {
    KS_LOG_ERROR(kModule, "Reply of %zu bytes to type %d too long for the relay.", reply.size(), int(r.inner.type));
    return;
  }
  if (!Write(out.data(), out.size())) KS_LOG_ERROR(kModule, "Write return message error.");
}

void RelayConnection::OnDrained() {
  std::lock_guard<std::mutex> l(m_);
  ++drainGen_;
  cv_.notify_all();
}

void RelayConnection::Close() {
  bufferevent* bev;
  {
    std::lock_guard<std::mutex> w(writeMutex_);
    bev = bev_;
    bev_ = nullptr;
    open_ = false;
  }
  if (bev) {
    ::shutdown(bufferevent_getfd(bev), SHUT_RDWR);
    bufferevent_free(bev);  // closes the socket
  }
  std::lock_guard<std::mutex> l(m_);
  queue_.clear();
  queuedBytes_ = 0;
  ++drainGen_;
  cv_.notify_all();
}

void RelayConnection::WaitIdle() {
  std::unique_lock<std::mutex> l(m_);
  cv_.wait(l, [&] { return !running_; });
}

// One OS_RunEventClient: the loop's objects and callbacks.
struct RelaySession {
  event_base* base = nullptr;
  evdns_base* dns = nullptr;
  std::shared_ptr<RelayConnection> conn;
  event* keepAlive = nullptr;
  event* connectTimer = nullptr;
  event* stopWatch = nullptr;
  event* control = nullptr;
  int controlRead = -1;

  void End(const char* why) {
    if (conn) conn->Close();
    event_base_loopexit(base, nullptr);
    KS_LOG_INFO(kModule, "%s", why);
  }
};

void read_client_cb(bufferevent*, void* ctx) { static_cast<RelaySession*>(ctx)->conn->OnRead(); }

void write_client_cb(bufferevent*, void* ctx) { static_cast<RelaySession*>(ctx)->conn->OnDrained(); }

void ev_client_cb(bufferevent* bev, short what, void* ctx) {
  auto* s = static_cast<RelaySession*>(ctx);
  if (what & BEV_EVENT_CONNECTED) {
    s->conn->MarkConnected();
    if (s->connectTimer) event_del(s->connectTimer);
    if (s->conn->SendInterlineRequest())
      KS_LOG_INFO(kModule, "begain interline");
    else
      KS_LOG_ERROR(kModule, "Write message error.");
    return;
  }
  if (what & (BEV_EVENT_EOF | BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)) {
    if (int dnsError = bufferevent_socket_get_dns_error(bev))
      KS_LOG_ERROR(kModule, "interline host not resolved: %s", evutil_gai_strerror(dnsError));
    s->End("get an interline error, exits");
  }
}

void lost_cb(evutil_socket_t, short, void* ctx) {
  static_cast<RelaySession*>(ctx)->End("interline stream out of step, exits");
}

void time_cb(evutil_socket_t, short, void* ctx) {
  auto* s = static_cast<RelaySession*>(ctx);
  if (!s->conn->Connected()) return;
  if (s->conn->Stuck()) {
    // The server has answered keep-alives into a frame that never ends: start over.
    s->End("interline frame never completed, exits");
    return;
  }
  if (!s->conn->SendInterlineRequest()) KS_LOG_ERROR(kModule, "send interline req in timer err");
}

void connect_timeout_cb(evutil_socket_t, short, void* ctx) {
  auto* s = static_cast<RelaySession*>(ctx);
  if (!s->conn->Connected()) s->End("interline connect time out, exits");
}

void stop_watch_cb(evutil_socket_t, short, void* ctx) {
  auto* s = static_cast<RelaySession*>(ctx);
  if (ks::state::StopRequested()) s->End("agent stops, interline exits");
}

void control_cb(evutil_socket_t fd, short, void* ctx) {
  auto* s = static_cast<RelaySession*>(ctx);
  char buf[10] = {};
  ssize_t n;
  do {
    n = ::recv(fd, buf, 9, 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0 && std::strstr(buf, "exit")) s->End("interline told to exit");
}

void FreeSession(RelaySession& s) {
  {
    std::lock_guard<std::mutex> g(g_controlMutex);
    if (g_controlWrite >= 0) ::close(g_controlWrite);
    g_controlWrite = -1;
  }
  if (s.controlRead >= 0) ::close(s.controlRead);
  s.controlRead = -1;
  if (s.conn) {
    s.conn->Close();
    s.conn->WaitIdle();
    ks::net::NotifyChannelClosed(s.conn->Id());
    s.conn.reset();
  }
  for (event* e : {s.keepAlive, s.connectTimer, s.stopWatch, s.control})
    if (e) event_free(e);
  if (s.dns) evdns_base_free(s.dns, 0);
  if (s.base) event_base_free(s.base);
}

// libevent ends the whole process when a new event base cannot make its internal
// descriptors (its epoll set, signal socket pair and wake-up event). While the process is out
// of descriptors (a flood of connections), an attempt must fail instead: room for them is
// checked just before the base is made.
bool RoomForEventBase() {
  int fds[4] = {-1, -1, -1, -1};
  bool ok = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0;
  if (ok) ok = (fds[2] = ::epoll_create1(EPOLL_CLOEXEC)) >= 0;
  if (ok) ok = (fds[3] = ::eventfd(0, EFD_CLOEXEC)) >= 0;
  for (int fd : fds)
    if (fd >= 0) ::close(fd);
  return ok;
}

}  // namespace

int OS_RunEventClient(const char* host, uint16_t port) {
  ks::net::InitLibevent();
  RelaySession s;
  auto fail = [&](const char* text, int fd) {
    KS_LOG_ERROR(kModule, "%s", text);
    if (fd >= 0) ::close(fd);
    FreeSession(s);
    return -1;
  };
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return fail("creat interline sock error", -1);
  if (!RoomForEventBase()) return fail("event_base_new error: no descriptors left.", fd);
  s.base = event_base_new();
  if (!s.base) return fail("event_base_new error.", fd);
  // Name servers from the system; the resolver leaves the loop alone while idle.
  s.dns = evdns_base_new(s.base, EVDNS_BASE_INITIALIZE_NAMESERVERS | EVDNS_BASE_DISABLE_WHEN_INACTIVE);
  if (!s.dns) return fail("evdns_base_new error.", fd);
  int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return fail("set sock keep alive error", fd);
  bufferevent* bev = bufferevent_socket_new(
      s.base, fd, BEV_OPT_CLOSE_ON_FREE | BEV_OPT_THREADSAFE | BEV_OPT_DEFER_CALLBACKS | BEV_OPT_UNLOCK_CALLBACKS);
  if (!bev) return fail("bufferevent_socket_new error.", fd);
  s.conn = std::make_shared<RelayConnection>(bev);  // owns the socket from here
  bufferevent_setcb(bev, read_client_cb, write_client_cb, ev_client_cb, &s);
  // Ends the session from the loop, outside the read callback that found the junk.
  s.conn->SetOnLost([&s] {
    timeval now{0, 0};
    event_base_once(s.base, -1, EV_TIMEOUT, lost_cb, &s, &now);
  });
  bufferevent_setwatermark(bev, EV_WRITE, kHighWater / 2, 0);
  if (bufferevent_enable(bev, EV_READ | EV_WRITE) != 0) return fail("bufferevent_enable error.", -1);
  if (!host || bufferevent_socket_connect_hostname(bev, s.dns, AF_INET, host, port) != 0)
    return fail("bufferevent_socket_connect_hostname error.", -1);

  const RelayTimings t = Timings();
  s.keepAlive = event_new(s.base, -1, EV_PERSIST, time_cb, &s);
  s.connectTimer = evtimer_new(s.base, connect_timeout_cb, &s);
  s.stopWatch = event_new(s.base, -1, EV_PERSIST, stop_watch_cb, &s);
  if (!s.keepAlive || !s.connectTimer || !s.stopWatch) return fail("event_new error.", -1);
  timeval keepAlive = Millis(t.keepAliveMs), connectLimit = Millis(t.connectTimeoutMs), watch = Millis(kStopWatchMs);
  event_add(s.keepAlive, &keepAlive);
  event_add(s.connectTimer, &connectLimit);
  event_add(s.stopWatch, &watch);

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0)
    return fail("creat interline control pair error", -1);
  s.controlRead = pair[0];
  s.control = event_new(s.base, pair[0], EV_READ | EV_PERSIST, control_cb, &s);
  if (!s.control || event_add(s.control, nullptr) != 0) {
    ::close(pair[1]);
    return fail("event_new error.", -1);
  }
  {
    std::lock_guard<std::mutex> g(g_controlMutex);
    if (g_controlWrite >= 0) ::close(g_controlWrite);  // a session that did not end cleanly
    g_controlWrite = pair[1];
  }

  KS_LOG_INFO(kModule, "interline loop");
  tl_onRelayLoop = true;
  if (!ks::state::StopRequested()) event_base_dispatch(s.base);
  tl_onRelayLoop = false;
  KS_LOG_INFO(kModule, "interline exits");
  FreeSession(s);
  return 0;
}

bool RequestRelayExit() {
  std::lock_guard<std::mutex> g(g_controlMutex);
  if (g_controlWrite < 0) return false;
  ssize_t n;
  do {
    n = ::send(g_controlWrite, "exit ", 5, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n == 5;
}

bool RelayRunning() {
  std::lock_guard<std::mutex> g(g_controlMutex);
  return g_controlWrite >= 0;
}

void StartRecvInterLine(void*) {
  while (!ks::state::StopRequested()) {
    ServerRecord server = CurrentServer();
    if (LogOnResult() == 0 && !server.host.empty()) {
      KS_LOG_INFO(kModule, "begain run interline.");
      OS_RunEventClient(server.host.substr(0, 31).c_str(), server.port);
      KS_LOG_INFO(kModule, "end run interline.");
    }
    if (ks::state::SleepUnlessStopped(Timings().retryMs)) break;
  }
}

}  // namespace ks::relay
