// The desktop program's requests to the agent (0x5000-0x5015) and MSG_GET_VER_AND_TYPE
// (0x1013): the one description of their layouts, with the encoders and parsers of both
// ends (the agent parses requests and makes replies; the desktop and command programs make
// requests and parse replies).
//
// One request per loopback connection, one reply on it. Every reply starts with a MsgHead
// {total length, the request's type, the request's word}; numbers are big-endian; result
// words are u32; text fields are NUL-padded and hold at most one byte less than their size.
// Desktop types run only for messages from 127.0.0.1 (Dispatch refuses other origins);
// 0x1013 answers anyone. Everything logs under "Show".
//
//   type    request body                      reply body (after the 8-byte head)
//   0x5000  -                                 char[32] account, char[32] password
//   0x5001  -                                 u32 log-on result
//   0x5002  char[32] account, char[32] pw     u32 result of the log-on
//   0x5004  -                                 six char[260] default folders (UTF-8)
//   0x5005  six char[260] folders (UTF-8)     u32 result of the store
//   0x5006  -                                 "folder\r\n"... (UTF-8, no NUL)
//   0x5007  "folder\r\n"... (UTF-8)           u32 result of the store
//   0x5008  - or a folder path (UTF-8)        "path\r\n"... sub-folders; "/\r\n" without body
//   0x5009  -                                 300-byte transfer-log records
//   0x500A  -                                 u16 open transfer sessions, u16 downloads
//   0x500B  -                                 u32 0 linked, 0xFFFFFFFF not
//   0x500C  -                                 u32 system type
//   0x500E  -                                 u32 result of clearing the account
//   0x500F  -                                 u32 result of clearing the transfer log
//   0x5010  -                                 char[32] access password
//   0x5011  char[32] access password          u32 result of the store
//   0x5012  -                                 char[32] MAC text
//   0x5013  -                                 one byte "0" / "1"
//   0x5014  one byte "0" / "1"                no reply
//   0x5015  u32 session id, command line      no reply
//   0x1013  -                                 u16 system type, u16 370, char[64] device id,
//                                             char[64] host name (UTF-8)
//
//   0x500D  (the agent asks the desktop program to let a mobile client in)
//           agent -> desktop: 264 bytes, MsgHead {264, 0x500D, word}, the client's 256-byte
//           log-in body (char[32] account, char[32] password, ...); desktop -> agent: 12
//           bytes, MsgHead {12, 0x500D, any}, u32 verdict (0 accepted, anything else refused)
//
// Texts on the wire are UTF-8; converting them from and to a program's own encoding is the
// program's business. Text fields are filled with PutUtf8Field (never half a character).
//
// The agent's side (Parse<Name>Body, Make<Name>Reply): bodies are read only within the
// bytes received, fixed layouts through zero-padded copies, so a short body reads as one
// padded with zeros. Replies that would pass the u16 length (0x5006, 0x5008, 0x5009) are
// cut at a line or record boundary, and the caller is told (it logs the cut).
//
// The programs' side (Make<Name>Request, Parse<Name>Reply): requests are whole messages,
// head included; a request whose body cannot be sent whole (a share list or a command line
// past the u16 length, a folder path the agent refuses) is not made (false). A reply body
// shorter than its layout is refused (false), never read past; a list reply is read in whole
// lines or whole records. Requests without a body: MakeRequest(type, word).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/wire/types.h"
#include "common/wire/wire.h"

