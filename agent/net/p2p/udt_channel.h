// A Channel over one connected UDT peer socket: each Write sends one whole message, in
// order, with no time-to-live. Write blocks while UDT's send buffer is full and gives up
// (false) once the channel is marked closed, the connection breaks or the stop flag is
// raised. Thread-safe: UDT sends whole messages one at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "agent/net/msg/msg.h"

namespace ks::p2p {

class UdtChannel : public net::Channel {
 public:
  explicit UdtChannel(int udtSocket);
  bool Write(const void* data, size_t length) override;
  bool IsOpen() const override;
  net::Origin origin() const override { return net::Origin::kP2P; }
  uint64_t Id() const override { return id_; }
  int udtSocket() const { return socket_; }
  // Further writes fail; the socket itself is closed by its owner.
  void MarkClosed() { closed_.store(true); }

 private:
  const int socket_;
  const uint64_t id_;
  std::atomic<bool> closed_{false};
};

}  // namespace ks::p2p
