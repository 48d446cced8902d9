// LoginRoad: the main window's log-in duties, kept apart from the window so that they can be
// driven and checked without it. The main window owns one, hands it its pieces (agent link,
// itself, the log-in dialog, the tray icon and the two tray menus) and forwards its log-in
// handlers to it; LoginRoad is the ICLoginDlgCallback the log-in dialog talks to.
//
// What it does:
//   StartLogin        data folder and saved account from the agent; RemPass "false" logs the
//                     agent out first; a saved account (shorter than 32 bytes) shows the
//                     logging-in state, none shows the log-in dialog off screen at
//                     (-10000,-10000) and centres it 2000 ms later; starts the status poll
//                     (2000 ms) and the second banner timer (36000 ms).
//   OnLogin/OnLoginInfo  hand an account to the agent (IUIData::Login, hash flag 1 for a
//                     typed password, 0 for a stored hash) and enter the logging-in state.
//   status poll       each tick asks the agent on a worker thread (GetLogOnStatus, then
//                     GetTransferState) and applies the answer on the GUI thread with
//                     StatusStep; one question is in flight at a time, and an answer that
//                     arrives after the poll was stopped or restarted is dropped. The window
//                     never waits on the agent.
//   network           OnNetConnected / OnNetDisconnected (any thread) post 0x509 / 0x508 to
//                     this object; the handlers act on a change only: gone -> status 2, tray,
//                     balloon "Kestyl" + ("MESSAGEBOX","MSGBOX_ONNET"); back -> status 3, tray,
//                     OnLogin with the kept record and flag 0 (it holds the stored hash).
//   errors            _ShowLoginError applies LoginErrorStep: 4/7 back to the dialog with
//                     "MSGBOX_IDORPWERROR"; 5 a balloon "MSGBOX_CONNECTFAIL"; other positive
//                     codes a box "<MSGBOX_OTHER>, code: <hex>" and the dialog again.
//   tray              _SetTrayIcon applies TrayIconFor; TrayIconTimerProc (150 ms) the frames.
//                     While the requestsWaiting hook says connection requests wait, the
//                     window's own 500 ms flash drives TrayIconTimerProc (icons 255 and 254)
//                     and the road's 150 ms timer shows nothing.
//   banner            CreateBannerWindow (a CHtmlDlg child at (0, 41), 483 x 113) and
//                     RefreshBanner at the banner address of the current language.
//
// GUI thread only, except OnNetConnected and OnNetDisconnected. The road holds one reference
// on the agent link from construction to destruction; the windows, tray icon and menus are
// not owned (a destroyed one is skipped). The destructor stops the timers and waits for a
// poll in flight.
#pragma once

#include "desktop/app/login/login_dlg.h"
#include "desktop/app/login/login_rules.h"
#include "desktop/foundation/agentlink/ui_data.h"
#include "desktop/foundation/skin/combo_menu.h"
#include "desktop/foundation/skin/html_dlg.h"
#include "desktop/foundation/skin/tray_icon.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace ks::login {

// Where the road keeps the main window's log-in fields: the window's own members, so that
// its other parts read and write the same values. All set, or all null for the road's own.
struct LoginFields {
  int* loginStatus = nullptr;     // m_iLoginStatus (2 at start)
  int* mobileStatic = nullptr;    // m_iMobileStatic (1)
  bool* networkAlive = nullptr;   // m_bNetworkAlive (true)
  int* isLoging = nullptr;        // m_IsLoging (1: errors of the start-up log-in are shown too)
  bool* loginSetupDone = nullptr; // m_bLoginSetupDone
  bool* loggedOut = nullptr;      // m_bLoggedOut
  LoginInfo* loginInfo = nullptr; // m_loginInfo
};

class LoginRoad : public QObject, public ICLoginDlgCallback {
  Q_OBJECT
 public:
  static constexpr unsigned kMsgNetworkGone = 0x508;
  static constexpr unsigned kMsgNetworkBack = 0x509;

  // What the main window does for the road. Empty hooks do nothing, except readRemPass
  // (default: the configuration's RemPass), showBox (default: the skinned message box with
  // the caption ("UI","DIALOG_TITLE")) and osMajor (default: the platform's version).
  struct Hooks {
    std::function<void()> loginSetup;                         // first poll that sees the log-on
    std::function<void(const std::string&)> setDataFolder;    // the agent's data folder
    std::function<void(const QString&)> setAccountText;       // account line 1137
    std::function<void()> quit;                               // the tray menu's exit
    std::function<void()> endProgram;                         // quit before the start finished
    std::function<std::string()> readRemPass;
    std::function<void(const QString&)> showBox;
    std::function<int()> osMajor;
    std::function<bool()> closing;  // true once the window is closing: timers do nothing
    std::function<bool()> requestsWaiting;  // connection requests wait: the tray flashes
  };

