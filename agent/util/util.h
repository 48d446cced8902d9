// Small helpers shared by the whole agent: time texts, number texts, splitting and
// replacing, file and folder tests, folder listings, unique file names, free disk space,
// host name, printf-style formatting and character-set conversion.
//
// Results are 0 for success and -1 for failure unless said otherwise. Nothing throws.
// Paths are native ("/" separated). On Linux a name beginning with "." or containing
// "kestyl.rename" counts as hidden; anything that is neither a regular file nor a folder
// (FIFO, socket, device) counts as system. Listings skip both.
#pragma once

#include <cstdarg>
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

int PathExists(const std::string& path);
// 0 when the path does not exist or was removed.
int DeleteFileIfExist(const std::string& path);
// -1 when old does not exist; never replaces an existing new path (fails instead).
int RenameFileIfExist(const std::string& newPath, const std::string& oldPath);
// Whole copy, every write and the final close checked: -1 on any failure (full disk).
int CopyFileByStream(const std::string& source, const std::string& target);
// Cuts at the last "\\" or "/" (not the last character, never the first); buffer of at
// least 260 bytes; null for a null path or one shorter than 2 characters.
char* CutLastPathElem(char* path);
std::string CutLastPathElem(const std::string& path);
// 0 when the path names an existing folder.
int CheckPathExist(const std::string& path);
// Names of the visible sub-folders / visible (or all, with includeHidden) regular files.
int GetSubDirList(const std::string& folder, std::vector<std::string>& out);
int GetFileList(const std::string& folder, std::vector<std::string>& out, bool includeHidden);
// path, or path.(N).ext (ext from the last path component only), the first that is free.
int GetUniqueFileName(const std::string& path, std::string& out);
// Free space in KB, 64 bits.
int GetDiskFreeSpaceKB(const std::string& path, uint64_t& kb);
int GetHostName(std::string& out);

// True for names the listings treat as hidden (see above).
bool IsHiddenName(const std::string& name);

// printf into a string of any length; "" when memory runs out.
std::string FormatString(const char* format, va_list ap);
std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

// iconv conversion; the text unchanged when the conversion cannot be opened or fails.
std::string ConvertCode(const char* fromCode, const char* toCode, const std::string& text);
