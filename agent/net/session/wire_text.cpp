#include "agent/net/session/wire_text.h"

#include <cstring>

#include "agent/service/state.h"
#include "agent/util/util.h"

namespace ks::session {

std::string ToWireUtf8(const std::string& text) {
  std::string encoding = ks::state::TextEncoding();
  if (encoding == "en" || text.empty()) return text;
  return ConvertCode(encoding.c_str(), "utf-8", text);
}

std::string FromWireUtf8(const std::string& text) {
  std::string encoding = ks::state::TextEncoding();
  if (encoding == "en" || text.empty()) return text;
  return ConvertCode("utf-8", (encoding + "//IGNORE").c_str(), text);
}

namespace {

// Length of the UTF-8 sequence a lead byte announces; 1 for bytes that cannot lead one.
size_t SequenceLength(unsigned char c) {
  if (c >= 0xF0 && c <= 0xF4) return 4;
  if (c >= 0xE0 && c <= 0xEF) return 3;
  if (c >= 0xC2 && c <= 0xDF) return 2;
  return 1;
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::string Utf8Prefix(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  // Walk whole characters; a lead byte whose sequence is broken counts as one byte.
  size_t pos = 0;
  while (pos < maxBytes) {
    auto c = static_cast<unsigned char>(text[pos]);
    size_t n = SequenceLength(c);
    size_t have = 1;
    while (have < n && pos + have < text.size() &&
           IsContinuation(static_cast<unsigned char>(text[pos + have])))
      ++have;
    if (have < n) n = 1;  // not a whole sequence: a single byte
    if (pos + n > maxBytes) break;
    pos += n;
  }
  return text.substr(0, pos);
}

void PutUtf8Field(uint8_t* field, size_t fieldSize, const std::string& text) {
  if (fieldSize == 0) return;
  std::memset(field, 0, fieldSize);
  std::string cut = Utf8Prefix(text, fieldSize - 1);
  std::memcpy(field, cut.data(), cut.size());
}

}  // namespace ks::session
