#include "platform/process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/elevation.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::platform;
using ks::test::ReadFile;
using ks::test::TempDir;
using ks::test::WriteFile;

const std::string kChild = KS_TEST_CHILD;

// Waits (bounded) until the file exists; detached children finish on their own time.
bool WaitForFile(const std::string& path) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void MakeScript(const std::string& path, const std::string& body) {
  WriteFile(path, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
}

TEST(CommandLine, SplitFollowsTheRuntimeRules) {
  struct Case {
    std::string line;
    std::vector<std::string> args;
  } cases[] = {
      {"prog a b", {"prog", "a", "b"}},
      {"  prog\t a  ", {"prog", "a"}},
      {"\"C:\\Program Files\\x.exe\" -r Kestyl", {"C:\\Program Files\\x.exe", "-r", "Kestyl"}},
      {"p \"a b\" c", {"p", "a b", "c"}},
      {"p a\\\\b", {"p", "a\\\\b"}},               // backslashes not before a quote
      {"p a\\\"b", {"p", "a\"b"}},                 // 2n+1 backslashes: a literal quote
      {"p \"a\\\\\" b", {"p", "a\\", "b"}},         // 2n: n backslashes, the quote closes
      {"p \"a\"\"b\"", {"p", "a\"b"}},             // "" inside quotes
      {"p \"\"", {"p", ""}},
      {"p ab\"c d\"e", {"p", "abc de"}},
      {"c:\\dir\\prog\\ x", {"c:\\dir\\prog\\", "x"}},  // the program takes no escapes
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.args) << c.line;
  std::vector<std::string> awkward = {"/p/prog", "", "a b", "q\"uote", "tail\\", "tail\\ x\\", "\\\\server\\\"x"};
  EXPECT_EQ(SplitCommandLine(JoinCommandLine(awkward)), awkward);
}

TEST(Spawn, CapturedPiecesArriveExactlyAndInOrder) {
  std::vector<std::vector<int>> tables = {{1}, {1000}, {5000}, {1, 1000, 5000, 1, 5000, 1000}, {70000}};
  for (const auto& pieces : tables) {
    std::vector<std::string> argv = {kChild, "pieces"};
    std::string want;
    for (size_t i = 0; i < pieces.size(); ++i) {
      argv.push_back(std::to_string(pieces[i]));
      want += std::string(static_cast<size_t>(pieces[i]), static_cast<char>('a' + i));
    }
    ProcessOptions options;
    options.output = ProcessOutput::kCapture;
    ProcessResult r;
    ASSERT_EQ(RunProcess(argv, options, r), 0);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, want) << pieces.size() << " pieces";
  }
}

TEST(Spawn, AnUncapturedChildWritingAMegabyteSurvives) {
  TempDir dir;
  ProcessResult r;
  ASSERT_EQ(RunProcess({kChild, "flood", "1048576", dir / "done"}, ProcessOptions(), r), 0);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(ReadFile(dir / "done"), "survived");
  EXPECT_TRUE(r.output.empty());
}

