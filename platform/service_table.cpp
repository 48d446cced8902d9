#include "platform/service_table.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

extern char** environ;

namespace ks::platform {
namespace {

constexpr off_t kHistoryLimit = 256 * 1024;  // started afresh beyond this

// Exclusive lock on the table for the lifetime of the object; best effort when the lock
// file cannot be opened (the table operations then fail on their own files anyway).
class TableLock {
 public:
  explicit TableLock(const std::string& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    fd_ = ::open((folder + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~TableLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  int fd_ = -1;
};

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes `data` beside `path` and moves it into place; with noReplace an existing `path`
// makes it fail with EEXIST and stay untouched.
int ReplaceFile(const std::string& path, const std::string& data, bool noReplace) {
  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return kServiceIoError;
  bool ok = WriteAll(fd, data);
  if (::close(fd) != 0) ok = false;
  if (ok) {
    int rc = noReplace ? ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE)
                       : ::rename(tmp.c_str(), path.c_str());
    if (rc == 0) return kServiceOk;
    int err = errno;
    ::unlink(tmp.c_str());
    return (noReplace && err == EEXIST) ? kServiceExists : kServiceIoError;
  }
  ::unlink(tmp.c_str());
  return kServiceIoError;
}

bool ReadText(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  text = ss.str();
  return true;
}

uint32_t ToU32(const std::string& s) { return static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 10)); }

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// Start time of a process in clock ticks since boot (field 22 of /proc/<pid>/stat); 0 when
// the process does not exist or is a zombie. Together with the pid it names one process,
// so a reused pid is not taken for the service.
uint64_t ProcessStartTicks(int pid) {
  if (pid <= 0) return 0;
  std::string stat;
  if (!ReadText("/proc/" + std::to_string(pid) + "/stat", stat)) return 0;
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  fields >> field;  // field 3: state
  if (field == "Z" || field == "X") return 0;
  for (int i = 4; i <= 22; ++i) fields >> field;
  return std::strtoull(field.c_str(), nullptr, 10);
}

std::string ConfigText(const ServiceConfig& c) {
  std::string t;
  t += "display_name " + c.displayName + "\n";
  t += "type " + std::to_string(c.serviceType) + "\n";
  t += "start_type " + std::to_string(c.startType) + "\n";
  t += "error_control " + std::to_string(c.errorControl) + "\n";
  t += "account " + c.account + "\n";
  t += "description " + c.description + "\n";
  t += "command " + CommandLineText(c.command) + "\n";
  for (const std::string& a : c.command) t += "arg " + a + "\n";
  return t;
}

bool ValidConfig(const ServiceConfig& c) {
  if (c.command.empty() || c.command[0].empty()) return false;
  if (HasLineBreak(c.displayName) || HasLineBreak(c.account) || HasLineBreak(c.description)) return false;
  for (const std::string& a : c.command) {
    if (HasLineBreak(a)) return false;
  }
  return true;
}

// "key value" lines into a multimap-like list, in order.
std::vector<std::pair<std::string, std::string>> KeyValues(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> kv;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t sp = line.find(' ');
    if (sp == std::string::npos) {
      kv.emplace_back(line, "");
    } else {
      kv.emplace_back(line.substr(0, sp), line.substr(sp + 1));
    }
  }
  return kv;
}

void ParseConfig(const std::string& text, ServiceConfig& c) {
  c = ServiceConfig();
  for (const auto& [k, v] : KeyValues(text)) {
    if (k == "display_name") c.displayName = v;
    else if (k == "type") c.serviceType = ToU32(v);
    else if (k == "start_type") c.startType = ToU32(v);
    else if (k == "error_control") c.errorControl = ToU32(v);
    else if (k == "account") c.account = v;
    else if (k == "description") c.description = v;
    else if (k == "arg") c.command.push_back(v);
  }
}

std::string StatusText(const ServiceStatus& s, uint64_t startTicks) {
  std::string t = std::to_string(s.currentState) + " " + ServiceStateName(s.currentState) + "\n";
  t += "pid " + std::to_string(s.pid) + "\n";
  t += "start_ticks " + std::to_string(startTicks) + "\n";
  t += "type " + std::to_string(s.serviceType) + "\n";
  t += "controls_accepted " + std::to_string(s.controlsAccepted) + "\n";
  t += "exit_code " + std::to_string(s.exitCode) + "\n";
  t += "service_exit_code " + std::to_string(s.serviceExitCode) + "\n";
  t += "check_point " + std::to_string(s.checkPoint) + "\n";
  t += "wait_hint " + std::to_string(s.waitHint) + "\n";
  return t;
}

void ParseStatus(const std::string& text, ServiceStatus& s, uint64_t& startTicks) {
  s = ServiceStatus();
  startTicks = 0;
  auto kv = KeyValues(text);
  if (!kv.empty()) s.currentState = ToU32(kv[0].first);
  for (const auto& [k, v] : kv) {
    if (k == "pid") s.pid = static_cast<int>(std::strtol(v.c_str(), nullptr, 10));
    else if (k == "start_ticks") startTicks = std::strtoull(v.c_str(), nullptr, 10);
    else if (k == "type") s.serviceType = ToU32(v);
    else if (k == "controls_accepted") s.controlsAccepted = ToU32(v);
    else if (k == "exit_code") s.exitCode = ToU32(v);
    else if (k == "service_exit_code") s.serviceExitCode = ToU32(v);
    else if (k == "check_point") s.checkPoint = ToU32(v);
    else if (k == "wait_hint") s.waitHint = ToU32(v);
  }
}

// Runs `command` in a new session, not as our child: an intermediate child forks the
// service process and exits at once. Returns the service's pid, or -1 with errno (from
// exec) when it could not be started.
int SpawnDetached(const std::vector<std::string>& command, const std::string& platformDir, int& execErrno) {
  std::vector<char*> argv;
  for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // The service reports to the table that started it, wherever that is.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "KESTYL_PLATFORM_DIR=", 20) != 0) env.emplace_back(*e);
  }
  env.push_back("KESTYL_PLATFORM_DIR=" + platformDir);
  std::vector<char*> envp;
  for (std::string& kv : env) envp.push_back(kv.data());
  envp.push_back(nullptr);
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) {
    execErrno = errno;
    return -1;
  }
  pid_t mid = ::fork();
  if (mid < 0) {
    execErrno = errno;
    ::close(pipefd[0]);
    ::close(pipefd[1]);
    return -1;
  }
  if (mid == 0) {
    // Only async-signal-safe calls from here to exec.
    ::close(pipefd[0]);
    ::setsid();
    pid_t svc = ::fork();
    if (svc < 0) {
      int e = errno;
      (void)!::write(pipefd[1], &e, sizeof e);
      ::_exit(1);
    }
    if (svc > 0) {
      int pidv = static_cast<int>(svc);
      (void)!::write(pipefd[1], &pidv, sizeof pidv);
      ::_exit(0);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
      if (devnull > 2) ::close(devnull);
    }
    ::execve(argv[0], argv.data(), envp.data());
    int e = errno;
    (void)!::write(pipefd[1], &e, sizeof e);
    ::_exit(127);
  }
  ::close(pipefd[1]);
  int status = 0;
  while (::waitpid(mid, &status, 0) < 0 && errno == EINTR) {
  }
  // First word: the service pid (or fork's errno); a second word: exec's errno.
  int words[2] = {0, 0};
  size_t got = 0;
  while (got < sizeof words) {
    ssize_t n = ::read(pipefd[0], reinterpret_cast<char*>(words) + got, sizeof words - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(pipefd[0]);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got < sizeof(int)) {
    execErrno = got >= sizeof(int) ? words[0] : ECHILD;
    return -1;
  }
  if (got == sizeof words) {
    execErrno = words[1];
    return -1;
  }
  return words[0];
}

}  // namespace

