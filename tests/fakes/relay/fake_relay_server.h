// FakeRelayServer: the vendor's server in its relay roles, on 127.0.0.1:<ephemeral>,
// written from the protocol (it shares no code with the agent's relay).
//
// Every request the agent sends starts with the 70-byte ServerHead (u16 total length, u16
// version 370, u16 opcode, char[64] device id; big-endian) and has length - 70 body bytes.
// Answers are the 8-byte reply head {u16 length, u16 0, u16 opcode answered, u16 status},
// followed by a body for the poll. Each accepted connection is served by its own thread,
// request after request, until either side closes it.
//
// Roles:
// - interline (0x1008): the connection becomes the relay connection; acknowledged.
// - relayed requests pushed to the agent on the relay connection (0x1009 frames:
//   ServerHead {134 + inner, 370, 0x1009, id A}, char[64] id B, inner message), whole or
//   in pieces; any raw bytes too (acks, coalesced frames, garbage).
// - relayed answers (0x1009 from the agent, not acknowledged by default) and relayed file
//   data (0x100B, acknowledged with status 0 by default) are recorded with their peer id
//   and inner message.
// - poll (0x100C): answered from a queue (status 0 + one inner message, or any scripted
//   answer), then by the default (status 1: nothing to relay).
// Answers per opcode are scripted: queued ones first, then the opcode's default.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ks::fake {

using Bytes = std::vector<uint8_t>;

namespace relaywire {
constexpr uint16_t kInterline = 0x1008;
constexpr uint16_t kRelayToPeer = 0x1009;
constexpr uint16_t kFileData = 0x100B;
constexpr uint16_t kPoll = 0x100C;
constexpr uint16_t kVersion = 370;
constexpr size_t kHeadSize = 70;
constexpr size_t kIdSize = 64;

void Put16(uint8_t* p, uint16_t v);
void Put32(uint8_t* p, uint32_t v);
uint16_t Get16(const uint8_t* p);
uint32_t Get32(const uint8_t* p);
// A 64-byte id field holding `text` (at most 63 characters, NUL-padded).
Bytes IdField(const std::string& text);
// A client message: {8 + payload, type, word} + payload.
Bytes Message(uint16_t type, uint32_t word, const Bytes& payload);
// The server's 8-byte reply head.
Bytes Ack(uint16_t opcode, uint16_t status, uint16_t length = 8);
// A relayed request frame as the server pushes it.
Bytes RelayedRequestFrame(const Bytes& inner, const std::string& idA, const std::string& idB);
}  // namespace relaywire

struct InnerMessage {
  uint16_t length = 0;
  uint16_t type = 0;
  uint32_t word = 0;
  Bytes payload;  // what follows the 8-byte head
};

// Something the agent sent through the server (0x1009 answer or 0x100B file data).
struct RelayedOut {
  int connection = 0;
  uint16_t opcode = 0;
  uint16_t frameLength = 0;
  uint16_t version = 0;
  std::string deviceId;
  Bytes peerId;   // the 64 raw bytes
  std::string peerText;  // up to the first NUL
  InnerMessage inner;
  bool innerLengthOk = false;  // inner length == body - 64
};

struct ServerAnswer {
  enum class Kind { kReply, kClose, kSilence };
  Kind kind = Kind::kReply;
  uint16_t status = 0;
  Bytes body;        // after the reply head (poll messages)
  int delayMs = 0;

  static ServerAnswer Status(uint16_t status, int delayMs = 0);
  static ServerAnswer WithBody(uint16_t status, const Bytes& body);
  static ServerAnswer Close();
  static ServerAnswer Silence();
};

struct PollRecord {
  int connection = 0;
  std::chrono::steady_clock::time_point when;
};

class FakeRelayServer {
 public:
  FakeRelayServer();
  ~FakeRelayServer();
  FakeRelayServer(const FakeRelayServer&) = delete;
  FakeRelayServer& operator=(const FakeRelayServer&) = delete;

  uint16_t port() const { return port_; }
  int Accepted() const;
  bool WaitForAccepted(int count, int timeoutMs) const;
  // True once the agent (or the server) closed connection `id`.
  bool WaitForClosed(int id, int timeoutMs) const;
  std::vector<std::string> ProtocolErrors() const;

  // --- scripts ---------------------------------------------------------------------------
  void SetDefault(uint16_t opcode, const ServerAnswer& a);
  void Queue(uint16_t opcode, const std::vector<ServerAnswer>& answers);
  void QueuePollMessage(const Bytes& inner);  // status 0 with this body

  // --- interline -------------------------------------------------------------------------
  size_t InterlineRequests() const;
  int InterlineConnection() const;  // 0 while none
  bool WaitForInterlineRequests(size_t count, int timeoutMs) const;
  // Bytes on the relay connection in `piece`-byte pieces (0: whole), `gapMs` apart.
  bool SendOnInterline(const Bytes& raw, size_t piece = 0, int gapMs = 0);
  bool RelayToAgent(const Bytes& inner, const std::string& idA, const std::string& idB, size_t piece = 0,
                    int gapMs = 0);
  void CloseInterline();

  // --- what the agent sent through the server ----------------------------------------------
  std::vector<RelayedOut> Relayed(uint16_t opcode) const;
  bool WaitForRelayed(uint16_t opcode, size_t count, int timeoutMs) const;
  // A relayed 0x100B whose inner type is MSG_DOWNLOAD_OVER (0x1003).
  bool WaitForEndNotice(int timeoutMs) const;

  // --- poll --------------------------------------------------------------------------------
  std::vector<PollRecord> Polls() const;
  bool WaitForPolls(size_t count, int timeoutMs) const;

 private:
  struct Conn {
    int id = 0;
    int fd = -1;  // guarded by writeMutex
    std::mutex writeMutex;
    bool closed = false;
  };
  using ConnPtr = std::shared_ptr<Conn>;

  void AcceptLoop();
  void Serve(ConnPtr c);
  ServerAnswer Next(uint16_t opcode);
  bool Answer(const ConnPtr& c, uint16_t opcode, const ServerAnswer& a);
  bool SendRaw(const ConnPtr& c, const uint8_t* data, size_t n);
  // The same with c->writeMutex held by the caller.
  static bool SendLocked(const ConnPtr& c, const uint8_t* data, size_t n);
  void Shut(const ConnPtr& c);
  bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) const;
  void Error(const std::string& e);

  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::thread acceptThread_;

  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
  std::vector<ConnPtr> conns_;
  std::vector<int> closedIds_;
  std::map<uint16_t, std::deque<ServerAnswer>> queued_;
  std::map<uint16_t, ServerAnswer> defaults_;
  ConnPtr interline_;
  size_t interlineRequests_ = 0;
  std::vector<RelayedOut> relayed_;
  std::vector<PollRecord> polls_;
  std::vector<std::string> errors_;
};

}  // namespace ks::fake
