// The tray icon's mouse decisions and the pages its commands open.
#include "desktop/app/pages/tray_actions.h"

#include <gtest/gtest.h>

#include "tests/desktop/foundation/env_guard.h"

namespace {

using namespace ks::pages;

TEST(TrayActions, MouseMessagesFollowRequestsSetUpAndLoginState) {
  struct Case {
    const char* name;
    unsigned message;
    TrayState state;
    TrayAction action;
  };
  const Case cases[] = {
      {"waiting request first", kTrayLeftButtonDown, {0, true, true, 0, false}, TrayAction::kShowConnectRequest},
      {"set-up running", kTrayLeftButtonDown, {0, false, true, kLoginOnline, false}, TrayAction::kNothing},
      {"online", kTrayLeftButtonDown, {0, false, false, kLoginOnline, false}, TrayAction::kOpenDataFolder},
      {"logging in", kTrayLeftButtonDown, {0, false, false, kLoginLogging, false}, TrayAction::kOpenDataFolder},
      {"offline", kTrayLeftButtonDown, {0, false, false, 2, false}, TrayAction::kShowLoginDialog},
      {"balloon live", kTrayBalloonClick, {5, false, false, 0, false}, TrayAction::kOpenHomePage},
      {"balloon expired", kTrayBalloonClick, {0, false, false, 0, false}, TrayAction::kNothing},
      {"right click", kTrayRightButtonUp, {0, true, true, 0, false}, TrayAction::kShowMenu},
      {"other", 0x0200, {5, true, false, kLoginOnline, false}, TrayAction::kNothing},
  };
  for (const Case& c : cases) EXPECT_EQ(TrayActionFor(c.message, c.state), c.action) << c.name;

  EXPECT_EQ(TrayMenuFor({0, false, false, kLoginOnline, false}), 139);
  EXPECT_EQ(TrayMenuFor({0, false, false, kLoginOnline, true}), 145);
  EXPECT_EQ(TrayMenuFor({0, false, false, kLoginLogging, false}), 145);
}

TEST(TrayActions, CommandsOpenTheirPagesOnTheConfiguredHosts) {
  ks::test::EnvGuard web("KESTYL_WEB_URL", "http://127.0.0.1:8123/");
  ks::test::EnvGuard blog("KESTYL_BLOG_URL", "http://127.0.0.2:9");
  EXPECT_EQ(TrayCommandAddress(0), "http://127.0.0.1:8123/");
  EXPECT_EQ(TrayCommandAddress(kCmdDownload), "http://127.0.0.1:8123/download.html");
  EXPECT_EQ(TrayCommandAddress(kCmdHelp), "http://127.0.0.1:8123/faq.html");
  EXPECT_EQ(TrayCommandAddress(kCmdFeedback), "http://127.0.0.2:9/book");
  EXPECT_EQ(TrayCommandAddress(32784), "");
}

}  // namespace
