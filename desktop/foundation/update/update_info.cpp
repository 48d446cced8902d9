#include "desktop/foundation/update/update_info.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace ks::desktop::update {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The marker is put together at run time so that this program's own bytes never hold it
// whole: only the build's version stamp does.
const std::string& MarkerName() {
  static const std::string name = std::string("KESTYL_") + "VERSION";
  return name;
}

// Parses the numbers after a marker whose first digit is at `pos`; false when a number is
// too large. `complete` is false when the text ran to the end of `bytes` (more may follow).
bool ParseMarkerNumbers(std::string_view bytes, size_t pos, std::string& out) {
  long parts[4] = {0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (pos + 1 >= bytes.size() || bytes[pos] != '.' || !IsDigit(bytes[pos + 1])) break;
      ++pos;
    }
    long v = 0;
    while (pos < bytes.size() && IsDigit(bytes[pos])) {
      v = v * 10 + (bytes[pos] - '0');
      if (v > 65535) return false;
      ++pos;
    }
    parts[i] = v;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%ld.%ld.%ld.%ld", parts[0], parts[1], parts[2], parts[3]);
  out = text;
  return true;
}

// Position of the first marker followed by ":" and a digit, or npos.
size_t FindMarker(std::string_view bytes, size_t from) {
  const std::string& name = MarkerName();
  for (size_t at = bytes.find(name, from); at != std::string_view::npos; at = bytes.find(name, at + 1)) {
    size_t p = at + name.size();
    if (p + 1 < bytes.size() && bytes[p] == ':' && IsDigit(bytes[p + 1])) return at;
    if (p + 1 >= bytes.size()) return at;  // cut at the end: the caller decides
  }
  return std::string_view::npos;
}

}  // namespace

std::string FindFieldValue(std::string_view reply, std::string_view name) {
  std::string quoted;
  quoted.reserve(name.size() + 2);
  quoted += '"';
  quoted += name;
  quoted += '"';
  size_t at = reply.find(quoted);
  if (at == std::string_view::npos) return {};
  size_t colon = reply.find(':', at + quoted.size());
  if (colon == std::string_view::npos) return {};
  size_t p = colon + 1;
  while (p < reply.size() && IsBlank(reply[p])) ++p;
  if (p >= reply.size() || reply[p] != '"') return {};
  size_t end = reply.find('"', p + 1);
  if (end == std::string_view::npos) return {};
  return std::string(reply.substr(p + 1, end - p - 1));
}

UpdateInfo ParseUpdateInfo(std::string_view reply) {
  UpdateInfo info;
  info.version = FindFieldValue(reply, "version");
  std::string down = FindFieldValue(reply, "down");
  info.down.reserve(down.size());
  for (size_t i = 0; i < down.size(); ++i) {
    if (down[i] == '\\' && i + 1 < down.size() && down[i + 1] == '/') {
      info.down += '/';
      ++i;
    } else {
      info.down += down[i];
    }
  }
  info.md5 = FindFieldValue(reply, "md5");
  info.size = FindFieldValue(reply, "size");
  return info;
}

namespace {

void SplitVersion(const std::string& text, unsigned long out[4]) {
  for (int i = 0; i < 4; ++i) out[i] = 0;
  size_t start = 0;
  for (int i = 0; i < 4 && start <= text.size(); ++i) {
    size_t dot = text.find('.', start);
    std::string piece = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    errno = 0;
    // strtoul gives ULONG_MAX for a number beyond its range: that is the clamp. A minus
    // sign would wrap the value round, so a piece starting with one counts as 0.
    size_t first = piece.find_first_not_of(" \t");
    if (first != std::string::npos && piece[first] != '-') out[i] = std::strtoul(piece.c_str(), nullptr, 10);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
}

}  // namespace

bool IsNewerVersion(const std::string& own, const std::string& offered) {
  if (own.empty() || offered.empty() || offered.size() > kMaxOfferedVersion) return false;
  unsigned long a[4], b[4];
  SplitVersion(own, a);
  SplitVersion(offered, b);
  for (int i = 0; i < 4; ++i) {
    if (a[i] != b[i]) return b[i] > a[i];
  }
  return false;
}

std::string VersionFromMarker(std::string_view bytes) {
  size_t at = FindMarker(bytes, 0);
  while (at != std::string_view::npos) {
    size_t p = at + MarkerName().size();
    if (p + 1 < bytes.size() && bytes[p] == ':' && IsDigit(bytes[p + 1])) {
      std::string out;
      return ParseMarkerNumbers(bytes, p + 1, out) ? out : std::string();
    }
    at = FindMarker(bytes, at + 1);
  }
  return {};
}

std::string ReadVersionMarkerFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  // Longest marker text: the name, ":", four numbers of five digits and three dots.
  constexpr size_t kTail = 64;
  std::string buf;
  std::string chunk(1 << 20, '\0');
  std::string result;
  for (;;) {
    ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    bool eof = n <= 0;
    if (!eof) buf.append(chunk.data(), static_cast<size_t>(n));
    size_t at = FindMarker(buf, 0);
    bool decided = false;
    while (at != std::string::npos) {
      if (!eof && at + kTail > buf.size()) break;  // may be cut: wait for more bytes
      size_t p = at + MarkerName().size();
      if (p + 1 < buf.size() && buf[p] == ':' && IsDigit(buf[p + 1])) {
        if (!ParseMarkerNumbers(buf, p + 1, result)) result.clear();
        decided = true;
        break;
      }
      at = FindMarker(buf, at + 1);
    }
    if (decided || eof) break;
    size_t keep = at != std::string::npos ? buf.size() - at : std::min(buf.size(), kTail);
    buf.erase(0, buf.size() - keep);
  }
  ::close(fd);
  return result;
}

std::string ReadOwnVersion() {
  static std::once_flag once;
  static std::string version;
  std::call_once(once, [] { version = ReadVersionMarkerFile("/proc/self/exe"); });
  return version;
}

}  // namespace ks::desktop::update