TEST(Spawn, ChildHoldsNoDescriptorOfTheCaller) {
  TempDir dir;
  // A listener opened without close-on-exec, as careless code would.
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);

  ProcessResult r;
  ASSERT_EQ(RunProcess({kChild, "fds", dir / "fds"}, ProcessOptions(), r), 0);
  EXPECT_EQ(ReadFile(dir / "fds"), "0\n1\n2\n");

  pid_t sleeper = 0;
  ASSERT_EQ(StartDetached({kChild, "sleep"}, ProcessOptions(), &sleeper), 0);
  ASSERT_GT(sleeper, 0);
  ::close(listener);
  int again = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::setsockopt(again, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  EXPECT_EQ(::bind(again, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << "the child kept the port";
  EXPECT_EQ(::listen(again, 1), 0);
  ::close(again);
  // Detached: not our child, in a session of its own.
  EXPECT_EQ(::waitpid(sleeper, nullptr, WNOHANG), -1);
  EXPECT_NE(::getsid(sleeper), ::getsid(0));
  ::kill(sleeper, SIGKILL);
}

TEST(Spawn, EnvironmentFolderAndSignalsAreTheChildsOwn) {
  TempDir dir;
  ::setenv("KS_TEST_KEEP", "kept", 1);
  ::setenv("KS_TEST_DROP", "dropped", 1);
  ProcessOptions options;
  options.env = {{"KS_TEST_NEW", "a b=c"}, {"KS_TEST_KEEP", "replaced"}};
  options.unsetEnv = {"KS_TEST_DROP"};
  options.cwd = dir.path();
  ProcessResult r;
  ASSERT_EQ(RunProcess({kChild, "env", "env.txt", "KS_TEST_NEW", "KS_TEST_KEEP", "KS_TEST_DROP"}, options, r), 0);
  EXPECT_EQ(ReadFile(dir / "env.txt"), "KS_TEST_NEW=a b=c\nKS_TEST_KEEP=replaced\nKS_TEST_DROP unset\n");

  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  sigaddset(&block, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &block, &old);
  auto oldPipe = ::signal(SIGPIPE, SIG_IGN);
  ASSERT_EQ(RunProcess({kChild, "sigmask", dir / "mask"}, ProcessOptions(), r), 0);
  ::signal(SIGPIPE, oldPipe);
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_EQ(ReadFile(dir / "mask"), "blocked=0 pipe=default");
}

TEST(Spawn, FailuresAreReportedNotRun) {
  TempDir dir;
  ProcessResult r;
  EXPECT_EQ(RunProcess({dir / "missing"}, ProcessOptions(), r), ENOENT);
  EXPECT_EQ(RunProcess({"ks-no-such-program-anywhere"}, ProcessOptions(), r), ENOENT);
  EXPECT_EQ(RunProcess({}, ProcessOptions(), r), EINVAL);
  ProcessOptions badFolder;
  badFolder.cwd = dir / "no-folder";
  EXPECT_EQ(RunProcess({kChild, "exit", "0"}, badFolder, r), ENOENT);
  EXPECT_EQ(StartDetached({dir / "missing"}, ProcessOptions()), ENOENT);
  WriteFile(dir / "garbage", "\x7f" "ELF not really");
  ::chmod((dir / "garbage").c_str(), 0755);
  EXPECT_EQ(StartDetached({dir / "garbage"}, ProcessOptions()), ENOEXEC);
  ASSERT_EQ(RunProcess({kChild, "exit", "42"}, ProcessOptions(), r), 0);
  EXPECT_EQ(r.exitCode, 42);
}

TEST(Spawn, ToolFolderComesBeforeTheSearchPath) {
  TempDir dir;
  std::filesystem::create_directories(dir / "path");
  std::filesystem::create_directories(dir / "system");
  MakeScript(dir / "path/netsh", "echo from-path");
  MakeScript(dir / "system/netsh", "echo from-system");
  std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (dir / "path:" + oldPath).c_str(), 1);
  ::setenv("KESTYL_SYSTEM_DIR", (dir / "system").c_str(), 1);
  ProcessOptions capture;
  capture.output = ProcessOutput::kCapture;
  for (const char* name : {"netsh", "netsh.exe", "NETSH.EXE"}) {
    ProcessResult r;
    if (std::string(name) == "NETSH.EXE") {
      EXPECT_EQ(RunProcess({name}, capture, r), ENOENT);  // names are exact; only ".exe" is dropped
      continue;
    }
    ASSERT_EQ(RunProcess({name, "wlan", "show", "hostednetwork"}, capture, r), 0) << name;
    EXPECT_EQ(r.output, "from-system\n") << name;
  }
  // A batch file runs through cmd (the built one).
  ::setenv("KESTYL_SYSTEM_DIR", (std::string(KS_BIN_DIR) + "/system").c_str(), 1);
  WriteFile(dir / "job.BAT", "@echo off\r\n\"" + kChild + "\" touch \"" + (dir / "ran") + "\"\r\n");
  ProcessResult r;
  ASSERT_EQ(RunProcess({dir / "job.BAT"}, ProcessOptions(), r), 0);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "ran"));
  ::setenv("PATH", oldPath.c_str(), 1);
  ::unsetenv("KESTYL_SYSTEM_DIR");
}

