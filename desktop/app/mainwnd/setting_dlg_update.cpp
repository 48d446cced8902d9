// The update events of the main window, the notice after an update and the installer start
// at exit.
#include "desktop/app/mainwnd/setting_dlg.h"

namespace ks::mainwnd {

// The update thread only posts; the work happens on the window's thread.
void CSettingDlg::OnUpdateReady() { ks::ui::PostMsg(this, kMsgUpdateReady); }
void CSettingDlg::OnNoUpdate() { ks::ui::PostMsg(this, kMsgNoUpdate); }
void CSettingDlg::OnUpdateAvailable() { ks::ui::PostMsg(this, kMsgUpdateAvailable); }
void CSettingDlg::OnDownloadFinish() { ks::ui::PostMsg(this, kMsgUpdateFinish); }
LRESULT CSettingDlg::OnMsgUpdateAvailable(WPARAM, LPARAM) { return 0; }
LRESULT CSettingDlg::OnMsgNoUpdate(WPARAM, LPARAM) { return 0; }
LRESULT CSettingDlg::OnMsgUpdateReady(WPARAM, LPARAM) {
  m_bUpdateReady = true;
  OnTrayMenuExit();
  return 0;
}
LRESULT CSettingDlg::OnMsgUpdateFinish(WPARAM, LPARAM) { return 0; }
void CSettingDlg::ShowUpdateFinishedInfo() {}
void CSettingDlg::CountdownTimerProc() {}
void CSettingDlg::StartUpdateInstaller() {}

}  // namespace ks::mainwnd
