// The log-in road against the real agent program and the fake vendor server: what the owner
// types in the log-in dialog reaches the vendor's LOGON, and a refused log-on brings the
// dialog back with its error line.
#include "desktop/app/login/login_road.h"
#include "desktop/app/login/tray_menu.h"
#include "tests/desktop/app/login/login_test_kit.h"
#include "tests/desktop/ui/ui_test_kit.h"
#include "tests/fakes/agent_harness.h"
#include "tests/desktop/foundation/scoped_env.h"
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>

namespace {

constexpr uint16_t kSrvLogon = 0x1001;

class LoginAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    ks::ui::SetLanguageSource(std::make_shared<kstest::TableLanguage>(1, kstest::LoginTexts()));
  }
  void TearDown() override { ks::ui::SetLanguageSource(nullptr); }
};

TEST_F(LoginAgentTest, TypedAccountReachesTheVendorHashedAndARefusalBringsTheDialogBack) {
  ks::fake::FakeVendorServer vendor;
  vendor.SetStatus(kSrvLogon, 4096);
  ks::fake::AgentOptions options;
  options.binary = KS_AGENT_BINARY;
  options.schema_file = KS_SCHEMA_FILE;
  options.vendor_port = vendor.port();
  ks::fake::AgentHarness agent(options);
  ASSERT_TRUE(agent.Start()) << agent.ReadLog();

  // The link sets up a default data folder under $HOME: a temporary one here.
  ks::test::TempDir home;
  ks::test::ScopedEnv homeEnv("HOME", home.path());
  ks::desktop::UIDataOptions linkOptions;
  linkOptions.agentPort = agent.message_port();
  linkOptions.cryptLibrary = KS_CRYPT_LIBRARY;
  linkOptions.listen = false;
  linkOptions.watchNetwork = false;
  ks::desktop::IUIData* link = ks::desktop::CUIData::Create(linkOptions);
  ASSERT_NE(link, nullptr);

  QWidget main;
  ks::login::CLoginDlg dlg;
  dlg.m_writeRemPass = [](const std::string&) {};
  ks::skin::CTrayIcon tray;
  std::unique_ptr<ks::skin::CDiyMenu> menuTray(ks::login::MakeTrayMenu(ks::login::kTrayMenuLoggedIn));
  std::unique_ptr<ks::skin::CDiyMenu> menuLogin(ks::login::MakeTrayMenu(ks::login::kTrayMenuLogin));
  ks::login::LoginRoad::Hooks hooks;
  hooks.readRemPass = [] { return std::string("true"); };
  {
    ks::login::LoginRoad road(link, &main, &dlg, &tray, menuTray.get(), menuLogin.get(), hooks);
    dlg.m_pCallback = &road;
    road.StartLogin();  // the agent has no account: the dialog comes up
    ASSERT_TRUE(dlg.isVisible());

    dlg.OnEnSetfocusEmailEdit();
    dlg.accountEdit()->setText(QStringLiteral("Owner@Example.com"));
    dlg.OnEnKillfocusEmailEdit();
    dlg.OnEnSetfocusPasswordEdit();
    dlg.passwordEdit()->setText(QStringLiteral("secret1"));
    dlg.OnBnClickedLoginButton();
    EXPECT_FALSE(dlg.isVisible());

    ASSERT_TRUE(vendor.WaitForRequests(kSrvLogon, 1, 10000)) << agent.ReadLog();
    const ks::fake::ServerRequest logon = vendor.Requests(kSrvLogon).front();
    EXPECT_EQ(logon.account, "owner@example.com");
    EXPECT_TRUE(std::regex_match(logon.password, std::regex("[./0-9A-Za-z]{22}"))) << logon.password;

    // The poll records the refusal (4), then shows it.
    ASSERT_TRUE(kstest::WaitUntil([&] { return dlg.isVisible(); }, 15000)) << road.m_state.loginStatus;
    EXPECT_EQ(dlg.errorLine()->text(), QStringLiteral("MSGBOX_IDORPWERROR"));
    EXPECT_TRUE(dlg.errorLine()->isVisible());
    EXPECT_EQ(tray.IconId(), 174u);
    dlg.m_pCallback = nullptr;
  }
  link->Release();
}

}  // namespace
