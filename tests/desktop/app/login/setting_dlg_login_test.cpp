// The main window's log-in handlers: its start-up log-in step, the log-in callbacks, the
// network messages and the status poll work on the window's own fields, which the other
// areas of the window read.
#include "desktop/app/login/tray_menu.h"
#include "desktop/app/mainwnd/setting_dlg.h"
#include "tests/desktop/app/login/login_test_kit.h"
#include "tests/desktop/app/login/scripted_link.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

namespace {

using ks::mainwnd::CSettingDlg;

class SettingDlgLoginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    auto texts = kstest::LoginTexts();
    texts["UI/SETTING_BUTTON_SHARE"] = QStringLiteral("SETTING_BUTTON_SHARE");
    texts["LANGUAGE/LANGUAGE_ENGLISH"] = QStringLiteral("LANGUAGE_ENGLISH");
    ks::ui::SetLanguageSource(std::make_shared<kstest::TableLanguage>(1, texts));
    link.dataFolder = "/data/Kestyl";  // a data folder exists: no first-run wizard
    ks::mainwnd::SettingDlgOptions options;
    options.uiData = &link;
    options.startServiceCheck = false;
    options.startUpdateCheck = false;
    dlg = std::make_unique<CSettingDlg>(options);
    dlg->OnCreate();
    dlg->OnInitDialog();
  }
  void TearDown() override {
    dlg.reset();
    ks::ui::SetLanguageSource(nullptr);
  }

  kstest::ScriptedLink link;
  std::unique_ptr<CSettingDlg> dlg;
};

TEST_F(SettingDlgLoginTest, StartLogInThenTypedAccountThenNetworkAndPollOnTheWindowsFields) {
  // 0x50A, posted by the initialisation, brings up the log-in dialog (no saved account).
  ASSERT_TRUE(kstest::WaitUntil([&] { return ks::mainwnd::g_bLoginStarted; }));
  ASSERT_NE(dlg->m_pLoginDlg, nullptr);
  EXPECT_TRUE(dlg->m_pLoginDlg->isVisible());
  ASSERT_NE(dlg->m_pBannerDlg, nullptr);
  EXPECT_EQ(dlg->m_pBannerDlg->parentWidget(), dlg.get());

  ks::desktop::LoginInfo typed{};
  std::strcpy(typed.account, "owner@example.com");
  std::strcpy(typed.password, "secret1");
  typed.remember = 1;
  dlg->m_pLoginDlg->m_pCallback->OnLogin(&typed, 1);
  ASSERT_EQ(link.logins.size(), 1u);
  EXPECT_EQ(dlg->m_iLoginStatus, 3);
  EXPECT_EQ(dlg->m_IsLoging, 1);
  EXPECT_STREQ(dlg->m_loginInfo.password, "HASHEDHASHEDHASHED0123");
  EXPECT_EQ(dlg->m_static1137.text(), QStringLiteral("SETTING_STATIC_ACCOUNTowner@example.com"));
  EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Kestyl SETTING_STATIC_ACCOUNTowner@example.com"));
  EXPECT_FALSE(dlg->m_pLoginDlg->isVisible());

  // The network watch's reports arrive as window messages.
  std::thread([&] { dlg->OnNetDisconnected(); }).join();
  ASSERT_TRUE(kstest::WaitUntil([&] { return !dlg->m_bNetworkAlive; }));
  EXPECT_EQ(dlg->m_iLoginStatus, 2);
  EXPECT_EQ(dlg->m_trayIcon.IconId(), 174u);
  std::thread([&] { dlg->OnNetConnected(); }).join();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg->m_bNetworkAlive; }));
  ASSERT_EQ(link.logins.size(), 2u);
  EXPECT_EQ(link.logins[1].hash, 0);
  EXPECT_EQ(link.logins[1].password, "HASHEDHASHEDHASHED0123");

  // A poll that sees the log-on is recorded in the window's fields.
  link.status = 1;
  link.transfer = 2;
  dlg->CheckStatusProc();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg->m_iLoginStatus == 1; }));
  EXPECT_EQ(dlg->m_iMobileStatic, 2);
  EXPECT_TRUE(dlg->m_bLoginSetupDone);
  EXPECT_EQ(dlg->m_trayIcon.IconId(), 239u);
  EXPECT_TRUE(dlg->m_menuTray.m_bOnline);

  // Another area logs out and updates the tray: the road sees the window's fields.
  dlg->m_bLoggedOut = true;
  dlg->m_iMobileStatic = 1;
  dlg->_SetTrayIcon(0);
  EXPECT_EQ(dlg->m_trayIcon.IconId(), 174u);
}

TEST_F(SettingDlgLoginTest, TrayMenusAndTextsOfTheWindow) {
  dlg->BuildTrayMenu();
  EXPECT_EQ(dlg->m_menuTray.actions().size(), 11);
  EXPECT_NE(dlg->m_menuTray.ActionOf(ks::login::kCmdSwitchAccount), nullptr);
  EXPECT_NE(dlg->m_menuTrayLogin.ActionOf(ks::login::kCmdLogin), nullptr);
  dlg->SetTexts();
  EXPECT_EQ(dlg->m_pBtnShare->GetCaption(), QStringLiteral("SETTING_BUTTON_SHARE"));
  EXPECT_EQ(dlg->m_comboLanguage.count(), 3);
  EXPECT_EQ(dlg->m_comboLanguage.itemText(1), QStringLiteral("LANGUAGE_ENGLISH"));
}

}  // namespace
