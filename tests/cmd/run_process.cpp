#include "tests/cmd/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>

extern char** environ;

namespace ks::test {

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, int deadline_ms) {
  ProcessResult r;
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    size_t eq = s.find('=');
    if (eq != std::string::npos) vars[s.substr(0, eq)] = s;
  }
  for (const std::string& s : env) {
    size_t eq = s.find('=');
    if (eq == std::string::npos)
      vars.erase(s);
    else
      vars[s.substr(0, eq)] = s;
  }
  std::vector<std::string> env_store;
  for (auto& [k, v] : vars) env_store.push_back(v);
  std::vector<char*> envp;
  for (auto& s : env_store) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_store{program};
  arg_store.insert(arg_store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : arg_store) argv.push_back(s.data());
  argv.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return r;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return r;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return r;
  }
  r.started = true;
  auto deadline = start + std::chrono::milliseconds(deadline_ms);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open_fds = 2;
  while (open_fds > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      kill(pid, SIGKILL);
      r.timed_out = true;
      break;
    }
    int n = poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.elapsed_ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  return r;
}

}  // namespace ks::test
