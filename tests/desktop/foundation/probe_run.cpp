#include "tests/desktop/foundation/probe_run.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace ks::test {

namespace fs = std::filesystem;

namespace {

// The program's argument and environment strings, made before fork (the child may only make
// async-signal-safe calls: the test process has other threads).
struct ExecStrings {
  std::vector<std::string> argvStrings, envStrings;
  std::vector<char*> argv, envp;
  ExecStrings(const std::vector<std::string>& args, const EnvList& env) : argvStrings(args) {
    for (char** e = environ; *e; ++e) {
      bool replaced = false;
      for (auto& [k, v] : env)
        if (std::strncmp(*e, (k + "=").c_str(), k.size() + 1) == 0) replaced = true;
      if (!replaced) envStrings.emplace_back(*e);
    }
    for (auto& [k, v] : env) envStrings.push_back(k + "=" + v);
    for (auto& s : argvStrings) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
  }
};

// Forks and execs with standard output on a new pipe; *out gets its read end.
pid_t Spawn(const ExecStrings& exec, int uid, int* out) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::dup2(fds[1], 1);
    if (uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0))
      ::_exit(126);
    ::execve(exec.argv[0], exec.argv.data(), exec.envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  *out = fds[0];
  return pid;
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

ProbeInstall::ProbeInstall(const std::string& binName) : binName_(binName) {
  fs::create_directories(bin() + "/roaming");
  fs::copy_file(KS_PROBE, bin() + "/kestyl-probe");
  for (const char* f : {"banner_ch.gif", "banner_en.gif", "banner_tw.gif", "HtmlDlg.htm", "ks_config.cfg"})
    fs::copy_file(std::string(KS_ROAMING_DIR) + "/" + f, bin() + "/roaming/" + f);
}

ProbeResult ProbeInstall::Run(const std::vector<std::string>& args, const EnvList& env, int uid) const {
  std::vector<std::string> argv = {bin() + "/kestyl-probe"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, env, uid);
}

std::unique_ptr<BackgroundProgram> ProbeInstall::Start(const std::vector<std::string>& args, const EnvList& env,
                                                       int uid) const {
  std::vector<std::string> argv = {bin() + "/kestyl-probe"};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<BackgroundProgram>(argv, env, uid);
}

ProbeResult RunProgram(const std::vector<std::string>& args, const EnvList& env, int uid) {
  const ExecStrings exec(args, env);
  int out = -1;
  const pid_t pid = Spawn(exec, uid, &out);
  ProbeResult r;
  char buf[65536];
  for (ssize_t n; (n = ::read(out, buf, sizeof buf)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    r.out.append(buf, static_cast<size_t>(n));
  }
  ::close(out);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.exitCode = ExitCode(status);
  return r;
}

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv, const EnvList& env, int uid) {
  const ExecStrings exec(argv, env);
  pid_ = Spawn(exec, uid, &out_);
  // Read without blocking: a program it started may hold the pipe open after it ended.
  ::fcntl(out_, F_SETFL, ::fcntl(out_, F_GETFL) | O_NONBLOCK);
}

BackgroundProgram::~BackgroundProgram() {
  if (pid_ > 0) Finish(SIGKILL);
}

ProbeResult BackgroundProgram::Finish(int signal, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  ProbeResult r;
  if (pid_ <= 0) return r;
  const auto start = Clock::now();
  if (signal) ::kill(pid_, signal);
  const auto deadline = start + std::chrono::milliseconds(timeoutMs);
  auto drain = [&] {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n > 0) {
        r.out.append(buf, static_cast<size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return;  // EOF, or nothing more for now
      }
    }
  };
  int status = 0;
  for (;;) {
    drain();
    const pid_t got = ::waitpid(pid_, &status, WNOHANG);
    if (got == pid_ || (got < 0 && errno != EINTR)) break;
    if (Clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      r.killed = true;
      break;
    }
    struct pollfd p {out_, POLLIN, 0};
    ::poll(&p, 1, 10);
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  drain();
  ::close(out_);
  out_ = -1;
  pid_ = -1;
  r.exitCode = ExitCode(status);
  return r;
}

}  // namespace ks::test
