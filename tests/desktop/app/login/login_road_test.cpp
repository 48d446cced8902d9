// LoginRoad: the start of the log-in state, the log-in callbacks, the network handlers,
// the status poll on its worker, the error display, the tray icon and menus, and the
// banner, over a scripted agent link.
#include "desktop/app/login/login_road.h"
#include "desktop/app/login/tray_menu.h"
#include "tests/desktop/app/login/login_test_kit.h"
#include "tests/desktop/app/login/scripted_link.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QAction>
#include <QDialog>
#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using ks::desktop::LoginInfo;
using ks::login::LoginRoad;

LoginInfo Record(const char* account, const char* password) {
  LoginInfo info{};
  std::strncpy(info.account, account, 32);
  std::strncpy(info.password, password, 34);
  info.remember = 1;
  return info;
}

class LoginRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    auto texts = kstest::LoginTexts();
    for (const char* key : {"TRAYMENU_EXIT", "TRAYMENU_AP", "TRAYMENU_CHANGACCOUNT", "TRAYMENU_LOGIN",
                            "TRAYMENU_SHAREMANAGE", "TRAYMENU_ABOUT", "TRAYMENU_OPENFOLDER", "TRAYMENU_DOWNLOAD",
                            "TRAYMENU_HELPCENTER", "TRAYMENU_FEEFBACK", "TRAYMENU_MOBILE_OUTLINE",
                            "TRAYMENU_MOBILE_ONLINE", "TRAYMENU_HELP", "TRAYMENU_UPDATE"})
      texts[std::string("UI/") + key] = QString::fromLatin1(key);
    texts["MESSAGEBOX/MSGBOX_CONNECTFAIL"] = QStringLiteral("MSGBOX_CONNECTFAIL");
    ks::ui::SetLanguageSource(std::make_shared<kstest::TableLanguage>(language, texts));
    main = std::make_unique<QWidget>();
    dlg = std::make_unique<ks::login::CLoginDlg>();
    dlg->m_writeRemPass = [](const std::string&) {};
    tray = std::make_unique<ks::skin::CTrayIcon>();
    menuTray.reset(ks::login::MakeTrayMenu(ks::login::kTrayMenuLoggedIn));
    menuLogin.reset(ks::login::MakeTrayMenu(ks::login::kTrayMenuLogin));
    MakeRoad(&link);
  }
  void TearDown() override {
    road.reset();
    ks::ui::SetLanguageSource(nullptr);
  }

  void MakeRoad(ks::desktop::IUIData* uiData) {
    LoginRoad::Hooks hooks;
    hooks.loginSetup = [this] { ++setups; };
    hooks.setDataFolder = [this](const std::string& f) { dataFolder = f; };
    hooks.setAccountText = [this](const QString& t) { accountText = t; };
    hooks.quit = [this] { ++quits; };
    hooks.endProgram = [this] { ++ends; };
    hooks.readRemPass = [this] { return remPass; };
    hooks.showBox = [this](const QString& text) {
      boxes << text;
      if (onBox) onBox();
    };
    hooks.osMajor = [this] { return osMajor; };
    road.reset();
    road = std::make_unique<LoginRoad>(uiData, main.get(), dlg.get(), tray.get(), menuTray.get(), menuLogin.get(), hooks);
    dlg->m_pCallback = road.get();
  }

  // One poll through the worker, answered with `s` and the mobile state `mobile`.
  void Poll(int s, int mobile = 1) {
    link.status = s;
    link.transfer = mobile;
    road->CheckStatusProc(road->StatusTimerId());
    ASSERT_TRUE(road->PollInFlight());
    ASSERT_TRUE(kstest::WaitUntil([&] { return !road->PollInFlight(); }));
  }

  int language = 1;
  kstest::ScriptedLink link;
  std::unique_ptr<QWidget> main;
  std::unique_ptr<ks::login::CLoginDlg> dlg;
  std::unique_ptr<ks::skin::CTrayIcon> tray;
  std::unique_ptr<ks::skin::CDiyMenu> menuTray;
  std::unique_ptr<ks::skin::CDiyMenu> menuLogin;
  std::unique_ptr<LoginRoad> road;
  std::string remPass = "true";
  std::string dataFolder;
  QString accountText;
  QStringList boxes;
  std::function<void()> onBox;
  int setups = 0, quits = 0, ends = 0, osMajor = 6;
};

