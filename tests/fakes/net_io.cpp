#include "tests/fakes/net_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>
#include <thread>

namespace ks::fake {

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Canceller::Canceller() {
  if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
}

Canceller::~Canceller() {
  ::close(fds_[0]);
  ::close(fds_[1]);
}

void Canceller::Cancel() {
  if (cancelled_.exchange(true)) return;
  char c = 'x';
  ssize_t r;
  do {
    r = ::write(fds_[1], &c, 1);
  } while (r < 0 && errno == EINTR);
}

const char* IoName(Io io) {
  switch (io) {
    case Io::kOk: return "ok";
    case Io::kTimeout: return "timeout";
    case Io::kClosed: return "closed";
    case Io::kError: return "error";
    case Io::kCancelled: return "cancelled";
  }
  return "?";
}

namespace {

// Waits for `events` on fd (and for the canceller). Negative timeout waits without end.
Io WaitFor(int fd, short events, int timeout_ms, const Canceller* cancel) {
  pollfd p[2] = {{fd, events, 0}, {cancel ? cancel->fd() : -1, POLLIN, 0}};
  for (;;) {
    if (cancel && cancel->cancelled()) return Io::kCancelled;
    int r = ::poll(p, cancel ? 2 : 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;  // a signal is not worth a precise remaining time
    if (r < 0) return Io::kError;
    if (r == 0) return Io::kTimeout;
    if (cancel && (p[1].revents & POLLIN)) return Io::kCancelled;
    return Io::kOk;  // readiness, hang-up and errors are all seen by the next call
  }
}

sockaddr_in Ipv4(const std::string& ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (::inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1)
    throw std::invalid_argument("not an IPv4 address: " + ip);
  return a;
}

// Tests run in parallel processes, and between choosing a port and the agent binding it
// another process may take it: a port the kernel hands out for bind(0) is an ephemeral one,
// which any client's connect may pick next. So ports are taken below the ephemeral range,
// and each is claimed for the life of this process by a lock on a file named after it; no
// other test process uses a claimed port, and no connect picks one by itself.
bool Bindable(uint16_t port, int type) {
  UniqueFd s(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!s) return false;
  // The wildcard address, as the agent binds: a port taken on another loopback address
  // (say a client's 127.0.0.2:P in TIME_WAIT) is free for 127.0.0.1 but not for the agent.
  sockaddr_in a = Ipv4("0.0.0.0", port);
  return ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

int EphemeralLow() {
  int low = 32768, high = 60999;
  if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (std::fscanf(f, "%d %d", &low, &high) != 2) low = 32768;
    std::fclose(f);
  }
  return low;
}

uint16_t FreePort(int type) {
  static std::mutex mutex;
  static std::vector<int> claims;  // lock files held until the process ends
  static unsigned next = 0;
  std::lock_guard<std::mutex> lock(mutex);
  const int low = 10000;
  const int high = std::max(low + 1000, EphemeralLow());
  const std::string dir = "/tmp/kestyl-test-ports";
  ::mkdir(dir.c_str(), 01777);
  const unsigned span = static_cast<unsigned>(high - low);
  if (next == 0) next = static_cast<unsigned>(::getpid()) * 7919u + 1;
  for (unsigned tries = 0; tries < span; ++tries) {
    uint16_t port = static_cast<uint16_t>(low + (next++ % span));
    int fd = ::open((dir + "/" + std::to_string(port)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      continue;
    }
    if (Bindable(port, SOCK_STREAM) && Bindable(port, SOCK_DGRAM)) {
      claims.push_back(fd);
      return port;
    }
    ::close(fd);
  }
  (void)type;
  throw std::runtime_error("no free port below the ephemeral range");
}

}  // namespace

UniqueFd ListenTcp(const std::string& ip, uint16_t* port) {
  UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) throw std::runtime_error("socket failed");
  int one = 1;
  ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = Ipv4(ip, *port);
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s.get(), 64) != 0)
    throw std::runtime_error("cannot listen on " + ip);
  socklen_t len = sizeof a;
  ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return s;
}

