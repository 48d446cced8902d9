#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>

#include "agent/util/util.h"

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
