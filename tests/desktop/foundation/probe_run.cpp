#include "tests/desktop/foundation/probe_run.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace ks::test {

namespace fs = std::filesystem;

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

ProbeResult RunProgram(const std::vector<std::string>& args, const EnvList& env, int uid) {
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    bool replaced = false;
    for (auto& [k, v] : env)
      if (std::strncmp(*e, (k + "=").c_str(), k.size() + 1) == 0) replaced = true;
    if (!replaced) envStrings.emplace_back(*e);
  }
  for (auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<std::string> argvStrings = args;
  std::vector<char*> argv, envp;
  for (auto& s : argvStrings) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::dup2(fds[1], 1);
    if (uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0))
      ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  ProbeResult r;
  char buf[65536];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    r.out.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace ks::test
