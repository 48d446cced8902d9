// What the mobile-client handlers (device session, listings, downloads) share: where a
// request's own bytes start, who owns the transfer sessions it makes, the wire text
// conversion and message building.
//
// A request is relayed when it came on the vendor's relay connection (direct 0, no UDT
// socket): its body then starts with the 64-byte id the relay put there, followed by the
// client's MsgHead (8 bytes) and the client's body. Requests from the local message
// server, the relay poll and UDT peers carry the client's body alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/net/msg/msg.h"

namespace ks::mobile {

constexpr size_t kPeerIdSize = 64;
constexpr size_t kRelayPrefixSize = kPeerIdSize + 8;  // the id, then the client's MsgHead

struct ClientRequest {
  const uint8_t* payload = nullptr;  // the client's body, null when it has none
  size_t payloadLength = 0;
  bool relayed = false;
  const uint8_t* peerId = nullptr;  // relayed: the 64 bytes in front of the request
  uint64_t owner = 0;               // transfer-session owner (ks::transfer)
};

ClientRequest ReadClientRequest(const uint8_t* body, size_t bodyLength, ks::net::Channel* conn,
                                int udtSocket, int direct);

// Session owner of a channel: its id, or the relay owner for relay and relay-poll traffic.
uint64_t SessionOwner(ks::net::Channel* conn);

// Client texts arrive in UTF-8; on disk they are in the agent's encoding ("en": as is).
// Characters the agent's encoding cannot hold are dropped.
std::string FromWireText(const std::string& utf8);
std::string ToWireText(const std::string& local);

// A message of 8 + bodyLength bytes, head filled in (big-endian), body zeroed.
std::vector<uint8_t> MakeMessage(uint16_t type, uint32_t word, size_t bodyLength);

}  // namespace ks::mobile