class Elevation : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("KESTYL_PLATFORM_DIR", dir.path().c_str(), 1);
    ::unsetenv("KESTYL_RUNAS");
    ::unsetenv("KESTYL_ELEVATED");
  }
  TempDir dir;
};

TEST_F(Elevation, RunAsAcceptsOrDeclinesAndLogsEachPrompt) {
  const std::string out = dir / "env out.txt";
  EXPECT_EQ(RunAs("\"" + kChild + "\"", "env \"" + out + "\" KESTYL_ELEVATED", true), 0);
  EXPECT_EQ(ReadFile(out), "KESTYL_ELEVATED=1\n");
  std::filesystem::remove(out);
  ::setenv("KESTYL_RUNAS", "decline", 1);
  EXPECT_EQ(RunAs(kChild, "env \"" + out + "\" KESTYL_ELEVATED", true), kRunAsDeclined);
  EXPECT_FALSE(std::filesystem::exists(out));
  ::unsetenv("KESTYL_RUNAS");
  EXPECT_EQ(RunAs(dir / "missing", "", true), kRunAsMissing);
  EXPECT_EQ(RunAs(kChild, "touch \"" + (dir / "detached") + "\"", false), 0);
  EXPECT_TRUE(WaitForFile(dir / "detached"));
  EXPECT_EQ(ReadFile(ShellLogPath()),
            "runas accept " + kChild + " env \"" + out + "\" KESTYL_ELEVATED\n"
            "runas decline " + kChild + " env \"" + out + "\" KESTYL_ELEVATED\n"
            "runas accept " + (dir / "missing") + " \n"
            "runas accept " + kChild + " touch \"" + (dir / "detached") + "\"\n");
}

TEST_F(Elevation, ShellOpenPassesTheTargetAsOneArgument) {
  ::setenv("KESTYL_BROWSER", (kChild + " touch").c_str(), 1);
  const std::string target = dir / "a page; $(x) & y.html";
  EXPECT_EQ(ShellOpen(target), 0);
  EXPECT_TRUE(WaitForFile(target));
  EXPECT_EQ(ShellOpen("http://x/\nrunas accept evil"), EINVAL);
  EXPECT_EQ(ReadFile(ShellLogPath()), "open " + target + "\n");
  ::unsetenv("KESTYL_BROWSER");
}

TEST_F(Elevation, FactsFollowTheirSettings) {
  ::setenv("KESTYL_ELEVATED", "1", 1);
  EXPECT_TRUE(IsProcessElevated());
  ::setenv("KESTYL_ELEVATED", "0", 1);
  EXPECT_EQ(IsProcessElevated(), ::geteuid() == 0);
  ::setenv("KESTYL_ADMIN", "1", 1);
  EXPECT_TRUE(IsUserAdmin());
  ::setenv("KESTYL_ADMIN", "0", 1);
  EXPECT_FALSE(IsUserAdmin());
  ::unsetenv("KESTYL_ADMIN");
  struct Version {
    const char* text;
    int major, minor;
    bool vista;
  } versions[] = {{nullptr, 6, 1, true}, {"5.1", 5, 1, false}, {"10.0", 10, 0, true}, {"junk", 6, 1, true}};
  for (const auto& v : versions) {
    if (v.text) ::setenv("KESTYL_WINVER", v.text, 1);
    else ::unsetenv("KESTYL_WINVER");
    int major = 0, minor = 0;
    WindowsVersion(major, minor);
    EXPECT_EQ(major, v.major) << (v.text ? v.text : "unset");
    EXPECT_EQ(minor, v.minor);
    EXPECT_EQ(IsVistaOrLater(), v.vista);
  }
  ::unsetenv("KESTYL_WINVER");
  std::filesystem::create_directories(dir / "facts");
  WriteFile(dir / "facts/network_alive", "0\n");
  EXPECT_FALSE(IsNetworkAlive());
  WriteFile(dir / "facts/network_alive", "1");
  EXPECT_TRUE(IsNetworkAlive());
}

}  // namespace
