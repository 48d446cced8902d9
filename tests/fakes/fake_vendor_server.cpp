#include "tests/fakes/fake_vendor_server.h"

#include <cstdio>

namespace ks::fake {

ServerAction ServerAction::Status(uint16_t status, int delay_ms) {
  ServerAction a;
  a.status = status;
  a.delay_ms = delay_ms;
  return a;
}

ServerAction ServerAction::Close(int delay_ms) {
  ServerAction a;
  a.kind = Kind::kClose;
  a.delay_ms = delay_ms;
  return a;
}

ServerAction ServerAction::Silence() {
  ServerAction a;
  a.kind = Kind::kSilence;
  return a;
}

ServerAction ServerAction::Raw(ByteString bytes) {
  ServerAction a;
  a.raw_reply = std::move(bytes);
  return a;
}

ServerAction ServerAction::WithBody(uint16_t status, ByteString body) {
  ServerAction a;
  a.status = status;
  a.body = std::move(body);
  return a;
}

FakeVendorServer::FakeVendorServer() : FakeVendorServer(Options()) {}

FakeVendorServer::FakeVendorServer(Options options)
    : options_(std::move(options)), issued_id_(options_.issued_device_id) {
  scripts_[wire::kSrvRelayPoll] = std::make_unique<Script<ServerAction>>(ServerAction::Status(1));
  scripts_[wire::kSrvRelayToPeer] = std::make_unique<Script<ServerAction>>(ServerAction::Silence());
  server_ = std::make_unique<ConnServer>("127.0.0.1", [this](const ConnPtr& c) { Serve(c); });
}

FakeVendorServer::~FakeVendorServer() { server_->Stop(); }

Script<ServerAction>& FakeVendorServer::ScriptFor(uint16_t opcode) {
  std::lock_guard<std::mutex> lock(mu_);
  auto& s = scripts_[opcode];
  if (!s) s = std::make_unique<Script<ServerAction>>(ServerAction::Status(0));
  return *s;
}

void FakeVendorServer::SetAction(uint16_t opcode, ServerAction action) {
  ScriptFor(opcode).SetFixed(std::move(action));
}

void FakeVendorServer::QueueActions(uint16_t opcode, const std::vector<ServerAction>& actions) {
  ScriptFor(opcode).Enqueue(actions);
}

void FakeVendorServer::SetStatus(uint16_t opcode, uint16_t status) {
  SetAction(opcode, ServerAction::Status(status));
}

void FakeVendorServer::QueueStatuses(uint16_t opcode, const std::vector<uint16_t>& statuses) {
  for (uint16_t s : statuses) ScriptFor(opcode).Enqueue(ServerAction::Status(s));
}

void FakeVendorServer::SetIssuedDeviceId(const std::string& id) {
  std::lock_guard<std::mutex> lock(mu_);
  issued_id_ = id;
}

void FakeVendorServer::Error(std::string text) {
  std::lock_guard<std::mutex> lock(mu_);
  errors_.push_back(std::move(text));
  cv_.notify_all();
}

void FakeVendorServer::Serve(const ConnPtr& conn) {
  const Canceller* cancel = server_->cancel();
  for (;;) {
    ByteString raw;
    Io io =
        RecvExact(conn->fd.get(), &raw, wire::kServerHeadSize, options_.idle_timeout_ms, cancel);
    if (io != Io::kOk) {
      if (!raw.empty())
        Error("connection " + std::to_string(conn->id) + ": head cut after " +
              std::to_string(raw.size()) + " bytes (" + IoName(io) + ")");
      return;
    }
    ServerHead head = DecodeServerHead(raw);
    char where[96];
    std::snprintf(where, sizeof where, "connection %d opcode 0x%04x: ", conn->id, head.opcode);
    if (head.version != wire::kVersion) {
      Error(where + std::string("version ") + std::to_string(head.version) + ", not 370");
      return;
    }
    if (head.length < wire::kServerHeadSize) {
      Error(where + std::string("length ") + std::to_string(head.length) + " below 70");
      return;
    }
    if (!head.id_terminated) Error(where + std::string("device id field without NUL"));
    ByteString body;
    io = RecvExact(conn->fd.get(), &body, head.length - wire::kServerHeadSize,
                   options_.idle_timeout_ms, cancel);
    if (io != Io::kOk) {
      Error(where + std::string("body cut after ") + std::to_string(body.size()) + " of " +
            std::to_string(head.length - wire::kServerHeadSize) + " bytes");
      return;
    }
    bool keep;
    switch (head.opcode) {
      case wire::kSrvInterlineReq: keep = HandleInterline(conn, head, body); break;
      case wire::kSrvRelayToPeer:
        keep = HandleRelayed(conn, head, body, RelayedMessage::Channel::kInterline);
        break;
      case wire::kSrvRelayFileData:
        keep = HandleRelayed(conn, head, body, RelayedMessage::Channel::kFileData);
        break;
      case wire::kSrvRelayPoll: keep = HandlePoll(conn, head, body); break;
      default: keep = HandleOneShot(conn, head, body); break;
    }
    if (!keep) return;
  }
}

bool FakeVendorServer::Apply(const ConnPtr& conn, const ServerAction& action, uint16_t opcode,
                             const ByteString& default_body) {
  if (action.delay_ms > 0 && SleepCancellable(action.delay_ms, server_->cancel())) return false;
  switch (action.kind) {
    case ServerAction::Kind::kClose: return false;
    case ServerAction::Kind::kSilence: return true;
    case ServerAction::Kind::kAnswer: break;
  }
  ByteString reply;
  if (action.raw_reply) {
    reply = *action.raw_reply;
  } else {
    const ByteString& body = action.body ? *action.body : default_body;
    // Relay traffic carries its opcode in the reply head so that acks can be told apart.
    bool relay = opcode >= wire::kSrvInterlineReq && opcode <= wire::kSrvRelayPoll;
    reply = EncodeReplyHead(static_cast<uint16_t>(wire::kReplyHeadSize + body.size()),
                            action.status, relay ? opcode : 0) +
            body;
  }
  return conn->Send(reply, options_.send_timeout_ms, server_->cancel()) == Io::kOk;
}

bool FakeVendorServer::HandleOneShot(const ConnPtr& conn, const ServerHead& head,
                                     const ByteString& body) {
  ServerRequest r;
  r.connection = conn->id;
  r.length = head.length;
  r.version = head.version;
  r.opcode = head.opcode;
  r.device_id = head.device_id;
  r.body = body;
  r.received = std::chrono::steady_clock::now();
  DecodeBody(&r);
  ByteString default_body;
  {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(r);
    if (head.opcode == wire::kSrvGetUuid) default_body = IdField(issued_id_);
    cv_.notify_all();
  }
  return Apply(conn, ScriptFor(head.opcode).Next(), head.opcode, default_body);
}

namespace {

struct TextField {
  const char* name;
  size_t off;
  size_t size;
};
struct ZeroField {
  const char* name;
  size_t off;
  size_t size;
};

}  // namespace

void FakeVendorServer::DecodeBody(ServerRequest* r) {
  const ByteString& b = r->body;
  char where[64];
  std::snprintf(where, sizeof where, "opcode 0x%04x: ", r->opcode);
  size_t expected = 0;
  std::vector<TextField> texts;
  std::vector<ZeroField> zeros;
  switch (r->opcode) {
    case wire::kSrvLogon:
      expected = wire::kLogonBody;
      r->account = GetText(b, 0, 32);
      r->password = GetText(b, 32, 32);
      r->system_type = GetU16(b, 64);
      r->os_name = GetText(b, 68, 32);
      r->mac = GetText(b, 100, 32);
      texts = {{"account", 0, 32}, {"password", 32, 32}, {"os name", 68, 32}, {"mac", 100, 32}};
      zeros = {{"u16 after system type", 66, 2}};
      break;
    case wire::kSrvLogout:
      expected = wire::kLogoutBody;
      r->account = GetText(b, 0, 32);
      r->password = GetText(b, 32, 32);
      texts = {{"account", 0, 32}, {"password", 32, 32}};
      break;
    case wire::kSrvSetSvInfo:
      expected = wire::kSvInfoBody;
      r->local_ip = GetIpv4(b, 8);
      r->upnp_port = GetU16(b, 12);
      r->message_port = GetU16(b, 16);
      r->system_type = GetU16(b, 18);
      r->account = GetText(b, 20, 32);
      r->host_name = GetText(b, 84, 64);
      texts = {{"account", 20, 32}, {"host name", 84, 64}};
      zeros = {{"leading u32", 0, 4},
               {"reserved 4..8", 4, 4},
               {"reserved 14..16", 14, 2},
               {"reserved 52..84", 52, 32},
               {"reserved 148..212", 148, 64}};
      break;
    case wire::kSrvGetUuid: expected = 0; break;
    case wire::kSrvSetPowerOnInfo:
      expected = wire::kPowerOnBody;
      r->system_type = GetU16Le(b, 0);
      r->account = GetText(b, 2, 32);
      r->mac = GetText(b, 34, 32);
      r->host_name = GetText(b, 98, 64);
      texts = {{"account", 2, 32}, {"mac", 34, 32}, {"host name", 98, 64}};
      zeros = {{"zero 66..98", 66, 32}};
      break;
    default: Error(where + std::string("unknown opcode")); return;
  }
  if (b.size() != expected) {
    Error(where + std::string("body of ") + std::to_string(b.size()) + " bytes, expected " +
          std::to_string(expected));
    return;
  }
  for (const auto& t : texts)
    if (!TextTerminated(b, t.off, t.size)) Error(where + std::string(t.name) + " without NUL");
  for (const auto& z : zeros)
    if (!AllZero(b, z.off, z.size)) Error(where + std::string(z.name) + " not zero");
}

std::vector<ServerRequest> FakeVendorServer::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::vector<ServerRequest> FakeVendorServer::Requests(uint16_t opcode) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<ServerRequest> out;
  for (const auto& r : requests_)
    if (r.opcode == opcode) out.push_back(r);
  return out;
}

std::vector<uint16_t> FakeVendorServer::Opcodes() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint16_t> out;
  for (const auto& r : requests_) out.push_back(r.opcode);
  return out;
}

size_t FakeVendorServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_.size();
}

size_t FakeVendorServer::RequestCount(uint16_t opcode) const { return Requests(opcode).size(); }

bool FakeVendorServer::WaitForRequests(size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return requests_.size() >= count; });
}

bool FakeVendorServer::WaitForRequests(uint16_t opcode, size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    size_t n = 0;
    for (const auto& r : requests_) n += r.opcode == opcode;
    return n >= count;
  });
}

std::vector<std::string> FakeVendorServer::ProtocolErrors() const {
  std::lock_guard<std::mutex> lock(mu_);
  return errors_;
}

void FakeVendorServer::ClearRecords() {
  std::lock_guard<std::mutex> lock(mu_);
  requests_.clear();
  errors_.clear();
  relayed_.clear();
  taken_.clear();
  polls_.clear();
  interline_requests_ = 0;
}

}  // namespace ks::fake
