#include "common/wire/desktop/desktop_wire.h"

#include <array>
#include <cstring>

namespace ks::wire::desktop {

std::vector<uint8_t> MakeReply(const MsgHead& request, const uint8_t* body, size_t length) {
  return MakeMessage(request.type, request.sequence, body, length);
}

std::vector<uint8_t> MakeResultReply(const MsgHead& request, uint32_t result) {
  uint8_t word[4];
  PutU32(word, result);
  return MakeReply(request, word, sizeof word);
}

LogOnRequest ParseLogOnBody(const uint8_t* body, size_t length) {
  auto b = FixedBody<kLogOnBodySize>(body, length);
  return LogOnRequest{FieldText(b.data(), kAccountFieldSize),
                      FieldText(b.data() + kAccountFieldSize, kAccountFieldSize)};
}

std::vector<std::string> ParseDefShareBlock(const uint8_t* body, size_t length) {
  auto b = FixedBody<kDefShareBlockSize>(body, length);
  std::vector<std::string> dirs;
  for (size_t i = 0; i < kDefShareFolderCount; ++i)
    dirs.push_back(FieldText(b.data() + i * kFolderFieldSize, kFolderFieldSize));
  return dirs;
}

std::vector<std::string> SplitShareText(const uint8_t* body, size_t length) {
  std::string text = body ? FieldText(body, length) : std::string();
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t hit = text.find("\r\n", pos);
    size_t end = hit == std::string::npos ? text.size() : hit;
    if (end > pos) out.push_back(text.substr(pos, end - pos));
    if (hit == std::string::npos) break;
    pos = hit + 2;
  }
  return out;
}

std::string CapAtLineBoundary(const std::string& text, size_t maxBytes, bool* cut) {
  if (cut) *cut = false;
  if (text.size() <= maxBytes) return text;
  if (cut) *cut = true;
  if (maxBytes < 2) return std::string();
  // The last "\r\n" that ends at or before maxBytes.
  size_t hit = text.rfind("\r\n", maxBytes - 2);
  return hit == std::string::npos ? std::string() : text.substr(0, hit + 2);
}

bool ParseExecBody(const uint8_t* body, size_t length, ExecRequest* out) {
  if (!body || length < 4) return false;
  out->session = GetU32(body);
  out->command = FieldText(body + 4, length - 4);
  return true;
}

namespace {

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

}  // namespace

std::vector<uint8_t> MakeRequest(uint16_t type, uint32_t word) { return MakeMessage(type, word, nullptr, 0); }

bool ParseResultReply(const uint8_t* body, size_t length, uint32_t* result) {
  if (!body || length < 4) return false;
  *result = GetU32(body);
  return true;
}

// ---- account -----------------------------------------------------------------------------

namespace {

std::array<uint8_t, kLogOnBodySize> AccountBlock(const LogOnRequest& a) {
  std::array<uint8_t, kLogOnBodySize> b{};
  PutUtf8Field(b.data(), kAccountFieldSize, a.account);
  PutUtf8Field(b.data() + kAccountFieldSize, kAccountFieldSize, a.password);
  return b;
}

}  // namespace

std::vector<uint8_t> MakeLogOnRequest(uint32_t word, const LogOnRequest& account) {
  auto b = AccountBlock(account);
  return MakeMessage(MSG_SHOW_LOGON, word, b.data(), b.size());
}

std::vector<uint8_t> MakeGetLogOnInfoReply(const MsgHead& request, const LogOnInfo& info) {
  std::array<uint8_t, kLogOnBodySize> b{};
  PutFieldText(b.data(), kAccountFieldSize, info.account);
  PutFieldText(b.data() + kAccountFieldSize, kAccountFieldSize, info.password);
  return MakeReply(request, b.data(), b.size());
}

bool ParseGetLogOnInfoReply(const uint8_t* body, size_t length, LogOnInfo* out) {
  if (!body || length < kLogOnBodySize) return false;
  *out = ParseLogOnBody(body, length);
  return true;
}

// ---- default folders ---------------------------------------------------------------------

namespace {

std::array<uint8_t, kDefShareBlockSize> FolderBlock(const std::vector<std::string>& folders) {
  std::array<uint8_t, kDefShareBlockSize> b{};
  for (size_t i = 0; i < kDefShareFolderCount && i < folders.size(); ++i)
    PutUtf8Field(b.data() + i * kFolderFieldSize, kFolderFieldSize, folders[i]);
  return b;
}

}  // namespace

