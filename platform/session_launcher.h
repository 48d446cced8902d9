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
// The launcher is replaceable (SetSessionLauncher) so that tests record what would be
// started instead of starting it. Thread-safe.
#pragma once

#include <cstdint>
#include <string>

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

// The launcher in use (the process launcher unless replaced).
SessionLauncher& CurrentSessionLauncher();
// Replaces it (null restores the process launcher); returns the previous one. The caller
// keeps ownership and keeps it alive while it is installed.
SessionLauncher* SetSessionLauncher(SessionLauncher* launcher);

}  // namespace ks::platform
