// Start-up time and idle memory of the real agent program.
//
//   agent_start_bench [--agent PATH] [--runs N] [--idle SECONDS]
//     PATH     the agent program (default: ../bin/KestylClient beside this program's folder)
//     N        starts (default 5); SECONDS idle time before the memory is read (default 5)
//
// Each run lays out a fresh install root in $TMPDIR or /tmp (<root>/bin/KestylClient,
// <root>/etc/Kestyl.db from common/db/schema.sql with its own free message port, <root>/log)
// and starts the program in loopback mode with every other port free or closed, so nothing
// leaves the machine and the vendor's server is never reached. It measures:
//   - time to serving: from the spawn until the message port accepts a connection and
//     answers MSG_GET_VER_AND_TYPE; while that handler is not registered (the server then
//     closes the connection unanswered), until the port accepts;
//   - idle memory: VmRSS after the program has run idle for SECONDS;
//   - stop time: from SIGTERM until the process has exited.
// Goals: serving within 200 ms and idle RSS at most 15 MB (10^6 bytes), both as medians.
// The last lines are "RESULT name=value" for scripts/bench-table.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/db/local_db.h"
#include "agent/net/msg/msg.h"
#include "agent/net/proto/proto.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kServingGoalMs = 200;
constexpr double kRssGoalMb = 15;
// The answer: MsgHead, u16 system type, u16 version, char[64] device id, char[64] host name.
constexpr size_t kVerAndTypeReply = 8 + 2 + 2 + 64 + 64;

double Ms(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// A port nothing listens on right now (bound to port 0, read back, released).
uint16_t FreePort(int type) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  if (fd >= 0) ::close(fd);
  return port;
}

std::string SchemaPath() { return KS_SCHEMA_FILE; }

std::string DefaultAgent() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : (self.parent_path().parent_path() / "bin/KestylClient").string();
}

struct Root {
  std::string dir;
  uint16_t messagePort = 0;
};

bool MakeRoot(const std::string& agent, Root* root) {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestyl-start-bench-XXXXXX";
  if (!::mkdtemp(tmpl.data())) return false;
  root->dir = tmpl;
  std::error_code ec;
  for (const char* d : {"bin", "etc", "log", "platform"}) fs::create_directories(root->dir + "/" + d, ec);
  fs::copy_file(agent, root->dir + "/bin/KestylClient", fs::copy_options::overwrite_existing, ec);
  if (ec) return false;
  const std::string db = root->dir + "/etc/Kestyl.db";
  if (CreateDatabaseFile(db, SchemaPath()) != 0) return false;
  root->messagePort = FreePort(SOCK_STREAM);
  sqlite3* h = nullptr;
  bool ok = sqlite3_open(db.c_str(), &h) == SQLITE_OK &&
            sqlite3_exec(h, ("update ks_conf set localport=" + std::to_string(root->messagePort)).c_str(), nullptr,
                         nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(h);
  return ok && root->messagePort != 0;
}

// The agent's environment: loopback mode, every other endpoint on a free loopback port;
// the vendor's port is one nothing listens on.
std::vector<std::string> AgentEnvironment(const Root& root) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "KESTYL_", 7) != 0) env.emplace_back(*e);
  env.push_back("KESTYL_LOOPBACK=1");
  env.push_back("KESTYL_PLATFORM_DIR=" + root.dir + "/platform");
  env.push_back("KESTYL_LOCAL_ADDR=127.0.0.1");
  env.push_back("KESTYL_VENDOR_HOST=127.0.0.1");
  env.push_back("KESTYL_VENDOR_PORT=" + std::to_string(FreePort(SOCK_STREAM)));
  env.push_back("KESTYL_HTTP_PORT=" + std::to_string(FreePort(SOCK_STREAM)));
  env.push_back("KESTYL_DISCOVERY_PORT=" + std::to_string(FreePort(SOCK_DGRAM)));
  env.push_back("KESTYL_WAKEUP_PORT=" + std::to_string(FreePort(SOCK_DGRAM)));
  return env;
}

pid_t Spawn(const Root& root, const std::vector<std::string>& env) {
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  std::string program = root.dir + "/bin/KestylClient";
  std::string console = root.dir + "/log/console.txt";
  char* argv[] = {program.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

bool Exited(pid_t pid, int* status) { return ::waitpid(pid, status, WNOHANG) == pid; }

enum class Serving { kAnswered, kAcceptedOnly, kFailed };

// Connects until the port accepts, then asks MSG_GET_VER_AND_TYPE. `ms` is the time of the
// answer, or of the accepted connection when the request is closed unanswered.
Serving WaitServing(pid_t pid, uint16_t port, Clock::time_point start, double* ms, bool* exited) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  const auto deadline = start + std::chrono::seconds(10);
  int status = 0;
  while (Clock::now() < deadline) {
    if (Exited(pid, &status)) {
      *exited = true;
      return Serving::kFailed;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
      continue;
    }
    const auto accepted = Clock::now();
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    uint8_t req[8];
    ks::net::EncodeMsgHead(ks::net::MsgHead{8, MSG_GET_VER_AND_TYPE, 1}, req);
    std::vector<uint8_t> rep;
    if (::send(fd, req, sizeof req, MSG_NOSIGNAL) == ssize_t(sizeof req)) {
      uint8_t buf[512];
      while (rep.size() < kVerAndTypeReply) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        rep.insert(rep.end(), buf, buf + n);
      }
    }
    const auto done = Clock::now();
    ::close(fd);
    if (rep.size() >= kVerAndTypeReply && ks::net::GetU16(rep.data() + 2) == MSG_GET_VER_AND_TYPE) {
      *ms = Ms(start, done);
      return Serving::kAnswered;
    }
    *ms = Ms(start, accepted);
    return Serving::kAcceptedOnly;
  }
  return Serving::kFailed;
}

