// Wire constants of the agent's protocols with the vendor's servers: the vendor server's
// opcodes (ServerHead, 70 bytes) and the fixed sizes both sides rely on. The message types
// and the message head are the shared vocabulary of common/wire and come with this header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/wire/types.h"
#include "common/wire/wire.h"

namespace ks::proto {

using ks::wire::kDeviceIdSize;
using ks::wire::kMsgHeadSize;
using ks::wire::kProtocolVersion;
using ks::wire::kSystemType;
constexpr size_t kServerHeadSize = 70;
constexpr size_t kServerReplyHeadSize = 8;
constexpr size_t kRelayHeadSize = 134;

}  // namespace ks::proto

// Vendor server opcodes (ServerHead).
enum : uint16_t {
  SRV_LOGON = 0x1001,
  SRV_LOGOUT = 0x1002,
  SRV_SET_SV_INFO = 0x1004,
  SRV_GET_UUID = 0x1006,
  SRV_INTERLINE_REQ = 0x1008,
  SRV_RELAY_TO_PEER = 0x1009,
  SRV_RELAY_FILE_DATA = 0x100B,
  SRV_RELAY_POLL = 0x100C,
  SRV_SET_POWER_ON_INFO = 0x100F,
};
