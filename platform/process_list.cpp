#include "platform/process_list.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace ks::platform {
namespace {

constexpr size_t kCommLimit = 15;

// Whole small /proc file; false when it cannot be opened or read, with the reason in *error.
bool ReadProcFile(const std::string& path, std::string& out, int* error = nullptr) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = errno;
    return false;
  }
  out.clear();
  char buf[8192];
  bool ok = true;
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      if (error) *error = errno;
    }
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

// Whether a failed read of a process's file says that the process has ended meanwhile.
bool Vanished(int error) { return error == ENOENT || error == ESRCH; }

std::string DropExe(const std::string& name) {
  if (name.size() >= 4 && strcasecmp(name.c_str() + name.size() - 4, ".exe") == 0) {
    return name.substr(0, name.size() - 4);
  }
  return name;
}

// The first part of ReadProcessInfo: pid, state, comm and owner, from stat alone.
bool ReadProcessStat(const std::string& base, pid_t pid, ProcessInfo& out) {
  out = ProcessInfo();
  out.pid = pid;
  std::string stat;
  if (!ReadProcFile(base + "/stat", stat)) return false;
  size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  out.comm = stat.substr(open + 1, close - open - 1);
  if (close + 2 < stat.size()) out.state = stat[close + 2];
  struct stat st {};
  if (::stat(base.c_str(), &st) == 0) out.uid = st.st_uid;
  return true;
}

// The rest: argv[0] and the installation the process belongs to. Reading a process's
// cmdline and environ goes through its memory, which costs far more than stat. False when
// the process ended between the two reads: an environment that cannot be read counts as
// another user's, and a process that is gone must not be taken for one.
bool ReadProcessDetails(const std::string& base, ProcessInfo& out) {
  std::string cmdline;
  if (ReadProcFile(base + "/cmdline", cmdline) && !cmdline.empty()) {
    std::string argv0 = cmdline.substr(0, cmdline.find('\0'));
    size_t slash = argv0.rfind('/');
    out.argv0Base = slash == std::string::npos ? argv0 : argv0.substr(slash + 1);
  }
  std::string environ;
  int error = 0;
  if (!ReadProcFile(base + "/environ", environ, &error)) {
    if (!Vanished(error)) return true;
    // Ended meanwhile: gone, or a zombie whose state the first read did not show yet.
    ProcessInfo now;
    if (!ReadProcessStat(base, out.pid, now)) return false;
    out.state = now.state;
    return out.state == 'Z' || out.state == 'X' || out.state == 'x';
  }
  out.environReadable = true;
  size_t i = 0;
  while (i < environ.size()) {
    size_t end = environ.find('\0', i);
    if (end == std::string::npos) end = environ.size();
    std::string_view entry(environ.data() + i, end - i);
    if (entry.substr(0, 20) == "KESTYL_PLATFORM_DIR=") {
      out.hasPlatformDir = true;
      out.platformDir = std::string(entry.substr(20));
    }
    i = end + 1;
  }
  return true;
}

// Calls visit(pid) for every process directory of /proc.
template <typename Visit>
void ForEachPid(Visit visit) {
  DIR* dir = ::opendir("/proc");
  if (!dir) return;
  while (dirent* e = ::readdir(dir)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (!end || *end || pid <= 0) continue;
    visit(static_cast<pid_t>(pid));
  }
  ::closedir(dir);
}

void SortByPid(std::vector<ProcessInfo>& list) {
  std::sort(list.begin(), list.end(), [](const ProcessInfo& a, const ProcessInfo& b) { return a.pid < b.pid; });
}

}  // namespace

bool ReadProcessInfo(pid_t pid, ProcessInfo& out) {
  const std::string base = "/proc/" + std::to_string(pid);
  return ReadProcessStat(base, pid, out) && ReadProcessDetails(base, out);
}

std::vector<ProcessInfo> ListProcesses() {
  std::vector<ProcessInfo> out;
  ForEachPid([&out](pid_t pid) {
    ProcessInfo info;
    if (ReadProcessInfo(pid, info)) out.push_back(std::move(info));
  });
  SortByPid(out);
  return out;
}

bool ProcessNameMatches(const ProcessInfo& process, const std::string& name) {
  if (process.state == 'Z' || process.state == 'X' || process.state == 'x') return false;
  std::string want = DropExe(name);
  if (want.empty()) return false;
  if (process.comm.size() >= kCommLimit) {
    return !process.argv0Base.empty() && strcasecmp(DropExe(process.argv0Base).c_str(), want.c_str()) == 0;
  }
  return strcasecmp(process.comm.c_str(), want.c_str()) == 0;
}

bool ProcessInScope(const ProcessInfo& process) {
  if (!process.environReadable) return true;
  const char* mine = std::getenv("KESTYL_PLATFORM_DIR");
  bool haveMine = mine && *mine;
  bool haveTheirs = process.hasPlatformDir && !process.platformDir.empty();
  if (!haveMine || !haveTheirs) return haveMine == haveTheirs;
  return process.platformDir == mine;
}

std::vector<ProcessInfo> FindProcessesByName(const std::string& name) {
  std::vector<ProcessInfo> out;
  const std::string want = DropExe(name);
  if (want.empty()) return out;
  ForEachPid([&](pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    ProcessInfo info;
    if (!ReadProcessStat(base, pid, info)) return;
    // Only a process whose comm can match (equal, or cut at the kernel's limit) is read
    // further; the others cannot match whatever their argv[0] says.
    if (info.comm.size() < kCommLimit && strcasecmp(info.comm.c_str(), want.c_str()) != 0) return;
    if (!ReadProcessDetails(base, info)) return;
    if (ProcessNameMatches(info, name) && ProcessInScope(info)) out.push_back(std::move(info));
  });
  SortByPid(out);
  return out;
}

bool IsProcessRunning(const std::string& name) { return !FindProcessesByName(name).empty(); }

std::vector<KillOutcome> KillProcessesByName(const std::string& name, bool force) {
  std::vector<KillOutcome> out;
  for (const auto& p : FindProcessesByName(name)) {
    KillOutcome k{p.pid, 0};
    if (::kill(p.pid, force ? SIGKILL : SIGTERM) != 0 && errno != ESRCH) k.error = errno;
    out.push_back(k);
  }
  return out;
}

}  // namespace ks::platform