UniqueFd AcceptConn(int listen_fd, int timeout_ms, const Canceller* cancel, Io* io) {
  Io w = WaitFor(listen_fd, POLLIN, timeout_ms, cancel);
  if (w != Io::kOk) {
    if (io) *io = w;
    return UniqueFd();
  }
  int fd;
  do {
    fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (io) *io = fd < 0 ? Io::kError : Io::kOk;
  return UniqueFd(fd);
}

UniqueFd ConnectTcp(const std::string& ip, uint16_t port, int timeout_ms,
                    const std::string& bind_ip, Io* io) {
  auto fail = [io](Io why) {
    if (io) *io = why;
    return UniqueFd();
  };
  UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s) return fail(Io::kError);
  if (!bind_ip.empty()) {
    // Lets a later listener on the same port number bind while this one lingers in TIME_WAIT.
    int one = 1;
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local = Ipv4(bind_ip, 0);
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
      return fail(Io::kError);
  }
  sockaddr_in a = Ipv4(ip, port);
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (errno != EINPROGRESS) return fail(Io::kClosed);
    Io w = WaitFor(s.get(), POLLOUT, timeout_ms, nullptr);
    if (w != Io::kOk) return fail(w);
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) return fail(Io::kClosed);
  }
  int flags = ::fcntl(s.get(), F_GETFL);
  ::fcntl(s.get(), F_SETFL, flags & ~O_NONBLOCK);
  int one = 1;
  ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (io) *io = Io::kOk;
  return s;
}

Io SendAll(int fd, const void* data, size_t n, int timeout_ms, const Canceller* cancel) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    Io w = WaitFor(fd, POLLOUT, timeout_ms, cancel);
    if (w != Io::kOk) return w;
    ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return (errno == EPIPE || errno == ECONNRESET) ? Io::kClosed : Io::kError;
    }
    p += r;
    n -= static_cast<size_t>(r);
  }
  return Io::kOk;
}

Io SendAll(int fd, const std::string& bytes, int timeout_ms, const Canceller* cancel) {
  return SendAll(fd, bytes.data(), bytes.size(), timeout_ms, cancel);
}

Io RecvExact(int fd, void* out, size_t n, int idle_timeout_ms, const Canceller* cancel,
             size_t* got) {
  char* p = static_cast<char*>(out);
  size_t have = 0;
  Io result = Io::kOk;
  while (have < n) {
    Io w = WaitFor(fd, POLLIN, idle_timeout_ms, cancel);
    if (w != Io::kOk) {
      result = w;
      break;
    }
    ssize_t r = ::recv(fd, p + have, n - have, MSG_DONTWAIT);
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      result = errno == ECONNRESET ? Io::kClosed : Io::kError;
      break;
    }
    if (r == 0) {
      result = Io::kClosed;
      break;
    }
    have += static_cast<size_t>(r);
  }
  if (got) *got = have;
  return result;
}

Io RecvExact(int fd, std::string* out, size_t n, int idle_timeout_ms, const Canceller* cancel) {
  out->assign(n, '\0');
  size_t got = 0;
  Io io = RecvExact(fd, out->data(), n, idle_timeout_ms, cancel, &got);
  out->resize(got);
  return io;
}

Io WaitPeerClose(int fd, int timeout_ms, const Canceller* cancel) {
  char buf[4096];
  for (;;) {
    Io w = WaitFor(fd, POLLIN, timeout_ms, cancel);
    if (w != Io::kOk) return w;
    ssize_t r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (r == 0) return Io::kClosed;
    if (r < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return Io::kClosed;
  }
}

bool Readable(int fd, int timeout_ms) {
  return WaitFor(fd, POLLIN, timeout_ms, nullptr) == Io::kOk;
}

bool SleepCancellable(int ms, const Canceller* cancel) {
  if (!cancel) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return false;
  }
  return WaitFor(cancel->fd(), POLLIN, ms, cancel) != Io::kTimeout;
}

uint16_t FreeTcpPort() { return FreePort(SOCK_STREAM); }
uint16_t FreeUdpPort() { return FreePort(SOCK_DGRAM); }

}  // namespace ks::fake