std::vector<uint8_t> MakeSetDefShareRequest(uint32_t word, const std::vector<std::string>& folders) {
  auto b = FolderBlock(folders);
  return MakeMessage(MSG_SHOW_SET_DEF_SHARE, word, b.data(), b.size());
}

std::vector<uint8_t> MakeGetDefShareReply(const MsgHead& request, const std::vector<std::string>& folders) {
  auto b = FolderBlock(folders);
  return MakeReply(request, b.data(), b.size());
}

bool ParseGetDefShareReply(const uint8_t* body, size_t length, std::vector<std::string>* folders) {
  if (!body || length < kDefShareBlockSize) return false;
  *folders = ParseDefShareBlock(body, length);
  return true;
}

// ---- share list and folder listing ---------------------------------------------------------

bool MakeSetShareRequest(uint32_t word, const std::vector<std::string>& folders, std::vector<uint8_t>* out) {
  std::string text;
  for (const std::string& f : folders) text += f + "\r\n";
  if (text.size() > kMaxBodyLength) return false;
  *out = MakeMessage(MSG_SHOW_SET_SHARE, word, Bytes(text), text.size());
  return true;
}

bool MakeGetPathRequest(uint32_t word, const std::string& folder, std::vector<uint8_t>* out) {
  if (folder.size() > kMaxPathBody) return false;
  *out = MakeMessage(MSG_SHOW_GET_PATH, word, Bytes(folder), folder.size());
  return true;
}

std::string ParseGetPathBody(const uint8_t* body, size_t length, bool* tooLong) {
  std::string path = body ? FieldText(body, length) : std::string();
  bool refused = path.size() > kMaxPathBody;
  if (tooLong) *tooLong = refused;
  return refused ? std::string() : path;
}

std::vector<uint8_t> MakeLinesReply(const MsgHead& request, const std::string& text, bool* cut) {
  std::string capped = CapAtLineBoundary(text, kMaxReplyBody, cut);
  return MakeReply(request, Bytes(capped), capped.size());
}

std::vector<std::string> ParseLinesReply(const uint8_t* body, size_t length) {
  return SplitShareText(body, length);
}

// ---- transfer log --------------------------------------------------------------------------

std::vector<uint8_t> MakeGetTransLogReply(const MsgHead& request, const std::vector<TransLogEntry>& entries,
                                          bool* cut) {
  size_t count = entries.size() < kMaxTransLogRecords ? entries.size() : kMaxTransLogRecords;
  if (cut) *cut = count < entries.size();
  std::vector<uint8_t> b(count * kTransLogRecordSize, 0);
  for (size_t i = 0; i < count; ++i) {
    uint8_t* r = b.data() + i * kTransLogRecordSize;
    PutU16(r, entries[i].type);
    PutU16(r + 2, entries[i].status);
    PutU32(r + 4, entries[i].size);
    PutFieldText(r + 8, 30, entries[i].time);
    PutUtf8Field(r + 38, kFolderFieldSize, entries[i].file);
    // 298: 2 bytes of zero
  }
  return MakeReply(request, b.data(), b.size());
}

bool ParseGetTransLogReply(const uint8_t* body, size_t length, std::vector<TransLogEntry>* out) {
  out->clear();
  if (length % kTransLogRecordSize != 0 || (length && !body)) return false;
  for (size_t off = 0; off < length; off += kTransLogRecordSize) {
    const uint8_t* r = body + off;
    TransLogEntry e;
    e.type = GetU16(r);
    e.status = GetU16(r + 2);
    e.size = GetU32(r + 4);
    e.time = FieldText(r + 8, 30);
    e.file = FieldText(r + 38, kFolderFieldSize);
    out->push_back(std::move(e));
  }
  return true;
}

// ---- transfer state ------------------------------------------------------------------------

std::vector<uint8_t> MakeGetIsTransferringReply(const MsgHead& request, const Transferring& t) {
  uint8_t b[4];
  PutU16(b, t.sessions);
  PutU16(b + 2, t.downloads);
  return MakeReply(request, b, sizeof b);
}

bool ParseGetIsTransferringReply(const uint8_t* body, size_t length, Transferring* out) {
  if (!body || length < 4) return false;
  *out = Transferring{GetU16(body), GetU16(body + 2)};
  return true;
}

// ---- password and MAC ------------------------------------------------------------------------