  // `uiData` may be null: OnLogin then only hides the main window and StartLogin starts nothing.
  LoginRoad(ks::desktop::IUIData* uiData, QWidget* mainWindow, CLoginDlg* loginDlg, ks::skin::CTrayIcon* tray,
            ks::skin::CDiyMenu* menuTray, ks::skin::CDiyMenu* menuTrayLogin, Hooks hooks = {},
            LoginFields fields = {}, QObject* parent = nullptr);
  ~LoginRoad() override;

  // ICLoginDlgCallback
  void OnLogin(LoginInfo* info, int hashPassword) override;
  void OnLoginDlgHide() override;
  void OnLoginDlgQuit() override;
  void OnLoginInfo(LoginInfo* info) override;

  int StartLogin();

  // The agent link's network watch (any thread).
  void OnNetConnected();
  void OnNetDisconnected();
  void OnMsgNetworkGone();
  void OnMsgNetworkBack();

  // One status poll tick for the poll `tick` (the timer's own ticks pass the running id).
  void CheckStatusProc(unsigned tick);
  // Applies one agent answer (the worker's result; tests call it directly).
  void ApplyStatus(unsigned tick, int s, int transferState);
  void StopStatusPoll();
  // Stops the poll, the tray animation and both banner timers.
  void StopTimers();
  void SetLoginDialog(CLoginDlg* dlg) { loginDlg_ = dlg; }
  bool StatusPollRunning() const { return statusTimerId_ != 0; }
  // The running poll's id (0 when none runs): the tick its timer passes.
  unsigned StatusTimerId() const { return statusTimerId_; }
  // The fields as the pure rules take them.
  LoginState Snapshot() const;
  // A question to the agent is out and its answer not yet applied.
  bool PollInFlight() const;
  int StatusPollIntervalMs() const { return statusTimer_.interval(); }

  void _ShowLoginError();
  void _SetTrayIcon();
  void TrayIconTimerProc();
  bool TrayAnimating() const { return trayTimer_.isActive(); }

  void BuildTrayMenu();

  // Banner: created once; both refresh timers (the first started here by the window's
  // initialisation, the second by StartLogin) reload it.
  void CreateBannerWindow();
  void RefreshBanner();
  void StartBannerTimer();
  ks::skin::CHtmlDlg* banner() const { return banner_; }
  // The language changed: the banner follows the new language.
  void OnLanguageChanged();

  // The road's own fields (used when none were given).
  struct OwnState {
    int loginStatus = kLoginIdle;
    int mobileStatic = 1;
    bool networkAlive = true;
    int isLoging = 1;
    bool loginSetupDone = false;
    bool loggedOut = false;
  } m_state;
  LoginInfo m_loginInfo{};
  LoginErrorState m_errors;
  bool g_bLoginStarted = false;
  int m_iTrayFrame = 0;
  QString m_strTrayTip;

 protected:
  bool event(QEvent* e) override;

 private:
  LoginFields OwnFields();
  bool Closing() const;
  bool RequestsWaiting() const;
  void StartStatusPoll();
  void RunPollWorker();
  void SetTitleAccount(const char* account);
  void ShowLoginDialogOffScreen();
  void HideMainWindow();

  ks::desktop::IUIData* uiData_;
  QPointer<QWidget> main_;
  QPointer<CLoginDlg> loginDlg_;
  QPointer<ks::skin::CTrayIcon> tray_;
  QPointer<ks::skin::CDiyMenu> menuTray_;
  QPointer<ks::skin::CDiyMenu> menuTrayLogin_;
  Hooks hooks_;
  LoginFields f_;
  unsigned statusTimerId_ = 0;

  QTimer statusTimer_;
  QTimer trayTimer_;
  QTimer bannerTimer_;
  QTimer bannerTimer2_;
  unsigned pollGeneration_ = 0;
  bool flashing_ = false;  // the last frame shown was one of waiting connection requests
  QPointer<ks::skin::CHtmlDlg> banner_;

  // The poll worker: one question at a time.
  std::thread worker_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool busy_ = false;           // a question is queued or in flight (cleared with its answer)
  bool job_ = false;            // a question waits for the worker
  unsigned jobTick_ = 0;
  int jobLoginStatus_ = 0;
};

}  // namespace ks::login
