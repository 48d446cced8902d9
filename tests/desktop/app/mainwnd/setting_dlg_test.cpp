// The main window's own road: construction with the service check, the hidden start, the
// three ways it is told to stop, and the service watch that runs through a worker.
#include "desktop/app/mainwnd/setting_dlg.h"
#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/util/ks_util.h"
#include "platform/registry.h"
#include "tests/desktop/app/dialogs/fake_ui_data.h"
#include "tests/desktop/app/shell/recording_hosts.h"
#include "tests/desktop/ui/ui_test_kit.h"
#include "tests/fakes/test_support.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <algorithm>
#include <deque>
#include <mutex>
#include <cstdlib>

namespace {

using ks::mainwnd::CSettingDlg;
using ks::mainwnd::SettingDlgOptions;

// The service host of the window: records the system calls, and does what the window half
// asks of the window for real (its timers, the end of the program).
class WindowRecordingHost : public kstest::RecordingServiceHost {
 public:
  CSettingDlg* dlg = nullptr;
  void StopTimers() override {
    RecordingServiceHost::StopTimers();
    if (dlg != nullptr) {
      dlg->m_nConnectTimer.Kill();
      dlg->m_nServiceTimer.Kill();
    }
  }
  void EndProgram() override {
    RecordingServiceHost::EndProgram();
    if (dlg != nullptr) dlg->OnLoginDlgQuit();
  }
  size_t Count(const std::string& line) const { return std::count(calls.begin(), calls.end(), line); }
};

// The agent has a data folder: the first-run wizard is not asked for.
class ConfiguredUIData : public kstest::RecordingUIData {
 public:
  int GetDefShare(std::string* root, bool prepare) override {
    RecordingUIData::GetDefShare(root, prepare);
    *root = "/srv/kestyl-data";
    return 0;
  }
};

class SettingDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    ::setenv("KESTYL_PLATFORM_DIR", (dir_ / "platform").c_str(), 1);
    // Set up already: the first-run wizard would wait modally inside the window's start.
    ks::platform::RegSetDword(ks::platform::HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl", "SetupWizard", 1);
    CKSUtil::SetProgramFolder(dir_ / "bin");
    host_.queries = {kstest::kRunning};
  }
  void TearDown() override { ::unsetenv("KESTYL_SERVICE_WATCH_MS"); }

  SettingDlgOptions Options() {
    SettingDlgOptions o;
    o.serviceHost = &host_;
    o.autoStartHost = &autoStart_;
    o.uiData = &uiData_;
    o.startUpdateCheck = false;
    o.serviceState = [this] { return std::optional<uint32_t>(NextReading()); };
    o.endProcess = [this](int code) { endedWith_ = code; };
    return o;
  }

  // Runs the modal loop; `action` runs once the loop is up.
  int RunModal(CSettingDlg& dlg, std::function<void()> action) {
    QTimer::singleShot(0, &dlg, [action] { action(); });
    return dlg.DoModal();
  }

  ks::test::TempDir dir_;
  WindowRecordingHost host_;
  kstest::RecordingAutoStartHost autoStart_;
  ConfiguredUIData uiData_;
  // The service table's readings, in order; the last one repeats. Read on the worker.
  void Script(std::deque<uint32_t> readings) {
    std::lock_guard<std::mutex> hold(readingsLock_);
    readings_ = std::move(readings);
  }
  uint32_t NextReading() {
    std::lock_guard<std::mutex> hold(readingsLock_);
    const uint32_t state = readings_.front();
    if (readings_.size() > 1) readings_.pop_front();
    return state;
  }
  std::mutex readingsLock_;
  std::deque<uint32_t> readings_{4};  // SERVICE_RUNNING
  int endedWith_ = -1;
};

