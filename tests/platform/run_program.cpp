#include "tests/platform/run_program.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace ks::test {

ProgramResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options) {
  ProgramResult result;
  int out[2], in[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return result;
  if (::pipe2(in, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return result;
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    for (const auto& [k, v] : options.env) ::setenv(k.c_str(), v.c_str(), 1);
    for (const auto& k : options.unsetEnv) ::unsetenv(k.c_str());
    if (options.uid >= 0) {
      if (::setresgid(options.uid, options.uid, options.uid) != 0 ||
          ::setresuid(options.uid, options.uid, options.uid) != 0) {
        ::_exit(126);
      }
    }
    ::signal(SIGPIPE, SIG_DFL);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(in[0]);
  ::signal(SIGPIPE, SIG_IGN);  // a child that exits before reading its input
  if (!options.input.empty()) {
    ssize_t n = ::write(in[1], options.input.data(), options.input.size());
    (void)n;
  }
  ::close(in[1]);
  char buf[4096];
  while (true) {
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buf, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

std::string BinDir() { return KS_BIN_DIR; }

}  // namespace ks::test
