// sc, net, taskkill and cmd, run as programs the way the desktop program runs them.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/process.h"
#include "platform/process_list.h"
#include "platform/service_table.h"
#include "tests/fakes/test_support.h"
#include "tests/platform/run_program.h"

namespace {

using namespace ks::platform;
using ks::test::ProgramResult;
using ks::test::RunOptions;
using ks::test::RunProgram;
using ks::test::TempDir;
using ks::test::WriteFile;

const std::string kChild = KS_TEST_CHILD;

template <typename Pred>
bool WaitUntil(Pred pred) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class Tools : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("KESTYL_PLATFORM_DIR", dir.path().c_str(), 1);
    ::setenv("KESTYL_ELEVATED", "1", 1);
    ::setenv("KESTYL_SYSTEM_DIR", (ks::test::BinDir() + "/system").c_str(), 1);
  }
  ProgramResult Tool(const std::string& tool, std::vector<std::string> args, RunOptions options = {}) {
    args.insert(args.begin(), ks::test::BinDir() + "/system/" + tool);
    return RunProgram(args, options);
  }
  // A copy of the child program under a name longer than the 15 characters of comm.
  std::string LongNamedChild() {
    std::string path = dir / "KestylSyncHelperProgram";
    std::filesystem::copy_file(kChild, path, std::filesystem::copy_options::overwrite_existing);
    ::chmod(path.c_str(), 0755);
    return path;
  }
  TempDir dir;
};