TEST_F(LoginRoadTest, SavedAccountShowsLoggingInWithoutTheDialog) {
  link.saved = Record("owner@example.com", "HASHEDHASHEDHASHED0123");
  link.dataFolder = "/data/Kestyl";
  main->show();
  EXPECT_EQ(road->StartLogin(), 1);
  EXPECT_TRUE(road->g_bLoginStarted);
  EXPECT_FALSE(main->isVisible());
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_EQ(dataFolder, "/data/Kestyl");
  EXPECT_EQ(main->windowTitle(), QStringLiteral("Kestyl SETTING_STATIC_ACCOUNTowner@example.com"));
  EXPECT_EQ(road->m_state.loginStatus, 3);
  EXPECT_TRUE(road->TrayAnimating());
  EXPECT_TRUE(road->StatusPollRunning());
  EXPECT_EQ(link.logouts, 0);
  EXPECT_TRUE(link.logins.empty());  // the agent logs in with its saved account by itself
  EXPECT_EQ(dlg->lastLogin().account, std::string("owner@example.com"));
}

TEST_F(LoginRoadTest, NoSavedAccountShowsTheDialogOffScreenThenCentred) {
  struct Case {
    const char* name;
    const char* account;
    std::string remPass;
    int logouts;
  } cases[] = {
      {"RemPass false logs the agent out", "owner@example.com", "false", 1},
      {"an account of 32 bytes counts as none", "abcdefghijklmnopqrstuvwxyz@ab.cd", "true", 0},
      {"no account", "", "true", 0},
  };
  for (const Case& c : cases) {
    link.saved = Record(c.account, "x");
    link.logouts = 0;
    remPass = c.remPass;
    dlg->hide();
    MakeRoad(&link);
    road->StartLogin();
    EXPECT_EQ(link.logouts, c.logouts) << c.name;
    EXPECT_TRUE(dlg->isVisible()) << c.name;
    EXPECT_EQ(dlg->pos(), QPoint(-10000, -10000)) << c.name;
    EXPECT_EQ(road->m_state.loginStatus, 2) << c.name;
    EXPECT_TRUE(road->StatusPollRunning()) << c.name;
  }
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg->pos().x() > -10000; }, 6000));
  const QPoint centre = dlg->frameGeometry().center();
  EXPECT_LE(std::abs(centre.x() - screen.center().x()), 2);
  EXPECT_LE(std::abs(centre.y() - screen.center().y()), 2);
}

TEST_F(LoginRoadTest, WithoutAgentLinkNothingStarts) {
  MakeRoad(nullptr);
  main->show();
  EXPECT_EQ(road->StartLogin(), 1);
  EXPECT_TRUE(road->g_bLoginStarted);
  EXPECT_FALSE(road->StatusPollRunning());
  EXPECT_TRUE(main->isVisible());
  LoginInfo info = Record("a@b.cd", "secret1");
  road->OnLogin(&info, 1);
  EXPECT_FALSE(main->isVisible());
}

