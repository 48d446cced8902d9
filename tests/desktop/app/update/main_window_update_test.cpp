// The main window's update handlers on a real CSettingDlg (no service, no automatic check, a
// recording agent link): the information window and its balloon-link countdown at the first
// start after an update, and the posted reports without a manager.
#include "desktop/app/mainwnd/setting_dlg.h"
#include "desktop/app/update/update_dlg.h"
#include "platform/registry.h"
#include "tests/desktop/app/dialogs/fake_ui_data.h"
#include "tests/desktop/app/update/update_test_kit.h"

namespace {

using ks::mainwnd::CSettingDlg;
namespace upd = ks::desktop::update;

class MainWindowUpdateTest : public kstest::UpdateWindowTest {
 protected:
  std::unique_ptr<CSettingDlg> MakeWindow() {
    ks::mainwnd::SettingDlgOptions options;
    options.uiData = &uiData_;
    options.startServiceCheck = false;
    options.startUpdateCheck = false;
    return std::make_unique<CSettingDlg>(options);
  }
  kstest::RecordingUIData uiData_;
};

TEST_F(MainWindowUpdateTest, InformationWindowAndBalloonCountdownOncePerUpdate) {
  ASSERT_TRUE(upd::WriteKestylDword(upd::kUpdateFinishValue, 1));
  auto window = MakeWindow();
  window->ShowUpdateFinishedInfo();
  auto* info = qobject_cast<ks::update::CUpdateDlg*>(window->m_updateDlg.data());
  ASSERT_NE(info, nullptr);
  EXPECT_TRUE(info->isVisible());
  uint32_t finish = 1;
  ASSERT_TRUE(upd::ReadKestylDword(upd::kUpdateFinishValue, finish));
  EXPECT_EQ(finish, 0u);

  EXPECT_EQ(CSettingDlg::g_nBalloonLinkCountdown, 5);
  EXPECT_TRUE(window->g_nCountdownTimer.running());
  for (int left = 4; left >= 0; --left) {
    window->CountdownTimerProc();
    EXPECT_EQ(CSettingDlg::g_nBalloonLinkCountdown, left);
  }
  EXPECT_FALSE(window->g_nCountdownTimer.running());
  window->CountdownTimerProc();
  EXPECT_EQ(CSettingDlg::g_nBalloonLinkCountdown, 0);

  // The next start shows nothing.
  auto next = MakeWindow();
  next->ShowUpdateFinishedInfo();
  EXPECT_EQ(next->m_updateDlg.data(), nullptr);
}

TEST_F(MainWindowUpdateTest, PostedReportsAreHandledOnTheWindowsThread) {
  kstest::TraceCapture trace;
  auto window = MakeWindow();
  kstest::ModalAnswerer answerer([](QWidget* w) { w->close(); });
  window->OnNoUpdate();  // as the update thread calls it: only posts
  EXPECT_TRUE(trace.With(QStringLiteral("box ")).isEmpty());
  ASSERT_TRUE(kstest::WaitUntil([&] { return answerer.answered(); }));
  EXPECT_EQ(trace.With(QStringLiteral("box ")),
            QStringList{QStringLiteral("box 0 \"<MSGBOX_UPDATETITLE>\" \"<MSGBOX_NOUPDATE>\"")});

  window->OnDownloadFinish();
  uint32_t finish = 0;
  ASSERT_TRUE(kstest::WaitUntil([&] { return upd::ReadKestylDword(upd::kUpdateFinishValue, finish); }));
  EXPECT_EQ(finish, 1u);
}

}  // namespace
