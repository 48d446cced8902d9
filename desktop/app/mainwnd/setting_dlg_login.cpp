// The log-in road of the main window: log-in callbacks, agent events and the status poll,
// texts and painting, the tray menu and icon, log-in errors and the banner.
//
// The work is done by a ks::login::LoginRoad that keeps its state in this window's own
// members (m_iLoginStatus, m_iMobileStatic, m_bNetworkAlive, m_IsLoging, m_bLoginSetupDone,
// m_bLoggedOut, m_loginInfo), so the other areas read and write the same values. The road
// is a child object of the window, made on first use; it holds its own reference on the
// agent link and waits for a status question in flight when it goes.
#include "desktop/app/login/login_road.h"
#include "desktop/app/login/setting_texts.h"
#include "desktop/app/login/tray_menu.h"
#include "desktop/app/dialogs/share_list.h"
#include "desktop/app/dialogs/share_list_view.h"
#include "desktop/app/mainwnd/setting_dlg.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/ui_trace.h"

namespace ks::mainwnd {

namespace {

ks::login::LoginRoad& Road(CSettingDlg* d) {
  auto* road = static_cast<ks::login::LoginRoad*>(d->m_pLoginRoad);
  if (road == nullptr) {
    ks::login::LoginRoad::Hooks hooks;
    hooks.loginSetup = [d] { d->RunPostLoginSetup(); };
    hooks.setDataFolder = [d](const std::string& folder) {
      d->m_strDataFolder = QString::fromStdString(folder);
      d->SetDataFolder();
    };
    hooks.setAccountText = [d](const QString& text) { d->m_static1137.setText(text); };
    hooks.quit = [d] { d->OnTrayMenuExit(); };
    hooks.closing = [d] { return d->closing(); };
    hooks.requestsWaiting = [d] { return d->ConnectRequestsWaiting(); };
    ks::login::LoginFields fields;
    fields.loginStatus = &d->m_iLoginStatus;
    fields.mobileStatic = &d->m_iMobileStatic;
    fields.networkAlive = &d->m_bNetworkAlive;
    fields.isLoging = &d->m_IsLoging;
    fields.loginSetupDone = &d->m_bLoginSetupDone;
    fields.loggedOut = &d->m_bLoggedOut;
    fields.loginInfo = &d->m_loginInfo;
    ks::login::FillTrayMenu(d->m_menuTray, ks::login::kTrayMenuLoggedIn);
    ks::login::FillTrayMenu(d->m_menuTrayLogin, ks::login::kTrayMenuLogin);
    road = new ks::login::LoginRoad(d->m_pUIData, d, d->m_pLoginDlg, &d->m_trayIcon, &d->m_menuTray,
                                    &d->m_menuTrayLogin, hooks, fields, d);
    d->m_pLoginRoad = road;
  }
  road->SetLoginDialog(d->m_pLoginDlg);
  road->g_bLoginStarted = g_bLoginStarted;
  return *road;
}

}  // namespace

void CSettingDlg::OnLogin(ks::login::LoginInfo* info, int hashPassword) { Road(this).OnLogin(info, hashPassword); }
void CSettingDlg::OnLoginDlgHide() { Road(this).OnLoginDlgHide(); }
void CSettingDlg::OnLoginDlgQuit() { Road(this).OnLoginDlgQuit(); }
void CSettingDlg::OnLoginInfo(ks::login::LoginInfo* info) { Road(this).OnLoginInfo(info); }

void CSettingDlg::OnAddShareFolder(const std::string& folder) {
  // With the list's own checks: missing, listed or system folders are not added.
  ks::dialogs::ShareListView rows(&m_listShare);
  ks::dialogs::AddFolderToList(rows, folder);
}

void CSettingDlg::OnTransferItem(const ks::desktop::TransferLogItem* item) {
  if (item != nullptr) AddTransferItem(*item);
}

// The link's network watch runs on its own thread: only post.
void CSettingDlg::OnNetConnected() { ks::ui::PostMsg(this, kMsgNetworkBack); }
void CSettingDlg::OnNetDisconnected() { ks::ui::PostMsg(this, kMsgNetworkGone); }

void CSettingDlg::OnLanguageChanged() {
  m_bTextsSet = 0;
  Road(this).OnLanguageChanged();
  m_toolTip = ks::ui::LangText("UI", "SETTING_HELP") + ks::ui::LangText("UI", "SETTING_HELP2");
  m_btnMoveFolder.setToolTip(m_toolTip);
}

void CSettingDlg::StartLogin() {
  Road(this).StartLogin();
  g_bLoginStarted = true;
}

LRESULT CSettingDlg::OnMsgStartLogin(WPARAM, LPARAM) {
  StartLogin();
  return 0;
}

LRESULT CSettingDlg::OnMsgNetworkGone(WPARAM, LPARAM) {
  Road(this).OnMsgNetworkGone();
  return 0;
}

LRESULT CSettingDlg::OnMsgNetworkBack(WPARAM, LPARAM) {
  Road(this).OnMsgNetworkBack();
  return 0;
}

LRESULT CSettingDlg::OnMsgConnectRequest(WPARAM, LPARAM) {
  ProcessConnectRequests();
  return 0;
}

LRESULT CSettingDlg::OnMsgShowConnectDlg(WPARAM, LPARAM) {
  ShowConnectDlg();
  return 0;
}

void CSettingDlg::CheckStatusProc() {
  ks::login::LoginRoad& road = Road(this);
  road.CheckStatusProc(road.StatusTimerId());
}

void CSettingDlg::SetTexts() {
  const bool loaded = m_pLanguages == nullptr || m_pLanguages->IsLoaded();
  if (!loaded) m_pLanguages->LoadDefaultLanguage();
  const bool any = ks::login::ApplySettingTexts(this);
  if (loaded && any) m_bTextsSet = 1;
  m_strStatic1051 = m_static1051.text();
  m_strStatic1054 = m_static1054.text();
  UpdateData(true);
}

void CSettingDlg::OnPaint(QPaintEvent* e) {
  if (m_bTextsSet == 0) SetTexts();
  ks::login::ApplyCheckBoxWidths(this, ks::ui::CurrentLanguage());
  CDiyDialog::paintEvent(e);
}

void CSettingDlg::OnCtlColor(QWidget* control) { ks::login::ApplyLabelColour(control); }

void CSettingDlg::OnDrawItem(int controlId) {
  // Menu items draw themselves (the menus' own style); the change-password link is the
  // account page's.
  if (controlId == kIdChangePasswordLink) DrawChangePasswordLink();
}

void CSettingDlg::OnMeasureItem(unsigned) {
  // The menus' style gives every item its size.
}

void CSettingDlg::BuildTrayMenu() { Road(this).BuildTrayMenu(); }
void CSettingDlg::_SetTrayIcon(unsigned) { Road(this)._SetTrayIcon(); }
void CSettingDlg::_ShowLoginError(int) { Road(this)._ShowLoginError(); }

// Tooltips are shown by the toolkit itself; nothing needs relaying.
bool CSettingDlg::PreTranslateMessage(QEvent*) { return false; }

void CSettingDlg::CreateBannerWindow() {
  ks::login::LoginRoad& road = Road(this);
  road.CreateBannerWindow();
  m_pBannerDlg = road.banner();
}

void CSettingDlg::RefreshBanner() { Road(this).RefreshBanner(); }

void CSettingDlg::BannerTimerProc() {
  if (m_pSettingDlg != nullptr) m_pSettingDlg->RefreshBanner();
}

void CSettingDlg::TrayIconTimerProc() { Road(this).TrayIconTimerProc(); }

}  // namespace ks::mainwnd
