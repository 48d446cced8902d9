// The agent's side of the message protocol shared by the desktop program, mobile clients,
// the relay and P2P: the handler contract, channels, the handler registry and Dispatch.
//
// MsgHead (8 bytes, big-endian on the wire: u16 total length, u16 type, u32 request word)
// and the field helpers are common/wire's; they are named here in ks::net too. Handlers get
// the head in host order.
//
// Handler contract:
//   int Handler(const uint8_t* body, size_t bodyLength, const MsgHead* head, Channel* conn,
//               std::vector<uint8_t>* reply, int* udtSocket, int* direct)
// - body: the bodyLength bytes after the head, null when there are none. The framework keeps
//   one extra NUL after the body, but a handler never reads past bodyLength: it reads fixed
//   layouts through FixedBody<N>() (a zero-padded copy) and text fields through
//   FieldText() (up to the field size).
// - conn: the channel the message came on, never null. Streaming handlers write whole
//   messages to it (one Write per message); Write blocks while the peer is slow
//   (back-pressure) and returns false once the channel is closed. The pointer is valid only
//   until the handler returns; keep conn->Id() to refer to the channel later.
// - reply: a single answer, sent by the caller after the handler returns. The caller
//   refuses (and logs) a reply whose length would not fit MsgHead's u16 length.
// - udtSocket: the P2P UDT socket of the message or -1; direct: 1 for the local server, the
//   relay poll and P2P, 0 for messages from the relay connection.
// Returns a result code (agent/util/codes.h).
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/wire/wire.h"

namespace ks::net {

using ks::wire::DecodeMsgHead;
using ks::wire::EncodeMsgHead;
using ks::wire::FieldText;
using ks::wire::FixedBody;
using ks::wire::GetU16;
using ks::wire::GetU32;
using ks::wire::kMaxMessageLength;
using ks::wire::MsgHead;
using ks::wire::PutFieldText;
using ks::wire::PutU16;
using ks::wire::PutU32;

// Where a message came from. Desktop types (0x5000-0x5015) run only for kLocal.
enum class Origin {
  kLocal,      // local message server, peer 127.0.0.1
  kLan,        // local message server, any other peer
  kRelay,      // relay connection
  kRelayPoll,  // relay poll (no channel to answer on)
  kP2P,        // UDT peer
};
const char* OriginName(Origin o);

class Channel {
 public:
  virtual ~Channel() = default;
  // Sends one whole message (or, on a byte stream, appends the bytes). Blocks while the
  // peer's unsent backlog is above a high-water mark; false once the channel is closed.
  virtual bool Write(const void* data, size_t length) = 0;
  // The bytes of `count` pieces one after the other, as one Write of their concatenation
  // (one message on a message channel). Byte streams send them without joining them first.
  virtual bool WriteParts(const iovec* parts, size_t count);
  virtual bool IsOpen() const = 0;
  virtual Origin origin() const = 0;
  // Unique for the life of the process; transfer sessions bound to a channel use it.
  virtual uint64_t Id() const = 0;
};

// A fresh channel id (never 0, never reused in this process).
uint64_t NextChannelId();

// A channel that cannot carry anything (the relay poll has nobody to answer): Write is false.
class NullChannel final : public Channel {
 public:
  explicit NullChannel(Origin origin) : origin_(origin), id_(NextChannelId()) {}
  bool Write(const void*, size_t) override { return false; }
  bool IsOpen() const override { return false; }
  Origin origin() const override { return origin_; }
  uint64_t Id() const override { return id_; }

 private:
  Origin origin_;
  uint64_t id_;
};

// Channel-closed listeners, registered during start-up (before any server accepts). A
// transport calls NotifyChannelClosed once per channel, after the last handler running for
// it has returned; listeners then drop what they bound to that channel id. Listeners run on
// the notifying thread (an event loop or a pool worker) and must not block.
void OnChannelClosed(std::function<void(uint64_t channelId)> listener);
void NotifyChannelClosed(uint64_t channelId);

using Handler = int (*)(const uint8_t* body, size_t bodyLength, const MsgHead* head, Channel* conn,
                        std::vector<uint8_t>* reply, int* udtSocket, int* direct);

// Registry: filled during start-up before any server accepts, read-only afterwards.
int OS_RegFunction(uint16_t opcode, Handler handler);  // 0 or 275
bool IsRegistered(uint16_t opcode);
bool IsDesktopOpcode(uint16_t opcode);  // 0x5000..0x5015
// Registration tables (the agent's own are agent/service/handler_tables.h): one line per handler; "Reg <name> function error." (module
// "KestylClient", INFO) names the first line whose registration failed.
struct Registration {
  uint16_t opcode;
  Handler handler;
  const char* name;
};
int RegisterHandlers(const Registration* table, size_t count);  // 0 or the first failure

// Looks the type up and runs its handler: the handler's result, 280 (unregistered, logged
// "Type(%d) not registe."; or a desktop type from another origin than kLocal, logged as a
// WARNING), or 16 when the handler threw ("Do request exception."). A null conn is given to
// the handler as a NullChannel, a null reply as a scratch buffer that is dropped.
int Dispatch(const MsgHead& head, const uint8_t* body, size_t bodyLength, Channel* conn,
             std::vector<uint8_t>* reply, int udtSocket, int direct, Origin origin);

}  // namespace ks::net
