// Blocking socket helpers for the fakes. Every wait has a time-out and may also watch a
// Canceller, so that a fake's destructor can wake and join every thread it started. Every
// descriptor is close-on-exec (the agent started by a test must not inherit them) and every
// send uses MSG_NOSIGNAL.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ks::fake {

// Owns one descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.Release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A pipe that becomes readable once Cancel() is called; waits that watch it end at once.
class Canceller {
 public:
  Canceller();
  ~Canceller();
  Canceller(const Canceller&) = delete;
  Canceller& operator=(const Canceller&) = delete;
  void Cancel();
  bool cancelled() const { return cancelled_.load(); }
  int fd() const { return fds_[0]; }

 private:
  int fds_[2] = {-1, -1};
  std::atomic<bool> cancelled_{false};
};

enum class Io { kOk, kTimeout, kClosed, kError, kCancelled };
const char* IoName(Io io);

// Listening TCP socket on ip:*port (0 = any free port; the bound port is written back).
UniqueFd ListenTcp(const std::string& ip, uint16_t* port);
// Waits up to timeout_ms for a connection.
UniqueFd AcceptConn(int listen_fd, int timeout_ms, const Canceller* cancel, Io* io);
// Connects with a time-out; bind_ip (when not empty) is the local address to send from.
UniqueFd ConnectTcp(const std::string& ip, uint16_t port, int timeout_ms,
                    const std::string& bind_ip = "", Io* io = nullptr);

// Sends every byte; timeout_ms bounds each wait for buffer space.
Io SendAll(int fd, const void* data, size_t n, int timeout_ms, const Canceller* cancel = nullptr);
Io SendAll(int fd, const std::string& bytes, int timeout_ms, const Canceller* cancel = nullptr);
// Reads exactly n bytes; idle_timeout_ms bounds each wait for more data (as SO_RCVTIMEO
// does). *got (optional) receives the number of bytes read.
Io RecvExact(int fd, void* out, size_t n, int idle_timeout_ms, const Canceller* cancel = nullptr,
             size_t* got = nullptr);
Io RecvExact(int fd, std::string* out, size_t n, int idle_timeout_ms,
             const Canceller* cancel = nullptr);
// Waits until the peer closes its side (bytes that arrive meanwhile are dropped).
Io WaitPeerClose(int fd, int timeout_ms, const Canceller* cancel = nullptr);
// True when something arrived (or the peer closed) within timeout_ms.
bool Readable(int fd, int timeout_ms);

// Sleeps up to ms; true when the Canceller fired first.
bool SleepCancellable(int ms, const Canceller* cancel);

// A port nobody uses right now on any address (TCP and UDP), below the ephemeral range and
// claimed for this process: no other test process and no client's connect takes it.
uint16_t FreeTcpPort();
uint16_t FreeUdpPort();

}  // namespace ks::fake
