#include "tests/fakes/relay/fake_relay_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace ks::fake {

namespace relaywire {

void Put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8), p[1] = uint8_t(v); }
void Put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}
uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

Bytes IdField(const std::string& text) {
  Bytes f(kIdSize, 0);
  std::memcpy(f.data(), text.data(), std::min(text.size(), kIdSize - 1));
  return f;
}

Bytes Message(uint16_t type, uint32_t word, const Bytes& payload) {
  Bytes m(8);
  Put16(m.data(), uint16_t(8 + payload.size()));
  Put16(m.data() + 2, type);
  Put32(m.data() + 4, word);
  m.insert(m.end(), payload.begin(), payload.end());
  return m;
}

Bytes Ack(uint16_t opcode, uint16_t status, uint16_t length) {
  Bytes a(8, 0);
  Put16(a.data(), length);
  Put16(a.data() + 4, opcode);
  Put16(a.data() + 6, status);
  return a;
}

Bytes RelayedRequestFrame(const Bytes& inner, const std::string& idA, const std::string& idB) {
  Bytes f(6);
  Put16(f.data(), uint16_t(kHeadSize + kIdSize + inner.size()));
  Put16(f.data() + 2, kVersion);
  Put16(f.data() + 4, kRelayToPeer);
  Bytes a = IdField(idA), b = IdField(idB);
  f.insert(f.end(), a.begin(), a.end());
  f.insert(f.end(), b.begin(), b.end());
  f.insert(f.end(), inner.begin(), inner.end());
  return f;
}

}  // namespace relaywire

using namespace relaywire;

ServerAnswer ServerAnswer::Status(uint16_t status, int delayMs) {
  ServerAnswer a;
  a.status = status;
  a.delayMs = delayMs;
  return a;
}
ServerAnswer ServerAnswer::WithBody(uint16_t status, const Bytes& body) {
  ServerAnswer a;
  a.status = status;
  a.body = body;
  return a;
}
ServerAnswer ServerAnswer::Close() {
  ServerAnswer a;
  a.kind = Kind::kClose;
  return a;
}
ServerAnswer ServerAnswer::Silence() {
  ServerAnswer a;
  a.kind = Kind::kSilence;
  return a;
}

namespace {

// Exactly n bytes; false on close or error.
bool ReadExactly(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t k = ::recv(fd, p, n, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k, n -= size_t(k);
  }
  return true;
}

std::string Text(const uint8_t* p, size_t n) {
  size_t k = 0;
  while (k < n && p[k]) ++k;
  return std::string(reinterpret_cast<const char*>(p), k);
}

}  // namespace

