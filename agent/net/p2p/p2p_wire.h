// Wire layouts of the peer-to-peer signalling datagrams and of the messages carried over a
// UDT peer connection. Pure functions: no sockets, no state, safe on any input.
//
// Every signalling datagram starts with P2PHead, 6 bytes, big-endian:
//   u16 total length (head included), u16 version 370, u16 type (3 hole punch,
//   4 hole-punch acknowledgement, 5 heartbeat).
// IPv4 addresses are kept as they travel (network order, the value of in_addr.s_addr);
// u16 fields are big-endian on the wire and in host order in the structs below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/net/msg/msg.h"

namespace ks::p2p {

constexpr size_t kP2PHeadSize = 6;
constexpr uint16_t kTypeHolePunch = 3;
constexpr uint16_t kTypeHoleAck = 4;
constexpr uint16_t kTypeHeartBeat = 5;

constexpr size_t kHolePunchInfoSize = 26;
constexpr size_t kHolePunchAckSize = 14;
constexpr size_t kHolePunchMinDatagram = kP2PHeadSize + kHolePunchInfoSize;  // 32
constexpr size_t kHoleAckMinDatagram = kP2PHeadSize + kHolePunchAckSize;     // 20
constexpr size_t kServerPunchAnswerSize = 32;
constexpr size_t kClientPunchAnswerSize = 20;
constexpr size_t kHeartBeatSize = 150;
// Largest datagram or UDT message the agent reads.
constexpr size_t kMaxDatagram = 2048;

// HolePunchInfo, the 26 bytes after the head of a type-3 datagram:
//   0 u16 kind (0 = from a client, else from the rendezvous server)
//   2 u32 address 1, 6 u16 port 1, 8 u32 address 2, 12 u16 port 2,
//   14 4 opaque bytes, 18/20/22/24 four opaque u16 (all echoed unchanged).
struct HolePunchInfo {
  uint16_t kind = 0;
  uint32_t addr1 = 0;  // network order
  uint16_t port1 = 0;
  uint32_t addr2 = 0;  // network order
  uint16_t port2 = 0;
  std::array<uint8_t, 4> opaque{};
  std::array<uint16_t, 4> opaque16{};
};

// HolePunchAck, the 14 bytes after the head of a type-4 datagram:
//   0 u16 kind, 2 u32 address 1, 6 u16 port 1, 8 u32 address 2, 12 u16 port 2.
struct HolePunchAck {
  uint16_t kind = 0;
  uint32_t addr1 = 0;
  uint16_t port1 = 0;
  uint32_t addr2 = 0;
  uint16_t port2 = 0;
};

// What the receive loop does with one datagram.
enum class DatagramKind {
  kIgnored,     // shorter than the head, or a type the agent does not answer
  kShortPunch,  // type 3 with fewer than 32 bytes: refused
  kPunch,       // type 3, `punch` filled
  kShortAck,    // type 4 with fewer than 20 bytes: refused
  kAck,         // type 4, `ack` filled
};

struct ParsedDatagram {
  DatagramKind kind = DatagramKind::kIgnored;
  uint16_t type = 0;
  HolePunchInfo punch;
  HolePunchAck ack;
};

// Classifies a received datagram; bytes past the fixed layouts are ignored.
ParsedDatagram ParseP2PDatagram(const uint8_t* data, size_t length);

// Answer to a rendezvous server's hole punch (32 bytes): head {32, 370, 3}, kind 0, the two
// address/port pairs swapped, opaque fields echoed.
std::array<uint8_t, kServerPunchAnswerSize> BuildServerPunchAnswer(const HolePunchInfo& info);

// Answer to a client's hole punch (20 bytes): head {20, 370, 3}, u16 0, address 2, port 2,
// address 1, then the UDP source port the client's datagram came from (host order in).
std::array<uint8_t, kClientPunchAnswerSize> BuildClientPunchAnswer(const HolePunchInfo& info,
                                                                   uint16_t senderPort);

// Heartbeat (150 bytes): head {150, 370, 5}, 16 zero, host name (32, NUL-padded, at most 31
// characters), MAC (6 bytes + 26 zero), account e-mail (32, at most 31 characters), 32 zero.
std::array<uint8_t, kHeartBeatSize> BuildHeartBeat(const std::string& hostNameUtf8,
                                                   const std::array<uint8_t, 6>& mac,
                                                   const std::string& email);
// Rewrites only the e-mail field of a built heartbeat.
void PutHeartBeatEmail(std::array<uint8_t, kHeartBeatSize>* beat, const std::string& email);

// Hex digits of a MAC text ("00-1A-2B-3C-4D-5E") to 6 bytes: case-insensitive, any
// non-hex character skipped, at most 31 characters of the text and 12 digits read, first
// digit of a pair the high nibble; missing digits leave zero bits.
void MacTextToBytes(const std::string& macText, uint8_t out[6]);

// Checks one message received over a UDT peer connection (`received` bytes, at most
// kMaxDatagram). kOk: at least the 8-byte MsgHead, its length at most 2048 and not beyond
// the bytes received; body/bodyLength are set (a length below 8 gives no body). Otherwise the
// message is dropped: kShort (under 8 bytes), kTooLong (above 2048), kTruncated (length
// beyond the bytes received). `head` is filled whenever 8 bytes arrived.
enum class UdtMessageCheck { kOk, kShort, kTooLong, kTruncated };
UdtMessageCheck CheckUdtMessage(const uint8_t* data, size_t received, net::MsgHead* head,
                                const uint8_t** body, size_t* bodyLength);

}  // namespace ks::p2p
