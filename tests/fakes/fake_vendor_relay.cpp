// Relay roles of FakeVendorServer: the interline connection, relayed requests and answers,
// relayed file data and the relay poll.
#include <cstdio>

#include "tests/fakes/fake_vendor_server.h"

namespace ks::fake {

bool FakeVendorServer::HandleInterline(const ConnPtr& conn, const ServerHead& head,
                                       const ByteString& body) {
  if (!body.empty() || head.length != wire::kServerHeadSize)
    Error("interline request with a body of " + std::to_string(body.size()) + " bytes");
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++interline_requests_;
    interline_ = conn;
    cv_.notify_all();
  }
  return Apply(conn, ScriptFor(wire::kSrvInterlineReq).Next(), wire::kSrvInterlineReq, {});
}

bool FakeVendorServer::HandleRelayed(const ConnPtr& conn, const ServerHead& head,
                                     const ByteString& body, RelayedMessage::Channel channel) {
  char where[96];
  std::snprintf(where, sizeof where, "connection %d relayed 0x%04x: ", conn->id, head.opcode);
  if (body.size() < wire::kIdSize + wire::kMsgHeadSize) {
    Error(where + std::string("body of ") + std::to_string(body.size()) +
          " bytes, shorter than peer id + MsgHead");
  } else {
    RelayedMessage m;
    m.channel = channel;
    m.connection = conn->id;
    m.opcode = head.opcode;
    m.frame_length = head.length;
    m.device_id = head.device_id;
    m.peer_id = GetText(body, 0, wire::kIdSize);
    m.inner.head = DecodeMsgHead(std::string_view(body).substr(wire::kIdSize));
    m.inner.body = body.substr(wire::kIdSize + wire::kMsgHeadSize);
    m.received = std::chrono::steady_clock::now();
    if (m.inner.head.length != body.size() - wire::kIdSize)
      Error(where + std::string("inner length ") + std::to_string(m.inner.head.length) + " but " +
            std::to_string(body.size() - wire::kIdSize) + " bytes follow the peer id");
    if (!TextTerminated(body, 0, wire::kIdSize)) Error(where + std::string("peer id without NUL"));
    std::lock_guard<std::mutex> lock(mu_);
    if (channel == RelayedMessage::Channel::kInterline && interline_ != conn)
      errors_.push_back(where + std::string("answer outside the interline connection"));
    relayed_.push_back(std::move(m));
    taken_.push_back(false);
    cv_.notify_all();
  }
  return Apply(conn, ScriptFor(head.opcode).Next(), head.opcode, {});
}

bool FakeVendorServer::HandlePoll(const ConnPtr& conn, const ServerHead& head,
                                  const ByteString& body) {
  if (!body.empty() || head.length != wire::kServerHeadSize)
    Error("poll request with a body of " + std::to_string(body.size()) + " bytes");
  ByteString inner;
  bool have = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    polls_.push_back(std::chrono::steady_clock::now());
    if (!poll_queue_.empty()) {
      inner = std::move(poll_queue_.front());
      poll_queue_.erase(poll_queue_.begin());
      have = true;
    }
    cv_.notify_all();
  }
  if (have) return Apply(conn, ServerAction::WithBody(0, inner), wire::kSrvRelayPoll, {});
  return Apply(conn, ScriptFor(wire::kSrvRelayPoll).Next(), wire::kSrvRelayPoll, {});
}

size_t FakeVendorServer::InterlineRequests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return interline_requests_;
}

bool FakeVendorServer::WaitForInterline(int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return interline_ && !interline_->done.load(); });
}

int FakeVendorServer::InterlineConnection() const {
  std::lock_guard<std::mutex> lock(mu_);
  return interline_ && !interline_->done.load() ? interline_->id : -1;
}

void FakeVendorServer::CloseInterline() {
  ConnPtr c;
  {
    std::lock_guard<std::mutex> lock(mu_);
    c.swap(interline_);
  }
  if (c) c->Shutdown();
}

ByteString FakeVendorServer::RelayedRequestFrame(const ByteString& inner, const std::string& id_a,
                                                 const std::string& id_b) {
  size_t total = wire::kRelayHeadSize + inner.size();
  ByteString f =
      EncodeServerHead(static_cast<uint16_t>(total), wire::kVersion, wire::kSrvRelayToPeer, id_a);
  f += IdField(id_b);
  f += inner;
  return f;
}

ByteString FakeVendorServer::AckFrame(uint16_t opcode, uint16_t status) {
  return EncodeReplyHead(wire::kReplyHeadSize, status, opcode);
}

bool FakeVendorServer::RelayToAgent(const ByteString& inner, const std::string& id_a,
                                    const std::string& id_b, size_t piece, int gap_ms) {
  return SendOnInterline(RelayedRequestFrame(inner, id_a, id_b), piece, gap_ms);
}

bool FakeVendorServer::SendOnInterline(const ByteString& raw, size_t piece, int gap_ms) {
  ConnPtr c;
  {
    std::lock_guard<std::mutex> lock(mu_);
    c = interline_;
  }
  if (!c) return false;
  return c->SendPieces(raw, piece, gap_ms, options_.send_timeout_ms, server_->cancel()) == Io::kOk;
}

std::vector<RelayedMessage> FakeVendorServer::RelayedMessages() const {
  std::lock_guard<std::mutex> lock(mu_);
  return relayed_;
}

bool FakeVendorServer::WaitForRelayed(size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return relayed_.size() >= count; });
}

bool FakeVendorServer::TakeRelayed(const std::set<std::string>& peer_ids, RelayedMessage* out,
                                   int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  bool found = cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (size_t i = 0; i < relayed_.size(); ++i) {
      if (taken_[i] || !peer_ids.count(relayed_[i].peer_id)) continue;
      taken_[i] = true;
      *out = relayed_[i];
      return true;
    }
    return false;
  });
  return found;
}

void FakeVendorServer::QueuePollMessage(const ByteString& inner) {
  std::lock_guard<std::mutex> lock(mu_);
  poll_queue_.push_back(inner);
}

size_t FakeVendorServer::PendingPollMessages() const {
  std::lock_guard<std::mutex> lock(mu_);
  return poll_queue_.size();
}

std::vector<std::chrono::steady_clock::time_point> FakeVendorServer::PollTimes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return polls_;
}

bool FakeVendorServer::WaitForPolls(size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return polls_.size() >= count; });
}

}  // namespace ks::fake
