#include "tests/fakes/p2p/udt_transport.h"

#include <netinet/in.h>

#include <chrono>

namespace ks::fake {

using Clock = std::chrono::steady_clock;

std::unique_ptr<UdtTransport> UdtTransport::Connect(uint16_t agent_p2p_port, int timeout_ms) {
  auto peer = std::make_unique<test::p2p::FakeUdtPeer>();
  if (peer->Punch(agent_p2p_port, test::p2p::PunchFields{}, 3, timeout_ms).size() < 3) return nullptr;
  if (!peer->Connect(agent_p2p_port, timeout_ms)) return nullptr;
  return std::unique_ptr<UdtTransport>(new UdtTransport(std::move(peer)));
}

UdtTransport::~UdtTransport() { Close(); }

Io UdtTransport::Send(const ByteString& message) {
  if (!peer_ || !peer_->connected()) return Io::kClosed;
  std::vector<uint8_t> bytes(message.begin(), message.end());
  return peer_->Send(bytes) ? Io::kOk : Io::kClosed;
}

Io UdtTransport::Receive(Message* out, int timeout_ms) {
  if (!peer_ || !peer_->connected()) return Io::kClosed;
  auto got = peer_->Receive(timeout_ms);
  if (!got) return Io::kTimeout;
  ByteString bytes(got->begin(), got->end());
  if (bytes.size() < wire::kMsgHeadSize) return Io::kError;
  out->head = DecodeMsgHead(bytes);
  if (out->head.length != bytes.size()) return Io::kError;
  out->body = bytes.substr(wire::kMsgHeadSize);
  return Io::kOk;
}

void UdtTransport::Close() {
  if (peer_) peer_->Close();
}

uint16_t AgentP2PPort(test::p2p::UdpEndpoint& rendezvous, int timeout_ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return 0;
    auto d = rendezvous.Receive(static_cast<int>(left));
    if (!d) return 0;
    if (d->bytes.size() == 150 && test::p2p::BigU16(&d->bytes[4]) == 5) return ntohs(d->from.sin_port);
  }
}

}  // namespace ks::fake
