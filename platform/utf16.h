// UTF-8 <-> UTF-16 conversion for the platform calls that take or give UTF-16 text
// (the ...W registry and profile calls). Malformed input never fails: an invalid UTF-8
// sequence or an unpaired surrogate becomes U+FFFD. Byte order of UTF-16 data in files and
// value buffers is little-endian; the helpers below read and write that form.
#pragma once

#include <string>
#include <string_view>

namespace ks::platform {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// Length of a NUL-terminated UTF-16 text; 0 for null.
size_t Utf16Length(const char16_t* text);

// UTF-16LE bytes <-> UTF-16 text (an odd final byte is dropped).
std::u16string Utf16FromLeBytes(std::string_view bytes);
std::string Utf16ToLeBytes(std::u16string_view text);

}  // namespace ks::platform
