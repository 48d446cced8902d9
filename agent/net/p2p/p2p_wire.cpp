#include "agent/net/p2p/p2p_wire.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "agent/net/proto/proto.h"

namespace ks::p2p {
namespace {

using net::GetU16;
using net::PutU16;

// Addresses travel in network order and are kept that way: copy the bytes as they are.
uint32_t RawAddr(const uint8_t* p) {
  uint32_t a;
  std::memcpy(&a, p, 4);
  return a;
}
void PutRawAddr(uint8_t* p, uint32_t a) { std::memcpy(p, &a, 4); }

void PutHead(uint8_t* p, uint16_t length, uint16_t type) {
  PutU16(p, length);
  PutU16(p + 2, proto::kProtocolVersion);
  PutU16(p + 4, type);
}

HolePunchInfo DecodePunch(const uint8_t* p) {
  HolePunchInfo i;
  i.kind = GetU16(p);
  i.addr1 = RawAddr(p + 2);
  i.port1 = GetU16(p + 6);
  i.addr2 = RawAddr(p + 8);
  i.port2 = GetU16(p + 12);
  std::memcpy(i.opaque.data(), p + 14, 4);
  for (size_t k = 0; k < 4; ++k) i.opaque16[k] = GetU16(p + 18 + 2 * k);
  return i;
}

HolePunchAck DecodeAck(const uint8_t* p) {
  HolePunchAck a;
  a.kind = GetU16(p);
  a.addr1 = RawAddr(p + 2);
  a.port1 = GetU16(p + 6);
  a.addr2 = RawAddr(p + 8);
  a.port2 = GetU16(p + 12);
  return a;
}

}  // namespace

ParsedDatagram ParseP2PDatagram(const uint8_t* data, size_t length) {
  ParsedDatagram d;
  if (!data || length < kP2PHeadSize) return d;
  d.type = GetU16(data + 4);
  if (d.type == kTypeHolePunch) {
    if (length < kHolePunchMinDatagram) {
      d.kind = DatagramKind::kShortPunch;
    } else {
      d.kind = DatagramKind::kPunch;
      d.punch = DecodePunch(data + kP2PHeadSize);
    }
  } else if (d.type == kTypeHoleAck) {
    if (length < kHoleAckMinDatagram) {
      d.kind = DatagramKind::kShortAck;
    } else {
      d.kind = DatagramKind::kAck;
      d.ack = DecodeAck(data + kP2PHeadSize);
    }
  }
  return d;
}

std::array<uint8_t, kServerPunchAnswerSize> BuildServerPunchAnswer(const HolePunchInfo& info) {
  std::array<uint8_t, kServerPunchAnswerSize> out{};
  uint8_t* p = out.data();
  PutHead(p, kServerPunchAnswerSize, kTypeHolePunch);
  p += kP2PHeadSize;
  PutU16(p, 0);
  PutRawAddr(p + 2, info.addr2);
  PutU16(p + 6, info.port2);
  PutRawAddr(p + 8, info.addr1);
  PutU16(p + 12, info.port1);
  std::memcpy(p + 14, info.opaque.data(), 4);
  for (size_t k = 0; k < 4; ++k) PutU16(p + 18 + 2 * k, info.opaque16[k]);
  return out;
}

std::array<uint8_t, kClientPunchAnswerSize> BuildClientPunchAnswer(const HolePunchInfo& info,
                                                                   uint16_t senderPort) {
  // Type 3 with the 14-byte acknowledgement layout: what the clients expect.
  std::array<uint8_t, kClientPunchAnswerSize> out{};
  uint8_t* p = out.data();
  PutHead(p, kClientPunchAnswerSize, kTypeHolePunch);
  p += kP2PHeadSize;
  PutU16(p, 0);
  PutRawAddr(p + 2, info.addr2);
  PutU16(p + 6, info.port2);
  PutRawAddr(p + 8, info.addr1);
  PutU16(p + 12, senderPort);
  return out;
}

std::array<uint8_t, kHeartBeatSize> BuildHeartBeat(const std::string& hostNameUtf8,
                                                   const std::array<uint8_t, 6>& mac,
                                                   const std::string& email) {
  std::array<uint8_t, kHeartBeatSize> out{};
  PutHead(out.data(), kHeartBeatSize, kTypeHeartBeat);
  net::PutFieldText(out.data() + 22, 32, hostNameUtf8);
  std::memcpy(out.data() + 54, mac.data(), mac.size());
  PutHeartBeatEmail(&out, email);
  return out;
}

void PutHeartBeatEmail(std::array<uint8_t, kHeartBeatSize>* beat, const std::string& email) {
  net::PutFieldText(beat->data() + 86, 32, email);
}

void MacTextToBytes(const std::string& macText, uint8_t out[6]) {
  std::memset(out, 0, 6);
  const size_t n = std::min<size_t>(macText.size(), 31);
  size_t digits = 0;
  for (size_t i = 0; i < n && digits < 12; ++i) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(macText[i])));
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else {
      continue;  // separators
    }
    out[digits / 2] |= static_cast<uint8_t>(digits % 2 == 0 ? v << 4 : v);
    ++digits;
  }
}

UdtMessageCheck CheckUdtMessage(const uint8_t* data, size_t received, net::MsgHead* head,
                                const uint8_t** body, size_t* bodyLength) {
  if (!data || received < proto::kMsgHeadSize) return UdtMessageCheck::kShort;
  const net::MsgHead h = net::DecodeMsgHead(data);
  *head = h;
  if (h.length > kMaxDatagram) return UdtMessageCheck::kTooLong;
  if (h.length > received) return UdtMessageCheck::kTruncated;
  if (h.length > proto::kMsgHeadSize) {
    *body = data + proto::kMsgHeadSize;
    *bodyLength = h.length - proto::kMsgHeadSize;
  } else {
    *body = nullptr;
    *bodyLength = 0;
  }
  return UdtMessageCheck::kOk;
}

}  // namespace ks::p2p
