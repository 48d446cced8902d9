#include "agent/net/session/wire_text.h"

#include "agent/core/state/state.h"
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

}  // namespace ks::session
