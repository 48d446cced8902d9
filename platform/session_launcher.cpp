#include "platform/session_launcher.h"

#include "platform/service_table.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <cerrno>
#include <cstring>
#include <vector>

namespace ks::platform {
namespace {

struct SessionUser {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;
  std::string home;
  std::string shell;
  std::vector<gid_t> groups;
};

// The user behind a session id; false when there is none.
bool FindSessionUser(uint32_t sessionId, SessionUser* out) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  int rc;
  while ((rc = ::getpwuid_r(static_cast<uid_t>(sessionId), &pw, buf.data(), buf.size(), &found)) ==
         ERANGE)
    buf.resize(buf.size() * 2);
  if (rc != 0 || !found) return false;
  out->uid = pw.pw_uid;
  out->gid = pw.pw_gid;
  out->name = pw.pw_name ? pw.pw_name : "";
  out->home = pw.pw_dir ? pw.pw_dir : "/";
  out->shell = pw.pw_shell ? pw.pw_shell : "/bin/sh";
  int count = 32;
  out->groups.resize(static_cast<size_t>(count));
  while (::getgrouplist(out->name.c_str(), out->gid, out->groups.data(), &count) < 0) {
    out->groups.resize(static_cast<size_t>(count) + 1);
    count = static_cast<int>(out->groups.size());
  }
  out->groups.resize(static_cast<size_t>(count));
  return true;
}

// What the grandchild reports through the pipe when it cannot exec: stage and errno.
struct ChildFailure {
  int stage;
  int error;
};
enum Stage { kFork, kSetsid, kSetgroups, kSetgid, kSetuid, kDevNull, kDup2, kExecve, kStageCount };
const char* const kStageNames[kStageCount] = {"fork",   "setsid",         "setgroups", "setgid",
                                              "setuid", "open /dev/null", "dup2",      "execve"};

[[noreturn]] void FailInChild(int pipeFd, int stage) {
  ChildFailure f{stage, errno};
  ssize_t ignored = ::write(pipeFd, &f, sizeof f);
  (void)ignored;
  ::_exit(127);
}

// Runs in the forked grandchild: only async-signal-safe calls on prepared data.
[[noreturn]] void ExecInChild(int pipeFd, const SessionUser& user, bool switchUser,
                              const char* const* argv, const char* const* envp) {
  if (::setsid() < 0) FailInChild(pipeFd, kSetsid);
  if (switchUser) {
    if (::setgroups(user.groups.size(), user.groups.data()) != 0) FailInChild(pipeFd, kSetgroups);
    if (::setgid(user.gid) != 0) FailInChild(pipeFd, kSetgid);
    if (::setuid(user.uid) != 0) FailInChild(pipeFd, kSetuid);
  }
  if (::chdir(user.home.c_str()) != 0 && ::chdir("/") != 0) {
    // no folder to stand in: stay where we are
  }
  int devNull = ::open("/dev/null", O_RDWR);
  if (devNull < 0) FailInChild(pipeFd, kDevNull);
  for (int fd = 0; fd < 3; ++fd)
    if (::dup2(devNull, fd) < 0) FailInChild(pipeFd, kDup2);
  if (devNull > 2) ::close(devNull);
  // Nothing of the agent goes along: every other descriptor closes at exec (the error pipe
  // too, which tells the parent that exec succeeded).
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = 3; fd < 65536; ++fd)
      if (fd != pipeFd) ::close(fd);
  }
  ::execve(argv[0], const_cast<char* const*>(argv), const_cast<char* const*>(envp));
  FailInChild(pipeFd, kExecve);
}

