#include "cmd/statistic.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "desktop/foundation/http/http_client.h"
#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/web/web.h"

namespace ks::cmd {

namespace {

bool ReadAll(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

std::string GetModuleFolder() { return ks::desktop::ProgramFolder(); }

bool FileExists(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool file = fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);  // a folder does not open as a file
  close(fd);
  return file;
}

std::string ReadUuidFile(const std::string& folder) {
  std::string bytes;
  if (!ReadAll(folder + "/.uuid", bytes)) return {};
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    out.push_back(bytes[i]);
  }
  return out;
}

std::string GetProgramFileVersion(const std::string& folder) {
  std::string bytes;
  if (!ReadAll(folder + "/Kestyl", bytes)) return {};
  static const std::string kMarker = "KESTYL_VERSION:";
  size_t at = bytes.find(kMarker);
  if (at == std::string::npos) return {};
  size_t pos = at + kMarker.size();
  long parts[4] = {0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (pos + 1 >= bytes.size() || bytes[pos] != '.' || bytes[pos + 1] < '0' || bytes[pos + 1] > '9') break;
      ++pos;
    }
    if (pos >= bytes.size() || bytes[pos] < '0' || bytes[pos] > '9') return {};
    long v = 0;
    while (pos < bytes.size() && bytes[pos] >= '0' && bytes[pos] <= '9') {
      v = v * 10 + (bytes[pos] - '0');
      if (v > 65535) return {};
      ++pos;
    }
    parts[i] = v;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", static_cast<int>(parts[0]), static_cast<int>(parts[1]),
                static_cast<int>(parts[2]), static_cast<int>(parts[3]));
  return text;
}

std::string GetWindowsVersionName(std::optional<std::pair<int, int>> major_minor) {
  if (!major_minor) return "Unknown";
  auto [major, minor] = *major_minor;
  if (major == 5) return "Windows XP";
  if (major == 6) {
    if (minor == 0) return "Windows Vista";
    if (minor == 1) return "Windows 7";
    if (minor == 2) return "Windows 8";
    if (minor >= 3) return "After Windows 8";
  }
  return "Unknown";
}

std::string StatisticBody(const std::string& user, const std::string& version, int operation,
                          const std::string& device_id, const std::string& system,
                          const std::string& description) {
  using ks::desktop::web::UrlEncode;
  return "username=" + UrlEncode(user) + "&version=" + UrlEncode(version) + "&opttype=" + std::to_string(operation) +
         "&uuid=" + UrlEncode(device_id) + "&system=" + UrlEncode(system) + "&desc=" + UrlEncode(description);
}

bool SendStatistic(const StatisticValues& values, const std::string& folder) {
  ks::desktop::CHttpClient client(ks::desktop::web::PageUrl(ks::desktop::web::kStatisticPost));
  const std::string device_id = ReadUuidFile(folder);
  const std::string version = GetProgramFileVersion(folder);
  const std::string system = GetWindowsVersionName(std::nullopt);

  int operation = values.operation.value_or(1);
  if (operation == 0) operation = 1;
  std::string body = StatisticBody(values.user.value_or(""), values.version.value_or(version), operation,
                                   values.device_id.value_or(device_id), values.system.value_or(system),
                                   values.description.value_or(""));
  std::string reply;
  return client.Post(body, reply) == 0;
}

}  // namespace ks::cmd
