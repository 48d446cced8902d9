// Bodies of the vendor server requests (layouts in session.h).
#include <arpa/inet.h>

#include <cstring>

#include "agent/net/msg/msg.h"
#include "agent/net/session/session.h"
#include "agent/net/session/wire_text.h"

namespace ks::session {

using ks::net::PutFieldText;
using ks::net::PutU16;

namespace {
constexpr size_t kTextField = 32;
constexpr size_t kHostField = 64;
}  // namespace

std::vector<uint8_t> BuildLogOnBody(const LogOnFields& f) {
  std::vector<uint8_t> b(kLogOnBodySize, 0);
  PutFieldText(&b[0], kTextField, f.account);
  PutFieldText(&b[32], kTextField, f.password);
  PutU16(&b[64], f.systemType);
  // 66: u16 0
  PutFieldText(&b[68], kTextField, f.osName);
  PutFieldText(&b[100], kTextField, f.mac);
  return b;
}

std::vector<uint8_t> BuildLogOutBody(const std::string& account, const std::string& password) {
  std::vector<uint8_t> b(kLogOutBodySize, 0);
  PutFieldText(&b[0], kTextField, account);
  PutFieldText(&b[32], kTextField, password);
  return b;
}

std::vector<uint8_t> BuildSvInfoBody(const SvInfoFields& f) {
  std::vector<uint8_t> b(kSvInfoBodySize, 0);
  in_addr addr{};
  if (::inet_pton(AF_INET, f.localIp.c_str(), &addr) == 1)
    std::memcpy(&b[8], &addr.s_addr, 4);  // already in network order
  PutU16(&b[12], f.upnpPort);
  PutU16(&b[16], f.messagePort);
  PutU16(&b[18], f.systemType);
  PutFieldText(&b[20], kTextField, f.account);
  PutUtf8Field(&b[84], kHostField, f.hostNameUtf8);
  return b;
}

std::vector<uint8_t> BuildPowerOnBody(const PowerOnFields& f) {
  std::vector<uint8_t> b(kPowerOnBodySize, 0);
  // The one little-endian number of the vendor protocol.
  b[0] = static_cast<uint8_t>(f.systemType & 0xFF);
  b[1] = static_cast<uint8_t>(f.systemType >> 8);
  PutFieldText(&b[2], kTextField, f.account);
  PutFieldText(&b[34], kTextField, f.mac);
  PutUtf8Field(&b[98], kHostField, f.hostNameUtf8);
  return b;
}

std::string DeviceIdFromReply(const uint8_t* body, size_t length) {
  if (!body || length == 0) return std::string();
  std::string id = ks::net::FieldText(body, length < 64 ? length : 64);
  if (id.size() > kMaxDeviceIdLength) id.resize(kMaxDeviceIdLength);
  return id;
}

}  // namespace ks::session
