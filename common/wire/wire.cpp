#include "common/wire/wire.h"

#include "common/text/text.h"

namespace ks::wire {

std::vector<uint8_t> MakeMessage(uint16_t type, uint32_t sequence, const uint8_t* body, size_t length) {
  std::vector<uint8_t> m(kMsgHeadSize + length);
  EncodeMsgHead(MsgHead{static_cast<uint16_t>(kMsgHeadSize + length), type, sequence}, m.data());
  if (length) std::memcpy(m.data() + kMsgHeadSize, body, length);
  return m;
}

void PutUtf8Field(uint8_t* field, size_t fieldSize, const std::string& text) {
  if (fieldSize == 0) return;
  std::memset(field, 0, fieldSize);
  std::string cut = Utf8Prefix(text, fieldSize - 1);
  std::memcpy(field, cut.data(), cut.size());
}

}  // namespace ks::wire
