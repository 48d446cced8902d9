#include "tests/fakes/mobile_transport.h"

#include "tests/fakes/fake_vendor_server.h"

namespace ks::fake {

std::unique_ptr<TcpTransport> TcpTransport::Connect(const std::string& host, uint16_t port,
                                                    const std::string& bind_ip, int timeout_ms) {
  UniqueFd fd = ConnectTcp(host, port, timeout_ms, bind_ip, nullptr);
  if (!fd) return nullptr;
  return std::unique_ptr<TcpTransport>(new TcpTransport(std::move(fd)));
}

Io TcpTransport::Send(const ByteString& message) {
  if (!fd_) return Io::kClosed;
  return SendAll(fd_.get(), message, 10000);
}

Io TcpTransport::Receive(Message* out, int timeout_ms) {
  if (!fd_) return Io::kClosed;
  if (broken_) return Io::kError;
  ByteString head;
  Io io = RecvExact(fd_.get(), &head, wire::kMsgHeadSize, timeout_ms);
  if (io != Io::kOk) {
    if (!head.empty()) broken_ = true;  // a head cut in two: the stream is out of step
    return head.empty() ? io : Io::kError;
  }
  out->head = DecodeMsgHead(head);
  if (out->head.length < wire::kMsgHeadSize) {
    broken_ = true;
    return Io::kError;
  }
  io = RecvExact(fd_.get(), &out->body, out->head.length - wire::kMsgHeadSize, timeout_ms);
  if (io != Io::kOk) {
    broken_ = true;
    return io == Io::kClosed ? Io::kClosed : Io::kError;
  }
  return Io::kOk;
}

RelayTransport::RelayTransport(FakeVendorServer& server, std::string client_id, std::string head_id)
    : server_(server),
      client_id_(std::move(client_id)),
      head_id_(head_id.empty() ? client_id_ : std::move(head_id)) {}

Io RelayTransport::Send(const ByteString& message) {
  if (closed_) return Io::kClosed;
  uint16_t type = DecodeMsgHead(message).type;
  if (type == wire::kUploadFile || type == wire::kOverUploadFile) {
    server_.QueuePollMessage(message);
    return Io::kOk;
  }
  return server_.RelayToAgent(message, head_id_, client_id_, piece_, gap_ms_) ? Io::kOk
                                                                              : Io::kClosed;
}

Io RelayTransport::Receive(Message* out, int timeout_ms) {
  if (closed_) return Io::kClosed;
  RelayedMessage m;
  if (!server_.TakeRelayed({client_id_, head_id_}, &m, timeout_ms)) return Io::kTimeout;
  out->head = m.inner.head;
  out->body = m.inner.body;
  return Io::kOk;
}

}  // namespace ks::fake
