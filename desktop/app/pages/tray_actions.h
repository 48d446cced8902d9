// What the main window does for its tray icon's mouse messages and which pages of the web
// server its tray commands open. Pure decisions; the main window carries them out.
#pragma once

#include <string>

namespace ks::pages {

// Mouse and balloon messages as the tray icon delivers them (lParam of 0x450).
inline constexpr unsigned kTrayMessage = 0x450;
inline constexpr unsigned kTrayLeftButtonDown = 0x0201;
inline constexpr unsigned kTrayRightButtonUp = 0x0205;
inline constexpr unsigned kTrayBalloonClick = 0x0405;

// Login states of the main window.
inline constexpr int kLoginOnline = 1;
inline constexpr int kLoginLogging = 3;

enum class TrayAction {
  kNothing,
  kOpenHomePage,        // balloon clicked while its link is live
  kShowConnectRequest,  // the oldest waiting connection request
  kOpenDataFolder,
  kShowLoginDialog,
  kShowMenu,            // the menu of TrayMenuFor
};

struct TrayState {
  int balloonCountdown = 0;   // seconds the balloon's link stays live
  bool hasConnectRequests = false;
  bool startupBusy = false;   // the first-run set-up runs
  int loginStatus = 0;
  bool loggedOut = false;     // the owner logged out or switched account
};

TrayAction TrayActionFor(unsigned mouseMessage, const TrayState& state);
// The menu a right click shows: 139 while online and not logged out, else 145.
int TrayMenuFor(const TrayState& state);

// The tray commands that open a page of the web server.
inline constexpr unsigned kCmdDownload = 32817;
inline constexpr unsigned kCmdHelp = 32848;
inline constexpr unsigned kCmdFeedback = 32822;
// The address a command opens ("" for other commands); the home page for 0.
std::string TrayCommandAddress(unsigned command);

}  // namespace ks::pages
