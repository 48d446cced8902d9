// The two tray menus of the main window and their texts.
//
// MakeTrayMenu builds one menu as its resource lays it out: 139 (shown while an account is
// logged on, with "switch account" 32788) or 145 (shown otherwise, with "log in" 32846).
// Positions: 0 open data folder 32810, 1 switch account / log in, 2 separator, 3 hosted
// network 32827, 4 mobile status line 32816 (never enabled), 5 download 32817, 6 separator,
// 7 settings 32784, 8 help sub-menu (update 32786, help 32848, feedback 32822, about 32806),
// 9 separator, 10 exit 32787. Commands of the sub-menu reach the menu's command() signal too.
//
// BuildTrayMenu gives both menus their texts from the "UI" section each time before one is
// shown; it may run any number of times and always leaves the same menus (the help entry
// keeps its four items and takes the key 32818 for its text). 32827 is enabled only when the
// platform's version query reports a major version above 5.
//
// SetMobileLine puts the online or offline text on the status line 32816 of both menus and
// sets their online mark (the line's picture). GUI thread only.
#pragma once

#include "desktop/foundation/skin/combo_menu.h"

namespace ks::login {

constexpr int kTrayMenuLoggedIn = 139;
constexpr int kTrayMenuLogin = 145;

constexpr unsigned kCmdOpenFolder = 32810;
constexpr unsigned kCmdSwitchAccount = 32788;
constexpr unsigned kCmdLogin = 32846;
constexpr unsigned kCmdHostedNetwork = 32827;
constexpr unsigned kCmdMobileLine = 32816;
constexpr unsigned kCmdDownload = 32817;
constexpr unsigned kCmdSettings = 32784;
constexpr unsigned kHelpEntry = 32818;
constexpr unsigned kCmdUpdate = 32786;
constexpr unsigned kCmdHelp = 32848;
constexpr unsigned kCmdFeedback = 32822;
constexpr unsigned kCmdAbout = 32806;
constexpr unsigned kCmdExit = 32787;

ks::skin::CDiyMenu* MakeTrayMenu(int resource, QWidget* parent = nullptr);
// The same items put into an existing, empty menu (a menu that has items is left as it is).
void FillTrayMenu(ks::skin::CDiyMenu& menu, int resource);

// The help sub-menu of a tray menu (null when it has none).
ks::skin::CDiyMenu* HelpMenuOf(const ks::skin::CDiyMenu& menu);

// `tray` is the menu of resource 139, `trayLogin` that of 145; `osMajor` the platform's
// major version (-1 when the query failed).
void BuildTrayMenu(ks::skin::CDiyMenu& tray, ks::skin::CDiyMenu& trayLogin, int osMajor);

void SetMobileLine(ks::skin::CDiyMenu& tray, ks::skin::CDiyMenu& trayLogin, bool online);

}  // namespace ks::login
