// The main window's connection handlers: requests from the link thread reach the
// confirmation dialog one at a time, the tray flashes while some wait, answers go to the
// window's link, and the wake-up button writes the adapters' values and shows its notice.
#include "desktop/app/connect/connect_dlg.h"
#include "desktop/app/connect/wake_on_lan.h"
#include "desktop/app/mainwnd/setting_dlg.h"
#include "desktop/foundation/skin/diy_message_box.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/util/ks_util.h"
#include "platform/registry.h"

#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "tests/desktop/app/connect/connect_language.h"
#include "tests/desktop/app/connect/recording_ui_data.h"
#include "tests/desktop/app/login/login_test_kit.h"
#include "tests/desktop/foundation/env_guard.h"
#include "tests/desktop/ui/ui_test_kit.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::desktop;
using ks::mainwnd::CSettingDlg;
using ks::test::EnvGuard;
using ks::test::TempDir;
using Answer = kstest::RecordingUIData::Answer;
namespace pf = ks::platform;
namespace fs = std::filesystem;

ConnectRequestInfo Request(uint32_t id) {
  ConnectRequestInfo r{};
  std::snprintf(r.sender, sizeof r.sender, "phone%u", id);
  std::snprintf(r.network, sizeof r.network, "net");
  r.requestId = id;
  return r;
}

class SettingDlgConnect : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(tmp_ / "bin");
    fs::create_directories(tmp_ / "conf");
    fs::create_directories(tmp_ / "platform");
    CKSUtil::SetProgramFolder(tmp_ / "bin");
    kstest::EnsureGuiApp();
    ks::ui::SetLanguageSource(std::make_shared<kstest::KeyLanguage>());
    ks::mainwnd::SettingDlgOptions options;
    options.uiData = &link_;
    options.startServiceCheck = false;
    options.startUpdateCheck = false;
    dlg_ = std::make_unique<CSettingDlg>(options);
  }
  void TearDown() override {
    dlg_.reset();
    kstest::ProcessEvents();
    ks::ui::SetLanguageSource(nullptr);
    CKSUtil::SetProgramFolder("");
  }
  CConnectDlg* WaitForDialogOf(uint32_t id) {
    CConnectDlg* found = nullptr;
    kstest::WaitUntil([&] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* d = qobject_cast<CConnectDlg*>(w);
        if (d != nullptr && d->isVisible() && d->Request().requestId == id) found = d;
      }
      return found != nullptr;
    });
    return found;
  }

  TempDir tmp_;
  EnvGuard platform_{"KESTYL_PLATFORM_DIR", (tmp_ / "platform").c_str()};
  EnvGuard winver_{"KESTYL_WINVER", nullptr};
  kstest::RecordingUIData link_;
  std::unique_ptr<CSettingDlg> dlg_;
};

TEST_F(SettingDlgConnect, RequestsFromTheLinkAreAnsweredOneAtATime) {
  std::thread linkThread([this] {
    const ConnectRequestInfo a = Request(1), b = Request(2);
    dlg_->OnConnectRequest(&a);
    dlg_->OnConnectRequest(&b);
  });
  linkThread.join();
  CConnectDlg* first = WaitForDialogOf(1);
  ASSERT_NE(nullptr, first);
  EXPECT_TRUE(dlg_->ConnectRequestsWaiting());

  // The ageing tick starts the flashing while a request waits behind the dialog.
  dlg_->m_iMobileStatic = 2;
  dlg_->ConnectRequestTimerProc();
  EXPECT_TRUE(dlg_->m_nTrayFlashTimer.running());

  // The tray click brings the dialog on screen forward instead of opening another.
  dlg_->ShowConnectDlg();
  QTest::mouseClick(first->okButton(), Qt::LeftButton);
  CConnectDlg* second = WaitForDialogOf(2);
  ASSERT_NE(nullptr, second);
  // The last waiting request went on screen: mobile state 1, no more flashing.
  EXPECT_FALSE(dlg_->ConnectRequestsWaiting());
  EXPECT_EQ(1, dlg_->m_iMobileStatic);
  EXPECT_FALSE(dlg_->m_nTrayFlashTimer.running());

  QTest::keyClick(second, Qt::Key_Escape);
  kstest::ProcessEvents();
  EXPECT_EQ((std::vector<Answer>{{1, true}, {2, false}}), link_.answers());
}

