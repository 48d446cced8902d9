// Test side of the peer-to-peer protocol, written from the wire formats: a UDP endpoint on
// 127.0.0.1 (kernel receive time stamps, to check send order across endpoints), the
// rendezvous server's datagrams, and a mobile client that punches, acknowledges and talks
// MsgHead messages over a UDT rendezvous connection.
//
// Signalling datagrams (big-endian): head u16 length, u16 version 370, u16 type
// (3 hole punch, 4 acknowledgement, 5 heartbeat). Hole punch body (26 bytes): u16 kind,
// u32 address 1, u16 port 1, u32 address 2, u16 port 2, 4 opaque bytes, 4 opaque u16.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ks::test::p2p {

constexpr uint16_t kVersion = 370;

struct Datagram {
  std::vector<uint8_t> bytes;
  sockaddr_in from{};
  int64_t stampNs = 0;  // kernel receive time
};

// A UDP socket bound to 127.0.0.1 port 0.
class UdpEndpoint {
 public:
  UdpEndpoint();
  ~UdpEndpoint();
  UdpEndpoint(const UdpEndpoint&) = delete;
  UdpEndpoint& operator=(const UdpEndpoint&) = delete;

  uint16_t port() const { return port_; }
  int fd() const { return fd_; }
  bool SendTo(uint16_t port, const std::vector<uint8_t>& bytes, const char* addr = "127.0.0.1");
  // The next datagram within timeoutMs.
  std::optional<Datagram> Receive(int timeoutMs);
  // Reads everything waiting (no wait).
  std::vector<Datagram> Drain();
  // Gives the descriptor away (to UDT).
  int Release();

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

struct PunchFields {
  uint16_t kind = 0;
  std::string addr1 = "127.0.0.1";
  uint16_t port1 = 0;
  std::string addr2 = "127.0.0.1";
  uint16_t port2 = 0;
  std::array<uint8_t, 4> opaque{};
  std::array<uint16_t, 4> opaque16{};
};

// A type-3 datagram of `size` bytes (the layout cut or zero-padded to it).
std::vector<uint8_t> HolePunchDatagram(const PunchFields& f, size_t size = 32);
// A type-4 datagram of `size` bytes: u16 kind then two address/port pairs.
std::vector<uint8_t> HoleAckDatagram(uint16_t kind, size_t size = 20);
// Decodes the 26-byte hole-punch body of a type-3 datagram of at least 32 bytes.
std::optional<PunchFields> DecodePunch(const std::vector<uint8_t>& d);

uint16_t BigU16(const uint8_t* p);
uint32_t BigU32(const uint8_t* p);
std::string AddrAt(const uint8_t* p);  // 4 bytes in network order as text

// A MsgHead message: u16 length, u16 type, u32 word, body.
std::vector<uint8_t> Message(uint16_t type, uint32_t word, const std::vector<uint8_t>& body,
                             int lengthOverride = -1);

// A mobile client on 127.0.0.1.
class FakeUdtPeer {
 public:
  FakeUdtPeer();
  ~FakeUdtPeer();
  FakeUdtPeer(const FakeUdtPeer&) = delete;
  FakeUdtPeer& operator=(const FakeUdtPeer&) = delete;

  uint16_t port() const { return udp_.port(); }
  UdpEndpoint& udp() { return udp_; }
  // Sends a client hole punch (kind 0) and returns the answers received within timeoutMs
  // (stops after `expect` answers).
  std::vector<Datagram> Punch(uint16_t agentPort, const PunchFields& f, size_t expect = 3,
                              int timeoutMs = 3000);
  bool Ack(uint16_t agentPort);
  // UDT rendezvous connect to the agent over this client's UDP socket.
  bool Connect(uint16_t agentPort, int timeoutMs = 10000);
  // One whole message, in order; false when the send buffer stays full for 15 s.
  bool Send(const std::vector<uint8_t>& message);
  // The next message within timeoutMs.
  std::optional<std::vector<uint8_t>> Receive(int timeoutMs);
  // Goes away; waits at most 3 s for the agent to acknowledge data already sent.
  void Close();
  bool connected() const { return udt_ >= 0; }

 private:
  UdpEndpoint udp_;
  int udt_ = -1;
  int poll_ = -1;
};

}  // namespace ks::test::p2p
