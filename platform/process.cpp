#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/install_root.h"

extern char** environ;

namespace ks::platform {
namespace {

bool IsBlankChar(char c) { return c == ' ' || c == '\t'; }

bool EndsWithNoCase(const std::string& s, const char* suffix) {
  size_t n = std::strlen(suffix);
  return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A path as given, or without its ".exe" when only that exists. Batch files need not be
// executable (cmd reads them).
std::string Existing(const std::string& path) {
  bool batch = EndsWithNoCase(path, ".bat");
  if (batch ? IsRegularFile(path) : IsExecutableFile(path)) return path;
  if (EndsWithNoCase(path, ".exe")) {
    std::string bare = path.substr(0, path.size() - 4);
    if (IsExecutableFile(bare)) return bare;
  }
  return std::string();
}

// Prepared data for the child: all allocation happens before fork or vfork.
struct ChildPlan {
  std::vector<std::string> argv;
  std::vector<std::string> env;
  std::vector<char*> argvPtrs;
  std::vector<char*> envPtrs;
  std::string cwd;
  int out = -1;    // descriptor for 1 and 2, or -1 to keep the caller's
  int in = -1;     // descriptor for 0
  bool newSession = false;
};

void BuildEnv(const ProcessOptions& options, std::vector<std::string>& env) {
  std::map<std::string, std::string> vars;
  std::vector<std::string> order;
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    size_t eq = entry.find('=');
    std::string name = entry.substr(0, eq);
    if (!vars.count(name)) order.push_back(name);
    vars[name] = eq == std::string::npos ? std::string() : entry.substr(eq + 1);
  }
  for (const auto& [k, v] : options.env) {
    if (!vars.count(k)) order.push_back(k);
    vars[k] = v;
  }
  for (const auto& k : options.unsetEnv) vars.erase(k);
  for (const auto& k : order) {
    auto it = vars.find(k);
    if (it != vars.end()) env.push_back(k + "=" + it->second);
  }
}

void Finish(ChildPlan& plan) {
  for (auto& a : plan.argv) plan.argvPtrs.push_back(a.data());
  plan.argvPtrs.push_back(nullptr);
  for (auto& e : plan.env) plan.envPtrs.push_back(e.data());
  plan.envPtrs.push_back(nullptr);
}

[[noreturn]] void FailInChild(int pipeFd) {
  int err = errno;
  ssize_t ignored = ::write(pipeFd, &err, sizeof err);
  (void)ignored;
  ::_exit(127);
}

// In the child: async-signal-safe calls only.
[[noreturn]] void ExecChild(const ChildPlan& plan, int errFd) {
  if (plan.newSession && ::setsid() < 0) FailInChild(errFd);
  // Handlers to their defaults before the mask opens: a child that shares the caller's
  // memory (SpawnSharingMemory) must never run one of the caller's handlers.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (plan.in >= 0 && ::dup2(plan.in, 0) < 0) FailInChild(errFd);
  if (plan.out >= 0) {
    if (::dup2(plan.out, 1) < 0 || ::dup2(plan.out, 2) < 0) FailInChild(errFd);
  }
  if (!plan.cwd.empty() && ::chdir(plan.cwd.c_str()) != 0) FailInChild(errFd);
  // Every inherited descriptor closes at exec, the error pipe too (which tells the parent
  // that exec succeeded).
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = 3; fd < 65536; ++fd) {
      if (fd != errFd) ::close(fd);
    }
  }
  ::execve(plan.argvPtrs[0], plan.argvPtrs.data(), plan.envPtrs.data());
  FailInChild(errFd);
}

// Starts the child without copying the caller's memory: it borrows the memory (and this
// thread's stack) until its exec, while this thread waits. A fork would copy the page tables
// and leave every page the caller writes afterwards to be copied once more, which made each
// system tool that a large program (the desktop) starts cost milliseconds. Signals stay
// blocked meanwhile, so no handler of the caller runs in the child.
pid_t SpawnSharingMemory(const ChildPlan& plan, int errFd) {
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  pid_t pid = ::vfork();
  if (pid == 0) ExecChild(plan, errFd);
  const int saved = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = saved;
  return pid;
}

