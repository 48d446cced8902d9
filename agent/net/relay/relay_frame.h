// The wire side of the relay, free of sockets: cutting the relay connection's byte stream
// into the server's frames, the RelayHead that wraps what the agent sends through the
// server, and the relay poll's answer body.
//
// Frames the server sends on the relay connection (all numbers big-endian):
//   acknowledgement  8 bytes: u16 length (< 70), u16, u16 opcode acknowledged, u16 status
//   ServerHead frame u16 length (>= 70, head included), u16 version, u16 opcode,
//                    char[64] id A, then length - 70 body bytes
// A relayed request is a ServerHead frame with opcode SRV_RELAY_TO_PEER whose body is
// char[64] id B, the client's MsgHead and its payload: the MsgHead's length must equal
// the body length - 64, and the body must hold at least 72 bytes.
//
// RelayFrameAssembler: Feed() takes bytes in pieces of any size (it always takes all of
// them) and reports, in stream order, every acknowledgement, every relayed request and
// every frame it drops. Once 8 bytes are buffered the length decides what comes: below 70
// an acknowledgement of exactly 8 bytes; otherwise a frame of that many bytes. Frames with
// another opcode, bodies shorter than 72 bytes and inner lengths that disagree are skipped
// whole, so the stream stays in step. Partial heads and bodies are kept between calls.
// What cannot be a frame of the server's means the stream is out of step (junk, or a head
// cut short and continued by the next frame): an acknowledgement of an opcode other than
// 0x1008, 0x1009 and 0x100B, or a head whose version is not 370. The assembler then reports
// `lost` once, reads nothing more (Lost() is true) and the connection must start over.
//
// RelayHead (134 bytes): ServerHead {134 + inner length, 370, opcode, own device id}, then
// char[64] peer id; the inner message follows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent/net/msg/msg.h"

namespace ks::relay {

constexpr size_t kIdSize = 64;
constexpr size_t kServerHeadSize = 70;
constexpr size_t kAckSize = 8;
constexpr size_t kRelayHeadSize = kServerHeadSize + kIdSize;  // 134
constexpr size_t kMinRelayedBody = kIdSize + 8;               // id B + client's MsgHead
constexpr size_t kMaxFrameLength = 65535;

using PeerId = std::array<uint8_t, kIdSize>;

struct RelayAck {
  uint16_t length = 0;
  uint16_t opcode = 0;  // the opcode acknowledged (offset 4)
  uint16_t status = 0;  // offset 6
};

struct RelayedRequest {
  uint16_t frameLength = 0;
  PeerId idA{};          // from the head's device-id field
  PeerId idB{};          // the first 64 body bytes as they came
  ks::net::MsgHead inner;  // the client's MsgHead, host order
  // What the handler gets: id A, the client's MsgHead as it came (big-endian), its
  // payload; one NUL is kept after it.
  std::vector<uint8_t> body;

  const uint8_t* Body() const { return body.empty() ? nullptr : body.data(); }
  size_t BodyLength() const { return body.empty() ? 0 : body.size() - 1; }
};

enum class DropReason {
  kOtherOpcode,          // a ServerHead frame that is no relayed request
  kShortBody,            // a relayed request whose body is below 72 bytes
  kInnerLengthMismatch,  // the client's MsgHead disagrees with the body length
};
const char* DropReasonText(DropReason r);

class RelayFrameAssembler {
 public:
  struct Sink {
    std::function<void(const RelayAck&)> ack;
    std::function<void(RelayedRequest&&)> request;
    std::function<void(DropReason, uint16_t opcode, uint16_t length)> dropped;
    std::function<void(uint16_t length, uint16_t version, uint16_t opcode)> lost;
  };

  void Feed(const uint8_t* data, size_t length, const Sink& sink);
  // True between frames (nothing partial held).
  bool Idle() const { return phase_ == Phase::kHead && headFill_ == 0; }
  bool Lost() const { return lost_; }
  // Heads read so far (acknowledgements and frames): tells a stream that moves from one
  // that hangs inside a frame.
  uint64_t Heads() const { return heads_; }

 private:
  enum class Phase { kHead, kBody, kSkip };

  void HeadComplete(const Sink& sink);
  void BodyComplete(const Sink& sink);

  Phase phase_ = Phase::kHead;
  uint8_t head_[kServerHeadSize] = {};
  size_t headFill_ = 0;
  size_t headWanted_ = kAckSize;  // 8 until the length is known, then 8 or 70
  uint16_t frameLength_ = 0;
  uint16_t opcode_ = 0;
  size_t remaining_ = 0;  // body bytes still to come (kBody, kSkip)
  bool lost_ = false;
  uint64_t heads_ = 0;
  RelayedRequest current_;
};

// A RelayHead for an inner message of innerLength bytes: 134 bytes. Empty when the whole
// would not fit the u16 length.
std::vector<uint8_t> MakeRelayHead(uint16_t opcode, const std::string& deviceId, const uint8_t* peerId,
                                   size_t innerLength);
// RelayHead followed by the inner message; empty when it would pass 65535 bytes.
std::vector<uint8_t> WrapRelayed(uint16_t opcode, const std::string& deviceId, const uint8_t* peerId,
                                 const uint8_t* inner, size_t innerLength);

// The relay poll's answer body: one inner message (MsgHead + payload). False when the body
// is shorter than 8 bytes or the MsgHead's length differs from the body length.
bool ParsePollBody(const uint8_t* body, size_t length, ks::net::MsgHead* head, const uint8_t** payload,
                   size_t* payloadLength);

}  // namespace ks::relay
