#include "agent/handlers/mobile/client_request.h"

#include "agent/core/transfer/transfer.h"
#include "agent/core/state/state.h"
#include "agent/util/util.h"

namespace ks::mobile {

ClientRequest ReadClientRequest(const uint8_t* body, size_t bodyLength, ks::net::Channel* conn,
                                int udtSocket, int direct) {
  ClientRequest r;
  r.owner = SessionOwner(conn);
  r.relayed = direct == 0 && udtSocket == -1;
  if (!body) bodyLength = 0;
  if (!r.relayed) {
    r.payload = bodyLength ? body : nullptr;
    r.payloadLength = bodyLength;
    return r;
  }
  if (bodyLength >= kPeerIdSize) r.peerId = body;
  if (bodyLength > kRelayPrefixSize) {
    r.payload = body + kRelayPrefixSize;
    r.payloadLength = bodyLength - kRelayPrefixSize;
  }
  return r;
}

uint64_t SessionOwner(ks::net::Channel* conn) {
  if (!conn) return ks::transfer::kRelayOwner;
  ks::net::Origin o = conn->origin();
  if (o == ks::net::Origin::kRelay || o == ks::net::Origin::kRelayPoll) return ks::transfer::kRelayOwner;
  return conn->Id();
}

std::string FromWireText(const std::string& utf8) {
  std::string enc = ks::state::TextEncoding();
  if (enc.empty() || enc == "en") return utf8;
  return ConvertCode("UTF-8", (enc + "//IGNORE").c_str(), utf8);
}

std::string ToWireText(const std::string& local) {
  std::string enc = ks::state::TextEncoding();
  if (enc.empty() || enc == "en") return local;
  return ConvertCode(enc.c_str(), "UTF-8", local);
}

std::vector<uint8_t> MakeMessage(uint16_t type, uint32_t word, size_t bodyLength) {
  std::vector<uint8_t> m(8 + bodyLength, 0);
  ks::net::EncodeMsgHead(ks::net::MsgHead{static_cast<uint16_t>(m.size()), type, word}, m.data());
  return m;
}

}  // namespace ks::mobile