std::string ErrorText(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

std::atomic<SessionLauncher*> g_launcher{nullptr};

const char* const kSessionVariables[] = {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"};

bool Printable(const std::string& s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

std::string SessionEnvPath(uint32_t uid) { return PlatformDir() + "/sessions/" + std::to_string(uid) + ".env"; }

bool WriteSessionEnv() {
  std::string folder = PlatformDir() + "/sessions";
  std::error_code ec;
  if (std::filesystem::create_directories(folder, ec)) ::chmod(folder.c_str(), 01777);
  std::string text;
  for (const char* name : kSessionVariables) {
    const char* v = std::getenv(name);
    if (v && *v && Printable(v)) text += std::string(name) + "=" + v + "\n";
  }
  std::string path = SessionEnvPath(::getuid());
  std::string tmp = path + ".~" + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) return true;
  ::unlink(tmp.c_str());
  return false;
}

std::vector<std::pair<std::string, std::string>> ReadSessionEnv(uint32_t uid) {
  std::vector<std::pair<std::string, std::string>> out;
  int fd = ::open(SessionEnvPath(uid).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return out;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_uid != uid && st.st_uid != 0) ||
      st.st_size > 65536) {
    ::close(fd);
    return out;
  }
  std::string text(static_cast<size_t>(st.st_size), '\0');
  ssize_t n = ::read(fd, text.data(), text.size());
  ::close(fd);
  if (n < 0) return out;
  text.resize(static_cast<size_t>(n));
  size_t i = 0;
  while (i < text.size()) {
    size_t end = text.find('\n', i);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(i, end - i);
    i = end + 1;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name = line.substr(0, eq), value = line.substr(eq + 1);
    bool known = false;
    for (const char* v : kSessionVariables) known = known || name == v;
    if (!known || value.empty() || !Printable(value)) continue;
    out.emplace_back(name, value);
  }
  return out;
}

SessionLauncher::Result ProcessSessionLauncher::Launch(uint32_t sessionId,
                                                       const std::string& commandLine,
                                                       std::string* error) {
  std::string scratch;
  std::string& why = error ? *error : scratch;
  why.clear();
  if (sessionId == 0) {
    why = "session 0 has no user";
    return kNoSession;
  }
  SessionUser user;
  if (!FindSessionUser(sessionId, &user) || user.uid == 0) {
    why = "no user for session " + std::to_string(sessionId);
    return kNoSession;
  }
  bool switchUser = ::geteuid() == 0;
  if (!switchUser && user.uid != ::geteuid()) {
    why = "not allowed to start a program for user " + user.name;
    return kFailed;
  }

  // Everything the child needs is built before fork: after it only async-signal-safe calls.
  std::vector<std::string> env = {
      "HOME=" + user.home, "USER=" + user.name, "LOGNAME=" + user.name,
      "SHELL=" + user.shell, "PATH=/usr/local/bin:/usr/bin:/bin"};
  std::string runtimeDir = "/run/user/" + std::to_string(user.uid);
  struct stat st {};
  if (::stat(runtimeDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    env.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
  for (const auto& [name, value] : ReadSessionEnv(user.uid)) {
    if (name == "XDG_RUNTIME_DIR") {
      std::erase_if(env, [](const std::string& e) { return e.rfind("XDG_RUNTIME_DIR=", 0) == 0; });
    }
    env.push_back(name + "=" + value);
  }
  env.push_back("KESTYL_ELEVATED=1");
  env.push_back("KESTYL_PLATFORM_DIR=" + PlatformDir());
  std::vector<const char*> envp;
  for (const std::string& e : env) envp.push_back(e.c_str());
  envp.push_back(nullptr);
  const char* argv[] = {"/bin/sh", "-c", commandLine.c_str(), nullptr};

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    why = ErrorText("pipe", errno);
    return kFailed;
  }
  pid_t child = ::fork();
  if (child < 0) {
    why = ErrorText("fork", errno);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return kFailed;
  }
  if (child == 0) {
    // The intermediate child forks the program and ends at once, so the program is
    // adopted by init and the agent never has to reap it.
    ::close(pipeFds[0]);
    pid_t grandchild = ::fork();
    if (grandchild == 0) ExecInChild(pipeFds[1], user, switchUser, argv, envp.data());
    if (grandchild < 0) FailInChild(pipeFds[1], kFork);
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  ChildFailure failure{};
  size_t got = 0;
  for (;;) {
    ssize_t n = ::read(pipeFds[0], reinterpret_cast<char*>(&failure) + got, sizeof failure - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
    if (got == sizeof failure) break;
  }
  ::close(pipeFds[0]);
  if (got == sizeof failure) {
    int stage = failure.stage >= 0 && failure.stage < kStageCount ? failure.stage : kExecve;
    why = ErrorText(kStageNames[stage], failure.error);
    return kFailed;
  }
  return kStarted;
}

SessionLauncher& CurrentSessionLauncher() {
  static ProcessSessionLauncher* process = new ProcessSessionLauncher();
  SessionLauncher* l = g_launcher.load();
  return l ? *l : *process;
}

SessionLauncher* SetSessionLauncher(SessionLauncher* launcher) {
  SessionLauncher* previous = g_launcher.exchange(launcher);
  return previous;
}

}  // namespace ks::platform
