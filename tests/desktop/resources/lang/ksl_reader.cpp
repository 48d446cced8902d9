#include "tests/desktop/resources/lang/ksl_reader.h"

namespace kstest {
namespace {

std::string At(size_t line, const std::string& what) {
  return "line " + std::to_string(line) + ": " + what;
}

// UTF-16LE (after the byte-order mark) to code points; "" or an error.
std::string DecodeUtf16(const std::string& bytes, std::u32string& text) {
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
      static_cast<unsigned char>(bytes[1]) != 0xFE) {
    return "no UTF-16LE byte-order mark";
  }
  if (bytes.size() % 2 != 0) return "odd number of bytes";
  auto unit = [&](size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1]) << 8));
  };
  for (size_t i = 2; i < bytes.size(); i += 2) {
    char32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 2 >= bytes.size()) return "lone high surrogate at the end";
      char32_t low = unit(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return "high surrogate without low surrogate";
      text.push_back(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
      i += 2;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return "lone low surrogate";
    } else {
      text.push_back(u);
    }
  }
  return "";
}

size_t Utf16Units(const std::u32string& text) {
  size_t n = 0;
  for (char32_t c : text) n += c >= 0x10000 ? 2 : 1;
  return n;
}

}  // namespace

std::string ParseKsl(const std::string& bytes, KslFile& out) {
  out.sections.clear();
  std::u32string text;
  std::string err = DecodeUtf16(bytes, text);
  if (!err.empty()) return err;

  std::vector<std::u32string> lines;
  std::u32string current;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    size_t line_no = lines.size() + 1;
    if (c == U'\r') {
      if (i + 1 >= text.size() || text[i + 1] != U'\n') return At(line_no, "CR without LF");
      lines.push_back(current);
      current.clear();
      ++i;
    } else if (c == U'\n') {
      return At(line_no, "LF without CR");
    } else if (c == 0) {
      return At(line_no, "NUL character");
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) return At(lines.size() + 1, "last line without CR LF");

  for (size_t n = 0; n < lines.size(); ++n) {
    const std::u32string& l = lines[n];
    size_t line_no = n + 1;
    if (Utf16Units(l) > kMaxLineUnits) return At(line_no, "line longer than 299 characters");
    if (l.empty()) continue;
    if (l.front() == U'[') {
      if (l.back() != U']' || l.size() < 3) return At(line_no, "malformed section header");
      std::u32string name = l.substr(1, l.size() - 2);
      if (name.find_first_of(U"[]=") != std::u32string::npos) return At(line_no, "malformed section header");
      KslSection s;
      s.name = name;
      s.line = line_no;
      out.sections.push_back(s);
      continue;
    }
    if (out.sections.empty()) {
      if (l.front() != U';') return At(line_no, "text before the first section");
      continue;
    }
    if (l.front() == U';') return At(line_no, "comment inside a section");
    size_t eq = l.find(U'=');
    if (eq == std::u32string::npos) return At(line_no, "line without \"=\" inside a section");
    KslSection& s = out.sections.back();
    s.entries.push_back(KslEntry{l.substr(0, eq), l.substr(eq + 1), line_no});
    s.utf16_units += Utf16Units(l) + 1;
  }
  return "";
}

std::string ToUtf8(const std::u32string& text) {
  std::string out;
  for (char32_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u32string FromUtf8(const std::string& text) {
  std::u32string out;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    char32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k <= extra && i + k < text.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    out.push_back(cp);
    i += extra + 1;
  }
  return out;
}

bool IsCjk(char32_t c) {
  return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

size_t Columns(const std::u32string& text) {
  size_t n = 0;
  for (char32_t c : text) n += IsCjk(c) ? 2 : 1;
  return n;
}

}  // namespace kstest