// Reads the child's errno report: 0 when the pipe closed empty (exec succeeded).
int ReadChildError(int fd) {
  int err = 0;
  size_t got = 0;
  while (got < sizeof err) {
    ssize_t n = ::read(fd, reinterpret_cast<char*>(&err) + got, sizeof err - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got == sizeof err ? (err ? err : ENOEXEC) : 0;
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

int Prepare(const std::vector<std::string>& argv, const ProcessOptions& options, ChildPlan& plan) {
  if (argv.empty() || argv[0].empty()) return EINVAL;
  if (!ResolveCommand(argv, plan.argv)) return ENOENT;
  BuildEnv(options, plan.env);
  plan.cwd = options.cwd;
  Finish(plan);
  return 0;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  size_t i = 0, n = line.size();
  while (i < n && IsBlankChar(line[i])) ++i;
  if (i >= n) return args;
  // The program: quotes delimit, no escapes.
  std::string program;
  bool quoted = false;
  for (; i < n; ++i) {
    char c = line[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && IsBlankChar(c)) {
      break;
    } else {
      program += c;
    }
  }
  args.push_back(program);
  while (true) {
    while (i < n && IsBlankChar(line[i])) ++i;
    if (i >= n) break;
    std::string arg;
    quoted = false;
    while (i < n) {
      char c = line[i];
      if (c == '\\') {
        size_t slashes = 0;
        while (i < n && line[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && line[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && line[i + 1] == '"') {
          arg += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      if (!quoted && IsBlankChar(c)) break;
      arg += c;
      ++i;
    }
    args.push_back(arg);
  }
  return args;
}

std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    if (c == '"') {
      out.append(slashes * 2 + 1, '\\');
    } else {
      out.append(slashes, '\\');
    }
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, '\\');
  out += '"';
  return out;
}

std::string JoinCommandLine(const std::vector<std::string>& args) {
  std::string out;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i) out += ' ';
    // The program takes no escapes: quoting it only helps when it has blanks.
    out += i == 0 ? (args[0].empty() || args[0].find_first_of(" \t") != std::string::npos ? "\"" + args[0] + "\"" : args[0])
                  : QuoteArgument(args[i]);
  }
  return out;
}

std::string SystemToolDir() {
  const char* dir = std::getenv("KESTYL_SYSTEM_DIR");
  if (dir && *dir) return dir;
  return ProgramDir() + "/system";
}

std::string FindProgram(const std::string& name) {
  if (name.empty()) return std::string();
  if (name.find('/') != std::string::npos) return Existing(name);
  std::vector<std::string> folders;
  std::string programDir = ProgramDir();
  if (!programDir.empty()) folders.push_back(programDir);
  folders.push_back(SystemToolDir());
  const char* path = std::getenv("PATH");
  std::string p = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find(':', start);
    std::string dir = p.substr(start, end == std::string::npos ? std::string::npos : end - start);
    folders.push_back(dir.empty() ? "." : dir);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  for (const auto& dir : folders) {
    std::string found = Existing(dir + "/" + name);
    if (!found.empty()) return found;
  }
  return std::string();
}

bool ResolveCommand(const std::vector<std::string>& argv, std::vector<std::string>& resolved) {
  resolved.clear();
  if (argv.empty()) return false;
  std::string program = FindProgram(argv[0]);
  if (program.empty()) return false;
  if (EndsWithNoCase(program, ".bat")) {
    std::string cmd = FindProgram("cmd");
    if (cmd.empty()) return false;
    resolved = {cmd, "/c", program};
  } else {
    resolved = {program};
  }
  resolved.insert(resolved.end(), argv.begin() + 1, argv.end());
  return true;
}

int RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options, ProcessResult& result) {
  result = ProcessResult();
  ChildPlan plan;
  int rc = Prepare(argv, options, plan);
  if (rc) return rc;
  Fd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (devNull.get() < 0) return errno;
  int pipeFds[2];
  Fd readEnd, writeEnd;
  if (options.output == ProcessOutput::kCapture) {
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return errno;
    readEnd.Reset(pipeFds[0]);
    writeEnd.Reset(pipeFds[1]);
    plan.out = writeEnd.get();
  } else if (options.output == ProcessOutput::kDiscard) {
    plan.out = devNull.get();
  }
  plan.in = devNull.get();
  int errPipe[2];
  if (::pipe2(errPipe, O_CLOEXEC) != 0) return errno;
  Fd errRead(errPipe[0]), errWrite(errPipe[1]);
  pid_t pid = SpawnSharingMemory(plan, errWrite.get());
  if (pid < 0) return errno;
  errWrite.Reset();
  writeEnd.Reset();
  int childError = ReadChildError(errRead.get());
  if (readEnd.get() >= 0 && !childError) {
    char buf[16384];
    while (true) {
      ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      result.output.append(buf, static_cast<size_t>(n));
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (childError) {
    result.output.clear();
    return childError;
  }
  result.pid = pid;
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.termSignal = WTERMSIG(status);
  }
  return 0;
}

int StartDetached(const std::vector<std::string>& argv, const ProcessOptions& options, pid_t* pidOut) {
  ChildPlan plan;
  int rc = Prepare(argv, options, plan);
  if (rc) return rc;
  plan.newSession = true;
  Fd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (devNull.get() < 0) return errno;
  plan.in = devNull.get();
  plan.out = options.output == ProcessOutput::kInherit ? -1 : devNull.get();
  int errPipe[2], pidPipe[2];
  if (::pipe2(errPipe, O_CLOEXEC) != 0) return errno;
  Fd errRead(errPipe[0]), errWrite(errPipe[1]);
  if (::pipe2(pidPipe, O_CLOEXEC) != 0) return errno;
  Fd pidRead(pidPipe[0]), pidWrite(pidPipe[1]);
  pid_t middle = ::fork();
  if (middle < 0) return errno;
  if (middle == 0) {
    // The intermediate child forks the program and ends at once: the program is adopted
    // by init (or the nearest subreaper), never left as the caller's zombie.
    pid_t grandchild = ::fork();
    if (grandchild < 0) FailInChild(errWrite.get());
    if (grandchild == 0) ExecChild(plan, errWrite.get());
    ssize_t ignored = ::write(pidWrite.get(), &grandchild, sizeof grandchild);
    (void)ignored;
    ::_exit(0);
  }
  errWrite.Reset();
  pidWrite.Reset();
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  pid_t grandchild = 0;
  size_t got = 0;
  while (got < sizeof grandchild) {
    ssize_t n = ::read(pidRead.get(), reinterpret_cast<char*>(&grandchild) + got, sizeof grandchild - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  int err = ReadChildError(errRead.get());
  if (err) return err;
  if (got != sizeof grandchild) return ECHILD;
  if (pidOut) *pidOut = grandchild;
  return 0;
}

}  // namespace ks::platform
