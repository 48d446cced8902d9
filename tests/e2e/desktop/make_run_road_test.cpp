// `make run` after its build step (scripts/run on the built programs), with and without a
// display: what the owner sees, and that Ctrl-C on the terminal leaves nothing running from
// the install root.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "tests/e2e/desktop/road_kit.h"
#include "tests/fakes/desktop_harness.h"

namespace {

using Clock = std::chrono::steady_clock;
using ks::fake::DesktopHarness;
using ks::fake::DesktopOptions;

bool WaitFor(const std::function<bool()>& done, int timeout_ms) {
  const auto deadline = ks::road::Until(timeout_ms);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class MakeRunRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    DesktopOptions options;
    if (std::string why = ks::road::PrepareRoadOptions(options); !why.empty()) GTEST_SKIP() << why;
    options.setup_done = false;  // a fresh root, as `make run` makes it the first time
    harness = std::make_unique<DesktopHarness>(options);
    std::string why;
    ASSERT_TRUE(harness->Prepare(&why)) << why;
  }

  void TearDown() override {
    if (run > 0) {
      ::kill(-run, SIGKILL);
      ::waitpid(run, nullptr, 0);
    }
    harness.reset();
  }

  // scripts/run on the root of the harness, leader of its own process group (the terminal's
  // Ctrl-C reaches the whole group).
  void StartRun(const std::map<std::string, std::string>& env) {
    std::map<std::string, std::string> all = env;
    all["RUNROOT"] = harness->root();
    run = harness->StartProgram({std::string(KS_SOURCE_DIR) + "/scripts/run", KS_BINARY_DIR}, all);
    ASSERT_GT(run, 0);
  }

  // Ctrl-C: SIGINT to the group; true when scripts/run ended and nothing runs from the root.
  bool InterruptAndWaitForNothingLeft(int timeout_ms) {
    ::kill(-run, SIGINT);
    int status = 0;
    const bool ended = WaitFor([&] { return ::waitpid(run, &status, WNOHANG) == run; }, timeout_ms);
    if (ended) run = -1;
    return ended && WaitFor([&] { return DesktopHarness::RunningUnder(harness->root()).empty(); }, timeout_ms);
  }

  std::unique_ptr<DesktopHarness> harness;
  pid_t run = -1;
};

TEST_F(MakeRunRoad, WithADisplayTheDesktopStartsTheServiceAndCtrlCStopsEverything) {
  StartRun({});
  // The tray stand-in window, the service, and the first-run wizard as the only window
  // titled exactly "Kestyl" (the main window and the log-in dialog stay hidden).
  EXPECT_TRUE(WaitFor(
      [&] {
        return !harness->VisibleWindows("Kestyl tray").empty() && harness->ServiceStatus() == "4 RUNNING" &&
               harness->VisibleWindows("^Kestyl$").size() == 1;
      },
      30000))
      << "service: " << harness->ServiceStatus() << "; console: " << harness->ConsoleText();
  EXPECT_TRUE(harness->WaitTracePrefix("show CWizardDlg", 1000));
  harness->Screenshot("wizard");

  EXPECT_TRUE(InterruptAndWaitForNothingLeft(15000));
  EXPECT_EQ(harness->ServiceStatus(), "1 STOPPED");
}

TEST_F(MakeRunRoad, WithoutADisplayTheAgentRunsAloneUntilCtrlC) {
  StartRun({{"DISPLAY", ""}});
  const std::string log = harness->root() + "/log/Log.txt";
  EXPECT_TRUE(WaitFor([&] { return ReadAll(log).find("Start service successful!") != std::string::npos; }, 30000))
      << "console: " << harness->ConsoleText();
  EXPECT_NE(harness->ConsoleText().find("No display: running the agent alone (set DISPLAY to start the desktop "
                                        "program too)."),
            std::string::npos);
  // Nothing on the screen: the desktop program did not start.
  harness->Screenshot("no-desktop");
  EXPECT_TRUE(harness->VisibleWindows("Kestyl").empty());

  EXPECT_TRUE(InterruptAndWaitForNothingLeft(15000));
}

}  // namespace
