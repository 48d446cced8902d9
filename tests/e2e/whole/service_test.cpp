// The agent as a service of the service table (KESTYL_PLATFORM_DIR in the agent's root):
// "-i" installs it, the table starts "-r" under the service dispatcher, the table's stop
// (or a SIGTERM to the dispatcher) stops it cleanly, "-u" removes it.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "platform/service_table.h"
#include "tests/e2e/whole/whole_support.h"
#include "tests/fakes/net_io.h"

namespace ks::e2e {
namespace {

using ks::platform::ServiceConfig;
using ks::platform::ServiceStatus;
using ks::platform::ServiceTable;

constexpr const char* kName = "KestylE2E";

// Runs the agent program with `args` in `env`; its exit code, or -1000 - signal, or -2000
// when it did not end within 20 s (then it is killed).
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               std::vector<std::string> env) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? static_cast<int8_t>(WEXITSTATUS(status)) : -1000 - WTERMSIG(status);
    if (std::chrono::steady_clock::now() > end) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -2000;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// A process that has ended (gone, or a zombie nobody reaps).
bool ProcessEnded(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return true;
  size_t close = line.rfind(')');
  return close == std::string::npos || line.size() < close + 3 || line[close + 2] == 'Z' ||
         line[close + 2] == 'X';
}

std::vector<uint32_t> States(const ServiceTable& table) {
  std::vector<ServiceStatus> reports;
  table.ReadHistory(kName, reports);
  std::vector<uint32_t> states;
  for (const ServiceStatus& r : reports)
    if (states.empty() || states.back() != r.currentState) states.push_back(r.currentState);
  return states;
}

bool WaitForState(const ServiceTable& table, uint32_t state, int timeout_ms, ServiceStatus* out) {
  return WaitFor(
      [&] { return table.QueryStatus(kName, *out) == ks::platform::kServiceOk && out->currentState == state; },
      timeout_ms);
}

class ServiceMode : public WholeTest {
 protected:
  size_t LogCount(const std::string& text) const {
    std::string log = agent->ReadLog();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
};

TEST_F(ServiceMode, InstallRunStopRemove) {
  const std::string content = PutData("served.bin", 3000, 81);
  agent = std::make_unique<ks::fake::AgentHarness>(options);
  agent->PrepareRoot();
  const std::string program = agent->bin_dir() + "/KestylClient";
  const std::vector<std::string> env = agent->Environment();
  ServiceTable table(agent->root() + "/platform");

  ASSERT_EQ(RunProgram(program, {"-i", kName}, env), 0);
  ServiceConfig config;
  ASSERT_EQ(table.Open(kName, &config), ks::platform::kServiceOk);
  EXPECT_EQ(config.command, (std::vector<std::string>{program, "-r", kName}));
  EXPECT_EQ(config.startType, ks::platform::kServiceAutoStart);
  EXPECT_EQ(config.serviceType, 0x110u);
  EXPECT_EQ(RunProgram(program, {"-i", kName}, env), -1) << "installed already";
  EXPECT_EQ(RunProgram(program, {"-i"}, env), 0) << "an option without a name does nothing";

  // The table starts services with its caller's environment; the agent must run in this
  // test's loopback set-up, so the installed command runs under env(1) with it.
  ServiceConfig wrapped = config;
  wrapped.command = {"/usr/bin/env", "-i"};
  wrapped.command.insert(wrapped.command.end(), env.begin(), env.end());
  wrapped.command.insert(wrapped.command.end(), config.command.begin(), config.command.end());
  ASSERT_EQ(table.ChangeConfig(kName, wrapped), ks::platform::kServiceOk);

  struct Stopper {
    const char* how;
    bool by_table;
  } stoppers[] = {{"the table's stop control", true}, {"SIGTERM to the dispatcher", false}};
  size_t runs = 0;
  for (const Stopper& s : stoppers) {
    SCOPED_TRACE(s.how);
    ++runs;
    ASSERT_EQ(table.Start(kName), ks::platform::kServiceOk);
    ServiceStatus st;
    ASSERT_TRUE(WaitForState(table, ks::platform::kServiceRunning, 20000, &st)) << agent->ReadLog();
    const int pid = st.pid;
    EXPECT_EQ(st.controlsAccepted & 5u, 5u) << "stop and shutdown";
    EXPECT_TRUE(WaitFor([&] { return LogCount("Start service successful!") == runs; }, 5000));
    // The HTTP server is a job of its own, listening a moment after the start-up.
    EXPECT_TRUE(WaitFor([&] { return LogCount("httpServer running on port") == runs; }, 10000));
    ASSERT_TRUE(vendor.WaitForRequests(ks::fake::wire::kSrvLogon, runs, 10000)) << "logged on at start-up";
    const size_t logoutsBefore = vendor.RequestCount(ks::fake::wire::kSrvLogout);

    // It serves: HTTP hands out a shared file.
    ks::fake::UniqueFd fd = ks::fake::ConnectTcp("127.0.0.1", agent->http_port(), 2000);
    ASSERT_TRUE(fd);
    ks::fake::SendAll(fd.get(), std::string("GET /$DEFAULT$/served.bin HTTP/1.1\r\n\r\n"), 2000);
    std::string answer;
    char buf[8192];
    while (ks::fake::Readable(fd.get(), 3000)) {
      ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
    }
    EXPECT_TRUE(answer.size() >= content.size() && answer.substr(answer.size() - content.size()) == content)
        << answer.substr(0, 200);

    if (s.by_table) {
      ASSERT_EQ(table.Stop(kName), ks::platform::kServiceOk);
    } else {
      ASSERT_EQ(::kill(pid, SIGTERM), 0);
    }
    ASSERT_TRUE(WaitForState(table, ks::platform::kServiceStopped, 20000, &st)) << agent->ReadLog();
    EXPECT_EQ(st.exitCode, 0u) << "stopped by its own report, not found dead";
    EXPECT_TRUE(WaitFor([&] { return ProcessEnded(pid); }, 10000)) << "the service process ends";
    std::vector<uint32_t> states = States(table);
    ASSERT_GE(states.size(), 4u);
    EXPECT_EQ(std::vector<uint32_t>(states.end() - 4, states.end()),
              (std::vector<uint32_t>{2, 4, 3, 1}))
        << "START_PENDING, RUNNING, STOP_PENDING, STOPPED";
    EXPECT_EQ(LogCount("exit server."), runs);
    EXPECT_EQ(vendor.RequestCount(ks::fake::wire::kSrvLogout), logoutsBefore + 1) << "logged out at the stop";
  }

  EXPECT_EQ(RunProgram(program, {"-u", kName}, env), 0);
  EXPECT_FALSE(table.Exists(kName));
  EXPECT_EQ(RunProgram(program, {"-u", kName}, env), -1) << "not installed any more";
  EXPECT_EQ(RunProgram(program, {"-x", kName}, env), -1) << "unknown option";
}

}  // namespace
}  // namespace ks::e2e
