// FakeDesktop: the desktop program's confirmation listener, on 127.0.0.1:<ephemeral>.
//
// The agent pushes MSG_SHOW_DEVICE_LOGIN_ASK: 264 bytes, MsgHead {264, 0x500D, word} and
// the first 256 bytes of the mobile client's log-in body (char[32] account, char[32]
// password, the rest as the client sent it). The owner's verdict goes back on the same
// connection: 12 bytes, MsgHead {12, 0x500D, word} + u32 verdict (0 accepted, 1 refused).
// Each push is recorded and answered as scripted (verdict, delay, silence, close, raw bytes).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tests/fakes/conn_server.h"
#include "tests/fakes/script.h"
#include "tests/fakes/wire.h"

namespace ks::fake {

struct DesktopAction {
  enum class Kind {
    kAnswer,   // 12-byte verdict after delay_ms
    kClose,    // close without an answer after delay_ms
    kSilence,  // keep the connection open, answer nothing, until the agent gives up
  };
  Kind kind = Kind::kAnswer;
  uint32_t verdict = 0;
  int delay_ms = 0;
  std::optional<uint32_t> word;         // the answer's word; the push's word when unset
  std::optional<ByteString> raw_reply;  // sent as it stands instead of the 12 bytes

  static DesktopAction Accept(int delay_ms = 0);
  static DesktopAction Refuse(int delay_ms = 0);
  static DesktopAction Close(int delay_ms = 0);
  static DesktopAction Silence();
  static DesktopAction Raw(ByteString bytes);
};

struct DesktopPush {
  MsgHead head;
  ByteString body;        // what followed the head (length - 8 bytes when complete)
  bool complete = false;  // the whole announced length arrived
  std::string account;    // text of body bytes 0..31
  std::string password;   // text of body bytes 32..63
  std::chrono::steady_clock::time_point received;
};

class FakeDesktop {
 public:
  struct Options {
    int read_timeout_ms = 10000;  // the push must arrive within this once connected
    int silence_max_ms = 120000;  // a silent answer holds the connection at most this long
  };

  explicit FakeDesktop(DesktopAction fixed = DesktopAction::Accept());
  FakeDesktop(DesktopAction fixed, Options options);
  ~FakeDesktop();
  FakeDesktop(const FakeDesktop&) = delete;
  FakeDesktop& operator=(const FakeDesktop&) = delete;

  uint16_t port() const { return server_->port(); }

  void SetAction(DesktopAction a) { script_.SetFixed(std::move(a)); }
  void QueueActions(const std::vector<DesktopAction>& a) { script_.Enqueue(a); }

  std::vector<DesktopPush> Pushes() const;
  size_t PushCount() const;
  bool WaitForPushes(size_t count, int timeout_ms) const;
  // Pushes whose head or size broke the layout above.
  std::vector<std::string> ProtocolErrors() const;
  // Number of answers given (raw replies included; not counting close and silence).
  size_t AnswersSent() const;

 private:
  void Serve(const std::shared_ptr<ConnServer::Conn>& conn);

  Options options_;
  Script<DesktopAction> script_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<DesktopPush> pushes_;
  std::vector<std::string> errors_;
  size_t answers_ = 0;
  std::unique_ptr<ConnServer> server_;  // last: its threads use everything above
};

}  // namespace ks::fake