const char* ServiceStateName(uint32_t state) {
  switch (state) {
    case kServiceStopped: return "STOPPED";
    case kServiceStartPending: return "START_PENDING";
    case kServiceStopPending: return "STOP_PENDING";
    case kServiceRunning: return "RUNNING";
    default: return "UNKNOWN";
  }
}

const char* ServiceStartTypeName(uint32_t startType) {
  switch (startType) {
    case kServiceAutoStart: return "AUTO_START";
    case kServiceDemandStart: return "DEMAND_START";
    case kServiceDisabled: return "DISABLED";
    default: return "UNKNOWN";
  }
}

std::string CommandLineText(const std::vector<std::string>& command) {
  std::string t;
  for (const std::string& a : command) {
    if (!t.empty()) t += ' ';
    t += "\"" + a + "\"";
  }
  return t;
}

std::string PlatformDir() {
  const char* dir = std::getenv("KESTYL_PLATFORM_DIR");
  if (dir && *dir) return dir;
  if (::geteuid() == 0) return "/var/lib/kestyl-platform";
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && *state) return std::string(state) + "/kestyl-platform";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.local/state/kestyl-platform";
  return "/tmp/kestyl-platform-" + std::to_string(::geteuid());
}

ServiceTable::ServiceTable(std::string platformDir)
    : platformDir_(std::move(platformDir)), folder_(platformDir_ + "/services") {}