FakeRelayServer::FakeRelayServer() {
  defaults_[kInterline] = ServerAnswer::Status(0);
  defaults_[kRelayToPeer] = ServerAnswer::Silence();
  defaults_[kFileData] = ServerAnswer::Status(0);
  defaults_[kPoll] = ServerAnswer::Status(1);

  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 16) != 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("fake relay server: cannot listen");
  port_ = ntohs(addr.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

FakeRelayServer::~FakeRelayServer() {
  std::vector<ConnPtr> conns;
  {
    std::lock_guard<std::mutex> l(m_);
    stopping_ = true;
    conns = conns_;
  }
  ::shutdown(listenFd_, SHUT_RDWR);
  acceptThread_.join();
  ::close(listenFd_);
  for (auto& c : conns) Shut(c);
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> l(m_);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
}

void FakeRelayServer::AcceptLoop() {
  for (;;) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_shared<Conn>();
    c->fd = fd;
    std::lock_guard<std::mutex> l(m_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    c->id = int(conns_.size()) + 1;
    conns_.push_back(c);
    threads_.emplace_back([this, c] { Serve(c); });
    cv_.notify_all();
  }
}

void FakeRelayServer::Serve(ConnPtr c) {
  int fd;
  {
    std::lock_guard<std::mutex> l(c->writeMutex);
    fd = c->fd;
  }
  for (;;) {
    uint8_t head[kHeadSize];
    if (!ReadExactly(fd, head, kHeadSize)) break;
    const uint16_t length = Get16(head), version = Get16(head + 2), opcode = Get16(head + 4);
    if (length < kHeadSize || version != kVersion) {
      Error("connection " + std::to_string(c->id) + ": bad head, length " + std::to_string(length) +
            " version " + std::to_string(version));
      break;
    }
    Bytes body(length - kHeadSize);
    if (!ReadExactly(fd, body.data(), body.size())) break;
    const std::string deviceId = Text(head + 6, kIdSize);

    if (opcode == kInterline) {
      if (!body.empty()) Error("interline request with a body");
      std::lock_guard<std::mutex> l(m_);
      interline_ = c;
      ++interlineRequests_;
      cv_.notify_all();
    } else if (opcode == kRelayToPeer || opcode == kFileData) {
      RelayedOut r;
      r.connection = c->id;
      r.opcode = opcode;
      r.frameLength = length;
      r.version = version;
      r.deviceId = deviceId;
      if (body.size() < kIdSize + 8) {
        Error("relayed 0x" + std::to_string(opcode) + " with a body of " + std::to_string(body.size()) + " bytes");
      } else {
        r.peerId.assign(body.begin(), body.begin() + kIdSize);
        r.peerText = Text(body.data(), kIdSize);
        const uint8_t* in = body.data() + kIdSize;
        r.inner.length = Get16(in);
        r.inner.type = Get16(in + 2);
        r.inner.word = Get32(in + 4);
        r.inner.payload.assign(in + 8, static_cast<const uint8_t*>(body.data() + body.size()));
        r.innerLengthOk = r.inner.length == body.size() - kIdSize;
        if (!r.innerLengthOk) Error("relayed inner length disagrees with the frame");
      }
      std::lock_guard<std::mutex> l(m_);
      relayed_.push_back(std::move(r));
      cv_.notify_all();
    } else if (opcode == kPoll) {
      if (!body.empty()) Error("poll request with a body");
      std::lock_guard<std::mutex> l(m_);
      polls_.push_back({c->id, std::chrono::steady_clock::now()});
      cv_.notify_all();
    }
    if (!Answer(c, opcode, Next(opcode))) break;
  }
  {
    std::lock_guard<std::mutex> l(c->writeMutex);
    if (c->fd >= 0) ::close(c->fd);
    c->fd = -1;
    c->closed = true;
  }
  std::lock_guard<std::mutex> l(m_);
  closedIds_.push_back(c->id);
  if (interline_ == c) interline_.reset();
  cv_.notify_all();
}

ServerAnswer FakeRelayServer::Next(uint16_t opcode) {
  std::lock_guard<std::mutex> l(m_);
  auto q = queued_.find(opcode);
  if (q != queued_.end() && !q->second.empty()) {
    ServerAnswer a = q->second.front();
    q->second.pop_front();
    return a;
  }
  auto d = defaults_.find(opcode);
  return d != defaults_.end() ? d->second : ServerAnswer::Status(0);
}

bool FakeRelayServer::Answer(const ConnPtr& c, uint16_t opcode, const ServerAnswer& a) {
  if (a.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(a.delayMs));
  switch (a.kind) {
    case ServerAnswer::Kind::kSilence: return true;
    case ServerAnswer::Kind::kClose: return false;
    case ServerAnswer::Kind::kReply: break;
  }
  Bytes reply = Ack(opcode, a.status, uint16_t(8 + a.body.size()));
  reply.insert(reply.end(), a.body.begin(), a.body.end());
  return SendRaw(c, reply.data(), reply.size());
}

bool FakeRelayServer::SendRaw(const ConnPtr& c, const uint8_t* data, size_t n) {
  std::lock_guard<std::mutex> l(c->writeMutex);
  return SendLocked(c, data, n);
}

bool FakeRelayServer::SendLocked(const ConnPtr& c, const uint8_t* data, size_t n) {
  while (n > 0) {
    if (c->fd < 0) return false;
    ssize_t k = ::send(c->fd, data, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    data += k, n -= size_t(k);
  }
  return true;
}

void FakeRelayServer::Shut(const ConnPtr& c) {
  std::lock_guard<std::mutex> l(c->writeMutex);
  if (c->fd >= 0) ::shutdown(c->fd, SHUT_RDWR);
}

bool FakeRelayServer::WaitUntil(const std::function<bool()>& pred, int timeoutMs) const {
  std::unique_lock<std::mutex> l(m_);
  return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), pred);
}

void FakeRelayServer::Error(const std::string& e) {
  std::lock_guard<std::mutex> l(m_);
  errors_.push_back(e);
}

