// The update description and the version rules of the update manager; pure functions,
// no I/O except ReadOwnVersion.
//
// Description: the reply of the update page read as flat JSON text. For each of the four
// fields ("version", "down", "md5", "size", each looked for on the whole reply) the first
// occurrence of the quoted name is found, then the first ":" after it; blanks (space, tab,
// CR, LF) after the colon are skipped and the value runs from the opening double quote to
// the next double quote (escaped quotes are not recognised). A missing name, no colon, no
// opening quote right after the blanks or no closing quote leave the field empty. In the
// download address every "\/" becomes "/".
//
// Versions: dotted numbers. IsNewerVersion(own, offered) splits both at "." and reads each
// piece with strtoul (a piece without digits is 0; a number beyond unsigned long is
// clamped to its largest value); only the first four numbers count, missing ones are 0; the
// first pair that differs decides. An empty text, or an offered text over 99 characters,
// counts as missing: false.
//
// Own version: the first "KESTYL_VERSION:" marker followed by a digit in the running
// program's file (/proc/self/exe), with up to four dot-separated numbers of at most 65535,
// written "%d.%d.%d.%d" (missing parts 0); "" when there is none or a number is too large.
#pragma once

#include <string>
#include <string_view>

namespace ks::desktop::update {

struct UpdateInfo {
  std::string down;     // installer address, "\/" already turned into "/"
  std::string version;  // offered version, dotted numbers
  std::string size;     // size text; must be present, otherwise unused
  std::string md5;      // expected MD5 of the installer, hexadecimal, any letter case

  // All four fields are non-empty.
  bool Complete() const { return !down.empty() && !version.empty() && !size.empty() && !md5.empty(); }
};

// Longest offered version text that is compared at all.
inline constexpr size_t kMaxOfferedVersion = 99;

UpdateInfo ParseUpdateInfo(std::string_view reply);
// The value of one quoted field name by the rule above ("" when absent).
std::string FindFieldValue(std::string_view reply, std::string_view name);
bool IsNewerVersion(const std::string& own, const std::string& offered);

// The version of the first marker in `bytes` that is followed by a digit ("" when none).
std::string VersionFromMarker(std::string_view bytes);
// VersionFromMarker over the file at `path`, read in pieces (for large programs).
std::string ReadVersionMarkerFile(const std::string& path);
// ReadVersionMarkerFile("/proc/self/exe"), read once per process.
std::string ReadOwnVersion();

}  // namespace ks::desktop::update
