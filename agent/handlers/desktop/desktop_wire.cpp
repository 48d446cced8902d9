// Reply framing and request parsing of the desktop handlers (desktop.h).
#include <cstring>

#include "agent/handlers/desktop/desktop.h"

namespace ks::desktop {

using ks::net::FieldText;
using ks::net::FixedBody;

std::vector<uint8_t> MakeReply(const MsgHead& request, const uint8_t* body, size_t length) {
  std::vector<uint8_t> r(8 + length);
  MsgHead h{static_cast<uint16_t>(8 + length), request.type, request.sequence};
  ks::net::EncodeMsgHead(h, r.data());
  if (length) std::memcpy(r.data() + 8, body, length);
  return r;
}

std::vector<uint8_t> MakeResultReply(const MsgHead& request, uint32_t result) {
  uint8_t word[4];
  ks::net::PutU32(word, result);
  return MakeReply(request, word, sizeof word);
}

LogOnRequest ParseLogOnBody(const uint8_t* body, size_t length) {
  auto b = FixedBody<64>(body, length);
  return LogOnRequest{FieldText(b.data(), 32), FieldText(b.data() + 32, 32)};
}

std::vector<std::string> ParseDefShareBlock(const uint8_t* body, size_t length) {
  auto b = FixedBody<kDefShareBlockSize>(body, length);
  std::vector<std::string> dirs;
  for (size_t i = 0; i < 6; ++i) dirs.push_back(FieldText(b.data() + i * 260, 260));
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
  out->session = ks::net::GetU32(body);
  out->command = FieldText(body + 4, length - 4);
  return true;
}

}  // namespace ks::desktop
