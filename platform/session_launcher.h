// Starting a command line in a user's session, detached from the caller.
//
// The desktop program asks the agent (which runs with more rights) to start a program in
// the owner's session. On Linux a session id names the user that owns it: the session id
// is taken as a user id, and the session of root (0) or of an id without a user starts
// nothing. The command runs as "/bin/sh -c <command line>" under that user's ids and
// groups, in a new session (setsid) without a controlling terminal, with standard input and
// output on /dev/null, in the user's home folder, with HOME, USER, LOGNAME, SHELL, PATH
// (and XDG_RUNTIME_DIR when the user has one); it inherits no other descriptor and is not
// the caller's child (nothing to reap). A caller that is not root can start commands only
// for its own user.
//
// The user's display: before the desktop program asks for a start (message 0x5015) it
// writes its session environment (WriteSessionEnv) to <PlatformDir()>/sessions/<uid>.env,
// "NAME=value" lines of DISPLAY, XAUTHORITY, WAYLAND_DISPLAY and XDG_RUNTIME_DIR (those set).
// The launcher adds those (only those names; values with control characters are skipped;
// a file not owned by the user or root is ignored), then KESTYL_ELEVATED=1 (the program
// starts with the launcher's rights and must not ask to be elevated again) and
// KESTYL_PLATFORM_DIR (the launcher's PlatformDir()).
//
// The launcher is replaceable (SetSessionLauncher) so that tests record what would be
// started instead of starting it. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ks::platform {

class SessionLauncher {
 public:
  enum Result {
    kStarted = 0,
    kNoSession = 1,  // session 0 or no user behind the id: nothing started
    kFailed = -1,    // the user exists but the command could not be started
  };
  virtual ~SessionLauncher() = default;
  // `error` (optional) says why nothing started.
  virtual Result Launch(uint32_t sessionId, const std::string& commandLine,
                        std::string* error) = 0;
};

// The launcher of the operating system.
class ProcessSessionLauncher final : public SessionLauncher {
 public:
  Result Launch(uint32_t sessionId, const std::string& commandLine, std::string* error) override;
};

// <PlatformDir()>/sessions/<uid>.env
std::string SessionEnvPath(uint32_t uid);
// Writes this process's session variables for its real user id (atomically; the sessions
// folder is made world-writable with the sticky bit, as each user writes only its own
// file). False when the file cannot be written.
bool WriteSessionEnv();
// The accepted variables of the user's file (see above), in file order.
std::vector<std::pair<std::string, std::string>> ReadSessionEnv(uint32_t uid);

// The launcher in use (the process launcher unless replaced).
SessionLauncher& CurrentSessionLauncher();
// Replaces it (null restores the process launcher); returns the previous one. The caller
// keeps ownership and keeps it alive while it is installed.
SessionLauncher* SetSessionLauncher(SessionLauncher* launcher);

}  // namespace ks::platform
