// DesktopRequest: one request of the desktop program to the agent, as the desktop sends it:
// a new TCP connection per request, MsgHead (+ body), one reply read with a 1 s receive
// time-out per read, then close. Also parsers and builders of the desktop types' layouts
// (all numbers big-endian, texts NUL-padded).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/fakes/wire.h"

namespace ks::fake {

struct DesktopReply {
  enum class Status {
    kOk,             // a whole reply (head + length - 8 body bytes) arrived
    kConnectFailed,  // nothing listens
    kSendFailed,
    kTimeout,    // no reply head within the receive time-out (the agent stayed silent)
    kClosed,     // the agent closed without (a whole) reply
    kBadLength,  // reply head announces a length below 8
  };
  Status status = Status::kConnectFailed;
  MsgHead head;
  ByteString body;
  ByteString raw;  // everything received
  int elapsed_ms = 0;

  bool ok() const { return status == Status::kOk; }
  // u32 result word at body offset 0 (0xFFFFFFFF when the body is shorter).
  uint32_t ResultWord() const;
};
const char* StatusName(DesktopReply::Status s);

struct DesktopRequestOptions {
  std::string host = "127.0.0.1";
  std::string bind_ip;         // e.g. "127.0.0.2" to send from another loopback address
  int recv_timeout_ms = 1000;  // per read, as the desktop program sets SO_RCVTIMEO
  int connect_timeout_ms = 2000;
};

// Sends MsgHead {8 + body, type, word} + body to host:port and reads one reply.
DesktopReply DesktopRequest(uint16_t port, uint16_t type, const ByteString& body = {},
                            uint32_t word = 0, const DesktopRequestOptions& options = {});
// Sends `message` exactly as given (any head, any length) and reads one reply.
DesktopReply DesktopRequestRaw(uint16_t port, const ByteString& message,
                               const DesktopRequestOptions& options = {});

// --- request bodies ------------------------------------------------------------------------

// MSG_SHOW_LOGON body: char[32] account + char[32] password, cut to `size` bytes (the
// desktop program sends 63).
ByteString ShowLogonBody(const std::string& account, const std::string& password, size_t size = 63);
// MSG_SHOW_SET_DEF_SHARE body: six char[260] folders (def, pic, music, video, doc, instant).
ByteString DefShareBody(const std::vector<std::string>& folders);
// MSG_SHOW_EXEC body: u32 session id + command text (+ NUL).
ByteString ExecBody(uint32_t session, const std::string& command);

// --- reply bodies --------------------------------------------------------------------------

struct LogonInfo {  // 0x5000
  std::string account, password;
};
LogonInfo ParseLogonInfo(const ByteString& body);

// 0x5004: six char[260] folders; empty when the body is not 1560 bytes.
std::vector<std::string> ParseDefShare(const ByteString& body);

// Transfer-log record of 0x5009: 300 bytes: u16 type, u16 status, u32 size, char[30] time,
// char[260] file name, 2 zero bytes.
struct TransLogRecord {
  uint16_t type = 0;
  uint16_t status = 0;
  uint32_t size = 0;
  std::string time;
  std::string file;
};
constexpr size_t kTransLogRecordSize = 300;
// False when the body is not a whole number of records or a record breaks the layout
// (`error` says which).
bool ParseTransLog(const ByteString& body, std::vector<TransLogRecord>* out, std::string* error);

struct TransferCounts {  // 0x500A: u16 open transfer sessions, u16 downloads in progress
  uint16_t sessions = 0;
  uint16_t downloads = 0;
};
TransferCounts ParseTransferCounts(const ByteString& body);

struct VerAndType {  // 0x1013: u16 system type, u16 version, char[64] id, char[64] host name
  uint16_t system_type = 0;
  uint16_t version = 0;
  std::string device_id;
  std::string host_name;
};
VerAndType ParseVerAndType(const ByteString& body);

// Text of "\r\n"-terminated lines (0x5006, 0x5008); a last piece without "\r\n" is kept.
std::vector<std::string> SplitCrLfLines(const std::string& text);

}  // namespace ks::fake