// A field of /proc/<pid>/status in kB; -1 when absent.
long StatusKb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
  return -1;
}

double Mb(long kb) { return kb * 1024.0 / 1e6; }

struct Run {
  Serving serving = Serving::kFailed;
  double servingMs = 0;
  long rssKb = -1, anonKb = -1, fileKb = -1, hwmKb = -1, threads = -1;
  double stopMs = -1;
  int exitStatus = -1;
};

// SIGTERM, then up to 10 s for the exit; SIGKILL after that.
void Stop(pid_t pid, Run* run) {
  const auto t = Clock::now();
  ::kill(pid, SIGTERM);
  int status = 0;
  while (!Exited(pid, &status)) {
    if (Clock::now() - t > std::chrono::seconds(10)) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  run->stopMs = Ms(t, Clock::now());
  run->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool OneRun(const std::string& agent, int idleSeconds, Run* run) {
  Root root;
  if (!MakeRoot(agent, &root)) {
    std::fprintf(stderr, "cannot lay out an install root for %s\n", agent.c_str());
    return false;
  }
  const auto env = AgentEnvironment(root);
  const auto start = Clock::now();
  pid_t pid = Spawn(root, env);
  bool ok = pid > 0;
  if (ok) {
    bool exited = false;
    run->serving = WaitServing(pid, root.messagePort, start, &run->servingMs, &exited);
    if (run->serving == Serving::kFailed) {
      std::fprintf(stderr, "the agent %s; its console and log:\n", exited ? "exited" : "did not serve within 10 s");
      std::system(("cat '" + root.dir + "/log/console.txt' '" + root.dir + "/log/Log.txt' 1>&2").c_str());
      if (!exited) Stop(pid, run);
      ok = false;
    } else {
      std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
      run->rssKb = StatusKb(pid, "VmRSS");
      run->anonKb = StatusKb(pid, "RssAnon");
      run->fileKb = StatusKb(pid, "RssFile");
      run->hwmKb = StatusKb(pid, "VmHWM");
      run->threads = StatusKb(pid, "Threads");
      Stop(pid, run);
    }
  }
  std::error_code ec;
  fs::remove_all(root.dir, ec);
  return ok;
}

struct Spread {
  double median = 0, min = 0, max = 0;
};

Spread SpreadOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return {n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.front(), v.back()};
}

}  // namespace

int main(int argc, char** argv) {
  std::string agent = DefaultAgent();
  int runs = 5, idle = 5;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool more = i + 1 < argc;
    if (a == "--agent" && more) {
      agent = argv[++i];
    } else if (a == "--runs" && more) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--idle" && more) {
      idle = std::max(0, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--agent PATH] [--runs N] [--idle SECONDS]\n", argv[0]);
      return 2;
    }
  }
  if (agent.empty() || ::access(agent.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "agent program %s not found (build KestylClient or pass --agent)\n", agent.c_str());
    return 1;
  }
  ::signal(SIGPIPE, SIG_IGN);

  std::printf("agent start: %s, %d runs, %d s idle each, %u cores\n", agent.c_str(), runs, idle,
              std::thread::hardware_concurrency());
  std::vector<double> serving, rss, stop;
  int answered = 0;
  for (int i = 0; i < runs; ++i) {
    Run r;
    if (!OneRun(agent, idle, &r)) return 1;
    serving.push_back(r.servingMs);
    rss.push_back(Mb(r.rssKb));
    if (r.stopMs >= 0) stop.push_back(r.stopMs);
    answered += r.serving == Serving::kAnswered;
    std::printf(
        "  run %d: serving after %6.1f ms (%s), idle VmRSS %5.1f MB (anon %.1f, file %.1f; peak %.1f), "
        "%ld threads, ",
        i + 1, r.servingMs, r.serving == Serving::kAnswered ? "0x1013 answered" : "accepted; 0x1013 unanswered",
        Mb(r.rssKb), Mb(r.anonKb), Mb(r.fileKb), Mb(r.hwmKb), r.threads);
    if (r.stopMs >= 0)
      std::printf("exit %d %.0f ms after SIGTERM\n", r.exitStatus, r.stopMs);
    else
      std::printf("still running 10 s after SIGTERM: killed\n");
  }
  Spread s = SpreadOf(serving), m = SpreadOf(rss);
  std::printf("time to serving: median %.1f ms, spread %.1f..%.1f ms (goal <= %.0f ms: %s)%s\n", s.median, s.min, s.max,
              kServingGoalMs, s.median <= kServingGoalMs ? "met" : "NOT met",
              answered == runs ? "" : "; serving = accepting while 0x1013 is unanswered");
  std::printf("idle RSS:        median %.1f MB, spread %.1f..%.1f MB (goal <= %.0f MB: %s)\n", m.median, m.min, m.max,
              kRssGoalMb, m.median <= kRssGoalMb ? "met" : "NOT met");
  if (!stop.empty()) {
    Spread t = SpreadOf(stop);
    std::printf("stop on SIGTERM: median %.0f ms, spread %.0f..%.0f ms\n", t.median, t.min, t.max);
  }
  std::printf("RESULT start.serving_ms=%.1f\nRESULT start.serving_min_ms=%.1f\nRESULT start.serving_max_ms=%.1f\n",
              s.median, s.min, s.max);
  std::printf("RESULT start.answered=%d/%d\n", answered, runs);
  std::printf("RESULT start.idle_rss_mb=%.1f\nRESULT start.idle_rss_min_mb=%.1f\nRESULT start.idle_rss_max_mb=%.1f\n",
              m.median, m.min, m.max);
  std::printf("RESULT start.idle_s=%d\nRESULT start.runs=%d\n", idle, runs);
  return 0;
}
