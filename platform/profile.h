// INI profile files: the private-profile calls the programs read and write settings and
// language tables with.
//
// File form: lines "[section]", "key=value", comments (first non-blank character ";"),
// blank lines; text before the first section belongs to none. Section and key names
// compare ASCII case-insensitively; the first section and the first key of a name win.
// Names and values are trimmed of blanks and tabs; a value of two or more characters that
// begins and ends with the same quote (" or ') loses that one pair. A line without "="
// inside a section is a key with an empty value. Lines end with CR LF, LF or CR.
//
// Encoding: a file beginning with the UTF-16LE byte order mark is UTF-16LE; anything else is
// UTF-8 (a UTF-8 mark is kept). The A calls take and give UTF-8, the W calls UTF-16; both
// read and write files of either encoding. A new file is written in UTF-8 without a mark.
//
// Reading (GetPrivateProfile...): a missing file, section or key gives the default (null:
// ""), trimmed of trailing blanks. A single text is cut to fit the buffer: at most size-1
// units and a NUL; the result is the count copied without the NUL. Lists (section names,
// the keys of a section when key is null, the lines of a section) are NUL-separated and
// end with a second NUL; one that does not fit is cut at the buffer with two final NULs and
// the result is size-2. Units are bytes for the A calls, UTF-16 units for the W calls.
//
// Writing (WritePrivateProfileString): creates the file and the section when missing
// (a new section is appended at the end, a new key after the last entry of its section);
// replaces a key's line in place, keeping its spelling; a null value deletes the key, a null
// key deletes the section with its lines. Every other line stays byte for byte, in order,
// and the file keeps its encoding; written lines end with CR LF. The write is atomic: the
// new content is written beside the file and renamed over it, under an exclusive flock of
// the file's folder, so concurrent writers (threads or processes) never lose each other's
// changes and readers see the old or the new file, never a part. The file's mode is kept.
// Names or values holding CR or LF, a key holding "=" or a section holding "]" would not
// read back as written: they are refused (result 0, file untouched). Result 1 on success,
// 0 on failure (the folder is missing or not writable). Deleting something absent succeeds
// without touching the file.
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ks::platform {

uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue, char* out,
                                  uint32_t size, const char* file);
// The value as a number: optional sign, decimal digits or "0x" and hex digits, up to the
// first other character; 0 when the value has no digits; the default when missing.
uint32_t GetPrivateProfileIntA(const char* section, const char* key, int defaultValue, const char* file);
// The lines of the section, each "key=value" (value trimmed, quotes kept), as a list.
uint32_t GetPrivateProfileSectionA(const char* section, char* out, uint32_t size, const char* file);
uint32_t GetPrivateProfileSectionNamesA(char* out, uint32_t size, const char* file);
int WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* file);

uint32_t GetPrivateProfileStringW(const char16_t* section, const char16_t* key, const char16_t* defaultValue,
                                  char16_t* out, uint32_t size, const char16_t* file);
uint32_t GetPrivateProfileIntW(const char16_t* section, const char16_t* key, int defaultValue,
                               const char16_t* file);
uint32_t GetPrivateProfileSectionW(const char16_t* section, char16_t* out, uint32_t size, const char16_t* file);
uint32_t GetPrivateProfileSectionNamesW(char16_t* out, uint32_t size, const char16_t* file);
int WritePrivateProfileStringW(const char16_t* section, const char16_t* key, const char16_t* value,
                               const char16_t* file);

// ---- Whole-value forms (UTF-8), for callers without fixed buffers ----

// The value, or nullopt when the file, section or key is missing.
std::optional<std::string> ReadProfileValue(const std::string& file, const std::string& section,
                                            const std::string& key);
std::vector<std::string> ReadProfileSectionNames(const std::string& file);
// The entries of the section as (key, value) with values unquoted, in file order.
std::vector<std::pair<std::string, std::string>> ReadProfileSection(const std::string& file,
                                                                    const std::string& section);
// As WritePrivateProfileStringA; nullopt value deletes the key.
bool WriteProfileValue(const std::string& file, const std::string& section, const std::string& key,
                       const std::optional<std::string>& value);

}  // namespace ks::platform
