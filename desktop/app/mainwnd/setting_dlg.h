// CSettingDlg: the main window of the desktop program and the owner of almost all of its
// run-time state. It lives behind the tray icon, mostly hidden, and shows itself as a
// settings window with five pages (account, share, transfers, settings, sync).
//
// Lifecycle: the program object constructs one CSettingDlg and calls DoModal(). The
// constructor makes sure the agent's service runs (and ends the process with exit code 1
// when it cannot); DoModal() runs OnCreate (tray icon) and OnInitDialog without showing the
// window, then a QEventLoop that EndDialog() ends. QDialog::exec() is never used: it would
// show the window at start. After DoModal() returns, OnDestroy has run; the destructor does
// the rest.
//
// Messages: every private window message of the program is a ks::ui::MsgEvent whose type is
// the message number (0x450, 0x504..0x50B, 0x602..0x607). event() dispatches them by number
// to the handlers below (setting_dlg_messages.cpp). Menu commands (32784...) are dispatched by
// OnCommand; PostCommand queues one. Control notifications are connected to the handlers
// when the controls are created. Only 0x604 arrives from outside (the wake endpoint).
//
// Timers: ThreadTimer is a QTimer of the GUI thread; it fires inside nested modal loops too,
// as the handlers expect. A timer whose work asks the agent hands that work to a worker and
// gets the result posted back, so the window never waits on the agent.
//
// Threads: GUI thread only, except the callback interfaces (IUIDataCallBack, IUpdateCallback),
// which may be called on other threads and only post messages (or take m_csConnectRequest).
//
// Handlers are grouped by area; each area's definitions live in one file:
//   core/shell       setting_dlg.cpp, _init, _close, _service, _autostart, _messages
//   log-in           setting_dlg_login.cpp
//   pages            setting_dlg_pages.cpp
//   update           setting_dlg_update.cpp
//   connection       setting_dlg_connect.cpp
#pragma once

#include "desktop/app/login/login_dlg.h"
#include "desktop/app/pages/page_tables.h"
#include "desktop/app/pages/setting_pages.h"
#include "desktop/app/shell/autostart.h"
#include "desktop/app/shell/service_control.h"
#include "desktop/foundation/agentlink/ui_data.h"
#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/skin/buttons.h"
#include "desktop/foundation/skin/combo_menu.h"
#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/diy_static_button.h"
#include "desktop/foundation/skin/html_dlg.h"
#include "desktop/foundation/skin/list_ctrl.h"
#include "desktop/foundation/skin/tray_icon.h"
#include "desktop/foundation/ui/msg_event.h"
#include "desktop/foundation/update/update_logic.h"

#include <QFont>
#include <QIcon>
#include <QImage>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class QEventLoop;

namespace ks::desktop {
class IConnectDlgCallBack;
}