namespace ks::wire::desktop {

// ---- sizes and framing ---------------------------------------------------------------------

constexpr size_t kMaxReplyBody = kMaxBodyLength;  // 65527
constexpr size_t kAccountFieldSize = 32;
constexpr size_t kLogOnBodySize = 2 * kAccountFieldSize;  // 64
constexpr size_t kFolderFieldSize = 260;
constexpr size_t kDefShareFolderCount = 6;
constexpr size_t kDefShareBlockSize = kDefShareFolderCount * kFolderFieldSize;  // 1560
constexpr size_t kMaxPathBody = 259;
constexpr size_t kTransLogRecordSize = 300;
constexpr size_t kMaxTransLogRecords = kMaxReplyBody / kTransLogRecordSize;  // 218
constexpr size_t kTextFieldSize = 32;  // password and MAC text
constexpr size_t kVerAndTypeSize = 132;
constexpr size_t kLoginAskBodySize = 256;
constexpr size_t kLoginAskSize = kMsgHeadSize + kLoginAskBodySize;  // 264
constexpr size_t kLoginAnswerSize = 12;

// A reply: MsgHead {8 + body, the request's type and word} and the body.
std::vector<uint8_t> MakeReply(const MsgHead& request, const uint8_t* body, size_t length);
// A reply whose body is one u32 (0x5001, 0x5002, 0x5005, 0x5007, 0x500B, 0x500C, 0x500E,
// 0x500F, 0x5011).
std::vector<uint8_t> MakeResultReply(const MsgHead& request, uint32_t result);
// A request without a body (0x5000, 0x5001, 0x5004, 0x5006, 0x5008 for the roots, 0x5009,
// 0x500A, 0x500B, 0x500C, 0x500E, 0x500F, 0x5010, 0x5012, 0x5013, 0x1013).
std::vector<uint8_t> MakeRequest(uint16_t type, uint32_t word);
// The u32 of a result reply; false when the body is shorter than 4 bytes.
bool ParseResultReply(const uint8_t* body, size_t length, uint32_t* result);

// ---- 0x5000 MSG_SHOW_GET_LOGON_INFO, 0x5002 MSG_SHOW_LOGON -----------------------------------

// The account and password of the vendor's service (char[32] each on the wire).
struct LogOnRequest {
  std::string account;
  std::string password;
};
using LogOnInfo = LogOnRequest;

std::vector<uint8_t> MakeLogOnRequest(uint32_t word, const LogOnRequest& account);
// The account from bytes 0..31 and the password from 32..63, each up to its NUL and never
// past the bytes received.
LogOnRequest ParseLogOnBody(const uint8_t* body, size_t length);
std::vector<uint8_t> MakeGetLogOnInfoReply(const MsgHead& request, const LogOnInfo& info);
bool ParseGetLogOnInfoReply(const uint8_t* body, size_t length, LogOnInfo* out);

// ---- 0x5004 MSG_SHOW_GET_DEF_SHARE, 0x5005 MSG_SHOW_SET_DEF_SHARE ----------------------------

// The six folders of a default-share block, in the order data folder, pictures, music,
// video, documents, instant; each in a 260-byte field. Missing ones are sent empty.
std::vector<uint8_t> MakeSetDefShareRequest(uint32_t word, const std::vector<std::string>& folders);
// The six folders, each up to its NUL within its 260 bytes.
std::vector<std::string> ParseDefShareBlock(const uint8_t* body, size_t length);
std::vector<uint8_t> MakeGetDefShareReply(const MsgHead& request, const std::vector<std::string>& folders);
bool ParseGetDefShareReply(const uint8_t* body, size_t length, std::vector<std::string>* folders);

// ---- 0x5006 MSG_SHOW_GET_SHARE, 0x5007 MSG_SHOW_SET_SHARE, 0x5008 MSG_SHOW_GET_PATH ----------

// "folder\r\n" for each folder. False when it would pass the u16 length.
bool MakeSetShareRequest(uint32_t word, const std::vector<std::string>& folders, std::vector<uint8_t>* out);
// The sub-folders of `folder` (an empty folder asks for the roots: no body). False when the
// path is longer than kMaxPathBody bytes (the agent would refuse it).
bool MakeGetPathRequest(uint32_t word, const std::string& folder, std::vector<uint8_t>* out);
// Pieces of a "\r\n"-separated text (up to the first NUL), empty ones dropped: the body of
// 0x5007 and the replies of 0x5006 and 0x5008.
std::vector<std::string> SplitShareText(const uint8_t* body, size_t length);
// The folder of a 0x5008 body: up to its NUL; "" (refused) when longer than kMaxPathBody.
std::string ParseGetPathBody(const uint8_t* body, size_t length, bool* tooLong);
// The longest prefix of `text` of at most maxBytes bytes that ends after a "\r\n" (all of
// it when it fits); `cut` tells whether anything was dropped.
std::string CapAtLineBoundary(const std::string& text, size_t maxBytes, bool* cut);
// The 0x5006 / 0x5008 reply: `text` ("line\r\n"...) capped at a line boundary below the
// u16 length; *cut tells whether lines were dropped.
std::vector<uint8_t> MakeLinesReply(const MsgHead& request, const std::string& text, bool* cut);
// The folders of a 0x5006 / 0x5008 reply.
std::vector<std::string> ParseLinesReply(const uint8_t* body, size_t length);

// ---- 0x5009 MSG_SHOW_GET_TRANS_LOG ------------------------------------------------------------

// One 300-byte record: u16 type (0 upload to the PC, 1 download), u16 status, u32 size
// (saturated), char[30] time "%Y-%m-%d %H:%M:%S", char[260] file (UTF-8), 2 bytes zero.
struct TransLogEntry {
  uint16_t type = 0;
  uint16_t status = 0;
  uint32_t size = 0;
  std::string time;
  std::string file;
};
// At most kMaxTransLogRecords records (the first ones); *cut tells whether any were dropped.
std::vector<uint8_t> MakeGetTransLogReply(const MsgHead& request, const std::vector<TransLogEntry>& entries,
                                          bool* cut);
// Whole records only: false when the body is not a whole number of records.
bool ParseGetTransLogReply(const uint8_t* body, size_t length, std::vector<TransLogEntry>* out);

// ---- 0x500A MSG_SHOW_GET_IS_TRANSFERRING --------------------------------------------------------

struct Transferring {
  uint16_t sessions = 0;   // open transfer sessions (uploads)
  uint16_t downloads = 0;  // running downloads
};
std::vector<uint8_t> MakeGetIsTransferringReply(const MsgHead& request, const Transferring& t);
bool ParseGetIsTransferringReply(const uint8_t* body, size_t length, Transferring* out);

// ---- 0x5010 MSG_SHOW_GET_PWD, 0x5011 MSG_SHOW_SET_PWD, 0x5012 MSG_SHOW_GET_MAC ----------------

std::vector<uint8_t> MakeSetPwdRequest(uint32_t word, const std::string& password);
std::string ParseSetPwdBody(const uint8_t* body, size_t length);
// The char[32] replies of 0x5010 (the access password) and 0x5012 (the MAC text).
std::vector<uint8_t> MakeTextFieldReply(const MsgHead& request, const std::string& text);
bool ParseTextFieldReply(const uint8_t* body, size_t length, std::string* text);

// ---- 0x5013 MSG_SHOW_GET_AUTO_TIDING, 0x5014 MSG_SHOW_SET_AUTO_TIDING -------------------------

// One byte '1' (on) or '0' (off); the agent ignores any other and sends no reply.
std::vector<uint8_t> MakeSetAutoTidyingRequest(uint32_t word, bool on);
// The reply's one byte as stored ('0', '1', or 0 when nothing is stored).
std::vector<uint8_t> MakeGetAutoTidyingReply(const MsgHead& request, uint8_t status);
// True (and *on) when the reply holds '0' or '1'; nothing stored reads as off.
bool ParseGetAutoTidyingReply(const uint8_t* body, size_t length, bool* on);

// ---- 0x5015 MSG_SHOW_EXEC -----------------------------------------------------------------------

// u32 session id, then the command line and a NUL. No reply. False when it would pass the
// u16 length.
bool MakeExecRequest(uint32_t word, uint32_t session, const std::string& command, std::vector<uint8_t>* out);
// The session id, then the command line up to its NUL or the end of the body. False when
// the body is shorter than the session id.
struct ExecRequest {
  uint32_t session = 0;
  std::string command;
};
bool ParseExecBody(const uint8_t* body, size_t length, ExecRequest* out);

// ---- 0x1013 MSG_GET_VER_AND_TYPE ----------------------------------------------------------------

struct VerAndType {
  uint16_t systemType = 0;
  uint16_t version = 0;
  std::string deviceId;  // char[64]
  std::string hostName;  // char[64], UTF-8
};
std::vector<uint8_t> MakeGetVerAndTypeReply(const MsgHead& request, const VerAndType& v);
bool ParseGetVerAndTypeReply(const uint8_t* body, size_t length, VerAndType* out);

// ---- 0x500D MSG_SHOW_DEVICE_LOGIN_ASK -----------------------------------------------------------

// The agent's ask: the client's log-in body, its first 256 bytes (zero-padded).
std::vector<uint8_t> MakeDeviceLoginAsk(uint32_t word, const uint8_t* loginBody, size_t length);
// The desktop program's reading of an ask body: the client's account and password.
bool ParseDeviceLoginAsk(const uint8_t* body, size_t length, LogOnRequest* client);
// The desktop program's answer: verdict 0 lets the client in.
std::vector<uint8_t> MakeDeviceLoginAnswer(uint32_t word, uint32_t verdict);
// The agent's reading of a whole 12-byte answer: true only for MsgHead {12, 0x500D} and
// verdict 0 (a larger word must not pass as 0 once cut to 16 bits).
bool DeviceLoginAccepted(const uint8_t* answer, size_t length);

}  // namespace ks::wire::desktop
