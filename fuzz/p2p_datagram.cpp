// Signalling datagrams and UDT messages from the network: the P2P parsers must accept any
// bytes without reading past them, and answers built from what they parsed must be whole.
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/net/p2p/p2p_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ks::p2p;
  const ParsedDatagram d = ParseP2PDatagram(data, size);
  if (d.kind == DatagramKind::kPunch) {
    const auto server = BuildServerPunchAnswer(d.punch);
    const auto client = BuildClientPunchAnswer(d.punch, d.punch.port1);
    // An answer parses back as a hole punch of its own size.
    if (ParseP2PDatagram(server.data(), server.size()).kind != DatagramKind::kPunch) __builtin_trap();
    if (ParseP2PDatagram(client.data(), client.size()).kind != DatagramKind::kShortPunch) __builtin_trap();
  }

  ks::net::MsgHead head;
  const uint8_t* body = nullptr;
  size_t bodyLength = 0;
  const size_t received = size < kMaxDatagram ? size : kMaxDatagram;
  if (CheckUdtMessage(data, received, &head, &body, &bodyLength) == UdtMessageCheck::kOk) {
    if (bodyLength && (body < data || body + bodyLength > data + received)) __builtin_trap();
  }

  uint8_t mac[6];
  MacTextToBytes(std::string(reinterpret_cast<const char*>(data), size), mac);
  return 0;
}
