// Stands in for the desktop program's confirmation listener: listens on 127.0.0.1 (port
// 0), records each MSG_SHOW_DEVICE_LOGIN_ASK push and answers as scripted.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/net/msg/msg.h"

namespace ks::test {

class DesktopStub {
 public:
  enum class Mode { kAnswer, kSilent, kWrongHead };

  DesktopStub() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd_, 8), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~DesktopStub() { Shutdown(); }
  // Stops listening: connections to the port are refused from now on.
  void Shutdown() {
    if (stop_.exchange(true)) return;
    thread_.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }
  std::vector<std::vector<uint8_t>> asks() {
    std::lock_guard<std::mutex> g(mutex_);
    return asks_;
  }
  std::atomic<Mode> mode{Mode::kAnswer};
  std::atomic<uint32_t> verdict{0};
  std::function<void()> onAsk;  // runs once the push is read, before the answer

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      std::vector<uint8_t> ask(264);
      size_t got = 0;
      while (got < ask.size()) {
        ssize_t n = ::recv(c, ask.data() + got, ask.size() - got, 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      ask.resize(got);
      {
        std::lock_guard<std::mutex> g(mutex_);
        asks_.push_back(ask);
      }
      if (onAsk) onAsk();
      uint8_t answer[12] = {};
      ks::net::EncodeMsgHead({12, mode == Mode::kWrongHead ? uint16_t(0x500C) : uint16_t(0x500D), 1}, answer);
      ks::net::PutU32(answer + 8, verdict);
      if (mode == Mode::kSilent) {
        // Holds the connection open until the agent gives up.
        char b;
        while (!stop_ && ::recv(c, &b, 1, MSG_DONTWAIT) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      } else {
        ::send(c, answer, sizeof answer, MSG_NOSIGNAL);
      }
      ::close(c);
    }
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::vector<uint8_t>> asks_;
};

}  // namespace ks::test
