// How the fake mobile client reaches the agent. A transport moves whole messages of the
// message protocol (MsgHead {u16 length, u16 type, u32 word} + length - 8 bytes); the client
// above it knows nothing of the path they take.
//
// - TcpTransport: a direct connection to the agent's message port, optionally sent from
//   another loopback address (127.0.0.2 plays a LAN peer).
// - RelayTransport: through FakeVendorServer. Requests go out as relayed requests on the
//   agent's interline connection (head id A, body id B); upload chunks and OVER go out
//   through the relay poll, as the agent takes them from there. Answers are the agent's
//   relayed messages (interline answers and file data) addressed to A or B.
// - UdtTransport (p2p/udt_transport.h): a UDT connection after a client hole punch.
#pragma once

#include <memory>
#include <string>

#include "tests/fakes/net_io.h"
#include "tests/fakes/wire.h"

namespace ks::fake {

class FakeVendorServer;

class MobileTransport {
 public:
  virtual ~MobileTransport() = default;
  // Sends one whole message.
  virtual Io Send(const ByteString& message) = 0;
  // The next whole message; timeout_ms bounds each wait for data. kError when the stream
  // broke the framing (a head announcing a length below 8, a message cut by a time-out).
  virtual Io Receive(Message* out, int timeout_ms) = 0;
  // Drops the link the way a client that goes away does.
  virtual void Close() = 0;
  virtual std::string Describe() const = 0;
};

class TcpTransport : public MobileTransport {
 public:
  // Null when the connection fails.
  static std::unique_ptr<TcpTransport> Connect(const std::string& host, uint16_t port,
                                               const std::string& bind_ip = "",
                                               int timeout_ms = 2000);
  Io Send(const ByteString& message) override;
  Io Receive(Message* out, int timeout_ms) override;
  void Close() override { fd_.Reset(); }
  std::string Describe() const override { return "tcp"; }
  int fd() const { return fd_.get(); }

 private:
  explicit TcpTransport(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
  bool broken_ = false;
};

class RelayTransport : public MobileTransport {
 public:
  // client_id goes in the relayed request's body (B); head_id in its head (A; client_id
  // when empty). The server must already hold the agent's interline connection to send.
  RelayTransport(FakeVendorServer& server, std::string client_id, std::string head_id = "");
  Io Send(const ByteString& message) override;
  Io Receive(Message* out, int timeout_ms) override;
  void Close() override { closed_ = true; }
  std::string Describe() const override { return "relay"; }
  // Piece size and gap used to push relayed requests (0 = whole frame).
  void SetPieces(size_t piece, int gap_ms) {
    piece_ = piece;
    gap_ms_ = gap_ms;
  }

 private:
  FakeVendorServer& server_;
  std::string client_id_;
  std::string head_id_;
  size_t piece_ = 0;
  int gap_ms_ = 0;
  bool closed_ = false;
};

}  // namespace ks::fake