TEST_F(LoginRoadTest, LogInHandsTheAccountToTheAgentAndKeepsTheHash) {
  LoginInfo empty = Record("owner@example.com", "");
  road->OnLogin(&empty, 1);
  EXPECT_TRUE(link.logins.empty());
  EXPECT_EQ(road->m_state.loginStatus, 2);

  dlg->show();
  LoginInfo typed = Record("owner@example.com", "secret1");
  road->OnLogin(&typed, 1);
  ASSERT_EQ(link.logins.size(), 1u);
  EXPECT_EQ(link.logins[0].hash, 1);
  EXPECT_EQ(road->m_state.loginStatus, 3);
  EXPECT_TRUE(road->m_state.isLoging);
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_EQ(accountText, QStringLiteral("SETTING_STATIC_ACCOUNTowner@example.com"));
  // The kept record and the dialog's copy hold the stored hash now.
  EXPECT_STREQ(road->m_loginInfo.password, "HASHEDHASHEDHASHED0123");
  EXPECT_STREQ(dlg->lastLogin().password, "HASHEDHASHEDHASHED0123");

  // A remembered hash goes out as it is; texts without their terminator stay inside their fields.
  LoginInfo stored{};
  std::memset(stored.account, 'a', sizeof stored.account);
  std::memset(stored.password, 'p', sizeof stored.password);
  stored.remember = 1;
  road->OnLoginInfo(&stored);
  ASSERT_EQ(link.logins.size(), 2u);
  EXPECT_EQ(link.logins[1].hash, 0);
  EXPECT_EQ(link.logins[1].account, std::string(32, 'a'));
  EXPECT_EQ(link.logins[1].password, std::string(34, 'p'));
}

TEST_F(LoginRoadTest, QuitEndsTheProgramBeforeTheStartAndQuitsNormallyAfter) {
  road->OnLoginDlgQuit();
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(quits, 0);
  road->StartLogin();
  road->OnLoginDlgQuit();
  EXPECT_EQ(quits, 1);
  EXPECT_EQ(ends, 1);
}

TEST_F(LoginRoadTest, NetworkGoneAndBackActOnChangesOnlyAndLogInAgainWithTheHash) {
  kstest::TraceCapture trace;
  LoginInfo typed = Record("owner@example.com", "secret1");
  road->OnLogin(&typed, 1);
  road->m_state.loginStatus = 1;

  // Reports come from the link's watch thread.
  std::thread([&] { road->OnNetConnected(); }).join();  // repeats the present state
  kstest::ProcessEvents();
  EXPECT_TRUE(trace.With(QStringLiteral("tray balloon")).isEmpty());
  EXPECT_EQ(link.logins.size(), 1u);

  std::thread([&] {
    road->OnNetDisconnected();
    road->OnNetDisconnected();
  }).join();
  ASSERT_TRUE(kstest::WaitUntil([&] { return !road->m_state.networkAlive; }));
  kstest::ProcessEvents();
  EXPECT_EQ(road->m_state.loginStatus, 2);
  EXPECT_FALSE(road->m_state.isLoging);
  EXPECT_EQ(tray->IconId(), 174u);
  EXPECT_EQ(trace.With(QStringLiteral("tray balloon")),
            QStringList{QStringLiteral("tray balloon \"Kestyl\" \"MSGBOX_ONNET\"")});

  std::thread([&] { road->OnNetConnected(); }).join();
  ASSERT_TRUE(kstest::WaitUntil([&] { return road->m_state.networkAlive; }));
  ASSERT_EQ(link.logins.size(), 2u);
  EXPECT_EQ(link.logins[1].hash, 0);
  EXPECT_EQ(link.logins[1].password, "HASHEDHASHEDHASHED0123");
  EXPECT_EQ(road->m_state.loginStatus, 3);
  EXPECT_TRUE(road->m_state.isLoging);
}

