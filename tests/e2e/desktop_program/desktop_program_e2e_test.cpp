// The desktop program Kestyl end to end on an install root made by scripts/make-root, with
// the real agent behind the platform's service table and the fake vendor server: the
// service installed and started by the repair script, the hidden start behind the tray
// icon, a second start that wakes the first, the watch bringing a killed agent back, and
// SIGTERM ending the program while the service keeps running.
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/net_io.h"
#include "tests/fakes/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Runs the program with the environment; returns its pid.
pid_t Start(const std::string& program, const std::map<std::string, std::string>& env) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

// The exit code once the process ended within the time, else -1 (the process is left).
int WaitExit(pid_t pid, int timeoutMs) {
  int status = 0;
  const bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs);
  if (!ended) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// "4 RUNNING" and the agent's pid from the service table's status file (pid 0 otherwise).
pid_t RunningPid(const std::string& statusFile) {
  const std::string text = Read(statusFile);
  if (text.rfind("4 RUNNING", 0) != 0) return 0;
  const size_t at = text.find("\npid ");
  return at == std::string::npos ? 0 : static_cast<pid_t>(std::atol(text.c_str() + at + 5));
}

// Kills every process whose program lies under `root` (the desktop and the agent it
// started), so that a test stopped half-way leaves nothing running behind it.
void KillUnder(const std::string& root) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return;
  while (dirent* e = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
    if (pid <= 0 || pid == ::getpid()) continue;
    char exe[4096];
    const ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
    if (n <= 0) continue;
    const std::string path(exe, static_cast<size_t>(n));
    if (path.rfind(root + "/", 0) == 0) ::kill(pid, SIGKILL);
  }
  ::closedir(proc);
}

TEST(DesktopProgram, ServiceWakeWatchAndTermination) {
  ks::test::TempDir dir;
  const std::string root = dir / "root";
  struct Leftovers {
    std::string root;
    ~Leftovers() { KillUnder(root); }
  } leftovers{root};
  const uint16_t agentPort = ks::fake::FreeTcpPort();
  const std::string make = std::string("KESTYL_AGENT_PORT=") + std::to_string(agentPort) + " '" + KS_SOURCE_DIR +
                           "/scripts/make-root' '" + root + "' '" + KS_AGENT_BINARY + "'";
  ASSERT_EQ(std::system(make.c_str()), 0);
  ASSERT_EQ(std::system(("sqlite3 '" + root + "/etc/Kestyl.db' \"INSERT INTO ks_user VALUES('a@example.com','h');\"").c_str()), 0);

  ks::fake::FakeVendorServer vendor;
  const std::string platform = root + "/platform";
  // The first-run wizard was done on this machine.
  ASSERT_EQ(std::system(("KESTYL_PLATFORM_DIR='" + platform + "' '" + root +
                         "/bin/system/reg' add 'HKLM\\SOFTWARE\\Kestyl' /v SetupWizard /t REG_DWORD /d 1 /f >/dev/null")
                            .c_str()),
            0);
  const std::string trace = dir / "trace";
  const std::map<std::string, std::string> env = {
      {"KESTYL_PLATFORM_DIR", platform},
      {"KESTYL_LOOPBACK", "1"},
      {"KESTYL_VENDOR_PORT", std::to_string(vendor.port())},
      {"KESTYL_AGENT_PORT", std::to_string(agentPort)},
      {"KESTYL_DESKTOP_PORT", std::to_string(ks::fake::FreeTcpPort())},
      {"KESTYL_ELEVATED", "1"},
      {"KESTYL_RUNAS", "accept"},
      {"KESTYL_UI_TRACE", trace},
      {"KESTYL_SERVICE_WATCH_MS", "1000"},
      {"KESTYL_AGENT_POLL_MS", "100"},
      {"QT_QPA_PLATFORM", "offscreen"},
  };
  const std::string program = root + "/bin/Kestyl";
  const std::string status = platform + "/services/Kestyl.status";
  pid_t agent = 0;

  const pid_t first = Start(program, env);
  ASSERT_GT(first, 0);
  // The service is installed and started through the repair script.
  EXPECT_TRUE(WaitFor([&] { return (agent = RunningPid(status)) != 0; }, 10000)) << Read(status);
  EXPECT_TRUE(vendor.WaitForRequests(1, 10000));
  const std::string shellLog = Read(platform + "/shell.log");
  EXPECT_NE(shellLog.find("runas accept " + root + "/conf/_tmp_reg_service.bat"), std::string::npos) << shellLog;
  EXPECT_TRUE(WaitFor([&] { return !Exists(root + "/conf/_tmp_reg_service.bat"); }, 10000));
  EXPECT_NE(Read(root + "/conf/ks_config.cfg").find("SyncOn=false"), std::string::npos);
  EXPECT_NE(Read(root + "/conf/ks_log.log").find("Config Loaded."), std::string::npos);

  // Hidden behind the tray icon.
  EXPECT_TRUE(WaitFor([&] { return Read(trace).find("tray add 174 \"Kestyl\"") != std::string::npos; }, 5000));
  EXPECT_EQ(Read(trace).find("show CSettingDlg"), std::string::npos);

  // A second start wakes the first (as a click on the tray icon: the main window, or the
  // log-in dialog while nobody is logged in) and leaves.
  const pid_t second = Start(program, env);
  EXPECT_EQ(WaitExit(second, 5000), 0);
  EXPECT_TRUE(WaitFor(
      [&] {
        const std::string t = Read(trace);
        return t.find("show CSettingDlg") != std::string::npos || t.find("show CLoginDlg") != std::string::npos;
      },
      5000))
      << Read(trace);

  // The watch brings a killed agent back.
  if (agent > 0) {
    ::kill(agent, SIGKILL);
    pid_t again = 0;
    EXPECT_TRUE(WaitFor([&] { return (again = RunningPid(status)) != 0 && again != agent; }, 8000)) << Read(status);
    agent = again != 0 ? again : agent;
  }

  // SIGTERM: exit 0, the service keeps running with the same agent, the account is logged out.
  ::kill(first, SIGTERM);
  const int code = WaitExit(first, 5000);
  if (code < 0) ::kill(first, SIGKILL), ::waitpid(first, nullptr, 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(RunningPid(status), agent);
  EXPECT_TRUE(vendor.WaitForRequests(0x1002, 1, 5000));
  bool loggedOut = false;
  for (const auto& r : vendor.Requests(0x1002)) loggedOut = loggedOut || r.account == "a@example.com";
  EXPECT_TRUE(loggedOut);

  // The agent was started for this test: it ends with it.
  if (agent > 0) ::kill(agent, SIGKILL);
}

}  // namespace
