#include "tests/fakes/wire.h"

#include <cstdio>
#include <stdexcept>

namespace ks::fake {

void PutU8(ByteString& b, uint8_t v) { b.push_back(static_cast<char>(v)); }

void PutU16(ByteString& b, uint16_t v) {
  PutU8(b, static_cast<uint8_t>(v >> 8));
  PutU8(b, static_cast<uint8_t>(v));
}

void PutU32(ByteString& b, uint32_t v) {
  PutU16(b, static_cast<uint16_t>(v >> 16));
  PutU16(b, static_cast<uint16_t>(v));
}

void PutU16Le(ByteString& b, uint16_t v) {
  PutU8(b, static_cast<uint8_t>(v));
  PutU8(b, static_cast<uint8_t>(v >> 8));
}

void PutU32Le(ByteString& b, uint32_t v) {
  PutU16Le(b, static_cast<uint16_t>(v));
  PutU16Le(b, static_cast<uint16_t>(v >> 16));
}

void PutZeros(ByteString& b, size_t n) { b.append(n, '\0'); }

void PutText(ByteString& b, std::string_view text, size_t field) {
  if (field == 0) return;
  PutTextFull(b, text.substr(0, field - 1), field);
}

void PutTextFull(ByteString& b, std::string_view text, size_t field) {
  text = text.substr(0, field);
  b.append(text);
  PutZeros(b, field - text.size());
}

uint8_t GetU8(std::string_view b, size_t off) {
  return off < b.size() ? static_cast<uint8_t>(b[off]) : 0;
}

uint16_t GetU16(std::string_view b, size_t off) {
  return static_cast<uint16_t>((GetU8(b, off) << 8) | GetU8(b, off + 1));
}

uint32_t GetU32(std::string_view b, size_t off) {
  return (static_cast<uint32_t>(GetU16(b, off)) << 16) | GetU16(b, off + 2);
}

uint16_t GetU16Le(std::string_view b, size_t off) {
  return static_cast<uint16_t>(GetU8(b, off) | (GetU8(b, off + 1) << 8));
}

uint32_t GetU32Le(std::string_view b, size_t off) {
  return GetU16Le(b, off) | (static_cast<uint32_t>(GetU16Le(b, off + 2)) << 16);
}

std::string GetText(std::string_view b, size_t off, size_t field) {
  if (off >= b.size()) return {};
  std::string_view f = b.substr(off, field);
  size_t nul = f.find('\0');
  return std::string(nul == std::string_view::npos ? f : f.substr(0, nul));
}

bool TextTerminated(std::string_view b, size_t off, size_t field) {
  if (off > b.size() || b.size() - off < field) return false;
  return b.substr(off, field).find('\0') != std::string_view::npos;
}

bool AllZero(std::string_view b, size_t off, size_t n) {
  if (off > b.size() || b.size() - off < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (b[off + i] != '\0') return false;
  return true;
}

std::string GetIpv4(std::string_view b, size_t off) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", GetU8(b, off), GetU8(b, off + 1), GetU8(b, off + 2),
                GetU8(b, off + 3));
  return buf;
}

std::string Printable(std::string_view b, size_t max) {
  std::string out;
  for (size_t i = 0; i < b.size() && i < max; ++i) {
    unsigned char c = static_cast<unsigned char>(b[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (b.size() > max) out += "...";
  return out;
}

ByteString Message::Encode() const { return EncodeMsgHead(head) + body; }

ByteString EncodeMsgHead(const MsgHead& h) {
  ByteString b;
  PutU16(b, h.length);
  PutU16(b, h.type);
  PutU32(b, h.word);
  return b;
}

MsgHead DecodeMsgHead(std::string_view b) {
  MsgHead h;
  if (b.size() < wire::kMsgHeadSize) return h;
  h.length = GetU16(b, 0);
  h.type = GetU16(b, 2);
  h.word = GetU32(b, 4);
  return h;
}

ByteString EncodeMsg(uint16_t type, uint32_t word, std::string_view body) {
  if (body.size() + wire::kMsgHeadSize > wire::kMaxMessage)
    throw std::length_error("message longer than its u16 length field");
  ByteString b =
      EncodeMsgHead({static_cast<uint16_t>(wire::kMsgHeadSize + body.size()), type, word});
  b.append(body);
  return b;
}

ByteString EncodeServerHead(uint16_t length, uint16_t version, uint16_t opcode,
                            std::string_view id) {
  ByteString b;
  PutU16(b, length);
  PutU16(b, version);
  PutU16(b, opcode);
  PutText(b, id, wire::kIdSize);
  return b;
}

ServerHead DecodeServerHead(std::string_view b) {
  ServerHead h;
  if (b.size() < wire::kServerHeadSize) return h;
  h.length = GetU16(b, 0);
  h.version = GetU16(b, 2);
  h.opcode = GetU16(b, 4);
  h.device_id = GetText(b, 6, wire::kIdSize);
  h.id_terminated = TextTerminated(b, 6, wire::kIdSize);
  return h;
}

ByteString EncodeReplyHead(uint16_t length, uint16_t status, uint16_t field4, uint16_t field2) {
  ByteString b;
  PutU16(b, length);
  PutU16(b, field2);
  PutU16(b, field4);
  PutU16(b, status);
  return b;
}

ByteString IdField(std::string_view id) {
  ByteString b;
  PutText(b, id, wire::kIdSize);
  return b;
}

}  // namespace ks::fake
