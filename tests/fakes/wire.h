// Wire layouts of the agent's protocols as its peers see them, written independently of the
// agent's own code so that a fault in the agent's encoding shows up in the fakes.
//
// Byte containers are ByteString, a std::string of raw bytes (not text). Every number is big-endian
// unless a function name says Le. Readers never read past the bytes given: a field beyond the end
// reads as zero / empty text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ks::fake {

using ByteString = std::string;

namespace wire {

constexpr uint16_t kVersion = 370;
constexpr uint16_t kSystemType = 2;
constexpr size_t kMsgHeadSize = 8;
constexpr size_t kServerHeadSize = 70;  // u16 length, u16 version, u16 opcode, char[64] id
constexpr size_t kReplyHeadSize = 8;    // u16 length, u16, u16, u16 status
constexpr size_t kIdSize = 64;
constexpr size_t kRelayHeadSize = kServerHeadSize + kIdSize;  // 134
constexpr size_t kMaxMessage = 0xFFFF;                        // u16 length field

// Message types (MsgHead) that mobile clients send or receive.
enum : uint16_t {
  kReqUploadFile = 1,
  kUploadFile = 2,
  kOverUploadFile = 3,
  kReqDownloadFile = 4,
  kAllowDownloadFile = 5,
  kReqDeviceLogin = 8,
  kReqShutdownSystem = 9,
  kRefuseDownloadFile = 0x11,
  kReqUploadFileOk = 0x1001,
  kDownloadData = 0x1002,
  kDownloadOver = 0x1003,
  kReqDownloadFileOk = 0x1004,
  kStopDownload = 0x100E,
  kUploadError = 0x1011,
  kDownloadError = 0x1012,
  kGetVerAndType = 0x1013,
  kGetShareInfo = 0x2002,
  kGetAllSubFile = 0x2003,
  kReqThumbnail = 0x3001,
  kThumbnailStatus = 0x3002,
  kReqDeviceHeartBeat = 0x8888,
};

// Desktop program's message types (loopback only).
enum : uint16_t {
  kShowGetLogonInfo = 0x5000,
  kShowLogonStatus = 0x5001,
  kShowLogon = 0x5002,
  kShowGetDefShare = 0x5004,
  kShowSetDefShare = 0x5005,
  kShowGetShare = 0x5006,
  kShowSetShare = 0x5007,
  kShowGetPath = 0x5008,
  kShowGetTransLog = 0x5009,
  kShowGetIsTransferring = 0x500A,
  kShowGetIsMobileLinked = 0x500B,
  kShowGetSysType = 0x500C,
  kShowDeviceLoginAsk = 0x500D,
  kShowLogout = 0x500E,
  kShowClearLog = 0x500F,
  kShowGetPwd = 0x5010,
  kShowSetPwd = 0x5011,
  kShowGetMac = 0x5012,
  kShowGetAutoTiding = 0x5013,
  kShowSetAutoTiding = 0x5014,
  kShowExec = 0x5015,
};

// Vendor server opcodes (ServerHead).
enum : uint16_t {
  kSrvLogon = 0x1001,
  kSrvLogout = 0x1002,
  kSrvSetSvInfo = 0x1004,
  kSrvGetUuid = 0x1006,
  kSrvInterlineReq = 0x1008,
  kSrvRelayToPeer = 0x1009,
  kSrvRelayFileData = 0x100B,
  kSrvRelayPoll = 0x100C,
  kSrvSetPowerOnInfo = 0x100F,
};

// Fixed body sizes the peers rely on.
constexpr size_t kLogonBody = 132;
constexpr size_t kLogoutBody = 64;
constexpr size_t kSvInfoBody = 212;
constexpr size_t kPowerOnBody = 162;
constexpr size_t kDeviceLoginBody = 256;
constexpr size_t kLoginAskSize = 8 + kDeviceLoginBody;  // 264
constexpr size_t kListingRequestBody = 356;
constexpr size_t kDownloadRequestBody = 356;
constexpr size_t kUploadRequestBody = 380;
constexpr size_t kThumbRequestBody = 360;
constexpr size_t kPackageSize = 1000;
constexpr uint16_t kCacheFullStatus = 4116;

}  // namespace wire

// --- byte codec -------------------------------------------------------------------------

void PutU8(ByteString& b, uint8_t v);
void PutU16(ByteString& b, uint16_t v);
void PutU32(ByteString& b, uint32_t v);
void PutU16Le(ByteString& b, uint16_t v);
void PutU32Le(ByteString& b, uint32_t v);
void PutZeros(ByteString& b, size_t n);
// `field` bytes: the text cut to field - 1 bytes, NUL-padded.
void PutText(ByteString& b, std::string_view text, size_t field);
// `field` bytes: the text cut to `field` bytes (no terminator when it fills the field).
void PutTextFull(ByteString& b, std::string_view text, size_t field);

uint8_t GetU8(std::string_view b, size_t off);
uint16_t GetU16(std::string_view b, size_t off);
uint32_t GetU32(std::string_view b, size_t off);
uint16_t GetU16Le(std::string_view b, size_t off);
uint32_t GetU32Le(std::string_view b, size_t off);
// The text of a NUL-padded field: up to its first NUL, within the field and within `b`.
std::string GetText(std::string_view b, size_t off, size_t field);
// True when the field lies within `b` and holds a NUL (a text of at most field - 1 bytes).
bool TextTerminated(std::string_view b, size_t off, size_t field);
// True when the n bytes at off lie within `b` and are all zero.
bool AllZero(std::string_view b, size_t off, size_t n);
// "1.2.3.4" of a 4-byte IPv4 address stored in network order at off.
std::string GetIpv4(std::string_view b, size_t off);
// Printable form of bytes for failure messages ("\x01" for the rest).
std::string Printable(std::string_view b, size_t max = 80);

// --- message protocol (MsgHead) ------------------------------------------------------------

struct MsgHead {
  uint16_t length = 0;  // whole message, head included
  uint16_t type = 0;
  uint32_t word = 0;
};

struct Message {
  MsgHead head;
  ByteString body;            // length - 8 bytes (empty when length <= 8)
  ByteString Encode() const;  // head as recorded + body
};

ByteString EncodeMsgHead(const MsgHead& h);
MsgHead DecodeMsgHead(std::string_view b);  // needs 8 bytes; zeros otherwise
// Head {8 + body, type, word} + body. Throws std::length_error past the u16 length.
ByteString EncodeMsg(uint16_t type, uint32_t word, std::string_view body = {});

// --- vendor server protocol ----------------------------------------------------------------

struct ServerHead {
  uint16_t length = 0;
  uint16_t version = 0;
  uint16_t opcode = 0;
  std::string device_id;  // text up to the first NUL of the 64-byte field
  bool id_terminated = false;
};

ByteString EncodeServerHead(uint16_t length, uint16_t version, uint16_t opcode,
                            std::string_view id);
ServerHead DecodeServerHead(std::string_view b);  // needs 70 bytes
// 8 bytes: u16 length, u16 field2, u16 field4, u16 status.
ByteString EncodeReplyHead(uint16_t length, uint16_t status, uint16_t field4 = 0,
                           uint16_t field2 = 0);

// The 64-byte id field as a NUL-padded text.
ByteString IdField(std::string_view id);

}  // namespace ks::fake