std::vector<uint8_t> MakeSetPwdRequest(uint32_t word, const std::string& password) {
  std::array<uint8_t, kTextFieldSize> b{};
  PutUtf8Field(b.data(), b.size(), password);
  return MakeMessage(MSG_SHOW_SET_PWD, word, b.data(), b.size());
}

std::string ParseSetPwdBody(const uint8_t* body, size_t length) {
  auto b = FixedBody<kTextFieldSize>(body, length);
  return FieldText(b.data(), b.size());
}

std::vector<uint8_t> MakeTextFieldReply(const MsgHead& request, const std::string& text) {
  std::array<uint8_t, kTextFieldSize> b{};
  PutFieldText(b.data(), b.size(), text);
  return MakeReply(request, b.data(), b.size());
}

bool ParseTextFieldReply(const uint8_t* body, size_t length, std::string* text) {
  if (!body || length < kTextFieldSize) return false;
  *text = FieldText(body, kTextFieldSize);
  return true;
}

// ---- photo tidying -------------------------------------------------------------------------

std::vector<uint8_t> MakeSetAutoTidyingRequest(uint32_t word, bool on) {
  uint8_t c = on ? '1' : '0';
  return MakeMessage(MSG_SHOW_SET_AUTO_TIDING, word, &c, 1);
}

std::vector<uint8_t> MakeGetAutoTidyingReply(const MsgHead& request, uint8_t status) {
  return MakeReply(request, &status, 1);
}

bool ParseGetAutoTidyingReply(const uint8_t* body, size_t length, bool* on) {
  if (!body || length < 1) return false;
  if (body[0] != '0' && body[0] != '1' && body[0] != 0) return false;
  *on = body[0] == '1';
  return true;
}

// ---- program start -------------------------------------------------------------------------

bool MakeExecRequest(uint32_t word, uint32_t session, const std::string& command, std::vector<uint8_t>* out) {
  if (4 + command.size() + 1 > kMaxBodyLength) return false;
  std::vector<uint8_t> b(4 + command.size() + 1, 0);
  PutU32(b.data(), session);
  std::memcpy(b.data() + 4, command.data(), command.size());
  *out = MakeMessage(MSG_SHOW_EXEC, word, b.data(), b.size());
  return true;
}

// ---- version and type ----------------------------------------------------------------------

std::vector<uint8_t> MakeGetVerAndTypeReply(const MsgHead& request, const VerAndType& v) {
  std::array<uint8_t, kVerAndTypeSize> b{};
  PutU16(b.data(), v.systemType);
  PutU16(b.data() + 2, v.version);
  PutFieldText(b.data() + 4, kDeviceIdSize, v.deviceId);
  PutUtf8Field(b.data() + 4 + kDeviceIdSize, 64, v.hostName);
  return MakeReply(request, b.data(), b.size());
}

bool ParseGetVerAndTypeReply(const uint8_t* body, size_t length, VerAndType* out) {
  if (!body || length < kVerAndTypeSize) return false;
  out->systemType = GetU16(body);
  out->version = GetU16(body + 2);
  out->deviceId = FieldText(body + 4, kDeviceIdSize);
  out->hostName = FieldText(body + 4 + kDeviceIdSize, 64);
  return true;
}

// ---- mobile log-in ask -----------------------------------------------------------------------

std::vector<uint8_t> MakeDeviceLoginAsk(uint32_t word, const uint8_t* loginBody, size_t length) {
  std::array<uint8_t, kLoginAskBodySize> b = FixedBody<kLoginAskBodySize>(loginBody, length);
  return MakeMessage(MSG_SHOW_DEVICE_LOGIN_ASK, word, b.data(), b.size());
}

bool ParseDeviceLoginAsk(const uint8_t* body, size_t length, LogOnRequest* client) {
  if (!body || length < kLogOnBodySize) return false;
  *client = ParseLogOnBody(body, length);
  return true;
}

std::vector<uint8_t> MakeDeviceLoginAnswer(uint32_t word, uint32_t verdict) {
  uint8_t b[4];
  PutU32(b, verdict);
  return MakeMessage(MSG_SHOW_DEVICE_LOGIN_ASK, word, b, sizeof b);
}

bool DeviceLoginAccepted(const uint8_t* answer, size_t length) {
  if (!answer || length < kLoginAnswerSize) return false;
  MsgHead h = DecodeMsgHead(answer);
  if (h.length != kLoginAnswerSize || h.type != MSG_SHOW_DEVICE_LOGIN_ASK) return false;
  return GetU32(answer + kMsgHeadSize) == 0;
}

}  // namespace ks::wire::desktop