TEST_F(LoginRoadTest, PollsThroughTheWorkerRunSetUpOnceAndShowOnlineIcon) {
  road->StartLogin();
  road->m_state.loginStatus = 3;
  Poll(1);
  EXPECT_EQ(setups, 1);
  EXPECT_EQ(road->m_state.loginStatus, 1);
  EXPECT_EQ(tray->IconId(), 368u);
  EXPECT_FALSE(road->TrayAnimating());
  EXPECT_EQ(menuTray->TextOf(ks::login::kCmdMobileLine), QStringLiteral("TRAYMENU_MOBILE_OUTLINE"));
  Poll(1, 2);
  EXPECT_EQ(setups, 1);
  EXPECT_TRUE(road->m_state.isLoging);
  EXPECT_EQ(tray->IconId(), 239u);
  EXPECT_EQ(menuLogin->TextOf(ks::login::kCmdMobileLine), QStringLiteral("TRAYMENU_MOBILE_ONLINE"));
  EXPECT_TRUE(menuLogin->m_bOnline);
  EXPECT_EQ(road->StatusPollIntervalMs(), 2000);
}

TEST_F(LoginRoadTest, NoReplyWhileLoggingInSlowsThePollAndRecordsNothing) {
  road->StartLogin();
  road->m_state.loginStatus = 3;
  road->m_state.mobileStatic = 2;
  link.status = -3;
  road->CheckStatusProc(road->StatusTimerId());
  ASSERT_TRUE(kstest::WaitUntil([&] { return !road->PollInFlight(); }));
  EXPECT_EQ(road->StatusPollIntervalMs(), 5000);
  EXPECT_EQ(road->m_state.loginStatus, 3);
  EXPECT_EQ(road->m_state.mobileStatic, 2);
  EXPECT_EQ(link.transferAsked, 0);
}

TEST_F(LoginRoadTest, AnAnswerForAStoppedPollIsDroppedAndTheWindowNeverWaits) {
  road->StartLogin();
  link.Hold(true);
  road->CheckStatusProc(road->StatusTimerId());  // returns while the agent is still asked
  ASSERT_TRUE(link.WaitAsked(1));
  road->CheckStatusProc(road->StatusTimerId());  // one question at a time
  road->StopStatusPoll();
  link.status = 4;
  link.Hold(false);
  ASSERT_TRUE(kstest::WaitUntil([&] { return !road->PollInFlight(); }));
  EXPECT_EQ(link.transferAsked, 1);
  EXPECT_EQ(road->m_state.loginStatus, 2);
  EXPECT_FALSE(road->StatusPollRunning());
}

TEST_F(LoginRoadTest, WrongPasswordBringsTheDialogBackWithItsErrorLine) {
  kstest::TraceCapture trace;
  road->StartLogin();
  dlg->hide();
  LoginInfo typed = Record("owner@example.com", "secret1");
  road->OnLogin(&typed, 1);
  main->show();
  Poll(4);  // recorded now, shown at the next poll
  EXPECT_FALSE(dlg->isVisible());
  Poll(2);
  EXPECT_TRUE(dlg->isVisible());
  EXPECT_FALSE(main->isVisible());
  EXPECT_TRUE(dlg->errorLine()->isVisible());
  EXPECT_EQ(dlg->errorLine()->text(), QStringLiteral("MSGBOX_IDORPWERROR"));
  EXPECT_FALSE(road->m_state.isLoging);
  EXPECT_EQ(tray->IconId(), 174u);
  EXPECT_TRUE(boxes.isEmpty());
}

TEST_F(LoginRoadTest, ErrorDisplayTable) {
  struct Case {
    int status;
    const char* box;        // nullptr: no box
    bool balloon;
    bool dialog;
    bool logingAfter;
  } cases[] = {
      {4103, "MSGBOX_OTHER, code: 1007", false, true, false},
      {5, nullptr, true, false, false},  // the first failure after start-up
      {10060, nullptr, false, false, true},
      {-2, nullptr, false, false, true},
      {7, nullptr, false, true, false},
  };
  for (const auto& c : cases) {
    kstest::TraceCapture trace;
    boxes.clear();
    dlg->hide();
    MakeRoad(&link);
    road->m_state.isLoging = true;
    road->m_state.loginStatus = c.status;
    road->m_state.mobileStatic = 3;
    road->_ShowLoginError();
    EXPECT_EQ(boxes, c.box ? QStringList{QString::fromLatin1(c.box)} : QStringList()) << c.status;
    EXPECT_EQ(!trace.With(QStringLiteral("tray balloon \"T\" \"MSGBOX_CONNECTFAIL\"")).isEmpty(), c.balloon) << c.status;
    EXPECT_EQ(dlg->isVisible(), c.dialog) << c.status;
    EXPECT_EQ(road->m_state.isLoging, c.logingAfter) << c.status;
    EXPECT_EQ(road->m_state.loginStatus, 2) << c.status;
    EXPECT_EQ(road->m_state.mobileStatic, 1) << c.status;
  }
}