int FakeRelayServer::Accepted() const {
  std::lock_guard<std::mutex> l(m_);
  return int(conns_.size());
}

bool FakeRelayServer::WaitForAccepted(int count, int timeoutMs) const {
  return WaitUntil([&] { return int(conns_.size()) >= count; }, timeoutMs);
}

bool FakeRelayServer::WaitForClosed(int id, int timeoutMs) const {
  return WaitUntil([&] { return std::find(closedIds_.begin(), closedIds_.end(), id) != closedIds_.end(); },
                   timeoutMs);
}

std::vector<std::string> FakeRelayServer::ProtocolErrors() const {
  std::lock_guard<std::mutex> l(m_);
  return errors_;
}

void FakeRelayServer::SetDefault(uint16_t opcode, const ServerAnswer& a) {
  std::lock_guard<std::mutex> l(m_);
  defaults_[opcode] = a;
}

void FakeRelayServer::Queue(uint16_t opcode, const std::vector<ServerAnswer>& answers) {
  std::lock_guard<std::mutex> l(m_);
  auto& q = queued_[opcode];
  q.insert(q.end(), answers.begin(), answers.end());
}

void FakeRelayServer::QueuePollMessage(const Bytes& inner) { Queue(kPoll, {ServerAnswer::WithBody(0, inner)}); }

size_t FakeRelayServer::InterlineRequests() const {
  std::lock_guard<std::mutex> l(m_);
  return interlineRequests_;
}

int FakeRelayServer::InterlineConnection() const {
  std::lock_guard<std::mutex> l(m_);
  return interline_ ? interline_->id : 0;
}

bool FakeRelayServer::WaitForInterlineRequests(size_t count, int timeoutMs) const {
  return WaitUntil([&] { return interlineRequests_ >= count && interline_; }, timeoutMs);
}

bool FakeRelayServer::SendOnInterline(const Bytes& raw, size_t piece, int gapMs) {
  ConnPtr c;
  {
    std::lock_guard<std::mutex> l(m_);
    c = interline_;
  }
  if (!c) return false;
  if (piece == 0) piece = raw.size();
  // In pieces, but like a real server never with another frame in between.
  std::lock_guard<std::mutex> l(c->writeMutex);
  for (size_t at = 0; at < raw.size(); at += piece) {
    if (at > 0 && gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    if (!SendLocked(c, raw.data() + at, std::min(piece, raw.size() - at))) return false;
  }
  return true;
}

bool FakeRelayServer::RelayToAgent(const Bytes& inner, const std::string& idA, const std::string& idB, size_t piece,
                                   int gapMs) {
  return SendOnInterline(RelayedRequestFrame(inner, idA, idB), piece, gapMs);
}

void FakeRelayServer::CloseInterline() {
  ConnPtr c;
  {
    std::lock_guard<std::mutex> l(m_);
    c = interline_;
  }
  if (c) Shut(c);
}

std::vector<RelayedOut> FakeRelayServer::Relayed(uint16_t opcode) const {
  std::lock_guard<std::mutex> l(m_);
  std::vector<RelayedOut> out;
  for (const auto& r : relayed_)
    if (r.opcode == opcode) out.push_back(r);
  return out;
}

bool FakeRelayServer::WaitForRelayed(uint16_t opcode, size_t count, int timeoutMs) const {
  return WaitUntil(
      [&] {
        return size_t(std::count_if(relayed_.begin(), relayed_.end(),
                                    [&](const RelayedOut& r) { return r.opcode == opcode; })) >= count;
      },
      timeoutMs);
}

bool FakeRelayServer::WaitForEndNotice(int timeoutMs) const {
  return WaitUntil(
      [&] {
        return std::any_of(relayed_.begin(), relayed_.end(),
                           [](const RelayedOut& r) { return r.opcode == kFileData && r.inner.type == 0x1003; });
      },
      timeoutMs);
}

std::vector<PollRecord> FakeRelayServer::Polls() const {
  std::lock_guard<std::mutex> l(m_);
  return polls_;
}

bool FakeRelayServer::WaitForPolls(size_t count, int timeoutMs) const {
  return WaitUntil([&] { return polls_.size() >= count; }, timeoutMs);
}

}  // namespace ks::fake
