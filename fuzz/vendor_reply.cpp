// Fuzzes the reading of the device id from the vendor server's GET_UUID reply body.
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/net/session/session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string id = ks::session::DeviceIdFromReply(data, size);
  if (id.size() > ks::session::kMaxDeviceIdLength) __builtin_trap();
  return 0;
}
