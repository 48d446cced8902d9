// Statistics upload (cmd_send_statistic) and the small file and system helpers it uses.
//
// SendStatistic posts one form to the statistics page of the vendor's web server
// (web::kStatisticPost) through CHttpClient; true when the client reports 0 (the reply and
// its status are not examined; no retry). The form, in this order, each value
// percent-encoded (web::UrlEncode: RFC 3986 unreserved characters stay, so versions, hex
// ids and "Unknown" travel unchanged):
//   username=<user>&version=<version>&opttype=<n>&uuid=<device id>&system=<name>&desc=<text>
// Absent values take their defaults: user and description "", version
// GetProgramFileVersion(), device id ReadUuidFile(), system GetWindowsVersionName(); an
// absent operation type or 0 is 1. The defaults are read before the post whether needed or
// not.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "cmd/dispatch.h"

namespace ks::cmd {

// Folder of the running program, without a trailing "/".
std::string GetModuleFolder();
// True when the file can be opened for reading (a folder cannot).
bool FileExists(const std::string& path);
// Bytes of <folder>/.uuid with every CR that precedes an LF dropped; "" when unreadable.
std::string ReadUuidFile(const std::string& folder);
// Version marker of the desktop program <folder>/Kestyl: the first "KESTYL_VERSION:" and
// up to four dot-separated decimals after it (each at most 65535), as "%d.%d.%d.%d" with
// missing parts 0; "" when the file, the marker or its first number is missing, or a number
// is too large.
std::string GetProgramFileVersion(const std::string& folder);
// The name of a Windows version; nullopt (no Windows version, as on this system) ->
// "Unknown".
std::string GetWindowsVersionName(std::optional<std::pair<int, int>> major_minor);

// The form body of the values (defaults already filled in).
std::string StatisticBody(const std::string& user, const std::string& version, int operation,
                          const std::string& device_id, const std::string& system,
                          const std::string& description);

// `folder`: where .uuid and Kestyl are looked up (the program folder).
bool SendStatistic(const StatisticValues& values, const std::string& folder);

}  // namespace ks::cmd