TEST_F(SettingDlgTest, StartsHiddenBehindTheTrayIconAndQueuesTheLogIn) {
  CSettingDlg dlg(Options());
  host_.dlg = &dlg;
  bool visibleInLoop = true;
  bool loginStarted = false;
  long initCalls = -1;
  const int result = RunModal(dlg, [&] {
    visibleInLoop = dlg.isVisible();
    initCalls = std::count(uiData_.calls.begin(), uiData_.calls.end(), "GetDefShare");
    // 0x50A is queued behind this call; StartLogin runs when the loop reaches it.
    QTimer::singleShot(0, &dlg, [&] {
      loginStarted = ks::mainwnd::g_bLoginStarted;
      dlg.OnTrayMenuExit();
    });
  });
  EXPECT_EQ(result, ks::skin::IDCANCEL);
  EXPECT_FALSE(visibleInLoop);
  EXPECT_TRUE(loginStarted);
  EXPECT_EQ(dlg.m_trayIcon.IconId(), ks::mainwnd::kTrayIconId);
  EXPECT_EQ(dlg.m_trayIcon.Tip(), QStringLiteral("Kestyl"));
  EXPECT_EQ(dlg.size(), QSize(484, 426));
  EXPECT_FALSE(dlg.m_btnDelete.isEnabled());
  ASSERT_NE(dlg.m_pBtnSync, nullptr);
  EXPECT_GE(dlg.m_pBtnSync->geometry().left(), 484) << "the sync page button lies outside the window";
  // Registered as the link's listener; the initialisation asks once for the data folder
  // root (the log-in that follows may ask again).
  EXPECT_GE(std::count(uiData_.calls.begin(), uiData_.calls.end(), "SetCallBack"), 1);
  EXPECT_EQ(initCalls, 1);
}

// How each closing road ends: whether the service is stopped and the loop ended by it.
struct CloseCase {
  const char* name;
  std::function<void(CSettingDlg&)> trigger;
  bool stopsService;
};

