// Fuzzes the discovery listener's reading of a datagram: ParseBroadcastMsg on any bytes
// (shorter and longer than the 206-byte layout, texts without NULs), the request test, and
// the round trip of what was read back through the encoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "agent/net/broadcast/broadcast.h"

#define CHECK(c) \
  do {           \
    if (!(c)) std::abort(); \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // the listener never parses fewer than 6 bytes
  if (size > ks::net::kBroadcastReceiveSize) size = ks::net::kBroadcastReceiveSize;
  // Exactly the received bytes in their own allocation, so any read past them is caught.
  std::vector<uint8_t> datagram(data, data + size);
  ks::net::BroadcastMsg msg;
  CHECK(ks::net::ParseBroadcastMsg(datagram.data(), datagram.size(), &msg) == 0);
  CHECK(msg.email.size() <= 32 && msg.psw.size() <= 32);
  CHECK(msg.hostName.size() <= 64 && msg.deviceId.size() <= 64);
  bool request = ks::net::IsDiscoveryRequest(msg);
  CHECK(!request || (size >= 6 && std::memcmp(data, "ks", 2) == 0));

  uint8_t encoded[ks::net::kBroadcastMsgSize];
  ks::net::EncodeBroadcastMsg(msg, encoded);
  ks::net::BroadcastMsg again;
  CHECK(ks::net::ParseBroadcastMsg(encoded, sizeof encoded, &again) == 0);
  CHECK(again.version == msg.version && again.type == msg.type && again.port == msg.port);
  CHECK(again.addr == msg.addr && again.reserved == msg.reserved);
  CHECK(ks::net::IsDiscoveryRequest(again) == request);
  return 0;
}
