// Mobile connection requests and the wake-on-LAN set-up of the main window.
#include "desktop/app/mainwnd/setting_dlg.h"

namespace ks::mainwnd {

void CSettingDlg::OnConnectRequest(const ks::desktop::ConnectRequestInfo*) {}
void CSettingDlg::ProcessConnectRequests() {}
void CSettingDlg::ShowConnectDlg() {}
void CSettingDlg::ConnectRequestTimerProc() {}
void CSettingDlg::OnBnClickedWakeupButton() {}

}  // namespace ks::mainwnd
