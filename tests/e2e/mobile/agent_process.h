// The real agent program in a temporary install root, started in the console in loopback
// mode on free ports, for end-to-end tests of the mobile-client road.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "agent/db/local_db.h"
#include "tests/fakes/test_support.h"

extern char** environ;

namespace ks::test {

// A port nothing listens on right now (type SOCK_STREAM or SOCK_DGRAM).
inline uint16_t FreePort(int type = SOCK_STREAM) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

class AgentProcess {
 public:
  // Lays out <root>/bin/KestylClient, <root>/etc/Kestyl.db (from the schema, message port
  // free, debug log) and <root>/log, and opens the database in this process too (GlobalDb)
  // so that tests set accounts and shares with the agent's own writers.
  AgentProcess() {
    for (const char* d : {"bin", "etc", "log", "platform"}) ::mkdir((root / d).c_str(), 0755);
    std::filesystem::copy_file(KS_AGENT_BIN, root / "bin/KestylClient");
    std::filesystem::permissions(root / "bin/KestylClient", std::filesystem::perms::owner_all);
    CreateDatabaseFile(root / "etc/Kestyl.db", KS_SCHEMA_FILE);
    GlobalDb().open((root / "etc/Kestyl.db").c_str());
    port = FreePort();
    GlobalDb().execDML(("update ks_conf set localport = " + std::to_string(port) + ", log_priority = 700;").c_str());
    env["KESTYL_LOOPBACK"] = "1";
    env["KESTYL_PLATFORM_DIR"] = root / "platform";
    env["KESTYL_LOCAL_ADDR"] = "127.0.0.1";
    env["KESTYL_VENDOR_PORT"] = std::to_string(FreePort());
    env["KESTYL_DESKTOP_PORT"] = std::to_string(FreePort());
    env["KESTYL_HTTP_PORT"] = std::to_string(FreePort());
    env["KESTYL_DISCOVERY_PORT"] = std::to_string(FreePort(SOCK_DGRAM));
    env["KESTYL_WAKEUP_PORT"] = std::to_string(FreePort(SOCK_DGRAM));
    env["KESTYL_CONFIRM_S"] = "1";
    env["KESTYL_POWER_CMD"] = "exit 1";
  }
  ~AgentProcess() {
    Stop();
    GlobalDb().close();
  }

  // Starts the agent and waits until its message server accepts.
  bool Start() {
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
      std::string kv = *e;
      if (kv.rfind("KESTYL_", 0) != 0 && !env.count(kv.substr(0, kv.find('=')))) vars.push_back(kv);
    }
    for (auto& [k, v] : env) vars.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string bin = root / "bin/KestylClient";
    char* argv[] = {bin.data(), nullptr};
    pid = ::fork();
    if (pid == 0) {
      int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(devnull, 1);
      ::execve(argv[0], argv, envp.data());
      ::_exit(126);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (!Running()) return false;
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(port);
      bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      ::close(fd);
      if (ok) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  bool Running() {
    if (pid <= 0) return false;
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == 0) return true;
    if (r == pid) {
      exitStatus = status;
      pid = -1;
    }
    return false;
  }

  // Waits up to `timeout` for the agent to end by itself; true when it did.
  bool WaitExit(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  // SIGTERM, then SIGKILL when it does not end within 20 s.
  void Stop() {
    if (!Running()) return;
    ::kill(pid, SIGTERM);
    if (!WaitExit(std::chrono::seconds(20))) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &exitStatus, 0);
      pid = -1;
    }
  }

  // Peak resident size of the agent in KiB (VmHWM), -1 when unknown.
  long PeakRssKb() const {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
  }

  std::string LogText() const { return ReadFile(root / "log/Log.txt"); }

  TempDir root;
  uint16_t port = 0;
  pid_t pid = -1;
  int exitStatus = 0;
  std::map<std::string, std::string> env;
};

}  // namespace ks::test
