// Texts every program needs: time texts, number texts, splitting and replacing,
// printf-style formatting, character-set conversion, and cutting UTF-8 at a character.
//
// Program-neutral: depends on the C++ library and iconv only (no log, no state). Nothing
// throws. Times are local time in "%Y-%m-%d %H:%M:%S", the form of the transfer log.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Current local time "%Y-%m-%d %H:%M:%S".
std::string GetCurTimeStr();
// That time (seconds since the epoch) as local time in the same form.
std::string TimeToStr(int64_t t);
// "Y-M-D[ h[:m[:s]]]" as local time, daylight saving off; 0 when the text has no date.
int64_t StrToTime(const std::string& text);
std::string IntToStr(int v);
std::string UIntToStr(unsigned v);

// Pieces between delimiters; "a|b|" at "|" gives a, b, "". Empty text or delimiter: none.
void SplitString(const std::string& text, std::vector<std::string>& out, const std::string& delimiter);
// Every non-overlapping occurrence of pattern replaced; empty text or pattern: unchanged.
void ReplaceAll(const std::string& text, const std::string& pattern, std::string& out,
                const std::string& replacement);

// printf into a string of any length; "" when memory runs out.
std::string FormatString(const char* format, va_list ap);
std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

// iconv conversion of the text and its terminating NUL into a buffer of 3 x (length + 1)
// bytes; the result is that buffer up to its first NUL. The text comes back unchanged when
// the conversion cannot be opened, the buffer cannot be allocated, or iconv reports
// anything but full success. With "//IGNORE" in the target name unconvertible characters
// are dropped and the rest counts as full success.
std::string ConvertCode(const char* fromCode, const char* toCode, const std::string& text);

// Longest prefix of `text` of at most `maxBytes` bytes that does not end inside a UTF-8
// sequence (bytes that are not UTF-8 are treated as single characters).
std::string Utf8Prefix(const std::string& text, size_t maxBytes);
