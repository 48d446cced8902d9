// The window-free rules of the log-in road: what one status poll does with the agent's
// answer, how a failed log-in is told to the owner, which tray icon and menu status line a
// state shows and which animation frame comes next, and the banner's address.
//
// Everything here is pure (no Qt widgets, no agent, no clock) so each rule is checked by a
// table; the main window's log-in code applies the plans on the GUI thread.
//
// Log-in status (LoginState::loginStatus) as the window keeps it: 1 online, 2 idle (start,
// wrong account, after the network went or after an error was shown), 3 logging in, 4 and 7
// account or password wrong, 5 no connection to the vendor, 10060 the agent timed out, -2
// the agent cannot be reached, -3 the agent sent no reply, 0 no answer; other values are
// the agent's own codes. Mobile state: 0 no answer, 1 no device, 2 device idle, 3 and 4 a
// transfer in one or the other direction.
#pragma once

#include <string>

namespace ks::login {

constexpr int kLoginOnline = 1;
constexpr int kLoginIdle = 2;
constexpr int kLoginBusy = 3;
constexpr int kLoginIdOrPassword = 4;
constexpr int kLoginConnectFail = 5;
constexpr int kLoginWrongPassword = 7;
constexpr int kAgentTimedOut = 10060;
constexpr int kAgentUnreachable = -2;
constexpr int kAgentNoReply = -3;

constexpr int kStatusPollMs = 2000;
constexpr int kStatusPollSlowMs = 5000;
constexpr int kBannerRefreshMs = 36000;
constexpr int kTrayFrameMs = 150;
constexpr int kCentreDelayMs = 2000;

// The main window's log-in fields.
struct LoginState {
  int loginStatus = kLoginIdle;
  int mobileStatic = 1;
  bool networkAlive = true;
  bool isLoging = true;        // a log-in is under way (from the start); errors are shown only while set
  bool loginSetupDone = false; // the post-log-in set-up has run
  bool loggedOut = false;
  unsigned statusTimer = 0;    // id of the running status poll, 0 when none runs
  bool requestsWaiting = false; // connection requests wait behind the confirmation dialog
};

// ---- status poll ----

// What one poll tick does with the agent's log-in status `s`, in this order.
struct StatusPlan {
  bool ignored = false;   // the tick belongs to another (or a stopped) poll: nothing at all
  int nextMs = kStatusPollMs;  // the poll's next period
  bool slowed = false;    // no reply while logging in: re-armed slower, nothing recorded
  bool runSetup = false;  // the first poll that sees the log-on: the one-time set-up
  bool setLoging = false; // the second poll in a row that sees the log-on
  bool showError = false; // the status recorded so far is an error: tell it (before storing s)
};
StatusPlan StatusStep(const LoginState& state, unsigned tickTimer, int s);

// ---- log-in errors ----

// The two process-wide counters of the error display (busy flag, consecutive failures to
// reach the vendor; 1 at start so that the first failure after start-up already shows).
struct LoginErrorState {
  int showMessageBox = 0;
  int connectFailCount = 1;
};

enum class LoginErrorKind {
  kSkipped,       // busy with another error, or no log-in under way: nothing changes
  kBackToDialog,  // 4 and 7: the dialog again with "MSGBOX_IDORPWERROR" in its error line
  kConnectFail,   // 5: a balloon when `balloon` is set
  kSilent,        // 0, 10060, negative values: no message
  kOtherBox,      // any other positive value: a box with the code, then the dialog again
};

struct LoginErrorPlan {
  LoginErrorKind kind = LoginErrorKind::kSkipped;
  bool balloon = false;
};

// Decides and counts (connectFailCount); the caller sets showMessageBox while a box is open.
// Every plan other than kSkipped ends with status 2, mobile state 1 and the tray updated;
// kBackToDialog, kConnectFail and kOtherBox also end the log-in (isLoging cleared).
LoginErrorPlan LoginErrorStep(LoginErrorState& errors, const LoginState& state);

// "<text>, code: <status in lower-case hex>" (4103 -> "…, code: 1007").
std::string OtherErrorText(const std::string& text, int status);

// ---- tray icon ----

enum class TrayTimer { kKeep, kStart, kStop };
enum class TrayLine { kKeep, kOnline, kOffline };

struct TrayPlan {
  unsigned icon = 0;   // the steady icon to set (tooltip ("UI","DIALOG_TITLE")); 0 keeps it
  TrayTimer timer = TrayTimer::kKeep;
  TrayLine line = TrayLine::kKeep;  // menu status line 32816 and the menus' online mark
  bool noNetwork = false;           // "Network is disabled." is logged
};
// While connection requests wait the flashing owns the icon: the plan keeps it (icon 0) and
// only the menus and the animation timer follow the state.
TrayPlan TrayIconFor(const LoginState& state);

// One tick of the tray animation at frame `frame` (the caller stores `nextFrame`). Waiting
// connection requests come before the mobile state (which the status poll rewrites): icons
// 255 and 254 in turn, with the tip "Kestyl".
struct TrayFrame {
  bool acts = false;     // false: the mobile state has no animation; nothing changes
  unsigned icon = 0;     // 0: the pause tick, nothing new shown
  bool transferTip = false;  // the tip is the transfer text; else the fixed "Kestyl"
  int nextFrame = 0;
};
TrayFrame TrayFrameFor(int mobileStatic, int loginStatus, int frame, bool requestsWaiting = false);

// ---- banner ----

// `webUrl` + "/kestyl/bannerpc" + "?L=cn" (0), "?L=en" (1), "?L=tw" (2), nothing for other
// indexes.
std::string BannerAddress(const std::string& webUrl, int language);

}  // namespace ks::login