TEST_F(LoginRoadTest, ASecondErrorWhileTheBoxIsOpenShowsNothing) {
  road->m_state.isLoging = true;
  road->m_state.loginStatus = 4103;
  int inner = -1;
  onBox = [&] {
    onBox = nullptr;
    road->m_state.isLoging = true;
    road->m_state.loginStatus = 9;
    road->_ShowLoginError();
    inner = boxes.size();
    EXPECT_EQ(road->m_state.loginStatus, 9);  // the skipped call changed nothing
  };
  road->_ShowLoginError();
  EXPECT_EQ(inner, 1);
  EXPECT_EQ(boxes.size(), 1);
  EXPECT_EQ(road->m_errors.showMessageBox, 0);
}

TEST_F(LoginRoadTest, OtherErrorUsesTheSkinnedBoxWithTheTitleCaption) {
  // The default box: the program's message box, answered like the owner would.
  LoginRoad::Hooks hooks;
  LoginRoad plain(&link, main.get(), dlg.get(), tray.get(), menuTray.get(), menuLogin.get(), hooks);
  plain.m_state.isLoging = true;
  plain.m_state.loginStatus = 4103;
  kstest::ModalAnswerer answer([](QWidget* w) { static_cast<QDialog*>(w)->done(1); });
  plain._ShowLoginError();
  ASSERT_TRUE(answer.answered());
  EXPECT_TRUE(answer.texts().contains(QStringLiteral("MSGBOX_OTHER, code: 1007"))) << answer.texts().join('|').toStdString();
  EXPECT_TRUE(dlg->isVisible());
}

TEST_F(LoginRoadTest, TrayAnimationShowsTheFramesOfTheState) {
  road->m_state.loginStatus = 3;
  road->_SetTrayIcon();
  EXPECT_TRUE(road->TrayAnimating());
  std::vector<unsigned> icons;
  for (int i = 0; i < 5; ++i) {
    road->TrayIconTimerProc();
    icons.push_back(tray->IconId());
  }
  EXPECT_EQ(icons, (std::vector<unsigned>{320, 349, 350, 350, 320}));
  EXPECT_EQ(tray->Tip(), QStringLiteral("Kestyl"));

  road->m_state.loginStatus = 1;
  road->m_state.mobileStatic = 4;
  road->_SetTrayIcon();
  EXPECT_EQ(tray->IconId(), 320u);  // a transfer sets no steady icon
  road->TrayIconTimerProc();
  EXPECT_EQ(tray->IconId(), 314u);  // the frame went on from where the log-in left it
  road->m_state.networkAlive = false;
  road->_SetTrayIcon();
  EXPECT_EQ(tray->IconId(), 174u);
  EXPECT_FALSE(road->TrayAnimating());
}

