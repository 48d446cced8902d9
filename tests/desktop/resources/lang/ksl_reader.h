// A strict reader of installed language files, written for the tests only: it decodes the
// UTF-16LE form itself and refuses everything the programs' reader would take differently
// from what the file's author meant (see ParseKsl).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kstest {

struct KslEntry {
  std::u32string key;    // text before the first "="
  std::u32string value;  // everything after it, untrimmed
  size_t line = 0;       // 1-based line number
};

struct KslSection {
  std::u32string name;
  size_t line = 0;
  size_t utf16_units = 0;  // the section's lines with one terminator each, as a section read returns them
  std::vector<KslEntry> entries;
};

struct KslFile {
  std::vector<KslSection> sections;  // in file order
};

// Longest line a section read takes whole, in UTF-16 units.
constexpr size_t kMaxLineUnits = 299;

// Parses the bytes of an installed language file into `out`. Returns "" on success, else a
// message naming the first fault: no UTF-16LE byte-order mark, an odd byte count, a lone
// surrogate, a NUL, a CR or LF that is not part of a CR LF pair, a last line without CR LF,
// a line longer than kMaxLineUnits, anything but blank lines and ";" comments before the
// first section, a malformed section header, a comment or a line without "=" inside a
// section. Duplicates are left to the caller.
std::string ParseKsl(const std::string& bytes, KslFile& out);

std::string ToUtf8(const std::u32string& text);
std::u32string FromUtf8(const std::string& text);  // the input must be valid UTF-8

// Display width: CJK and full-width characters count two columns, everything else one.
size_t Columns(const std::u32string& text);
bool IsCjk(char32_t c);

}  // namespace kstest
