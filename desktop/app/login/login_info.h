// The account record the log-in dialog hands to the main window (the agent link's record)
// and the copy rule of its fields.
#pragma once

#include "desktop/foundation/agentlink/ui_data.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace ks::login {

using LoginInfo = ks::desktop::LoginInfo;

// Copies at most `max` bytes of `text` into `out` (NUL-terminated; never cutting a UTF-8
// character in two).
inline void CopyField(char* out, size_t max, const std::string& text) {
  size_t n = text.size() < max ? text.size() : max;
  while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

}  // namespace ks::login
