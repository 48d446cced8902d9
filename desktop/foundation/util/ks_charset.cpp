#include "desktop/foundation/util/ks_charset.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/text/text.h"

namespace {

enum class Local { kUtf8, kSimplified, kTraditional };

Local LocalCharset() {
  const char* e = std::getenv("KESTYL_TEXT_ENCODING");
  if (!e) return Local::kUtf8;
  if (std::strcmp(e, "gb2312") == 0) return Local::kSimplified;
  if (std::strcmp(e, "big5") == 0) return Local::kTraditional;
  return Local::kUtf8;
}

char* Copy(const std::string& s) {
  char* out = static_cast<char*>(std::malloc(s.size() + 1));
  if (!out) return nullptr;
  std::memcpy(out, s.c_str(), s.size() + 1);
  return out;
}

// Converts with the first character set; when that gives nothing, with the second ("" for
// none).
std::string Convert(const std::string& text, bool toUtf8, const char* first, const char* second) {
  std::string r = toUtf8 ? ConvertCode(first, "UTF-8", text) : ConvertCode("UTF-8", first, text);
  if (r.empty() && *second) r = toUtf8 ? ConvertCode(second, "UTF-8", text) : ConvertCode("UTF-8", second, text);
  return r;
}

}  // namespace

char* ConvertToUtf8ByLanguage(const char* text) {
  if (!text) return nullptr;
  switch (LocalCharset()) {
    case Local::kSimplified:
      return Copy(Convert(text, true, "GB2312", "BIG5"));
    case Local::kTraditional:
      return Copy(Convert(text, true, "BIG5", ""));
    case Local::kUtf8:
      break;
  }
  return Copy(text);
}

char* ConvertFromUtf8ByLanguage(const char* text) {
  if (!text) return nullptr;
  switch (LocalCharset()) {
    case Local::kSimplified:
      return Copy(Convert(text, false, "GB2312", "BIG5"));
    case Local::kTraditional:
      return Copy(Convert(text, false, "BIG5", "GB2312"));
    case Local::kUtf8:
      break;
  }
  return Copy(text);
}