std::string ServiceTable::ConfigPath(const std::string& name) const { return folder_ + "/" + name + ".conf"; }
std::string ServiceTable::StatusPath(const std::string& name) const { return folder_ + "/" + name + ".status"; }
std::string ServiceTable::HistoryPath(const std::string& name) const { return folder_ + "/" + name + ".history"; }

bool ServiceTable::ValidName(const std::string& name) {
  if (name.empty() || name.size() > 256 || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
  }
  return true;
}

int ServiceTable::Create(const std::string& name, const ServiceConfig& config) {
  if (!ValidName(name)) return kServiceInvalidName;
  if (!ValidConfig(config)) return kServiceInvalidParameter;
  TableLock lock(folder_);
  return ReplaceFile(ConfigPath(name), ConfigText(config), /*noReplace=*/true);
}

int ServiceTable::Open(const std::string& name, ServiceConfig* config) const {
  if (!ValidName(name)) return kServiceInvalidName;
  std::string text;
  if (!ReadText(ConfigPath(name), text)) return kServiceDoesNotExist;
  if (config) ParseConfig(text, *config);
  return kServiceOk;
}

int ServiceTable::Delete(const std::string& name) {
  if (!ValidName(name)) return kServiceInvalidName;
  TableLock lock(folder_);
  if (::unlink(ConfigPath(name).c_str()) != 0) {
    return errno == ENOENT ? kServiceDoesNotExist : kServiceIoError;
  }
  ::unlink(StatusPath(name).c_str());
  return kServiceOk;
}

int ServiceTable::ChangeConfig(const std::string& name, const ServiceConfig& config) {
  if (!ValidName(name)) return kServiceInvalidName;
  if (!ValidConfig(config)) return kServiceInvalidParameter;
  TableLock lock(folder_);
  if (Open(name) != kServiceOk) return kServiceDoesNotExist;
  return ReplaceFile(ConfigPath(name), ConfigText(config), /*noReplace=*/false);
}

int ServiceTable::SetStartType(const std::string& name, uint32_t startType) {
  ServiceConfig c;
  int rc = Open(name, &c);
  if (rc != kServiceOk) return rc;
  c.startType = startType;
  return ChangeConfig(name, c);
}

int ServiceTable::QueryStartType(const std::string& name, uint32_t& startType) const {
  ServiceConfig c;
  int rc = Open(name, &c);
  if (rc == kServiceOk) startType = c.startType;
  return rc;
}

