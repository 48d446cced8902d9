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

TEST_F(MainWindowUpdateTest, TheCheckCommandReachesTheServerAndTheAnswerComesBackPosted) {
  kstest::TraceCapture trace;
  server_.Enqueue("/kestyl/update-pc.html",
                  ks::fake::WebReply::Ok("{\"version\":\"1.2.0.4\",\"down\":\"http:\\/\\/127.0.0.1\\/inst\","
                                         "\"size\":\"1MB\",\"md5\":\"00000000000000000000000000000000\"}"));
  auto window = MakeWindow();
  upd::CUpdateLogic::Environment env;
  env.ownVersion = [] { return std::string("1.2.0.4"); };
  env.updateUrl = [this] { return server_.url() + "/kestyl/update-pc.html"; };
  env.folder = tmp_ / "data/Kestyl";
  window->m_updateLogic = std::make_unique<upd::CUpdateLogic>(env);

  kstest::ModalAnswerer answerer([](QWidget* w) { w->close(); }, 20000);
  window->StartManualUpdateCheck();
  ASSERT_TRUE(kstest::WaitUntil([&] { return answerer.answered(); }, 30000));
  EXPECT_EQ(Gets("/kestyl/update-pc.html"), 1u);
  EXPECT_EQ(trace.With(QStringLiteral("box ")),
            QStringList{QStringLiteral("box 0 \"<MSGBOX_UPDATETITLE>\" \"<MSGBOX_NOUPDATE>\"")});

  // A download-finished report, as the update thread gives it: only posted, then recorded.
  window->OnDownloadFinish();
  uint32_t finish = 0;
  EXPECT_FALSE(upd::ReadKestylDword(upd::kUpdateFinishValue, finish));
  ASSERT_TRUE(kstest::WaitUntil([&] { return upd::ReadKestylDword(upd::kUpdateFinishValue, finish); }));
  EXPECT_EQ(finish, 1u);
}

}  // namespace
