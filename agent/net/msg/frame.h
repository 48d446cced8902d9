// Cutting a byte stream into messages (MsgHead + body), independent of any socket.
//
// Feed() takes bytes in pieces of any size and hands every complete message to the sink, in
// order. A head whose length is 8 or below gives a message with no body (the next message
// starts right after those 8 bytes). Every head's type is checked against the accept
// predicate as soon as the head is complete: a refused type ends the stream (Feed returns
// false, nothing after that head is consumed, and the caller closes the connection).
//
// The body of a Frame is kept with one extra NUL after it; Body() is null when there is none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "agent/net/msg/msg.h"

namespace ks::net {

struct Frame {
  MsgHead head;
  std::vector<uint8_t> body;  // body bytes then one NUL; empty when there is no body

  const uint8_t* Body() const { return body.empty() ? nullptr : body.data(); }
  size_t BodyLength() const { return body.empty() ? 0 : body.size() - 1; }
};

// The local message server's rule: registered types, plus the relay's 0x1008 and 0x1009,
// which are read whole and then refused by Dispatch without closing the connection.
bool AcceptedOnLocalServer(uint16_t type);

class FrameAssembler {
 public:
  using Accept = bool (*)(uint16_t type);
  using Sink = std::function<void(Frame&&)>;

  explicit FrameAssembler(Accept accept = &AcceptedOnLocalServer) : accept_(accept) {}

  // False when a refused type was seen: the stream must be closed. *consumed (optional)
  // receives the number of bytes taken.
  bool Feed(const uint8_t* data, size_t length, const Sink& sink, size_t* consumed = nullptr);

  // True between messages (no partial head or body held).
  bool Idle() const { return headFill_ == 0 && !inBody_; }

 private:
  Accept accept_;
  uint8_t headBytes_[8] = {};
  size_t headFill_ = 0;
  bool inBody_ = false;
  Frame current_;
  size_t bodyFill_ = 0;
};

}  // namespace ks::net
