// Requests of the desktop program (0x5000-0x5015) and MSG_GET_VER_AND_TYPE (0x1013).
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
// Bodies are read only within the bytes received: fixed layouts through zero-padded copies,
// so a short body reads as one padded with zeros. Texts that grow when converted to UTF-8
// are cut at a character boundary in their fields. Replies that would pass the u16 length
// (0x5006, 0x5008, 0x5009) are cut at a line or record boundary and the cut is logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/net/msg/msg.h"

namespace ks::desktop {

using ks::net::Channel;
using ks::net::MsgHead;

#define KS_DESKTOP_HANDLER(name)                                                        \
  int name(const uint8_t* body, size_t bodyLength, const MsgHead* head, Channel* conn, \
           std::vector<uint8_t>* reply, int* udtSocket, int* direct)

KS_DESKTOP_HANDLER(Show_GetLogOnInfo);
KS_DESKTOP_HANDLER(Show_LogOnStatues);
KS_DESKTOP_HANDLER(Show_LogOn);
KS_DESKTOP_HANDLER(Show_GetDefShare);
KS_DESKTOP_HANDLER(Show_SetDefShare);
KS_DESKTOP_HANDLER(Show_GetShare);
KS_DESKTOP_HANDLER(Show_SetShare);
KS_DESKTOP_HANDLER(Show_GetPath);
KS_DESKTOP_HANDLER(Show_GetTransLog);
KS_DESKTOP_HANDLER(Show_GetIsTraning);
KS_DESKTOP_HANDLER(Show_GetIsMobileLinked);
KS_DESKTOP_HANDLER(Show_GetSysType);
KS_DESKTOP_HANDLER(Show_LogOut);
KS_DESKTOP_HANDLER(Show_ClearLog);
KS_DESKTOP_HANDLER(Show_GetPwd);
KS_DESKTOP_HANDLER(Show_SetPwd);
KS_DESKTOP_HANDLER(Show_GetMac);
KS_DESKTOP_HANDLER(Show_AutoTiding);  // 0x5013 and 0x5014
KS_DESKTOP_HANDLER(Show_Exec);
KS_DESKTOP_HANDLER(GetVerAndType);

#undef KS_DESKTOP_HANDLER

// ---- pieces of the handlers, pure ---------------------------------------------------------

constexpr size_t kMaxReplyBody = ks::net::kMaxMessageLength - 8;  // 65527
constexpr size_t kTransLogRecordSize = 300;
constexpr size_t kDefShareBlockSize = 1560;
constexpr size_t kMaxPathBody = 259;

// A reply: MsgHead {8 + body, the request's type and word} and the body.
std::vector<uint8_t> MakeReply(const MsgHead& request, const uint8_t* body, size_t length);
std::vector<uint8_t> MakeResultReply(const MsgHead& request, uint32_t result);

// MSG_SHOW_LOGON body: the account from bytes 0..31 and the password from 32..63, each up to
// its NUL and never past the bytes received.
struct LogOnRequest {
  std::string account;
  std::string password;
};
LogOnRequest ParseLogOnBody(const uint8_t* body, size_t length);

// The six folders of a default-share block, each up to its NUL within its 260 bytes.
std::vector<std::string> ParseDefShareBlock(const uint8_t* body, size_t length);

// Pieces of a "\r\n"-separated text (up to the first NUL), empty ones dropped.
std::vector<std::string> SplitShareText(const uint8_t* body, size_t length);

// The longest prefix of `text` of at most maxBytes bytes that ends after a "\r\n" (all of
// it when it fits); `cut` tells whether anything was dropped.
std::string CapAtLineBoundary(const std::string& text, size_t maxBytes, bool* cut);

// MSG_SHOW_EXEC body: u32 session id, then the command line up to its NUL or the end of
// the body. False when the body is shorter than the session id.
struct ExecRequest {
  uint32_t session = 0;
  std::string command;
};
bool ParseExecBody(const uint8_t* body, size_t length, ExecRequest* out);

// Starts the command line of a MSG_SHOW_EXEC body in the given session through the
// platform's session launcher; session 0 or a session without a user starts nothing.
void LaunchAppIntoDifferentSession(const uint8_t* body, size_t length);

}  // namespace ks::desktop
