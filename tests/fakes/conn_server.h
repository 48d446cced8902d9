// A loopback TCP listener that serves each accepted connection on its own thread. The fakes
// build their roles on it. Stop() (also run by the destructor) wakes every wait through the
// Canceller, shuts every connection down and joins every thread it started.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/net_io.h"

namespace ks::fake {

class ConnServer {
 public:
  // One accepted connection. Sends from several threads are serialised by Send().
  struct Conn {
    int id = 0;  // 1, 2, ... in accept order
    UniqueFd fd;
    std::mutex write_mu;  // one sender at a time
    std::mutex fd_mu;     // guards closing against Shutdown() (never held while sending)
    std::atomic<bool> done{false};
    std::thread thread;

    // kClosed once the serving thread has ended or the connection was shut.
    Io Send(const std::string& bytes, int timeout_ms, const Canceller* cancel);
    // Sends in pieces of `piece` bytes (0 = whole) with `gap_ms` between them, under one lock.
    Io SendPieces(const std::string& bytes, size_t piece, int gap_ms, int timeout_ms,
                  const Canceller* cancel);
    // Shuts both directions down; the serving thread sees the end and returns.
    void Shutdown();
  };
  using Handler = std::function<void(const std::shared_ptr<Conn>&)>;

  // Listens on ip:0 and starts accepting; `serve` runs once per connection on its thread.
  ConnServer(const std::string& ip, Handler serve);
  ~ConnServer();
  ConnServer(const ConnServer&) = delete;
  ConnServer& operator=(const ConnServer&) = delete;

  void Stop();
  uint16_t port() const { return port_; }
  const Canceller* cancel() const { return &cancel_; }
  int accepted() const { return accepted_.load(); }

 private:
  void AcceptLoop();
  void ReapFinished();

  Handler serve_;
  Canceller cancel_;
  UniqueFd listen_;
  uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  std::mutex mu_;
  std::vector<std::shared_ptr<Conn>> conns_;
  std::thread accept_thread_;
  std::once_flag stopped_;
};

}  // namespace ks::fake