int ServiceTable::QueryStatus(const std::string& name, ServiceStatus& status) const {
  int rc = Open(name);
  if (rc != kServiceOk) return rc;
  std::string text;
  uint64_t ticks = 0;
  if (!ReadText(StatusPath(name), text)) {
    status = ServiceStatus();
    return kServiceOk;
  }
  ParseStatus(text, status, ticks);
  if (status.currentState != kServiceStopped && status.pid > 0 && ProcessStartTicks(status.pid) != ticks) {
    // The process ended (or its pid now names another one) without reporting STOPPED.
    status.currentState = kServiceStopped;
    status.controlsAccepted = 0;
    status.checkPoint = 0;
    status.waitHint = 0;
    status.exitCode = kServiceProcessAborted;
  }
  return kServiceOk;
}

int ServiceTable::WriteStatusLocked(const std::string& name, const ServiceStatus& s, uint64_t startTicks) {
  int rc = ReplaceFile(StatusPath(name), StatusText(s, startTicks), /*noReplace=*/false);
  int fd = ::open(HistoryPath(name).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > kHistoryLimit) (void)!::ftruncate(fd, 0);
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
    char line[160];
    int n = std::snprintf(line, sizeof line, "%lld %d %u %s %u %u %u %u\n", ms, s.pid, s.currentState,
                          ServiceStateName(s.currentState), s.checkPoint, s.waitHint, s.exitCode,
                          s.controlsAccepted);
    if (n > 0) WriteAll(fd, std::string(line, static_cast<size_t>(n)));
    ::close(fd);
  }
  return rc;
}

int ServiceTable::ReportStatus(const std::string& name, const ServiceStatus& status) {
  if (!ValidName(name)) return kServiceInvalidName;
  TableLock lock(folder_);
  if (Open(name) != kServiceOk) return kServiceDoesNotExist;
  ServiceStatus s = status;
  s.pid = static_cast<int>(::getpid());
  return WriteStatusLocked(name, s, ProcessStartTicks(s.pid));
}

int ServiceTable::ReadHistory(const std::string& name, std::vector<ServiceStatus>& reports) const {
  reports.clear();
  if (!ValidName(name)) return kServiceInvalidName;
  std::string text;
  if (!ReadText(HistoryPath(name), text)) return Open(name);
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    long long ms = 0;
    std::string stateName;
    ServiceStatus s;
    if (f >> ms >> s.pid >> s.currentState >> stateName >> s.checkPoint >> s.waitHint >> s.exitCode >>
        s.controlsAccepted) {
      reports.push_back(s);
    }
  }
  return kServiceOk;
}

int ServiceTable::Start(const std::string& name) {
  if (!ValidName(name)) return kServiceInvalidName;
  TableLock lock(folder_);
  ServiceConfig config;
  int rc = Open(name, &config);
  if (rc != kServiceOk) return rc;
  if (config.startType == kServiceDisabled) return kServiceIsDisabled;
  ServiceStatus now;
  QueryStatus(name, now);
  if (now.currentState != kServiceStopped) return kServiceAlreadyRunning;
  if (!ValidConfig(config)) return kServiceInvalidParameter;
  int execErrno = 0;
  int pid = SpawnDetached(config.command, platformDir_, execErrno);
  if (pid < 0) return execErrno == ENOENT || execErrno == EACCES ? kServiceProgramMissing : kServiceIoError;
  // Written under the table lock, so the service's own first report (which waits for the
  // lock) always comes after it.
  ServiceStatus pending;
  pending.currentState = kServiceStartPending;
  pending.pid = pid;
  WriteStatusLocked(name, pending, ProcessStartTicks(pid));
  return kServiceOk;
}

int ServiceTable::Stop(const std::string& name) {
  if (!ValidName(name)) return kServiceInvalidName;
  TableLock lock(folder_);
  ServiceStatus s;
  int rc = QueryStatus(name, s);
  if (rc != kServiceOk) return rc;
  if (s.currentState == kServiceStopped) return kServiceNotActive;
  if (s.currentState != kServiceRunning || !(s.controlsAccepted & kServiceAcceptStop) || s.pid <= 0) {
    return kServiceCannotAcceptControl;
  }
  if (::kill(s.pid, SIGTERM) != 0) return errno == ESRCH ? kServiceNotActive : kServiceIoError;
  return kServiceOk;
}

}  // namespace ks::platform
