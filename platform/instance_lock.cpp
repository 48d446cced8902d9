#include "platform/instance_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>

namespace ks::platform {

InstanceLock::~InstanceLock() { Release(); }

void InstanceLock::Release() {
  if (fd_ >= 0) {
    ::close(fd_);  // closing the only descriptor drops the flock
    fd_ = -1;
  }
}

InstanceLock::Result InstanceLock::Acquire(const std::string& folder, const std::string& name) {
  Release();
  if (folder.empty() || name.empty() || name.find('/') != std::string::npos) return Result::kError;
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  int fd = ::open((folder + "/" + name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Result::kError;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int err = errno;
    ::close(fd);
    return err == EWOULDBLOCK ? Result::kHeldElsewhere : Result::kError;
  }
  fd_ = fd;
  return Result::kAcquired;
}

}  // namespace ks::platform
