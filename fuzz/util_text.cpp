// Texts that come from peers go through these helpers: character-set conversion of wire
// texts, time texts, splitting and path cutting.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/util/util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  ConvertCode("utf-8", "gb2312//IGNORE", text);
  ConvertCode("gb2312", "utf-8", text);
  ConvertCode("utf-8", "big5", text);
  StrToTime(text);
  std::vector<std::string> pieces;
  SplitString(text, pieces, "|");
  std::string cut = CutLastPathElem(text);
  std::string replaced;
  ReplaceAll(text, "\\", replaced, "/");
  return 0;
}
