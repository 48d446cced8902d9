// A blocking message-protocol client for in-process server tests: whole messages out,
// whole messages in (by their length), with time-outs.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/net/msg/msg.h"

namespace ks::test {

class MiniClient {
 public:
  // rcvbuf > 0 shrinks the receive buffer (a slow client's window).
  explicit MiniClient(uint16_t port, int rcvbuf = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~MiniClient() { Close(); }
  MiniClient(const MiniClient&) = delete;
  MiniClient& operator=(const MiniClient&) = delete;

  bool connected() const { return connected_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool Send(uint16_t type, uint32_t word, const std::vector<uint8_t>& body = {}) {
    std::vector<uint8_t> m(8 + body.size());
    ks::net::EncodeMsgHead({static_cast<uint16_t>(m.size()), type, word}, m.data());
    std::copy(body.begin(), body.end(), m.begin() + 8);
    size_t sent = 0;
    while (sent < m.size()) {
      ssize_t n = ::send(fd_, m.data() + sent, m.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // One whole message (head included); false on close, error or time-out.
  bool Recv(std::vector<uint8_t>& message, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    uint8_t head[8];
    if (!ReadExact(head, 8, timeout)) return false;
    ks::net::MsgHead h = ks::net::DecodeMsgHead(head);
    message.assign(head, head + 8);
    if (h.length <= 8) return true;
    message.resize(h.length);
    return ReadExact(message.data() + 8, h.length - 8, timeout);
  }

 private:
  bool ReadExact(uint8_t* p, size_t n, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t got = 0;
    while (got < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd pf{fd_, POLLIN, 0};
      if (::poll(&pf, 1, static_cast<int>(left.count())) <= 0) continue;
      ssize_t r = ::recv(fd_, p + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }

  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace ks::test
