// The device id file <root>/bin/.uuid and the id the server hands out.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "agent/log/log.h"
#include "agent/net/proto/proto.h"
#include "agent/net/session/session.h"
#include "agent/net/socket/socket.h"
#include "agent/core/state/state.h"

namespace ks::session {

std::string DeviceIdFilePath() { return ks::state::InstallRoot() + "/bin/.uuid"; }

std::string ReadDeviceIdFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  char buf[kMaxDeviceIdLength];
  size_t got = 0;
  while (got < sizeof buf) {
    ssize_t n = ::read(fd, buf + got, sizeof buf - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  size_t len = 0;
  while (len < got && buf[len] != '\0') ++len;
  return std::string(buf, len);
}

namespace {

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int WriteDeviceIdFile(const std::string& path, const std::string& id) {
  std::string text = id.substr(0, kMaxDeviceIdLength);
  std::string temp = path + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  bool ok = WriteAll(fd, text.data(), text.size());
  if (::close(fd) != 0) ok = false;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return -1;
  }
  return 0;
}

std::string LoadDeviceUuid() {
  std::string path = DeviceIdFilePath();
  std::string id = ReadDeviceIdFile(path);
  if (!id.empty()) return id;

  ServerRecord server = CurrentServer();
  ks::net::ServerAddr addr;
  addr.host = server.host;
  addr.port = server.port;
  ks::net::ServerHead head = ks::net::ServerHead::Make(SRV_GET_UUID, 0, ks::state::DeviceId());
  ks::net::ServerReplyHead reply;
  std::vector<uint8_t> body;
  if (ks::net::OS_SendRequest(head, addr, nullptr, 0, &reply, &body) != 0) {
    KS_LOG_WARNING("CommLib", "connect net work error.");
    return std::string();
  }
  if (reply.status != 0 || body.empty()) return std::string();
  id = DeviceIdFromReply(body.data(), body.size());
  if (!id.empty() && WriteDeviceIdFile(path, id) != 0)
    KS_LOG_ERROR("CommLib", "write device id file %s error.", path.c_str());
  return id;
}

}  // namespace ks::session
