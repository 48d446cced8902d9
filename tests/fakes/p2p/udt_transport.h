// UdtTransport: the fake mobile client's third way to the agent, a peer-to-peer UDT
// connection on 127.0.0.1.
//
// Connect() plays a client that the rendezvous server has introduced: it sends a client
// hole punch (kind 0) to the agent's P2P port, waits for the agent's three answers, then
// connects UDT in rendezvous mode over the same UDP socket. One UDT message carries one
// whole MsgHead message in each direction.
//
// AgentP2PPort() reads the agent's P2P port the way the rendezvous server learns it: from
// the source port of the agent's 150-byte heartbeat (type 5).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tests/fakes/mobile_transport.h"
#include "tests/fakes/p2p/fake_p2p.h"

namespace ks::fake {

class UdtTransport : public MobileTransport {
 public:
  // Null when the punch is not answered or the UDT connection does not come up in time.
  static std::unique_ptr<UdtTransport> Connect(uint16_t agent_p2p_port, int timeout_ms = 10000);
  ~UdtTransport() override;

  Io Send(const ByteString& message) override;
  // kTimeout when nothing came in time or the connection is gone (UDT does not tell the two
  // apart here); kError for a message whose head disagrees with its size.
  Io Receive(Message* out, int timeout_ms) override;
  void Close() override;
  std::string Describe() const override { return "udt"; }

 private:
  explicit UdtTransport(std::unique_ptr<test::p2p::FakeUdtPeer> peer) : peer_(std::move(peer)) {}
  std::unique_ptr<test::p2p::FakeUdtPeer> peer_;
};

// Waits up to timeout_ms on the rendezvous endpoint for the agent's heartbeat; its source
// port, or 0.
uint16_t AgentP2PPort(test::p2p::UdpEndpoint& rendezvous, int timeout_ms);

}  // namespace ks::fake
