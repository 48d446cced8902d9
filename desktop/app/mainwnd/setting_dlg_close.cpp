// The three ways the main window is told to stop, and the tear-down of the window.
//  - OnClose (the window manager's close) and OnTrayMenuExit: forget the account unless
//    the owner asked to remember it, stop the timers, stop the agent's service, end the
//    modal loop with IDCANCEL.
//  - OnQueryEndSession (SIGTERM/SIGHUP, the end of the session): the same without stopping
//    the service and without ending the loop itself; the program object then ends with 0.
//  - OnDestroy: once, after the modal loop ended.
#include "desktop/app/mainwnd/setting_dlg.h"
#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/util/ks_util.h"

#include <QCloseEvent>

namespace ks::mainwnd {

void CSettingDlg::ForgetAccount() {
  if (CKSConfig::GetInstance()->ReadRemPass(true) == "false" && m_pUIData != nullptr) {
    m_loginInfo.account[0] = '\0';
    m_pUIData->Logout();
  }
}

void CSettingDlg::StopTimersForClosing() {
  m_nConnectTimer.Kill();
  m_nServiceTimer.Kill();
  std::lock_guard<std::recursive_mutex> hold(m_csTimers.lock);
  m_csTimers.closing = true;
}

bool CSettingDlg::closing() {
  std::lock_guard<std::recursive_mutex> hold(m_csTimers.lock);
  return m_csTimers.closing;
}

void CSettingDlg::OnClose() {
  KS_DESKTOP_LOG("CSettingDlg::OnClose", "OnClose is invoked.");
  hide();
  // Kept literally: a backslash and an n.
  CKSUtil::AppendLog("OnClose\\n");
  ForgetAccount();
  StopTimersForClosing();
  _StopService();
  EndDialog(ks::skin::IDCANCEL);
}

void CSettingDlg::OnTrayMenuExit() {
  hide();
  ForgetAccount();
  StopTimersForClosing();
  _StopService();
  EndDialog(ks::skin::IDCANCEL);
}

bool CSettingDlg::OnQueryEndSession() {
  hide();
  ForgetAccount();
  StopTimersForClosing();
  return true;
}

void CSettingDlg::OnDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  if (m_pLanguages != nullptr) m_pLanguages->UnregisterCallBack(this);
  // No agent event may reach a window that is going away.
  if (m_pUIData != nullptr) m_pUIData->ClearCallBack();
  m_menuTray.clear();
  m_menuTrayLogin.clear();
  ClearShareFolderEdits();
  if (m_pLoginDlg != nullptr) {
    m_pLoginDlg->m_pCallback = nullptr;
    delete m_pLoginDlg;
    m_pLoginDlg = nullptr;
  }
}

void CSettingDlg::closeEvent(QCloseEvent* e) {
  // The window manager's close quits the program; the caption's close button only hides
  // the window (0x603), which the base handles.
  e->ignore();
  if (!destroyed_ && InModalLoop()) OnClose();
}

}  // namespace ks::mainwnd
