// Text helpers: e-mail form, URL encoding, replacing, slashes, wide text, markers and the
// category folder names.
#include "desktop/foundation/util/ks_util.h"

#include "desktop/foundation/lang/languages.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// [0-9A-Za-z\-_] and, with `dot`, also "."
bool IsNameChar(char c, bool dot) {
  return IsAsciiLetter(c) || IsAsciiDigit(c) || c == '-' || c == '_' || (dot && c == '.');
}

bool AllLetters(const std::string& s, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (!IsAsciiLetter(s[i])) return false;
  return true;
}

}  // namespace

// The form is ([0-9A-Za-z\-_\.]+)@([0-9A-Za-z\-_]+\.[A-Za-z]{2,3}(\.[A-Za-z]{2})?), matched
// against the whole text. It is checked by hand: the library's regular expressions recurse
// once per character and overflow the stack on a long text.
bool CKSUtil::IsValidEmail(const char* text) {
  if (!text) return false;
  const std::string s(text);
  size_t at = s.find('@');
  if (at == std::string::npos || at == 0) return false;
  for (size_t i = 0; i < at; ++i)
    if (!IsNameChar(s[i], true)) return false;
  // Domain: label "." ending [ "." country ]; no "@" may follow (not a name character).
  size_t labelEnd = at + 1;
  while (labelEnd < s.size() && IsNameChar(s[labelEnd], false)) ++labelEnd;
  if (labelEnd == at + 1 || labelEnd >= s.size() || s[labelEnd] != '.') return false;
  const size_t endingBegin = labelEnd + 1;
  const size_t secondDot = s.find('.', endingBegin);
  const size_t endingEnd = secondDot == std::string::npos ? s.size() : secondDot;
  const size_t endingLen = endingEnd - endingBegin;
  if (endingLen < 2 || endingLen > 3 || !AllLetters(s, endingBegin, endingEnd)) return false;
  if (secondDot == std::string::npos) return true;
  return s.size() - (secondDot + 1) == 2 && AllLetters(s, secondDot + 1, s.size());
}

std::string CKSUtil::UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0x0f];
  }
  return out;
}

std::string CKSUtil::IntToString(int value) { return std::to_string(value); }

std::string CKSUtil::GetCategoryFolderName(const std::string& key) {
  struct Name {
    const char* key;
    const char* chinese;
    const char* other;
  };
  static const Name kNames[] = {
      {"PICTURE", "\xe7\x85\xa7\xe7\x89\x87", "Photos"},
      {"MUSIC", "\xe9\x9f\xb3\xe4\xb9\x90", "Music"},
      {"VIDEO", "\xe8\xa7\x86\xe9\xa2\x91", "Videos"},
      {"DOCUMENT", "\xe6\x96\x87\xe6\xa1\xa3", "Files"},
      {"INSTANT", "\xe5\x8d\xb3\xe6\x8b\x8d\xe5\x8d\xb3\xe4\xbc\xa0", "Album"},
  };
  // Index 0 of the language tables is simplified Chinese (LANGID 0x0804 only).
  using ks::desktop::CLanguages;
  const bool simplifiedChinese = CLanguages::IndexForLanguageId(CLanguages::SystemLanguageId()) == 0;
  for (const Name& n : kNames)
    if (key == n.key) return simplifiedChinese ? n.chinese : n.other;
  return "null";
}

std::string CKSUtil::ReplaceAll(const std::string& text, const std::string& search,
                                const std::string& replacement) {
  if (search.empty()) return text;
  std::string out;
  size_t from = 0;
  for (size_t hit; (hit = text.find(search, from)) != std::string::npos; from = hit + search.size()) {
    out.append(text, from, hit - from);
    out += replacement;
  }
  out.append(text, from, std::string::npos);
  return out;
}

std::string CKSUtil::ToSlashes(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

std::wstring CKSUtil::ToWideString(const std::string& text) {
  std::wstring out;
  if (text.empty()) return out;
  iconv_t cd = ::iconv_open("WCHAR_T", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    for (unsigned char c : text) out += c < 0x80 ? static_cast<wchar_t>(c) : L'\xfffd';
    return out;
  }
  std::wstring buf(text.size() + 1, L'\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  while (inLeft > 0) {
    char* outPtr = reinterpret_cast<char*>(buf.data());
    size_t outLeft = buf.size() * sizeof(wchar_t);
    size_t r = ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buf.data(), (buf.size() * sizeof(wchar_t) - outLeft) / sizeof(wchar_t));
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or a cut sequence at the end (EINVAL): one replacement character per byte.
    out += L'\xfffd';
    ++in;
    --inLeft;
  }
  ::iconv_close(cd);
  return out;
}

std::string CKSUtil::ExtractBetween(const std::string& text, const std::string& start,
                                    const std::string& end) {
  size_t s = text.find(start);
  size_t e = text.find(end);
  if (s == std::string::npos || e == std::string::npos) return "";
  s += start.size();
  if (e > s && s < text.size()) return text.substr(s, e - s);
  return "";
}

std::string CKSUtil::RemoveTrailingBackslash(const std::string& path) {
  std::string out = path;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}
