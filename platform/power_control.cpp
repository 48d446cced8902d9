#include "platform/power_control.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

namespace ks::platform {

namespace {
std::atomic<PowerControl*> g_installed{nullptr};

// Waits for the child up to the deadline; true and its status when it ended.
bool WaitChild(pid_t pid, std::chrono::steady_clock::time_point deadline, int& status) {
  for (;;) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
}  // namespace

CommandPowerControl::CommandPowerControl(std::string command, int timeoutSeconds)
    : command_(std::move(command)), timeoutSeconds_(timeoutSeconds) {}

bool CommandPowerControl::Hibernate() {
  if (command_.empty()) return false;
  const char* argv[] = {"/bin/sh", "-c", command_.c_str(), nullptr};
  // Its own process group, so that a command that hangs goes with everything it started.
  posix_spawnattr_t attr;
  if (::posix_spawnattr_init(&attr) != 0) return false;
  ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  ::posix_spawnattr_setpgroup(&attr, 0);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, "/bin/sh", nullptr, &attr, const_cast<char* const*>(argv), environ);
  ::posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds_);
  if (!WaitChild(pid, deadline, status)) {
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool RecordingPowerControl::Hibernate() {
  calls_.fetch_add(1);
  return result_.load();
}

PowerControl* InstalledPowerControl() { return g_installed.load(); }
void InstallPowerControl(PowerControl* control) { g_installed.store(control); }

}  // namespace ks::platform