TEST_F(LoginRoadTest, TrayMenusHaveTheirItemsAndBuildingTwiceKeepsTheHelpSubMenu) {
  for (int build = 0; build < 2; ++build) road->BuildTrayMenu();
  for (ks::skin::CDiyMenu* menu : {menuTray.get(), menuLogin.get()}) {
    const QList<QAction*> items = menu->actions();
    ASSERT_EQ(items.size(), 11);
    for (int sep : {2, 6, 9}) EXPECT_TRUE(items[sep]->isSeparator()) << sep;
    EXPECT_EQ(items[8]->data().toUInt(), ks::login::kHelpEntry);
    EXPECT_EQ(menu->TextOf(ks::login::kHelpEntry), QStringLiteral("TRAYMENU_HELP"));
    ks::skin::CDiyMenu* help = ks::login::HelpMenuOf(*menu);
    ASSERT_NE(help, nullptr);
    ASSERT_EQ(help->actions().size(), 4);
    const unsigned ids[] = {32786, 32848, 32822, 32806};
    const char* keys[] = {"TRAYMENU_UPDATE", "TRAYMENU_HELPCENTER", "TRAYMENU_FEEFBACK", "TRAYMENU_ABOUT"};
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(help->actions()[i]->data().toUInt(), ids[i]);
      EXPECT_EQ(help->TextOf(ids[i]), QString::fromLatin1(keys[i]));
    }
    EXPECT_FALSE(menu->ActionOf(ks::login::kCmdMobileLine)->isEnabled());
    EXPECT_TRUE(menu->ActionOf(ks::login::kCmdHostedNetwork)->isEnabled());
    EXPECT_EQ(menu->TextOf(ks::login::kCmdExit), QStringLiteral("TRAYMENU_EXIT"));
  }
  EXPECT_EQ(menuTray->TextOf(ks::login::kCmdSwitchAccount), QStringLiteral("TRAYMENU_CHANGACCOUNT"));
  EXPECT_EQ(menuTray->ActionOf(ks::login::kCmdLogin), nullptr);
  EXPECT_EQ(menuLogin->TextOf(ks::login::kCmdLogin), QStringLiteral("TRAYMENU_LOGIN"));

  osMajor = 5;
  MakeRoad(&link);
  road->BuildTrayMenu();
  EXPECT_FALSE(menuLogin->ActionOf(ks::login::kCmdHostedNetwork)->isEnabled());

  // A command of the help sub-menu reaches the tray menu's command signal.
  std::vector<unsigned> commands;
  QObject::connect(menuTray.get(), &ks::skin::CDiyMenu::command, [&](unsigned id) { commands.push_back(id); });
  ks::login::HelpMenuOf(*menuTray)->actions()[3]->trigger();
  EXPECT_EQ(commands, std::vector<unsigned>{ks::login::kCmdAbout});
}

TEST_F(LoginRoadTest, BannerIsAChildUnderTheTitleBandAndFollowsTheLanguage) {
  ::setenv("KESTYL_WEB_URL", "http://127.0.0.1:9", 1);  // nothing listens; the page falls back
  QStringList urls;
  road->CreateBannerWindow();
  ks::skin::CHtmlDlg* banner = road->banner();
  ASSERT_NE(banner, nullptr);
  road->CreateBannerWindow();
  EXPECT_EQ(road->banner(), banner);
  EXPECT_EQ(banner->parentWidget(), main.get());
  EXPECT_FALSE(banner->isWindow());
  EXPECT_EQ(banner->geometry(), QRect(0, 41, 483, 113));
  EXPECT_EQ(banner->m_nLanguage, 1);
  QObject::connect(banner, &ks::skin::CHtmlDlg::navigated, [&](const QString& url, bool) { urls << url; });

  ks::ui::SetLanguageSource(std::make_shared<kstest::TableLanguage>(2, kstest::LoginTexts()));
  road->OnLanguageChanged();
  auto navigatedTo = [&](const QString& address) {
    for (const QString& u : urls)
      if (u.endsWith(address)) return true;
    return false;
  };
  ASSERT_TRUE(kstest::WaitUntil([&] { return navigatedTo(QStringLiteral("http://127.0.0.1:9/kestyl/bannerpc?L=tw")); }, 8000))
      << urls.join(' ').toStdString();
  EXPECT_EQ(banner->m_nLanguage, 2);
  ::unsetenv("KESTYL_WEB_URL");
}

}  // namespace
