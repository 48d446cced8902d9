// Small raw-socket peers for the fakes' own tests: a one-connection scripted server and
// message read/write helpers that share no code with the fakes' protocol logic.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "tests/fakes/net_io.h"
#include "tests/fakes/wire.h"

namespace ks::fake::selftest {

// Listens on 127.0.0.1:0; runs `script` with the first accepted connection on its own
// thread. The destructor cancels waits and joins.
class RawServer {
 public:
  explicit RawServer(std::function<void(int fd)> script) : script_(std::move(script)) {
    listen_ = ListenTcp("127.0.0.1", &port_);
    thread_ = std::thread([this] {
      Io io;
      UniqueFd fd = AcceptConn(listen_.get(), 5000, &cancel_, &io);
      if (fd) {
        script_(fd.get());
        // Hold the connection until the client is done so that nothing it still reads is
        // lost to a reset.
        WaitPeerClose(fd.get(), 2000, &cancel_);
      }
    });
  }
  ~RawServer() {
    cancel_.Cancel();
    thread_.join();
  }
  uint16_t port() const { return port_; }
  const Canceller* cancel() const { return &cancel_; }

 private:
  std::function<void(int)> script_;
  Canceller cancel_;
  UniqueFd listen_;
  uint16_t port_ = 0;
  std::thread thread_;
};

inline std::string Recv(int fd, size_t n, int timeout_ms = 3000) {
  std::string out;
  RecvExact(fd, &out, n, timeout_ms);
  return out;
}

// One MsgHead-framed message, read with plain byte arithmetic.
inline bool RecvMsg(int fd, uint16_t* type, uint32_t* word, std::string* body,
                    int timeout_ms = 3000) {
  std::string head = Recv(fd, 8, timeout_ms);
  if (head.size() != 8) return false;
  size_t len = (static_cast<uint8_t>(head[0]) << 8) | static_cast<uint8_t>(head[1]);
  *type =
      static_cast<uint16_t>((static_cast<uint8_t>(head[2]) << 8) | static_cast<uint8_t>(head[3]));
  *word = (static_cast<uint32_t>(static_cast<uint8_t>(head[4])) << 24) |
          (static_cast<uint8_t>(head[5]) << 16) | (static_cast<uint8_t>(head[6]) << 8) |
          static_cast<uint8_t>(head[7]);
  if (len < 8) return false;
  *body = Recv(fd, len - 8, timeout_ms);
  return body->size() == len - 8;
}

inline void Write(int fd, const std::string& bytes) { SendAll(fd, bytes, 3000); }

// Big-endian numbers written by hand, independent of the fakes' codec.
inline std::string Be16(uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }
inline std::string Be32(uint32_t v) {
  return Be16(static_cast<uint16_t>(v >> 16)) + Be16(static_cast<uint16_t>(v));
}
inline std::string Head(uint16_t length, uint16_t type, uint32_t word) {
  return Be16(length) + Be16(type) + Be32(word);
}
inline std::string Field(const std::string& text, size_t size) {
  std::string f = text.substr(0, size);
  f.resize(size, '\0');
  return f;
}

}  // namespace ks::fake::selftest