namespace ks::mainwnd {

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

// Private window messages of the main window.
inline constexpr unsigned kMsgTrayIcon = 0x450;
inline constexpr unsigned kMsgUpdateAvailable = 0x504;
inline constexpr unsigned kMsgNoUpdate = 0x505;
inline constexpr unsigned kMsgUpdateReady = 0x506;
inline constexpr unsigned kMsgUpdateFinish = 0x507;
inline constexpr unsigned kMsgNetworkGone = 0x508;
inline constexpr unsigned kMsgNetworkBack = 0x509;
inline constexpr unsigned kMsgStartLogin = 0x50A;
inline constexpr unsigned kMsgConnectRequest = 0x50B;
inline constexpr unsigned kMsgShowConnectDlg = 0x602;
inline constexpr unsigned kMsgHideWindow = 0x603;
inline constexpr unsigned kMsgWake = 0x604;
inline constexpr unsigned kMsgExit = 0x607;
// Results of timer work done on a worker, posted back to the window.
inline constexpr unsigned kMsgServiceState = 0x610;  // wParam: 1 when read, lParam: the state

// Mouse messages that the tray callback carries in lParam.
inline constexpr LPARAM kWmLButtonDown = 0x201;
inline constexpr LPARAM kWmLButtonUp = 0x202;
inline constexpr LPARAM kWmLButtonDblClk = 0x203;
inline constexpr LPARAM kWmRButtonDown = 0x204;
inline constexpr LPARAM kWmRButtonUp = 0x205;

// System commands (OnSysCommand).
inline constexpr unsigned kScMinimize = 0xF020;
inline constexpr unsigned kScClose = 0xF060;

// Menu commands of the tray menus.
inline constexpr unsigned kCmdSetting = 32784;
inline constexpr unsigned kCmdUpdate = 32786;
inline constexpr unsigned kCmdExit = 32787;
inline constexpr unsigned kCmdChangeAccount = 32788;
inline constexpr unsigned kCmdAbout = 32806;
inline constexpr unsigned kCmdOpenFolder = 32810;
inline constexpr unsigned kCmdDownload = 32817;
inline constexpr unsigned kCmdFeedback = 32822;
inline constexpr unsigned kCmdAp = 32827;
inline constexpr unsigned kCmdLogin = 32846;
inline constexpr unsigned kCmdHelp = 32848;

// Control ids of layout 129 and the page buttons.
inline constexpr int kIdShareList = 1012;
inline constexpr int kIdDeleteButton = 1016;
inline constexpr int kIdAddButton = 1017;
inline constexpr int kIdHiddenButton = 1018;
inline constexpr int kIdCancelButton = 1019;
inline constexpr int kIdOkButton = 1020;
inline constexpr int kIdDataFolderEdit = 1025;
inline constexpr int kIdSettingButton = 1048;
inline constexpr int kIdShareButton = 1049;
inline constexpr int kIdAutoStartCheck = 1050;
inline constexpr int kIdStatic1051 = 1051;
inline constexpr int kIdLanguageCombo = 1053;
inline constexpr int kIdStatic1054 = 1054;
inline constexpr int kIdMoveFolderButton = 1055;
inline constexpr int kIdChangePasswordLink = 1063;
inline constexpr int kIdPhotoSortingCheck = 1074;
inline constexpr int kIdStatic1078 = 1078;
inline constexpr int kIdStatic1079 = 1079;
inline constexpr int kIdStatic1084 = 1084;
inline constexpr int kIdTransList = 1132;
inline constexpr int kIdTransButton = 1133;
inline constexpr int kIdSwitchAccountButton = 1135;
inline constexpr int kIdStatic1137 = 1137;
inline constexpr int kIdAccountButton = 1138;
inline constexpr int kIdWakeupButton = 1155;
inline constexpr int kIdSyncButton = 1163;
inline constexpr int kIdPhotoSortingLabel = 1165;
inline constexpr int kIdStatic1167 = 1167;

inline constexpr int kWindowWidth = 484;
inline constexpr int kWindowHeight = 426;
inline constexpr unsigned kTrayIconId = 174;
inline constexpr int kServiceWatchMsDefault = 10000;

// The message number as an event type (reserved once, see ks::ui::RegisterMsg).
inline QEvent::Type MsgType(unsigned msg) { return ks::ui::RegisterMsg(msg); }

// KESTYL_SERVICE_WATCH_MS (1.., default 10000): the period of the service watch.
int ServiceWatchMs();

// A thread timer: a QTimer of the GUI thread calling `proc` every `ms` milliseconds until
// killed. id() is nonzero while it runs (the id member of the window's timers).
class ThreadTimer {
 public:
  ThreadTimer();
  ~ThreadTimer();
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;
  void Start(int ms, std::function<void()> proc);
  void Kill();
  int id() const;
  bool running() const { return id() != 0; }

