// Whole desktop roads: the built programs in an install root, run under Xvfb as the PC's owner
// would meet them, watched through the UI trace, the service table and the fakes' records.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include "tests/e2e/desktop/road_kit.h"
#include "tests/fakes/desktop_harness.h"
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::fake::DesktopHarness;
using ks::fake::DesktopOptions;

class DesktopRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = ks::road::PrepareRoadOptions(options); !why.empty()) GTEST_SKIP() << why;
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
  // The wait status of a desktop the harness no longer follows (a later start replaced it).
  static int WaitPid(pid_t pid, int timeout_ms) {
    int status = -1;
    for (int waited = 0; waited <= timeout_ms; waited += 50) {
      if (::waitpid(pid, &status, WNOHANG) == pid) return status;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
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
  EXPECT_TRUE(harness->WaitVisibleWindow("Kestyl tray", 5000));
  harness->Screenshot("tray");

  // A second copy posts to the first and exits; the first shows its window.
  size_t mark = harness->Trace().size();
  pid_t first = harness->desktop_pid();
  harness->StartDesktop();
  EXPECT_TRUE(Exited0(harness->WaitDesktop(5000))) << "the second copy did not leave";
  // Before the log-in the wake brings the log-in dialog on screen, after it the main window.
  EXPECT_TRUE(harness->WaitTrace(
      [](const std::string& l) {
        if (l.rfind("show CSettingDlg", 0) == 0) return true;
        int x = -1, y = -1;
        return std::sscanf(l.c_str(), "ctl CLoginDlg 0 %d %d", &x, &y) == 2 && x >= 0 && y >= 0;
      },
      5000, mark));
  harness->Screenshot("main-window");

  ::kill(first, SIGTERM);
  EXPECT_TRUE(Exited0(WaitPid(first, 5000)));
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

// The owner logs in through the dialog without keeping the password: the agent logs on at
// the vendor's server, the tray goes online, and at the end of the session the account is
// logged out at the vendor while the service keeps running.
TEST_F(DesktopRoad, LogInThroughTheDialogThenExit) {
  Start();
  harness->StartDesktop();
  ASSERT_TRUE(harness->WaitTracePrefix("tray add 174", 20000));
  ASSERT_TRUE(WaitRunning(20000));
  // The log-in dialog is on screen once the wake asks for the program.
  size_t mark = harness->Trace().size();
  const pid_t first = harness->desktop_pid();
  harness->StartDesktop();
  ASSERT_TRUE(Exited0(harness->WaitDesktop(5000)));
  ASSERT_TRUE(harness->WaitTrace(
      [](const std::string& l) {
        int x = -1, y = -1;
        return std::sscanf(l.c_str(), "ctl CLoginDlg 0 %d %d", &x, &y) == 2 && x >= 0 && y >= 0;
      },
      5000, mark));
  ASSERT_TRUE(harness->ClickControl("QLineEdit", 1004));
  ASSERT_TRUE(harness->TypeText("owner@example.com"));
  ASSERT_TRUE(harness->ClickControl("QLineEdit", 1005));
  ASSERT_TRUE(harness->TypeText("secret1"));
  // Not remembered: the account is forgotten, and logged out, when the session ends.
  ASSERT_TRUE(harness->ClickControl("CColorButton", 1008));
  harness->Screenshot("log-in-filled");
  mark = harness->Trace().size();
  ASSERT_TRUE(harness->ClickControl("CColorButton", 1091));
  EXPECT_TRUE(harness->vendor().WaitForRequests(0x1001, 1, 20000)) << "no log-on at the vendor";
  EXPECT_TRUE(harness->WaitTracePrefix("tray modify 368", 20000, mark)) << "tray never went online";
  harness->Screenshot("online");
  bool sent = false;
  for (const auto& r : harness->vendor().Requests(0x1001)) sent = sent || r.account == "owner@example.com";
  EXPECT_TRUE(sent);

  ::kill(first, SIGTERM);
  EXPECT_TRUE(Exited0(WaitPid(first, 5000)));
  EXPECT_TRUE(harness->vendor().WaitForRequests(0x1002, 1, 10000)) << "no log-out at the vendor";
  EXPECT_EQ(harness->ServiceStatus(), "4 RUNNING");
}

}  // namespace