TEST_F(Tools, ScAndNetDriveAServiceOfTheTable) {
  ServiceTable table;
  ServiceConfig config;
  config.command = {kChild, "service", "Kestyl"};
  config.displayName = "Kestyl";
  config.startType = kServiceAutoStart;
  ASSERT_EQ(table.Create("Kestyl", config), kServiceOk);

  ProgramResult r = Tool("sc", {"query", "Kestyl"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find("SERVICE_NAME: Kestyl\n"), std::string::npos);
  EXPECT_NE(r.output.find("        STATE              : 1  STOPPED\n"), std::string::npos);

  r = Tool("net", {"start", "Kestyl"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("The Kestyl service was started successfully."), std::string::npos);
  EXPECT_NE(Tool("sc", {"query", "Kestyl"}).output.find("STATE              : 4  RUNNING"), std::string::npos);
  r = Tool("net", {"start", "Kestyl"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("The requested service has already been started."), std::string::npos);

  r = Tool("sc", {"qc", "Kestyl"});
  EXPECT_NE(r.output.find("[SC] QueryServiceConfig SUCCESS"), std::string::npos);
  EXPECT_NE(r.output.find("START_TYPE         : 2   AUTO_START"), std::string::npos);
  EXPECT_NE(r.output.find("BINARY_PATH_NAME   : " + kChild + " service Kestyl"), std::string::npos);
  r = Tool("sc", {"config", "Kestyl", "start=", "demand"});
  EXPECT_EQ(r.output, "[SC] ChangeServiceConfig SUCCESS\n");
  EXPECT_NE(Tool("sc", {"qc", "Kestyl"}).output.find("3   DEMAND_START"), std::string::npos);
  EXPECT_EQ(Tool("sc", {"description", "Kestyl", "Provides Kestyl data transmitting supports."}).exitCode, 0);
  ASSERT_EQ(table.Open("Kestyl", &config), kServiceOk);
  EXPECT_EQ(config.description, "Provides Kestyl data transmitting supports.");

  r = Tool("sc", {"stop", "Kestyl"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find("STATE              : 1  STOPPED"), std::string::npos) << r.output;
  r = Tool("net", {"stop", "Kestyl"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("The Kestyl service is not started."), std::string::npos);
}

TEST_F(Tools, ServiceToolsOnAMissingServiceOrWithoutRights) {
  struct Case {
    std::string tool;
    std::vector<std::string> args;
    int exitCode;
    std::string text;
  } cases[] = {
      {"sc", {"query", "Nope"}, 1, "[SC] OpenService FAILED 1060:\n\nThe specified service does not exist"},
      {"sc", {"qc", "Nope"}, 1, "FAILED 1060:"},
      {"sc", {"start", "Nope"}, 1, "FAILED 1060:"},
      {"net", {"start", "Nope"}, 2, "The service name is invalid."},
  };
  for (const auto& c : cases) {
    ProgramResult r = Tool(c.tool, c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.tool << " " << c.args[0];
    EXPECT_NE(r.output.find(c.text), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("STATE"), std::string::npos);
  }
  if (::geteuid() == 0) {
    ::chmod(dir.path().c_str(), 0755);
    RunOptions user;
    user.uid = 65534;
    user.unsetEnv = {"KESTYL_ELEVATED"};
    ProgramResult r = Tool("sc", {"start", "Nope"}, user);
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_NE(r.output.find("Access is denied."), std::string::npos);
  }
}

TEST_F(Tools, TaskkillEndsOnlyThisInstallationsProcesses) {
  const std::string program = LongNamedChild();
  TempDir otherDir;
  ProcessOptions mine, other;
  mine.env = {{"KESTYL_PLATFORM_DIR", dir.path()}};
  other.env = {{"KESTYL_PLATFORM_DIR", otherDir.path()}};
  pid_t a = 0, b = 0, foreign = 0;
  ASSERT_EQ(StartDetached({program, "sleep"}, mine, &a), 0);
  ASSERT_EQ(StartDetached({program, "sleep"}, mine, &b), 0);
  ASSERT_EQ(StartDetached({program, "sleep"}, other, &foreign), 0);
  ASSERT_TRUE(WaitUntil([&] { return FindProcessesByName("KestylSyncHelperProgram").size() == 2; }));
  EXPECT_TRUE(IsProcessRunning("kestylsynchelperprogram.EXE"));

  ProgramResult r = Tool("taskkill", {"/im", "KestylSyncHelperProgram.exe", "/f"});
  EXPECT_EQ(r.exitCode, 0);
  for (pid_t pid : {a, b}) {
    EXPECT_NE(r.output.find("SUCCESS: The process \"KestylSyncHelperProgram.exe\" with PID " + std::to_string(pid) +
                            " has been terminated."),
              std::string::npos)
        << r.output;
  }
  EXPECT_TRUE(WaitUntil([&] { return !IsProcessRunning("KestylSyncHelperProgram"); }));
  EXPECT_EQ(::kill(foreign, 0), 0) << "another installation's process was killed";
  r = Tool("taskkill", {"/IM", "KestylSyncHelperProgram"});
  EXPECT_EQ(r.exitCode, 128);
  EXPECT_EQ(r.output, "ERROR: The process \"KestylSyncHelperProgram\" not found.\n");
  ::kill(foreign, SIGKILL);
}

// Names within comm's 15 characters are matched on comm alone, without regard to case or a
// ".exe"; a name that only begins like the process's, or another installation's process of
// the same name, is no match.
TEST_F(Tools, ShortNamesMatchWholeAndOnlyInThisInstallation) {
  const std::string name = "KsFind" + std::to_string(::getpid() % 100000);
  const std::string program = dir / name;
  std::filesystem::copy_file(kChild, program);
  ::chmod(program.c_str(), 0755);
  TempDir otherDir;
  ProcessOptions other;
  other.env = {{"KESTYL_PLATFORM_DIR", otherDir.path()}};
  pid_t foreign = 0;
  ASSERT_EQ(StartDetached({program, "sleep"}, other, &foreign), 0);
  ASSERT_TRUE(WaitUntil([&] {
    ProcessInfo info;
    return ReadProcessInfo(foreign, info) && info.hasPlatformDir;
  }));
  EXPECT_FALSE(IsProcessRunning(name));

  ProcessOptions mine;
  mine.env = {{"KESTYL_PLATFORM_DIR", dir.path()}};
  pid_t own = 0;
  ASSERT_EQ(StartDetached({program, "sleep"}, mine, &own), 0);
  ASSERT_TRUE(WaitUntil([&] { return IsProcessRunning(name); }));
  std::string upper = name + ".EXE";
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto found = FindProcessesByName(upper);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].pid, own);
  EXPECT_EQ(found[0].platformDir, dir.path());
  EXPECT_FALSE(IsProcessRunning(name.substr(0, name.size() - 1)));
  ::kill(own, SIGKILL);
  ::kill(foreign, SIGKILL);
}

TEST_F(Tools, TaskkillSkipsZombies) {
  // A name of its own: other tests running at the same time start the child program too,
  // and a live one under the shared name would rightly be killed.
  const std::string name = "KsZombie" + std::to_string(::getpid());
  const std::string program = dir / name;
  std::filesystem::copy_file(kChild, program);
  ::chmod(program.c_str(), 0755);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("KESTYL_PLATFORM_DIR", dir.path().c_str(), 1);
    ::execl(program.c_str(), program.c_str(), "exit", "0", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ProcessInfo info;
  ASSERT_TRUE(WaitUntil([&] { return ReadProcessInfo(pid, info) && info.state == 'Z'; }));
  EXPECT_FALSE(IsProcessRunning(name));
  EXPECT_EQ(Tool("taskkill", {"/IM", name, "/F"}).exitCode, 128);
  ::waitpid(pid, nullptr, 0);
}

// Another installation's programs of the same name that keep starting and ending: one that
// ends while it is being looked at is gone, not a process whose environment cannot be read
// (which would count as this installation's and make a kill ask for elevation).
TEST_F(Tools, EndingProcessesOfAnotherInstallationNeverCount) {
  const std::string name = "KsEnding" + std::to_string(::getpid() % 100000);
  const std::string program = dir / name;
  std::filesystem::copy_file(kChild, program);
  ::chmod(program.c_str(), 0755);
  TempDir otherDir;
  const std::string otherEnv = "KESTYL_PLATFORM_DIR=" + otherDir.path();
  std::atomic<bool> done{false};
  std::atomic<int> started{0};
  std::thread spawner([&] {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2); std::chrono::steady_clock::now() < end;) {
      pid_t pid = ::fork();
      if (pid == 0) {
        char* const argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("exit"), const_cast<char*>("0"),
                              nullptr};
        char* const envp[] = {const_cast<char*>(otherEnv.c_str()), nullptr};
        ::execve(program.c_str(), argv, envp);
        ::_exit(127);
      }
      if (pid > 0) {
        ::waitpid(pid, nullptr, 0);
        ++started;
      }
    }
    done = true;
  });
  int seen = 0, looks = 0;
  while (!done) {
    if (IsProcessRunning(name)) ++seen;
    ++looks;
  }
  spawner.join();
  EXPECT_GT(started.load(), 0);
  EXPECT_EQ(seen, 0) << "in " << looks << " looks while " << started << " processes came and went";
}

TEST_F(Tools, CmdRunsABatchFileLineByLine) {
  const std::string program = LongNamedChild();
  const std::string bat = dir / "_tmp_reg_service.bat";
  WriteFile(bat,
            "@echo off\r\n"
            "rem a remark\r\n"
            "\r\n"
            "\"" + kChild + "\" touch \"" + (dir / "first") + "\"\r\n"
            "start \"\" /B \"" + program + "\" sleep\r\n"
            "echo hello there\r\n"
            "\"" + kChild + "\" exit 7");
  ProcessOptions capture;
  capture.output = ProcessOutput::kCapture;
  ProcessResult r;
  // Capturing cmd's output returns although the started program runs on.
  ASSERT_EQ(RunProcess({ks::test::BinDir() + "/system/cmd", "/c", bat}, capture, r), 0);
  EXPECT_EQ(r.exitCode, 7);
  EXPECT_EQ(r.output, "hello there\n");
  EXPECT_TRUE(std::filesystem::exists(dir / "first"));
  EXPECT_TRUE(WaitUntil([] { return IsProcessRunning("KestylSyncHelperProgram"); }));
  KillProcessesByName("KestylSyncHelperProgram", true);
}

TEST_F(Tools, CmdRefusesShellOperatorsBeforeRunningAnything) {
  for (const char* op : {"&", "|", "<", ">", "^"}) {
    const std::string bat = dir / "x.bat";
    WriteFile(bat, "\"" + kChild + "\" touch \"" + (dir / "ran") + "\"\r\n\"" + kChild + "\" exit 0 " + op + " x\r\n");
    ProgramResult r = Tool("cmd", {"/c", bat});
    EXPECT_EQ(r.exitCode, 1) << op;
    EXPECT_EQ(r.output, "The syntax of the command is incorrect.\n") << op;
    EXPECT_FALSE(std::filesystem::exists(dir / "ran")) << op;
  }
  // Inside quotes the characters are plain text.
  WriteFile(dir / "y.bat", "\"" + kChild + "\" touch \"" + (dir / "a&b") + "\"\r\n");
  EXPECT_EQ(Tool("cmd", {"/c", dir / "y.bat"}).exitCode, 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "a&b"));
}

}  // namespace
