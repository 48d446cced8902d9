#include "tests/fakes/fake_desktop.h"

namespace ks::fake {

DesktopAction DesktopAction::Accept(int delay_ms) {
  DesktopAction a;
  a.verdict = 0;
  a.delay_ms = delay_ms;
  return a;
}

DesktopAction DesktopAction::Refuse(int delay_ms) {
  DesktopAction a = Accept(delay_ms);
  a.verdict = 1;
  return a;
}

DesktopAction DesktopAction::Close(int delay_ms) {
  DesktopAction a;
  a.kind = Kind::kClose;
  a.delay_ms = delay_ms;
  return a;
}

DesktopAction DesktopAction::Silence() {
  DesktopAction a;
  a.kind = Kind::kSilence;
  return a;
}

DesktopAction DesktopAction::Raw(ByteString bytes) {
  DesktopAction a;
  a.raw_reply = std::move(bytes);
  return a;
}

FakeDesktop::FakeDesktop(DesktopAction fixed) : FakeDesktop(std::move(fixed), Options()) {}

FakeDesktop::FakeDesktop(DesktopAction fixed, Options options)
    : options_(options), script_(std::move(fixed)) {
  server_ = std::make_unique<ConnServer>(
      "127.0.0.1", [this](const std::shared_ptr<ConnServer::Conn>& c) { Serve(c); });
}

FakeDesktop::~FakeDesktop() { server_->Stop(); }

void FakeDesktop::Serve(const std::shared_ptr<ConnServer::Conn>& conn) {
  const Canceller* cancel = server_->cancel();
  int fd = conn->fd.get();
  ByteString head_bytes;
  if (RecvExact(fd, &head_bytes, wire::kMsgHeadSize, options_.read_timeout_ms, cancel) != Io::kOk) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!head_bytes.empty())
      errors_.push_back("push head cut after " + std::to_string(head_bytes.size()) + " bytes");
    return;
  }
  DesktopPush push;
  push.head = DecodeMsgHead(head_bytes);
  size_t body_len =
      push.head.length > wire::kMsgHeadSize ? push.head.length - wire::kMsgHeadSize : 0;
  push.complete = RecvExact(fd, &push.body, body_len, options_.read_timeout_ms, cancel) == Io::kOk;
  push.account = GetText(push.body, 0, 32);
  push.password = GetText(push.body, 32, 32);
  push.received = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (push.head.type != wire::kShowDeviceLoginAsk)
      errors_.push_back("push type " + std::to_string(push.head.type) + ", not 0x500D");
    if (push.head.length != wire::kLoginAskSize)
      errors_.push_back("push length " + std::to_string(push.head.length) + ", not 264");
    if (!push.complete)
      errors_.push_back("push body cut after " + std::to_string(push.body.size()) + " bytes");
    pushes_.push_back(push);
    cv_.notify_all();
  }
  if (!push.complete) return;

  DesktopAction a = script_.Next();
  if (a.delay_ms > 0 && SleepCancellable(a.delay_ms, cancel)) return;
  switch (a.kind) {
    case DesktopAction::Kind::kClose: return;
    case DesktopAction::Kind::kSilence: WaitPeerClose(fd, options_.silence_max_ms, cancel); return;
    case DesktopAction::Kind::kAnswer: break;
  }
  ByteString reply;
  if (a.raw_reply) {
    reply = *a.raw_reply;
  } else {
    reply = EncodeMsgHead({12, wire::kShowDeviceLoginAsk, a.word.value_or(push.head.word)});
    PutU32(reply, a.verdict);
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++answers_;  // counted before sending: the agent may act on it at once
  }
  conn->Send(reply, 5000, cancel);
  // Let the agent read the answer and close first, as the desktop's thread would end.
  WaitPeerClose(fd, 2000, cancel);
}

std::vector<DesktopPush> FakeDesktop::Pushes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pushes_;
}

size_t FakeDesktop::PushCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pushes_.size();
}

bool FakeDesktop::WaitForPushes(size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return pushes_.size() >= count; });
}

std::vector<std::string> FakeDesktop::ProtocolErrors() const {
  std::lock_guard<std::mutex> lock(mu_);
  return errors_;
}

size_t FakeDesktop::AnswersSent() const {
  std::lock_guard<std::mutex> lock(mu_);
  return answers_;
}

}  // namespace ks::fake