// The tray icons the trace shows, in order ("tray add|modify <id> ...").
std::vector<int> TrayIcons(const kstest::TraceCapture& trace) {
  std::vector<int> icons;
  for (const QString& line : trace.With("tray ")) {
    const QStringList words = line.split(QLatin1Char(' '));
    if (words.size() > 2 && (words[1] == "add" || words[1] == "modify")) icons.push_back(words[2].toInt());
  }
  return icons;
}

TEST_F(SettingDlgConnect, TrayFlashesWhileRequestsWaitThenShowsTheStateAgain) {
  kstest::TraceCapture trace;
  dlg_->m_iLoginStatus = 1;
  dlg_->m_iMobileStatic = 1;
  const ConnectRequestInfo a = Request(1), b = Request(2);
  dlg_->OnConnectRequest(&a);
  dlg_->OnConnectRequest(&b);
  CConnectDlg* first = WaitForDialogOf(1);
  ASSERT_NE(nullptr, first);
  // Request 2 waits behind the dialog: the flashing starts without waiting for the ageing tick.
  EXPECT_TRUE(dlg_->m_nTrayFlashTimer.running());

  dlg_->TrayIconTimerProc();
  dlg_->TrayIconTimerProc();
  // Neither the status poll's tray update nor a transfer's animation takes the icon meanwhile.
  dlg_->m_iMobileStatic = 3;
  dlg_->_SetTrayIcon(0);
  dlg_->TrayIconTimerProc();
  dlg_->m_iMobileStatic = 2;
  dlg_->_SetTrayIcon(0);
  const std::vector<int> flashing = TrayIcons(trace);
  ASSERT_GE(flashing.size(), 4u);
  for (size_t i = 0; i < flashing.size(); ++i) EXPECT_EQ(i % 2 == 0 ? 255 : 254, flashing[i]) << i;

  // The last waiting request goes on screen: the flashing stops and the state's icon is back
  // (online without a device, as the mobile state returns to 1).
  QTest::mouseClick(first->okButton(), Qt::LeftButton);
  CConnectDlg* second = WaitForDialogOf(2);
  ASSERT_NE(nullptr, second);
  EXPECT_FALSE(dlg_->m_nTrayFlashTimer.running());
  const std::vector<int> after = TrayIcons(trace);
  ASSERT_GT(after.size(), flashing.size());
  EXPECT_EQ(368, after.back());
  second->done(ks::skin::IDCANCEL);
  kstest::ProcessEvents();
}

TEST_F(SettingDlgConnect, WakeUpButtonWritesTheAdaptersAndShowsTheNotice) {
  ks::test::WriteFile(tmp_ / "platform/adapters", "index=4 type=ethernet mac=02:00:00:00:00:04 ipv4=10.4.0.2\n");
  // The first tick after start fills in the adapters' keys.
  dlg_->ConnectRequestTimerProc();

  kstest::TraceCapture trace;
  kstest::ModalAnswerer answer([](QWidget* box) { static_cast<QDialog*>(box)->done(1); });
  dlg_->OnBnClickedWakeupButton();
  ASSERT_TRUE(answer.answered());
  EXPECT_EQ("ks::skin::CDiyMessageBox", answer.className());
  // The caption is fixed, the text is the language's.
  EXPECT_EQ(QStringList{"box 0 \"Kestyl\" \"MSGBOX_WAKEUP_NOTICE|\""}, trace.With("box "));

  pf::HKEY key = nullptr;
  const std::string path = std::string(kAdapterClassKey) + "\\0000";
  ASSERT_EQ(pf::ERROR_SUCCESS, pf::RegOpenKeyEx(pf::HKEY_LOCAL_MACHINE, path.c_str(), 0, pf::KEY_READ, &key));
  uint32_t value = 0, size = 4, type = 0;
  EXPECT_EQ(pf::ERROR_SUCCESS, pf::RegQueryValueEx(key, kPnPCapabilitiesValue, nullptr, &type,
                                                   reinterpret_cast<uint8_t*>(&value), &size));
  pf::RegCloseKey(key);
  EXPECT_EQ(pf::REG_DWORD, type);
  EXPECT_EQ(256u, value);
}

}  // namespace
