// Single-instance lock: the stand-in for a named mutex that only one process may hold.
//
// The lock is an flock'ed file <folder>/<name>.lock, so it is scoped to the folder the
// caller picks (the agent uses its install root, so agents of different roots, e.g. parallel
// tests, never collide). The kernel drops the lock when the holder exits, however it exits;
// the descriptor is close-on-exec, so children never inherit it. Two InstanceLocks of one
// process on the same file also exclude each other.
#pragma once

#include <string>

namespace ks::platform {

class InstanceLock {
 public:
  enum class Result {
    kAcquired,       // this object holds the lock now
    kHeldElsewhere,  // another holder has it (the "already exists" case)
    kError,          // the folder or file cannot be created or locked
  };

  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Creates the folder when missing. Never blocks.
  Result Acquire(const std::string& folder, const std::string& name);
  void Release();
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace ks::platform
