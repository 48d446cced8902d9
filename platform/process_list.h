// The running processes, read from /proc, and finding or ending them by program name.
//
// A name matches a process when, with a final ".exe" (any case) dropped from the name, it
// equals the process's command name (comm) without regard to ASCII case; when comm is 15
// characters long (the kernel cuts longer names there), the base name of argv[0] (".exe"
// dropped too) is compared instead. Processes in state Z (zombie) or X (dead) never match.
//
// Scope: parallel installations (and tests) must not see each other's programs. A process
// whose environment can be read counts only when its KESTYL_PLATFORM_DIR equals the
// caller's (both unset counts as equal); a process whose environment cannot be read
// (another user's, e.g. the agent running as root) counts; one that ended while it was being
// read is gone and never counts.
//
// Ending: SIGTERM, or SIGKILL when forced. A process that may not be signalled is reported
// with EPERM; one that ended meanwhile counts as ended.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace ks::platform {

struct ProcessInfo {
  pid_t pid = 0;
  uid_t uid = 0;
  char state = '?';         // the state letter of /proc/<pid>/stat
  std::string comm;         // command name (at most 15 characters)
  std::string argv0Base;    // base name of argv[0]; "" when unreadable or empty
  bool environReadable = false;
  bool hasPlatformDir = false;
  std::string platformDir;  // its KESTYL_PLATFORM_DIR, when readable and set
};

// Every process of the system (readable entries of /proc).
std::vector<ProcessInfo> ListProcesses();
// Reads one process; false when it is gone.
bool ReadProcessInfo(pid_t pid, ProcessInfo& out);

bool ProcessNameMatches(const ProcessInfo& process, const std::string& name);
// Whether the process belongs to the caller's installation (see Scope).
bool ProcessInScope(const ProcessInfo& process);

// The live, in-scope processes matching the name, in pid order.
std::vector<ProcessInfo> FindProcessesByName(const std::string& name);
bool IsProcessRunning(const std::string& name);

struct KillOutcome {
  pid_t pid = 0;
  int error = 0;  // 0 (signalled or already gone) or EPERM
};
// Signals every process FindProcessesByName returns; empty when none matched.
std::vector<KillOutcome> KillProcessesByName(const std::string& name, bool force);

}  // namespace ks::platform
