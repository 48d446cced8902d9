// Whole desktop roads: the built programs in an install root, run under Xvfb as the PC's owner
// would meet them, watched through the UI trace, the service table and the fakes' records.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include "tests/fakes/desktop_harness.h"
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::fake::DesktopHarness;
using ks::fake::DesktopOptions;

class DesktopRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string missing = DesktopHarness::Missing();
    if (!missing.empty()) GTEST_SKIP() << "whole desktop roads need an X server: " << missing;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    options.source_dir = KS_SOURCE_DIR;
    options.build_dir = KS_BINARY_DIR;
    options.test_name = std::string(info->test_suite_name()) + "." + info->name();
  }
  void Start() {
    harness = std::make_unique<DesktopHarness>(options);
    std::string why;
    ASSERT_TRUE(harness->Prepare(&why)) << why;
  }
  bool WaitRunning(int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 100) {
      if (harness->ServiceStatus() == "4 RUNNING" && harness->AgentPid() > 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  static bool Exited0(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

  DesktopOptions options;
  std::unique_ptr<DesktopHarness> harness;
};

// First start on a fresh root: the desktop installs and starts the agent's service, shows its
// tray icon and keeps the main window hidden; a second copy wakes the first and leaves; the
// log-out on the owner's request leaves the service running.
TEST_F(DesktopRoad, FirstStartSecondCopyAndSigterm) {
  Start();
  harness->StartDesktop();
  ASSERT_TRUE(harness->WaitTracePrefix("tray add 174 \"Kestyl\"", 20000)) << "no tray icon";
  ASSERT_TRUE(WaitRunning(20000)) << "service: " << harness->ServiceStatus();
  pid_t agent = harness->AgentPid();
  EXPECT_FALSE(std::filesystem::exists(harness->root() + "/conf/_tmp_reg_service.bat"));
  harness->Screenshot("tray");

  // A second copy posts to the first and exits; the first shows its window.
  size_t mark = harness->Trace().size();
  pid_t first = harness->desktop_pid();
  harness->StartDesktop();
  EXPECT_TRUE(Exited0(harness->WaitDesktop(5000))) << "the second copy did not leave";
  EXPECT_TRUE(harness->WaitTracePrefix("show CSettingDlg", 5000, mark));
  harness->Screenshot("main-window");

  ::kill(first, SIGTERM);
  int status = -1;
  for (int i = 0; i < 100 && ::waitpid(first, &status, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(harness->ServiceStatus(), "4 RUNNING");
  EXPECT_EQ(harness->AgentPid(), agent);
}

// A desktop killed outright leaves nothing that blocks the next start, and a killed agent is
// brought back by the service watch.
TEST_F(DesktopRoad, KilledDesktopAndKilledAgentComeBack) {
  Start();
  harness->StartDesktop();
  ASSERT_TRUE(harness->WaitTracePrefix("tray add 174", 20000));
  ASSERT_TRUE(WaitRunning(20000));
  pid_t agent = harness->AgentPid();

  ::kill(agent, SIGKILL);
  bool back = false;
  for (int i = 0; i < 150 && !back; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    back = harness->ServiceStatus() == "4 RUNNING" && harness->AgentPid() > 0 &&
           harness->AgentPid() != agent;
  }
  EXPECT_TRUE(back) << "agent not restarted: " << harness->ServiceStatus();

  harness->SignalDesktop(SIGKILL);
  harness->WaitDesktop(5000);
  size_t mark = harness->Trace().size();
  harness->StartDesktop();
  EXPECT_TRUE(harness->WaitTracePrefix("tray add 174", 20000, mark));
  EXPECT_EQ(harness->WaitDesktop(2000), -1) << "the new copy took itself for a second copy";
  harness->Screenshot("restarted");
}

// A configuration file of random bytes neither stops nor kills the program.
TEST_F(DesktopRoad, DamagedConfigurationStillStarts) {
  Start();
  std::mt19937 random(7);
  std::string junk(4096, '\0');
  for (char& c : junk) c = static_cast<char>(random());
  std::filesystem::create_directories(harness->root() + "/conf");
  ks::test::WriteFile(harness->root() + "/conf/ks_config.cfg", junk);
  harness->StartDesktop();
  ASSERT_TRUE(harness->WaitTracePrefix("tray add 174", 20000));
  EXPECT_EQ(harness->WaitDesktop(5000), -1) << "the program ended";
  harness->Screenshot("started");
}

}  // namespace
