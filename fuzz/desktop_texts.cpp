// Texts the desktop program takes from the owner and from other programs' output: the
// e-mail check (held against the pattern it implements), URL encoding, the marker and
// replacement helpers, wide conversion and the folder check.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "desktop/foundation/util/ks_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string z = text.substr(0, text.find('\0'));
  const bool valid = CKSUtil::IsValidEmail(z.c_str());
  if (z.size() <= 64) {
    static const std::regex pattern(
        "([0-9A-Za-z\\-_\\.]+)@([0-9A-Za-z\\-_]+\\.[A-Za-z]{2,3}(\\.[A-Za-z]{2})?)", std::regex::ECMAScript);
    if (valid != std::regex_match(z, pattern)) std::abort();
  }
  if (CKSUtil::UrlEncode(text).size() != text.size() * 3) std::abort();
  const size_t half = text.size() / 2;
  const std::string a = text.substr(0, half % 4), b = text.substr(half, half % 3);
  const std::string between = CKSUtil::ExtractBetween(text, a, b);
  if (between.size() > text.size()) std::abort();
  CKSUtil::ReplaceAll(text, a, text.substr(0, 8));
  CKSUtil::ToWideString(text);
  if (!z.empty() && z[0] == '/') CKSUtil::IsAllowedFolder(z);
  CKSUtil::RemoveTrailingBackslash(text);
  return 0;
}
