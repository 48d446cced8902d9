#include "agent/net/reply/reply.h"

#include <algorithm>

#include "agent/core/state/state.h"
#include "agent/net/proto/proto.h"
#include "agent/net/relay/relay_frame.h"

namespace ks::reply {

ClientRoute::ClientRoute(const uint8_t* peerId) {
  if (peerId) head_ = ks::relay::MakeRelayHead(SRV_RELAY_TO_PEER, ks::state::DeviceId(), peerId, 0);
}

bool ClientRoute::Write(ks::net::Channel* conn, std::vector<uint8_t>& buffer) const {
  if (!conn || buffer.size() < head_.size()) return false;
  if (head_.empty()) return conn->Write(buffer.data(), buffer.size());
  if (buffer.size() > ks::net::kMaxMessageLength) return false;
  std::copy(head_.begin(), head_.end(), buffer.begin());
  ks::net::PutU16(buffer.data(), static_cast<uint16_t>(buffer.size()));
  return conn->Write(buffer.data(), buffer.size());
}

bool ClientRoute::WriteMessage(ks::net::Channel* conn, const uint8_t* message, size_t length) const {
  if (head_.empty()) return conn && conn->Write(message, length);
  if (head_.size() + length > ks::net::kMaxMessageLength) return false;
  std::vector<uint8_t> buffer(head_.size() + length);
  if (length) std::copy(message, message + length, buffer.begin() + static_cast<std::ptrdiff_t>(head_.size()));
  return Write(conn, buffer);
}

}  // namespace ks::reply