 private:
  std::unique_ptr<QTimer> timer_;
  std::function<void()> proc_;
};

class CSettingDlg;
// The one main window (set in OnInitDialog, cleared by the destructor); read by the timer
// procedures.
extern CSettingDlg* m_pSettingDlg;
// StartLogin has run.
extern bool g_bLoginStarted;

// What the window takes from its surroundings; each null member gets the real one.
struct SettingDlgOptions {
  ks::app::ServiceHost* serviceHost = nullptr;          // not owned
  ks::app::AutoStartHost* autoStartHost = nullptr;      // not owned
  ks::desktop::IUIData* uiData = nullptr;               // a reference is taken
  ks::desktop::ILanguages* languages = nullptr;         // a reference is taken
  std::function<std::optional<uint32_t>()> serviceState;  // default ReadServiceState
  // Ends this process at once (the constructor's failure); default: log and _exit(code).
  std::function<void(int code)> endProcess;
  bool startServiceCheck = true;  // run InstallAndStartService in the constructor
  bool startUpdateCheck = true;   // start the automatic update check in OnInitDialog
};

// The hosts whose window half (notices, timers, texts, ending) the main window fills in.
std::unique_ptr<ks::app::ServiceHost> MakeWindowServiceHost(CSettingDlg* dlg);
std::unique_ptr<ks::app::AutoStartHost> MakeWindowAutoStartHost(CSettingDlg* dlg);

class CSettingDlg : public ks::skin::CDiyDialog,
                    public ks::login::ICLoginDlgCallback,
                    public ks::desktop::IUIDataCallBack,
                    public ks::desktop::update::IUpdateCallback,
                    public ks::desktop::ILanguageCallBack {
  Q_OBJECT
 public:
  explicit CSettingDlg(const SettingDlgOptions& options = {}, QWidget* parent = nullptr);
  ~CSettingDlg() override;

  // ---- core/shell -----------------------------------------------------------------------
  // Runs the window modally without showing it; returns EndDialog's result.
  int DoModal();
  void EndDialog(int result);
  bool InModalLoop() const { return loop_ != nullptr; }
  // Queues the menu command `id` (the WM_COMMAND of the tray menus).
  void PostCommand(unsigned id);
  void OnCommand(unsigned id);

  int OnCreate();  // the tray icon; 0
  bool OnInitDialog() override;
  void OnClose();
  void OnTrayMenuExit();
  bool OnQueryEndSession();
  void OnDestroy();
  LRESULT OnMsgHideWindow(WPARAM, LPARAM);
  LRESULT OnMsgWake(WPARAM, LPARAM);
  LRESULT OnMsgExit(WPARAM, LPARAM);

  bool InstallAndStartService();
  void CheckServiceState();  // one tick of the watch: reads the state on a worker
  LRESULT OnMsgServiceState(WPARAM, LPARAM);
  void _StopService();
  bool RunElevated(const std::string& program, const std::string& parameters, const std::string& message);
  void SetAutoStart();
  void RunSetupWizard();
  // Forget-account and timer-stop steps shared by the closing paths.
  void ForgetAccount();
  void StopTimersForClosing();

  ks::app::ServiceControl& serviceControl() { return *serviceControl_; }
  ks::app::ClosingGate& closingGate() { return m_csTimers; }
  bool closing();

  // Members (core/shell).
  QIcon m_hIcon;
  ks::desktop::IUIData* m_pUIData = nullptr;
  ks::desktop::ILanguages* m_pLanguages = nullptr;
  ks::skin::CTrayIcon m_trayIcon;
  ks::skin::CDiyMenu m_menuTray;       // menu 139: logged in
  ks::skin::CDiyMenu m_menuTrayLogin;  // menu 145: not logged in
  ks::login::LoginInfo m_loginInfo{};
  ThreadTimer m_nServiceTimer;  // service watch
  ks::app::ClosingGate m_csTimers;  // m_csTimers with m_bClosing as its `closing`
  bool m_bStartupBusy = false;
  std::array<QRect, 5> m_rcPageButtons{};
  // Page buttons, created in OnInitDialog.
  ks::skin::CSettingButton* m_pBtnShare = nullptr;
  ks::skin::CSettingButton* m_pBtnSetting = nullptr;
  ks::skin::CSettingButton* m_pBtnTrans = nullptr;
  ks::skin::CSettingButton* m_pBtnAccount = nullptr;
  ks::skin::CSettingButton* m_pBtnSync = nullptr;
  QString m_toolTip;  // tooltip of 1055
  QFont m_fontAccount, m_fontStatus, m_fontButton, m_fontEdit, m_fontLogin;

  // Controls of layout 129.
  ks::skin::CKSListCtrl m_listShare;  // 1012
  ks::skin::CKSListCtrl m_listTrans;  // 1132
  std::vector<QImage> m_imageListTrans;
  ks::skin::CColorButton m_btnOk, m_btnCancel, m_btnAdd, m_btnDelete, m_btnAutoStart, m_btnWakeup,
      m_btnPhotoSorting, m_btnMoveFolder, m_btnSwitchAccount;
  ks::skin::CDiyStatic m_staticPhotoSorting, m_static1051, m_static1054, m_static1078, m_static1079,
      m_static1084, m_static1137, m_static1167;
  ks::skin::CColorCombobox m_comboLanguage;
  QLineEdit* m_editDataFolder = nullptr;           // 1025 (read only)
  ks::login::CLinkLabel* m_linkChangePassword = nullptr;  // 1063
  // Data exchange values of the controls.
  int m_bAutoStartCheck = 0;
  QString m_strStatic1051, m_strStatic1054;
  QString m_strDataFolderEdit;
  int m_bPhotoSortingCheck = 0;
  // Pushes the members to the controls (false) or reads them back (true).
  void UpdateData(bool saveAndValidate);
  // The control of an id of layout 129 (null for an unknown id).
  QWidget* GetDlgItem(int id) const;

  // ---- log-in (Parts: callbacks, status poll, texts and painting, tray menu, tray icon,
  // log-in errors and banner) ---------------------------------------------------------------
  void OnLogin(ks::login::LoginInfo* info, int hashPassword) override;
  void OnLoginDlgHide() override;
  void OnLoginDlgQuit() override;
  void OnLoginInfo(ks::login::LoginInfo* info) override;
  void OnAddShareFolder(const std::string& folder) override;
  void OnTransferItem(const ks::desktop::TransferLogItem* item) override;
  void OnNetConnected() override;
  void OnNetDisconnected() override;
  void OnLanguageChanged() override;
  void StartLogin();
  LRESULT OnMsgStartLogin(WPARAM, LPARAM);
  LRESULT OnMsgNetworkGone(WPARAM, LPARAM);
  LRESULT OnMsgNetworkBack(WPARAM, LPARAM);
  LRESULT OnMsgConnectRequest(WPARAM, LPARAM);
  LRESULT OnMsgShowConnectDlg(WPARAM, LPARAM);
  void CheckStatusProc();
  void SetTexts();
  void OnPaint(QPaintEvent* e);
  void OnCtlColor(QWidget* control);
  void OnDrawItem(int controlId);
  void OnMeasureItem(unsigned itemId);
  void BuildTrayMenu();
  void _SetTrayIcon(unsigned iconId);
  void _ShowLoginError(int status);
  bool PreTranslateMessage(QEvent* e);
  void CreateBannerWindow();
  void RefreshBanner();
  void BannerTimerProc();
  void TrayIconTimerProc();

  ks::login::CLoginDlg* m_pLoginDlg = nullptr;
  int m_iLoginStatus = 2;
  int m_iMobileStatic = 1;
  bool m_bLoggedOut = false;
  bool m_bNetworkAlive = true;
  ThreadTimer m_nStatusTimer;
  ThreadTimer m_nBannerTimer2;
  int m_nStatusPolls = 0;
  int m_bTextsSet = 0;
  ks::skin::CHtmlDlg* m_pBannerDlg = nullptr;
  ThreadTimer m_nBannerTimer;
  ThreadTimer m_nTrayFlashTimer;
  int m_IsLoging = 1;
  // The ks::login::LoginRoad that does the log-in work (a child object, made on first use).
  QObject* m_pLoginRoad = nullptr;

  // ---- pages (share page, tray clicks and commands, account page, pages, data folder,
  // transfer rows) -------------------------------------------------------------------------
  void CreateControls();  // the controls of layout 129 (constructor)
  void CreateSyncPage();  // the synchronisation page as a child (OnInitDialog)
  LRESULT OnSystemTray(WPARAM, LPARAM);
  void OnTrayMenuChangeAccount();
  void OnTrayMenuLogin();
  void OnTrayMenuSetting();
  void OnTrayMenuUpdate();
  void OnTrayMenuOpenFolder();
  void OnTrayMenuAbout();
  void OnTrayMenuDownload();
  void OnTrayMenuHelp();
  void OnTrayMenuFeedback();
  void OnTrayMenuAp();
  void OnNMRClickShareList(int row);
  void OnNMClickShareList();
  void OnNMDblclkShareList(int row);
  void OnBnClickedDeleteButton();
  void OnBnClickedAddButton();
  void OnBnClickedOkButton();
  void OnBnClickedCancelButton();
  void OnBnClickedShareButton();
  void OnBnClickedSettingButton();
  void OnBnClickedTransButton();
  void OnBnClickedAccountButton();
  void OnBnClickedSyncButton();
  void OnBnClickedMoveFolderButton();
  void OnBnClickedAutoStartCheck();
  void OnCbnSelchangeLanguageCombo();
  void OnNMThemeChangedLanguageCombo();
  void OnBnClickedSwitchAccountButton();
  void OnBnClickedPhotoSortingCheck();
  void OnSysCommand(unsigned nID);
  void ApplySettings();
  void ClearShareFolderEdits();
  void ShowAccountPage();
  void MoveDataFolder();
  void SetDataFolder();
  void RunPostLoginSetup();
  void AddTransferItem(const ks::desktop::TransferLogItem& item);
  void DrawChangePasswordLink();

  std::list<ks::pages::ShareChange*> m_listShareFolders;
  std::array<QString, 5> m_strDefaultFolders;
  QString m_strDataFolder;
  int m_bAutoStart = 0;
  int m_bPhotoSorting = 0;
  bool m_bSwitchFromAccountPage = false;
  QWidget* m_pSyncDlg = nullptr;  // the synchronisation page
  std::mutex m_csMoveFolder;
  bool m_bMovingFolder = false;
  bool m_bLoginSetupDone = false;
  // The pages' handlers and state live in m_pages (desktop/app/pages/setting_pages.h); the
  // members above mirror what the other areas read (MirrorPageState).
  std::unique_ptr<ks::pages::PagesHost> m_pagesHost;
  std::unique_ptr<ks::pages::SettingPages> m_pages;
  void MirrorPageState();
  void SetDataFolder(const std::string& folder);
  void OnChangePasswordLinkClicked();
  // Refreshes the log-in dialog's edits as if the owner had moved through them.
  void RefreshLoginDlg();

  // ---- update (update events, set-up flags, update notice after an update) ---------------
  void OnUpdateReady() override;
  void OnNoUpdate() override;
  void OnUpdateAvailable() override;
  void OnDownloadFinish() override;
  LRESULT OnMsgUpdateAvailable(WPARAM, LPARAM);
  LRESULT OnMsgNoUpdate(WPARAM, LPARAM);
  LRESULT OnMsgUpdateReady(WPARAM, LPARAM);
  LRESULT OnMsgUpdateFinish(WPARAM, LPARAM);
  void ShowUpdateFinishedInfo();
  void CountdownTimerProc();
  // The destructor's installer start (only when m_bUpdateReady is set).
  void StartUpdateInstaller();
  // Gives the update manager its callback, the notice's parent and the agent link.
  void WireUpdateLogic();
  // The tray command that checks for an update (Update -> here): a manual check, or the box
  // "MSGBOX_ISUPDATINGNOW" while one runs.
  void StartManualUpdateCheck();
  // Seconds left in which a click on a tray balloon opens the home page (after an update).
  static inline int g_nBalloonLinkCountdown = 0;
  ThreadTimer g_nCountdownTimer;

  std::unique_ptr<ks::desktop::update::CUpdateLogic> m_updateLogic;
  bool m_bUpdateReady = false;
  QPointer<QWidget> m_updateDlg;  // the information window after an update

  // ---- connection requests (mobile connection requests, wake-on-LAN) ---------------------
  void OnConnectRequest(const ks::desktop::ConnectRequestInfo* request) override;
  void ProcessConnectRequests();
  void ShowConnectDlg();
  void ConnectRequestTimerProc();
  void OnBnClickedWakeupButton();

  ks::desktop::ConnectRequestInfo* m_pConnectRequest = nullptr;
  std::mutex m_csConnectRequest;
  std::list<ks::desktop::ConnectRequestInfo*> m_connectRequests;
  ThreadTimer m_nConnectTimer;
  QWidget* m_pApDlg = nullptr;  // the hosted-network dialog
  // Requests wait behind the confirmation dialog on screen: the tray icon timer shows icons
  // 255 and 254 in turn while this holds, before it looks at m_iMobileStatic (the status poll
  // rewrites that one every 2 s). Thread-safe.
  bool ConnectRequestsWaiting() const;
  // Starts the flashing while requests wait; stops it and restores the state's icon when
  // none is left.
  void UpdateTrayFlash();
  // The queue, the one confirmation dialog on screen and the answers to the agent
  // (desktop/app/connect/connect_requests.h): a child object of the window, made with it;
  // requests reach it only through OnConnectRequest, which the link stops calling before the
  // window goes.
  QObject* MakeConnectFlow();
  QObject* m_pConnectFlow = MakeConnectFlow();
  bool m_bAdapterKeysSeeded = false;  // the adapters' registry keys were filled in

 protected:
  bool event(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  void setVisible(bool visible) override;
  void Minimize() override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void ConnectControls();
  void ConnectPageButtons();
  void StartServiceWatch();
  // Ends this process at once (the constructor's failure; also the watch's end).
  void EndProcess(int code);

  SettingDlgOptions options_;
  std::unique_ptr<ks::app::ServiceHost> ownServiceHost_;
  std::unique_ptr<ks::app::AutoStartHost> ownAutoStartHost_;
  std::unique_ptr<ks::app::ServiceControl> serviceControl_;
  QEventLoop* loop_ = nullptr;
  int result_ = 0;
  bool created_ = false;
  bool destroyed_ = false;
  bool initDone_ = false;
  bool watchBusy_ = false;
};

}  // namespace ks::mainwnd
