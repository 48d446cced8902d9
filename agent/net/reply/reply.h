// The way back to the client of a request, for every handler: direct, or through the
// vendor's relay. Handlers write their messages through a ClientRoute and never build relay
// frames nor include agent/net/relay.
//
// A relayed request (it came on the relay connection; see ReadClientRequest in
// agent/handlers/mobile/client_request.h) carries the 64-byte id of the client in front of
// it. Every message back to that client goes out behind the 134-byte RelayHead: ServerHead
// {u16 total length, u16 370, u16 0x1009 (SRV_RELAY_TO_PEER), char[64] own device id} and
// the client's char[64] id. Each message, with its RelayHead, is one Channel::Write, so the
// relay and UDT peers receive it whole and in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "agent/net/msg/msg.h"

namespace ks::reply {

class ClientRoute {
 public:
  // Direct when peerId is null; otherwise through the relay to the 64 bytes at peerId (the
  // own device id is read once, here).
  explicit ClientRoute(const uint8_t* peerId = nullptr);

  bool Relayed() const { return !head_.empty(); }
  // Bytes a writer that builds messages in place keeps free in front of each message: the
  // RelayHead's 134 when relayed, else 0.
  size_t Headroom() const { return head_.size(); }

  // `buffer` holds Headroom() bytes, then one whole message. Relayed, the RelayHead is put
  // in front and both go as one Write; direct, the message alone. False when the channel
  // refuses it or the relayed frame would pass 65535 bytes (nothing is written then).
  bool Write(ks::net::Channel* conn, std::vector<uint8_t>& buffer) const;
  // The same for a message held elsewhere (copied behind the head when relayed).
  bool WriteMessage(ks::net::Channel* conn, const uint8_t* message, size_t length) const;

 private:
  std::vector<uint8_t> head_;  // RelayHead, length field set per message; empty: direct
};

}  // namespace ks::reply
