// The update events of the main window, the notice after an update and the installer start
// at exit.
#include "desktop/app/mainwnd/setting_dlg.h"

#include "desktop/app/update/update_dlg.h"
#include "desktop/app/update/update_events.h"
#include "desktop/app/update/update_notice_dlg.h"

namespace ks::mainwnd {

// The update thread only posts; the work happens on the window's thread.
void CSettingDlg::OnUpdateReady() { ks::ui::PostMsg(this, kMsgUpdateReady); }
void CSettingDlg::OnNoUpdate() { ks::ui::PostMsg(this, kMsgNoUpdate); }
void CSettingDlg::OnUpdateAvailable() { ks::ui::PostMsg(this, kMsgUpdateAvailable); }
void CSettingDlg::OnDownloadFinish() { ks::ui::PostMsg(this, kMsgUpdateFinish); }

void CSettingDlg::WireUpdateLogic() {
  if (m_updateLogic) ks::update::ConnectUpdateLogic(*m_updateLogic, this, this, m_pUIData);
}

LRESULT CSettingDlg::OnMsgUpdateAvailable(WPARAM, LPARAM) {
  if (!m_updateLogic) return 0;
  WireUpdateLogic();  // the notice needs its presenter even when the window was set up otherwise
  m_updateLogic->ShowUpdateNotice();
  return 0;
}

LRESULT CSettingDlg::OnMsgNoUpdate(WPARAM, LPARAM) {
  ks::update::ShowNoUpdateBox();
  return 0;
}

LRESULT CSettingDlg::OnMsgUpdateReady(WPARAM, LPARAM) {
  m_bUpdateReady = true;
  OnTrayMenuExit();
  return 0;
}

LRESULT CSettingDlg::OnMsgUpdateFinish(WPARAM, LPARAM) {
  if (m_updateLogic) {
    ks::update::RecordUpdateFinish(*m_updateLogic);
  } else {
    ks::desktop::update::WriteKestylDword(ks::desktop::update::kUpdateFinishValue, 1);
  }
  return 0;
}

void CSettingDlg::ShowUpdateFinishedInfo() {
  // Run once from OnInitDialog, before the first automatic round asks for the transfer state.
  WireUpdateLogic();
  auto* dlg = new ks::update::CUpdateDlg(this);
  const bool shown = ks::update::ShowUpdateFinishedInfo(*dlg, m_updateLogic.get(), [this] {
    g_nBalloonLinkCountdown = 5;
    g_nCountdownTimer.Start(1000, [] {
      if (m_pSettingDlg != nullptr) m_pSettingDlg->CountdownTimerProc();
    });
  });
  if (!shown) {
    delete dlg;
    return;
  }
  if (m_updateDlg) m_updateDlg->deleteLater();
  m_updateDlg = dlg;
}

void CSettingDlg::CountdownTimerProc() {
  if (g_nBalloonLinkCountdown > 0) --g_nBalloonLinkCountdown;
  if (g_nBalloonLinkCountdown <= 0) {
    g_nBalloonLinkCountdown = 0;
    g_nCountdownTimer.Kill();
  }
}

void CSettingDlg::StartUpdateInstaller() {
  if (m_updateLogic) ks::update::StartInstallerAtExit(*m_updateLogic);
}

}  // namespace ks::mainwnd
