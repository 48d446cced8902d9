// The start-up road of the desktop program, from the single-instance test to the main
// window, over a StartupHost so that every branch can be run against a recording host.
//
//  - Second start (the instance lock is held elsewhere): posts the wake message 0x604 to
//    the running copy's wake endpoint (nothing when there is none) and ends with 0.
//  - Not elevated (and not started by the agent's launcher, which always marks its copies
//    KESTYL_ELEVATED=1, so that a copy never hands over twice):
//      autostart: up to 32 checks for the agent, with a pause between two checks, then 5
//      pauses more; then one more check in every case;
//      agent running: the lock is released, the session environment written, and the
//      agent asked to start '<program path>' in this user's session;
//      agent absent: the lock is released and the program started through the elevation
//      prompt, not waited for.
//    A program path with a line break is handed to neither (log line). Ends with 0.
//  - Elevated: the main window runs; its result is the exit code.
//  - Only the copy that ran the main window stops the outside synchronisation programs at
//    exit.
#pragma once

#include <string>
#include <vector>

namespace ks::app {

inline constexpr unsigned kMsgWake = 0x604;
inline constexpr unsigned kMsgExit = 0x607;
inline constexpr int kAgentChecks = 32;
inline constexpr int kAgentExtraPauses = 5;

class StartupHost {
 public:
  enum class Lock { kAcquired, kHeldElsewhere, kError };
  virtual ~StartupHost() = default;
  virtual Lock AcquireInstanceLock() = 0;
  virtual void ReleaseInstanceLock() = 0;
  // Sends 0x604 to the running copy; false when nobody listens.
  virtual bool PostWake() = 0;
  virtual bool IsElevated() = 0;
  // The copy was started by the agent's launcher (KESTYL_ELEVATED=1 in its environment).
  virtual bool StartedByLauncher() = 0;
  virtual bool IsAgentRunning() = 0;
  virtual void Pause() = 0;
  virtual std::string ProgramPath() = 0;
  virtual bool WriteSessionEnv() = 0;
  // Asks the agent to run the command line (for /bin/sh -c) in this user's session.
  virtual void ExecInSession(const std::string& commandLine) = 0;
  virtual void RunElevatedNoWait(const std::string& program) = 0;
  virtual void Log(const std::string& line) = 0;
  // init(), the main window, and its exit code.
  virtual int RunMainWindow() = 0;
  virtual void StopSyncPrograms() = 0;
};

// The text quoted for /bin/sh: '...' with each ' written as '\''.
std::string ShellQuote(const std::string& text);
// What goes in front of the hand-over's command line: this process's KESTYL_* variables
// (so that the new copy reaches the same agent), each as NAME='value' and a blank.
// KESTYL_ELEVATED and KESTYL_PLATFORM_DIR are the launcher's own; names that are not
// [A-Z0-9_] and values with control characters are left out.
std::string SessionEnvironmentPrefix(const std::vector<std::string>& environment);
// The command line holds "autostartup" after its first character.
bool IsAutoStart(const std::string& commandLine);

// The whole road; the process exit code.
int RunStartup(StartupHost& host, bool autostart);

}  // namespace ks::app
