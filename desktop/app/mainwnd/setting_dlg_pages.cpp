// The pages of the main window: the controls of layout 129, page switching, the share and
// settings pages, tray clicks and tray commands, the account page, moving the data folder,
// transfer rows and the set-up after the first log-in.
#include "desktop/app/mainwnd/setting_dlg.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QLineEdit>

namespace ks::mainwnd {

void CSettingDlg::CreateControls() {
  const std::pair<QWidget*, int> controls[] = {
      {&m_listShare, kIdShareList},          {&m_listTrans, kIdTransList},
      {&m_btnOk, kIdOkButton},               {&m_btnCancel, kIdCancelButton},
      {&m_btnAdd, kIdAddButton},             {&m_btnDelete, kIdDeleteButton},
      {&m_btnAutoStart, kIdAutoStartCheck},  {&m_btnWakeup, kIdWakeupButton},
      {&m_btnPhotoSorting, kIdPhotoSortingCheck}, {&m_btnMoveFolder, kIdMoveFolderButton},
      {&m_btnSwitchAccount, kIdSwitchAccountButton}, {&m_staticPhotoSorting, kIdPhotoSortingLabel},
      {&m_static1051, kIdStatic1051},        {&m_static1054, kIdStatic1054},
      {&m_static1078, kIdStatic1078},        {&m_static1079, kIdStatic1079},
      {&m_static1084, kIdStatic1084},        {&m_static1137, kIdStatic1137},
      {&m_static1167, kIdStatic1167},        {&m_comboLanguage, kIdLanguageCombo},
  };
  for (const auto& [widget, id] : controls) {
    ks::ui::SetControlId(widget, id);
    widget->hide();
  }
  m_editDataFolder = new QLineEdit(this);
  m_editDataFolder->setReadOnly(true);
  ks::ui::SetControlId(m_editDataFolder, kIdDataFolderEdit);
  m_editDataFolder->hide();
  m_linkChangePassword = new ks::login::CLinkLabel(this);
  ks::ui::SetControlId(m_linkChangePassword, kIdChangePasswordLink);
  m_linkChangePassword->hide();
}

void CSettingDlg::CreateSyncPage() {}

LRESULT CSettingDlg::OnSystemTray(WPARAM, LPARAM lParam) {
  if (lParam == kWmLButtonDown && !m_bStartupBusy) {
    show();
    raise();
    activateWindow();
  }
  return 0;
}

void CSettingDlg::OnTrayMenuChangeAccount() {}
void CSettingDlg::OnTrayMenuLogin() {}
void CSettingDlg::OnTrayMenuSetting() {}
void CSettingDlg::OnTrayMenuUpdate() {}
void CSettingDlg::OnTrayMenuOpenFolder() {}
void CSettingDlg::OnTrayMenuAbout() {}
void CSettingDlg::OnTrayMenuDownload() {}
void CSettingDlg::OnTrayMenuHelp() {}
void CSettingDlg::OnTrayMenuFeedback() {}
void CSettingDlg::OnTrayMenuAp() {}
void CSettingDlg::OnNMRClickShareList(int) {}
void CSettingDlg::OnNMClickShareList() {}
void CSettingDlg::OnNMDblclkShareList(int) {}
void CSettingDlg::OnBnClickedDeleteButton() {}
void CSettingDlg::OnBnClickedAddButton() {}
void CSettingDlg::OnBnClickedOkButton() {}
void CSettingDlg::OnBnClickedCancelButton() {}
void CSettingDlg::OnBnClickedShareButton() {}
void CSettingDlg::OnBnClickedSettingButton() {}
void CSettingDlg::OnBnClickedTransButton() {}
void CSettingDlg::OnBnClickedAccountButton() {}
void CSettingDlg::OnBnClickedSyncButton() {}
void CSettingDlg::OnBnClickedMoveFolderButton() {}
void CSettingDlg::OnBnClickedAutoStartCheck() { m_bAutoStart = m_bAutoStart == 1 ? 0 : 1; }
void CSettingDlg::OnCbnSelchangeLanguageCombo() {}
void CSettingDlg::OnNMThemeChangedLanguageCombo() {}
void CSettingDlg::OnBnClickedSwitchAccountButton() {}
void CSettingDlg::OnBnClickedPhotoSortingCheck() {}

void CSettingDlg::OnSysCommand(unsigned nID) {
  // Minimising hides the window: it stays reachable from the tray.
  if (nID == kScMinimize) hide();
}

void CSettingDlg::ApplySettings() {}

void CSettingDlg::ClearShareFolderEdits() {
  for (auto* change : m_listShareFolders) delete change;
  m_listShareFolders.clear();
}

void CSettingDlg::ShowAccountPage() {}
void CSettingDlg::MoveDataFolder() {}
void CSettingDlg::SetDataFolder() {}
void CSettingDlg::RunPostLoginSetup() {}
void CSettingDlg::AddTransferItem(const ks::desktop::TransferLogItem&) {}
void CSettingDlg::DrawChangePasswordLink() {}

}  // namespace ks::mainwnd
