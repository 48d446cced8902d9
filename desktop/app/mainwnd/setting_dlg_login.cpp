// The log-in road of the main window: log-in callbacks, agent events and the status poll,
// texts and painting, the tray menu and icon, log-in errors and the banner.
#include "desktop/app/mainwnd/setting_dlg.h"

namespace ks::mainwnd {

void CSettingDlg::OnLogin(ks::login::LoginInfo*, int) {}
void CSettingDlg::OnLoginDlgHide() {}
void CSettingDlg::OnLoginDlgQuit() { OnTrayMenuExit(); }
void CSettingDlg::OnLoginInfo(ks::login::LoginInfo*) {}
void CSettingDlg::OnAddShareFolder(const std::string&) {}
void CSettingDlg::OnTransferItem(const ks::desktop::TransferLogItem*) {}
void CSettingDlg::OnNetConnected() {}
void CSettingDlg::OnNetDisconnected() {}
void CSettingDlg::OnLanguageChanged() {}
void CSettingDlg::StartLogin() { g_bLoginStarted = true; }
LRESULT CSettingDlg::OnMsgStartLogin(WPARAM, LPARAM) {
  StartLogin();
  return 0;
}
LRESULT CSettingDlg::OnMsgNetworkGone(WPARAM, LPARAM) { return 0; }
LRESULT CSettingDlg::OnMsgNetworkBack(WPARAM, LPARAM) { return 0; }
LRESULT CSettingDlg::OnMsgConnectRequest(WPARAM, LPARAM) { return 0; }
LRESULT CSettingDlg::OnMsgShowConnectDlg(WPARAM, LPARAM) { return 0; }
void CSettingDlg::CheckStatusProc() {}
void CSettingDlg::SetTexts() {}
void CSettingDlg::OnPaint(QPaintEvent* e) { CDiyDialog::paintEvent(e); }
void CSettingDlg::OnCtlColor(QWidget*) {}
void CSettingDlg::OnDrawItem(int) {}
void CSettingDlg::OnMeasureItem(unsigned) {}
void CSettingDlg::BuildTrayMenu() {}
void CSettingDlg::_SetTrayIcon(unsigned) {}
void CSettingDlg::_ShowLoginError(int) {}
bool CSettingDlg::PreTranslateMessage(QEvent*) { return false; }
void CSettingDlg::CreateBannerWindow() {}
void CSettingDlg::RefreshBanner() {}
void CSettingDlg::BannerTimerProc() {}
void CSettingDlg::TrayIconTimerProc() {}

}  // namespace ks::mainwnd
