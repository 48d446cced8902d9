#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "common/text/text.h"

std::string FormatString(const char* format, va_list ap) {
  if (!format) return std::string();
  size_t size = 1024;
  for (;;) {
    char* buffer = new (std::nothrow) char[size];
    if (!buffer) return std::string();
    va_list copy;
    va_copy(copy, ap);  // a va_list cannot be reused once consumed
    int n = std::vsnprintf(buffer, size, format, copy);
    va_end(copy);
    if (n < 0) {
      delete[] buffer;
      if (size > (1u << 30)) return std::string();
      size *= 2;
      continue;
    }
    if (static_cast<size_t>(n) >= size) {
      delete[] buffer;
      size = static_cast<size_t>(n) + 1;
      continue;
    }
    std::string text(buffer, static_cast<size_t>(n));
    delete[] buffer;
    return text;
  }
}

std::string FormatString(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string s = FormatString(format, ap);
  va_end(ap);
  return s;
}

std::string TimeToStr(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm tmv {};
  if (!localtime_r(&tt, &tmv)) return std::string();
  char buf[30];
  size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv);
  return std::string(buf, n);
}

std::string GetCurTimeStr() { return TimeToStr(static_cast<int64_t>(std::time(nullptr))); }

void ReplaceAll(const std::string& text, const std::string& pattern, std::string& out,
                const std::string& replacement) {
  if (text.empty() || pattern.empty()) {
    out = text;
    return;
  }
  std::string result;
  size_t pos = 0;
  for (;;) {
    size_t hit = text.find(pattern, pos);
    if (hit == std::string::npos) break;
    result.append(text, pos, hit - pos);
    result += replacement;
    pos = hit + pattern.size();
  }
  result.append(text, pos, std::string::npos);
  out = std::move(result);
}

namespace {

// Decimal digits at `p` up to the first non-digit (0 when there are none), saturated so
// that a long run of digits cannot overflow.
int ReadNumber(const char* p) {
  long v = 0;
  while (*p >= '0' && *p <= '9') {
    if (v < 100000000) v = v * 10 + (*p - '0');
    ++p;
  }
  return static_cast<int>(v);
}

const char* SkipDigits(const char* p) {
  while (*p >= '0' && *p <= '9') ++p;
  return p;
}

}  // namespace

int64_t StrToTime(const std::string& text) {
  const char* s = text.c_str();
  const char* dash1 = std::strchr(s, '-');
  if (!dash1) return 0;
  const char* dash2 = std::strchr(dash1 + 1, '-');
  if (!dash2) return 0;
  struct tm tmv {};
  tmv.tm_year = ReadNumber(s) - 1900;
  tmv.tm_mon = ReadNumber(dash1 + 1) - 1;
  tmv.tm_mday = ReadNumber(dash2 + 1);
  const char* afterDay = SkipDigits(dash2 + 1);
  if (*afterDay == ' ') {
    const char* hour = afterDay + 1;
    tmv.tm_hour = ReadNumber(hour);
    if (const char* colon1 = std::strchr(hour, ':')) {
      tmv.tm_min = ReadNumber(colon1 + 1);
      if (const char* colon2 = std::strchr(colon1 + 1, ':')) tmv.tm_sec = ReadNumber(colon2 + 1);
    }
  }
  tmv.tm_isdst = 0;
  return static_cast<int64_t>(std::mktime(&tmv));
}

std::string IntToStr(int v) { return std::to_string(v); }
std::string UIntToStr(unsigned v) { return std::to_string(v); }

void SplitString(const std::string& text, std::vector<std::string>& out, const std::string& delimiter) {
  out.clear();
  if (text.empty() || delimiter.empty()) return;
  size_t pos = 0;
  for (;;) {
    size_t hit = text.find(delimiter, pos);
    if (hit == std::string::npos) {
      out.push_back(text.substr(pos));
      return;
    }
    out.push_back(text.substr(pos, hit - pos));
    pos = hit + delimiter.size();
  }
}

namespace {

// Length of the UTF-8 sequence a lead byte announces; 1 for bytes that cannot lead one.
size_t SequenceLength(unsigned char c) {
  if (c >= 0xF0 && c <= 0xF4) return 4;
  if (c >= 0xE0 && c <= 0xEF) return 3;
  if (c >= 0xC2 && c <= 0xDF) return 2;
  return 1;
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::string Utf8Prefix(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  // Walk whole characters; a lead byte whose sequence is broken counts as one byte.
  size_t pos = 0;
  while (pos < maxBytes) {
    auto c = static_cast<unsigned char>(text[pos]);
    size_t n = SequenceLength(c);
    size_t have = 1;
    while (have < n && pos + have < text.size() &&
           IsContinuation(static_cast<unsigned char>(text[pos + have])))
      ++have;
    if (have < n) n = 1;  // not a whole sequence: a single byte
    if (pos + n > maxBytes) break;
    pos += n;
  }
  return text.substr(0, pos);
}
