// The message protocol's vocabulary, shared by the agent, the desktop program and the
// command program: the 8-byte message head, its codec, and the helpers for fixed layouts.
//
// MsgHead is 8 bytes, big-endian on the wire: u16 total length (head included), u16 type,
// u32 request word. In memory it is in host order. Numbers in bodies are big-endian; text
// fields are NUL-padded and hold at most one byte less than their size.
//
// Program-neutral: depends on the C++ library and common/text only. Every reader here stays within the
// bytes it is given: fixed layouts are read through zero-padded copies (FixedBody), texts
// up to their NUL or the end of their field (FieldText).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ks::wire {

struct MsgHead {
  uint16_t length = 0;
  uint16_t type = 0;
  uint32_t sequence = 0;
};

constexpr size_t kMsgHeadSize = 8;
// Largest message MsgHead's u16 length can describe, and the largest body that fits it.
constexpr size_t kMaxMessageLength = 65535;
constexpr size_t kMaxBodyLength = kMaxMessageLength - kMsgHeadSize;  // 65527

// A zero-padded copy of the first N body bytes: short bodies read as zero-filled ones.
template <size_t N>
std::array<uint8_t, N> FixedBody(const uint8_t* body, size_t bodyLength) {
  std::array<uint8_t, N> a{};
  if (body && bodyLength) std::memcpy(a.data(), body, bodyLength < N ? bodyLength : N);
  return a;
}

// The NUL-terminated text of a fixed field of fieldSize bytes, never reading past it.
inline std::string FieldText(const uint8_t* field, size_t fieldSize) {
  size_t n = 0;
  while (n < fieldSize && field[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(field), n);
}

// Copies text into a NUL-padded field of fieldSize bytes (at most fieldSize - 1 characters).
inline void PutFieldText(uint8_t* field, size_t fieldSize, const std::string& text) {
  std::memset(field, 0, fieldSize);
  std::memcpy(field, text.data(), text.size() < fieldSize ? text.size() : fieldSize - 1);
}

// Copies the longest UTF-8 prefix of text that fits fieldSize - 1 bytes (never half a
// character, common/text Utf8Prefix) into the field and NUL-pads the rest.
void PutUtf8Field(uint8_t* field, size_t fieldSize, const std::string& text);

// Big-endian helpers for wire layouts.
inline void PutU16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
inline void PutU32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}
inline uint16_t GetU16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t GetU32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Decode 8 big-endian bytes / encode into 8 bytes.
inline MsgHead DecodeMsgHead(const uint8_t* p) { return MsgHead{GetU16(p), GetU16(p + 2), GetU32(p + 4)}; }
inline void EncodeMsgHead(const MsgHead& h, uint8_t* p) {
  PutU16(p, h.length);
  PutU16(p + 2, h.type);
  PutU32(p + 4, h.sequence);
}

// One whole message: MsgHead {8 + length, type, sequence} and the body. The caller keeps
// length within kMaxBodyLength (a longer body would not fit the u16 length).
std::vector<uint8_t> MakeMessage(uint16_t type, uint32_t sequence, const uint8_t* body, size_t length);

}  // namespace ks::wire
