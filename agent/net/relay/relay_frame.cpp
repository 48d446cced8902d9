#include "agent/net/relay/relay_frame.h"

#include <algorithm>
#include <cstring>

#include "agent/net/proto/proto.h"
#include "agent/net/socket/socket.h"

namespace ks::relay {

using ks::net::GetU16;

const char* DropReasonText(DropReason r) {
  switch (r) {
    case DropReason::kOtherOpcode: return "not a relayed request";
    case DropReason::kShortBody: return "body too short";
    case DropReason::kInnerLengthMismatch: return "inner length mismatch";
  }
  return "?";
}

namespace {

bool AcknowledgedOpcode(uint16_t opcode) {
  return opcode == SRV_INTERLINE_REQ || opcode == SRV_RELAY_TO_PEER || opcode == SRV_RELAY_FILE_DATA;
}

}  // namespace

void RelayFrameAssembler::Feed(const uint8_t* data, size_t length, const Sink& sink) {
  while (length > 0 && !lost_) {
    switch (phase_) {
      case Phase::kHead: {
        size_t n = std::min(headWanted_ - headFill_, length);
        std::memcpy(head_ + headFill_, data, n);
        headFill_ += n, data += n, length -= n;
        if (headFill_ < headWanted_) return;
        if (headWanted_ == kAckSize) {
          if (GetU16(head_) < kServerHeadSize) {
            RelayAck ack{GetU16(head_), GetU16(head_ + 4), GetU16(head_ + 6)};
            if (!AcknowledgedOpcode(ack.opcode)) {
              lost_ = true;
              if (sink.lost) sink.lost(ack.length, GetU16(head_ + 2), ack.opcode);
              return;
            }
            ++heads_;
            headFill_ = 0;
            if (sink.ack) sink.ack(ack);
            continue;
          }
          headWanted_ = kServerHeadSize;
          continue;
        }
        HeadComplete(sink);
        break;
      }
      case Phase::kBody: {
        size_t n = std::min(remaining_, length);
        current_.body.insert(current_.body.end(), data, data + n);
        remaining_ -= n, data += n, length -= n;
        if (remaining_ == 0) BodyComplete(sink);
        break;
      }
      case Phase::kSkip: {
        size_t n = std::min(remaining_, length);
        remaining_ -= n, data += n, length -= n;
        if (remaining_ == 0) phase_ = Phase::kHead;
        break;
      }
    }
  }
}

void RelayFrameAssembler::HeadComplete(const Sink& sink) {
  frameLength_ = GetU16(head_);
  opcode_ = GetU16(head_ + 4);
  const uint16_t version = GetU16(head_ + 2);
  if (version != ks::proto::kProtocolVersion) {
    lost_ = true;
    if (sink.lost) sink.lost(frameLength_, version, opcode_);
    return;
  }
  ++heads_;
  const size_t bodyLength = frameLength_ - kServerHeadSize;
  headFill_ = 0;
  headWanted_ = kAckSize;
  DropReason reason;
  if (opcode_ != SRV_RELAY_TO_PEER) {
    reason = DropReason::kOtherOpcode;
  } else if (bodyLength < kMinRelayedBody) {
    reason = DropReason::kShortBody;
  } else {
    current_ = RelayedRequest{};
    current_.frameLength = frameLength_;
    std::memcpy(current_.idA.data(), head_ + 6, kIdSize);
    current_.body.reserve(bodyLength + 1);
    remaining_ = bodyLength;
    phase_ = Phase::kBody;
    return;
  }
  if (sink.dropped) sink.dropped(reason, opcode_, frameLength_);
  remaining_ = bodyLength;
  phase_ = remaining_ ? Phase::kSkip : Phase::kHead;
}

void RelayFrameAssembler::BodyComplete(const Sink& sink) {
  phase_ = Phase::kHead;
  RelayedRequest r = std::move(current_);
  current_ = RelayedRequest{};
  uint8_t* body = r.body.data();
  const size_t bodyLength = r.body.size();
  r.inner = ks::net::DecodeMsgHead(body + kIdSize);
  if (r.inner.length != bodyLength - kIdSize) {
    if (sink.dropped) sink.dropped(DropReason::kInnerLengthMismatch, opcode_, frameLength_);
    return;
  }
  std::memcpy(r.idB.data(), body, kIdSize);
  std::memcpy(body, r.idA.data(), kIdSize);
  r.body.push_back(0);
  if (sink.request) sink.request(std::move(r));
}

std::vector<uint8_t> MakeRelayHead(uint16_t opcode, const std::string& deviceId, const uint8_t* peerId,
                                   size_t innerLength) {
  if (innerLength > kMaxFrameLength - kRelayHeadSize) return {};
  std::vector<uint8_t> out(kRelayHeadSize);
  ks::net::ServerHead::Make(opcode, kIdSize + innerLength, deviceId).Encode(out.data());
  if (peerId) std::memcpy(out.data() + kServerHeadSize, peerId, kIdSize);
  return out;
}

std::vector<uint8_t> WrapRelayed(uint16_t opcode, const std::string& deviceId, const uint8_t* peerId,
                                 const uint8_t* inner, size_t innerLength) {
  std::vector<uint8_t> out = MakeRelayHead(opcode, deviceId, peerId, innerLength);
  if (out.empty()) return out;
  if (innerLength) out.insert(out.end(), inner, inner + innerLength);
  return out;
}

bool ParsePollBody(const uint8_t* body, size_t length, ks::net::MsgHead* head, const uint8_t** payload,
                   size_t* payloadLength) {
  if (!body || length < 8) return false;
  ks::net::MsgHead h = ks::net::DecodeMsgHead(body);
  if (h.length != length) return false;
  *head = h;
  *payloadLength = length - 8;
  *payload = length > 8 ? body + 8 : nullptr;
  return true;
}

}  // namespace ks::relay