class ClosingRoads : public SettingDlgTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(ClosingRoads, ForgetTheAccountStopTheTimersAndMaybeTheService) {
  const CloseCase& c = GetParam();
  CSettingDlg dlg(Options());
  host_.dlg = &dlg;
  ASSERT_TRUE(dlg.m_nServiceTimer.running()) << "an administrator's window watches the service";
  host_.calls.clear();
  host_.queries = {kstest::kRunning};
  host_.agentRunning = {false};
  size_t mark = 0;
  const int result = RunModal(dlg, [&] {
    mark = uiData_.calls.size();
    c.trigger(dlg);
  });
  EXPECT_EQ(result, ks::skin::IDCANCEL);
  EXPECT_TRUE(dlg.closing());
  EXPECT_FALSE(dlg.m_nServiceTimer.running());
  EXPECT_FALSE(dlg.m_nConnectTimer.running());
  EXPECT_FALSE(dlg.isVisible());
  // RemPass is not "true" here: the account is forgotten in the agent.
  // (the log-in road, queued before the trigger, may log out on its own too)
  EXPECT_GE(std::count(uiData_.calls.begin() + static_cast<long>(mark), uiData_.calls.end(), "Logout"), 1);
  EXPECT_EQ(dlg.m_loginInfo.account[0], '\0');
  EXPECT_EQ(host_.Count("runas sc stop Kestyl"), c.stopsService ? 1u : 0u);
  EXPECT_EQ(host_.Count("runas taskkill /im KestylClient.exe /f"), c.stopsService ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Roads, ClosingRoads,
    ::testing::Values(
        CloseCase{"window_manager_close", [](CSettingDlg& d) { d.close(); }, true},
        CloseCase{"exit_message", [](CSettingDlg& d) { ks::ui::PostMsg(&d, ks::mainwnd::kMsgExit); }, true},
        CloseCase{"tray_exit_command", [](CSettingDlg& d) { d.PostCommand(ks::mainwnd::kCmdExit); }, true},
        CloseCase{"end_of_session",
                  [](CSettingDlg& d) {
                    ASSERT_TRUE(d.OnQueryEndSession());
                    d.EndDialog(ks::skin::IDCANCEL);  // what the program object does next
                  },
                  false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingDlgTest, CaptionCloseOnlyHides) {
  CSettingDlg dlg(Options());
  host_.dlg = &dlg;
  dlg.m_bHideOnClose = true;
  bool stillRunning = false;
  RunModal(dlg, [&] {
    dlg.show();
    ks::ui::PostMsg(&dlg, ks::skin::CDiyDialog::kMsgHideSelf);
    QTimer::singleShot(0, &dlg, [&] {
      stillRunning = dlg.InModalLoop() && !dlg.isVisible() && !dlg.closing();
      dlg.OnTrayMenuExit();
    });
  });
  EXPECT_TRUE(stillRunning);
}

TEST_F(SettingDlgTest, ServiceThatCannotBeStartedEndsTheProcessWithoutAWatch) {
  host_.queries = {kstest::kMissing};
  CSettingDlg dlg(Options());
  EXPECT_EQ(endedWith_, 1);
  EXPECT_EQ(host_.Count("box MSGBOX_SERVICE_START_FAILED"), 1u);
  EXPECT_FALSE(dlg.m_nServiceTimer.running());
}

TEST_F(SettingDlgTest, WithoutAdministratorRightsNothingIsWatched) {
  host_.admin = false;
  CSettingDlg dlg(Options());
  EXPECT_EQ(endedWith_, -1);
  EXPECT_FALSE(dlg.m_nServiceTimer.running());
}

TEST_F(SettingDlgTest, WatchRepairsFiveStopsAndTheSixthEndsTheProgram) {
  ::setenv("KESTYL_SERVICE_WATCH_MS", "1", 1);
  CSettingDlg dlg(Options());
  host_.dlg = &dlg;
  host_.calls.clear();
  Script({1});  // SERVICE_STOPPED at every reading
  // A repair finds the service running at its first query (and at its final check).
  host_.queries = {kstest::kRunning};
  const int result = RunModal(dlg, [] {});
  EXPECT_EQ(result, ks::skin::IDCANCEL);
  EXPECT_EQ(host_.Count("end program"), 1u);
  // Five repairs, each a query and the final check; closing asks again after the end.
  const size_t queriesBeforeEnd = std::count(
      host_.calls.begin(), std::find(host_.calls.begin(), host_.calls.end(), "end program"), "run sc query Kestyl");
  EXPECT_EQ(queriesBeforeEnd, 2u * 5);
  EXPECT_FALSE(dlg.m_nServiceTimer.running());
  EXPECT_EQ(dlg.serviceControl().StoppedCount(), 6);
}

TEST_F(SettingDlgTest, WatchCountsOnlyStopsInARow) {
  ::setenv("KESTYL_SERVICE_WATCH_MS", "1", 1);
  CSettingDlg dlg(Options());
  host_.dlg = &dlg;
  host_.calls.clear();
  host_.queries = {kstest::kRunning};
  // Two stops, a running reading, then stopped for good: the count starts again after the
  // running reading, so two + five repairs come before the end.
  Script({1, 1, 4, 1});
  RunModal(dlg, [] {});
  EXPECT_EQ(host_.Count("end program"), 1u);
  const size_t queriesBeforeEnd = std::count(
      host_.calls.begin(), std::find(host_.calls.begin(), host_.calls.end(), "end program"), "run sc query Kestyl");
  EXPECT_EQ(queriesBeforeEnd, 2u * 7);
  EXPECT_EQ(dlg.serviceControl().StoppedCount(), 6);
}

TEST_F(SettingDlgTest, NoRepairOnceClosing) {
  ::setenv("KESTYL_SERVICE_WATCH_MS", "1", 1);
  CSettingDlg dlg(Options());
  host_.dlg = &dlg;
  host_.calls.clear();
  Script({1});
  dlg.OnQueryEndSession();
  // A reading that was under way when the window closed arrives afterwards.
  ks::ui::PostMsg(&dlg, ks::mainwnd::kMsgServiceState, 1, 1);
  kstest::ProcessEvents();
  EXPECT_TRUE(host_.calls.empty());
}

}  // namespace
