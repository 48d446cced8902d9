#include "platform/desktop_instance.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/service_table.h"

namespace ks::platform {

std::string DesktopRunFolder() { return PlatformDir() + "/run"; }
std::string DesktopLockName() { return "Kestyl-" + std::to_string(::getuid()); }
std::string WakeEndpointPath() { return DesktopRunFolder() + "/" + DesktopLockName() + ".sock"; }

std::array<uint8_t, kWakeFrameSize> EncodeWakeFrame(const WakeFrame& frame) {
  std::array<uint8_t, kWakeFrameSize> out{};
  const uint32_t fields[3] = {frame.message, frame.wparam, frame.lparam};
  for (size_t f = 0; f < 3; ++f) {
    for (size_t b = 0; b < 4; ++b) out[f * 4 + b] = static_cast<uint8_t>(fields[f] >> (8 * b));
  }
  return out;
}

bool DecodeWakeFrame(const uint8_t* data, size_t size, WakeFrame& frame) {
  if (!data || size < kWakeFrameSize) return false;
  uint32_t fields[3] = {};
  for (size_t f = 0; f < 3; ++f) {
    for (size_t b = 0; b < 4; ++b) fields[f] |= static_cast<uint32_t>(data[f * 4 + b]) << (8 * b);
  }
  frame = {fields[0], fields[1], fields[2]};
  return true;
}

int SendWakeFrame(const WakeFrame& frame, const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return ENAMETOOLONG;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    ::close(fd);
    return err;
  }
  auto bytes = EncodeWakeFrame(frame);
  size_t done = 0;
  int rc = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      rc = n < 0 ? errno : EPIPE;
      break;
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return rc;
}

}  // namespace ks::platform
