// The pages of the main window: the controls of layout 129, page switching, the share and
// settings pages, tray clicks and tray commands, the account page, moving the data folder,
// transfer rows and the set-up after the first log-in.
//
// The pages' handlers are ks::pages::SettingPages over this window's controls; the handlers
// here hand over to it and copy back (MirrorPageState) the state other areas of the window
// read: the data folder, the pending start-with-session and photo-sorting toggles.
#include "desktop/app/login/about_dlg.h"
#include "desktop/app/login/switch_account_dlg.h"
#include "desktop/app/mainwnd/setting_dlg.h"
#include "desktop/app/connect/ap_dlg.h"
#include "desktop/app/pages/sync_dlg.h"
#include "desktop/app/pages/tray_actions.h"
#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "desktop/foundation/util/ks_util.h"

#include <QCursor>
#include <QLineEdit>

#include <cstring>

namespace ks::mainwnd {

namespace {

bool PagesDebugOn() { return CKSConfig::GetInstance()->ReadDebugOn() == "true"; }

// The window's side of the pages: its language tables, its start-with-session step and its
// change-account command.
class WindowPagesHost : public ks::pages::PagesHost {
 public:
  explicit WindowPagesHost(CSettingDlg* dlg) : dlg_(dlg) {}

  void ApplyAutoStart(bool checked) override {
    dlg_->m_bAutoStartCheck = checked ? 1 : 0;
    dlg_->m_bAutoStart = 1;
    dlg_->SetAutoStart();
    dlg_->m_bAutoStart = 0;
  }
  void SelectLanguage(int index) override {
    if (dlg_->m_pLanguages == nullptr) return;
    dlg_->m_pLanguages->LoadLanguage(index);
    CKSConfig::GetInstance()->WriteLanguage(CKSUtil::IntToString(dlg_->m_pLanguages->GetCurrentLanguage()), true);
  }
  int CurrentLanguage() override {
    return dlg_->m_pLanguages != nullptr ? dlg_->m_pLanguages->GetCurrentLanguage() : ks::ui::CurrentLanguage();
  }
  void ChangeAccount() override { dlg_->OnTrayMenuChangeAccount(); }

 private:
  CSettingDlg* dlg_;
};

}  // namespace

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
  m_listShare.setSelectionMode(QAbstractItemView::ExtendedSelection);
  m_editDataFolder = new QLineEdit(this);
  m_editDataFolder->setReadOnly(true);
  ks::ui::SetControlId(m_editDataFolder, kIdDataFolderEdit);
  m_editDataFolder->hide();
  m_linkChangePassword = new ks::login::CLinkLabel(this);
  ks::ui::SetControlId(m_linkChangePassword, kIdChangePasswordLink);
  m_linkChangePassword->hide();

  m_pagesHost = std::make_unique<WindowPagesHost>(this);
  m_pages = std::make_unique<ks::pages::SettingPages>(this, m_pUIData, m_pagesHost.get());
  connect(m_pages.get(), &ks::pages::SettingPages::moveFinished, this, [this] { MirrorPageState(); });
}

void CSettingDlg::MirrorPageState() {
  if (!m_pages) return;
  m_strDataFolder = QString::fromStdString(m_pages->DataFolder());
  const auto& folders = m_pages->DefaultFolders();
  for (size_t i = 0; i < folders.size(); ++i) m_strDefaultFolders[i] = QString::fromStdString(folders[i]);
  m_bAutoStart = m_pages->PendingAutoStart();
  m_bPhotoSorting = m_pages->PendingPhotoSorting();
  m_bMovingFolder = m_pages->IsMovingFolder();
  if (m_editDataFolder != nullptr) m_strDataFolderEdit = m_editDataFolder->text();
}

void CSettingDlg::CreateSyncPage() {
  auto* page = new ks::pages::CSyncDlg(m_pUIData, this);
  page->move(5, m_nCaptionHeight + 148);
  page->show();
  m_pSyncDlg = page;
  if (m_pages) m_pages->SetSyncPage(page);
}

void CSettingDlg::RefreshLoginDlg() {
  if (m_pLoginDlg == nullptr) return;
  m_pLoginDlg->OnEnKillfocusPasswordEdit();
  m_pLoginDlg->OnEnKillfocusEmailEdit();
  m_pLoginDlg->OnEnSetfocusPasswordEdit();
}

LRESULT CSettingDlg::OnSystemTray(WPARAM, LPARAM lParam) {
  ks::pages::TrayState state;
  state.balloonCountdown = g_nBalloonLinkCountdown;
  // Requests wait in the connection flow, which shows them one at a time.
  state.hasConnectRequests = ConnectRequestsWaiting();
  state.startupBusy = m_bStartupBusy;
  state.loginStatus = m_iLoginStatus;
  state.loggedOut = m_bLoggedOut;

  switch (ks::pages::TrayActionFor(static_cast<unsigned>(lParam), state)) {
    case ks::pages::TrayAction::kOpenHomePage:
      g_nBalloonLinkCountdown = 0;
      CKSUtil::OpenUrl(ks::pages::TrayCommandAddress(0), false);
      break;
    case ks::pages::TrayAction::kShowConnectRequest:
      // The oldest waiting request goes to the connection dialog; one on show keeps its place.
      ShowConnectDlg();
      if (!ConnectRequestsWaiting()) {
        m_iMobileStatic = 1;
        UpdateTrayFlash();
      }
      break;
    case ks::pages::TrayAction::kOpenDataFolder:
      OnTrayMenuOpenFolder();
      break;
    case ks::pages::TrayAction::kShowLoginDialog:
      if (PagesDebugOn())
        KS_DESKTOP_LOG("CSettingDlg::OnSystemTray",
                       "m_iLoginStatus!=LOGIN_STATUS_ONLINE && !=LOGING_STATUS_LOGING, display m_pLoginDlg");
      RefreshLoginDlg();
      if (m_pLoginDlg != nullptr) {
        m_pLoginDlg->show();
        m_pLoginDlg->raise();
        m_pLoginDlg->activateWindow();
      }
      break;
    case ks::pages::TrayAction::kShowMenu: {
      BuildTrayMenu();
      activateWindow();
      ks::skin::CDiyMenu& menu = ks::pages::TrayMenuFor(state) == 139 ? m_menuTray : m_menuTrayLogin;
      menu.popup(QCursor::pos());
      break;
    }
    case ks::pages::TrayAction::kNothing:
      break;
  }
  return 0;
}

void CSettingDlg::OnTrayMenuChangeAccount() {
  m_bSwitchFromAccountPage = false;
  if (m_pages) m_pages->ForgetAccountPage();
  if (m_btnSwitchAccount.GetCaption() != ks::ui::LangText("UI", "SETTING_BUTTON_LOGIN")) {
    ks::login::CSwitchAccountDlg dialog(this);
    if (dialog.DoModal() != ks::skin::IDOK) {
      m_btnSwitchAccount.update();
      return;
    }
    CKSConfig::GetInstance()->WriteRemPass("false", true);
    if (m_pUIData != nullptr) {
      std::memset(m_loginInfo.account, 0, sizeof m_loginInfo.account);
      m_pUIData->Logout();
    }
  }
  m_bLoggedOut = true;
  m_bLoginSetupDone = false;
  m_IsLoging = 0;
  _SetTrayIcon(0);
  while (m_listShare.topLevelItemCount() > 0) m_listShare.DeleteItem(m_listShare.topLevelItemCount() - 1);
  hide();
  RefreshLoginDlg();
  if (m_pLoginDlg != nullptr) m_pLoginDlg->show();
  m_btnSwitchAccount.update();
}

void CSettingDlg::OnTrayMenuLogin() {
  m_bSwitchFromAccountPage = false;
  if (m_pages) m_pages->ForgetAccountPage();
  RefreshLoginDlg();
  if (m_pLoginDlg != nullptr) m_pLoginDlg->show();
}

void CSettingDlg::OnTrayMenuSetting() {
  // While the owner is logging in, the settings command brings up the log-in dialog.
  if (m_pLoginDlg != nullptr && m_pLoginDlg->isVisible()) {
    m_pLoginDlg->show();
    return;
  }
  if (m_pages) m_pages->ReopenSelectedPage();
  show();
  raise();
  activateWindow();
}

void CSettingDlg::OnTrayMenuUpdate() {
  hide();
  if (!m_updateLogic) {
    m_updateLogic = std::make_unique<ks::desktop::update::CUpdateLogic>();
    m_updateLogic->SetCallback(this);
  }
  WireUpdateLogic();
  // A manual check also tells the owner when there is no newer version; while one runs the
  // owner is told so.
  StartManualUpdateCheck();
}

void CSettingDlg::OnTrayMenuOpenFolder() {
  if (m_pages) m_pages->OnTrayMenuOpenFolder();
}

void CSettingDlg::OnTrayMenuAbout() { ks::login::CAboutDlg::ShowOnce(nullptr); }

void CSettingDlg::OnTrayMenuDownload() {
  CKSUtil::OpenUrl(ks::pages::TrayCommandAddress(ks::pages::kCmdDownload), false);
}
void CSettingDlg::OnTrayMenuHelp() { CKSUtil::OpenUrl(ks::pages::TrayCommandAddress(ks::pages::kCmdHelp), false); }
void CSettingDlg::OnTrayMenuFeedback() {
  CKSUtil::OpenUrl(ks::pages::TrayCommandAddress(ks::pages::kCmdFeedback), false);
}

// The hosted-network dialog belongs to the mobile connection area.
// Made afresh on every request: the dialog reads the hosted network's state when it shows.
void CSettingDlg::OnTrayMenuAp() {
  if (m_pApDlg != nullptr) {
    m_pApDlg->hide();
    delete m_pApDlg;
    m_pApDlg = nullptr;
  }
  auto* ap = new ks::desktop::CApDlg(nullptr);
  m_pApDlg = ap;
  ap->show();
}

void CSettingDlg::OnNMRClickShareList(int) {
  if (m_pages) m_pages->OnNMRClickShareList();
}
void CSettingDlg::OnNMClickShareList() {
  if (m_pages) m_pages->OnNMClickShareList();
}
void CSettingDlg::OnNMDblclkShareList(int row) {
  if (m_pages) m_pages->OnNMDblclkShareList(row);
}
void CSettingDlg::OnBnClickedDeleteButton() {
  if (m_pages) m_pages->OnBnClickedDeleteButton();
}
void CSettingDlg::OnBnClickedAddButton() {
  if (m_pages) m_pages->OnBnClickedAddButton();
}
void CSettingDlg::OnBnClickedOkButton() {
  if (!m_pages) return;
  m_pages->OnBnClickedOkButton();
  MirrorPageState();
}
void CSettingDlg::OnBnClickedCancelButton() {
  if (!m_pages) return;
  m_pages->OnBnClickedCancelButton();
  MirrorPageState();
}
void CSettingDlg::OnBnClickedShareButton() {
  if (m_pages) m_pages->OnBnClickedShareButton();
}
void CSettingDlg::OnBnClickedSettingButton() {
  if (!m_pages) return;
  m_pages->OnBnClickedSettingButton();
  m_bAutoStartCheck = m_btnAutoStart.isChecked() ? 1 : 0;
  m_bPhotoSortingCheck = m_btnPhotoSorting.isChecked() ? 1 : 0;
  MirrorPageState();
}
void CSettingDlg::OnBnClickedTransButton() {
  if (m_pages) m_pages->OnBnClickedTransButton();
}
void CSettingDlg::OnBnClickedAccountButton() {
  if (!m_pages) return;
  m_pages->OnBnClickedAccountButton();
  DrawChangePasswordLink();
  m_linkChangePassword->m_url = QString::fromStdString(m_pages->ChangePasswordAddress());
  m_bSwitchFromAccountPage = true;
}
void CSettingDlg::OnBnClickedSyncButton() {
  if (m_pages) m_pages->OnBnClickedSyncButton();
}
void CSettingDlg::OnBnClickedMoveFolderButton() {
  if (!m_pages) return;
  m_pages->OnBnClickedMoveFolderButton();
  MirrorPageState();
}
void CSettingDlg::OnBnClickedAutoStartCheck() {
  if (!m_pages) return;
  m_pages->OnBnClickedAutoStartCheck();
  MirrorPageState();
}
void CSettingDlg::OnCbnSelchangeLanguageCombo() {
  if (m_pages) m_pages->OnCbnSelchangeLanguageCombo();
}
void CSettingDlg::OnNMThemeChangedLanguageCombo() {}
void CSettingDlg::OnBnClickedSwitchAccountButton() { OnTrayMenuChangeAccount(); }
void CSettingDlg::OnBnClickedPhotoSortingCheck() {
  if (!m_pages) return;
  m_pages->OnBnClickedPhotoSortingCheck();
  MirrorPageState();
}

void CSettingDlg::OnSysCommand(unsigned nID) {
  // Minimising hides the window: it stays reachable from the tray.
  if (nID == kScMinimize) hide();
}

void CSettingDlg::ApplySettings() {
  if (!m_pages) return;
  m_pages->ApplySettings();
  MirrorPageState();
}

void CSettingDlg::ClearShareFolderEdits() {
  for (auto* change : m_listShareFolders) delete change;
  m_listShareFolders.clear();
  if (m_pages) m_pages->ClearShareFolderEdits();
}

void CSettingDlg::ShowAccountPage() {
  if (!m_pages) return;
  m_pages->ShowAccountPage();
  DrawChangePasswordLink();
  m_linkChangePassword->m_url = QString::fromStdString(m_pages->ChangePasswordAddress());
}

void CSettingDlg::OnChangePasswordLinkClicked() {
  if (m_pages) m_pages->OnChangePasswordLinkClicked();
}

// The move runs in SettingPages (on its worker); this is the window's entry to it.
void CSettingDlg::MoveDataFolder() { OnBnClickedMoveFolderButton(); }

// Takes the agent's current data folder.
void CSettingDlg::SetDataFolder() {
  if (m_pUIData == nullptr) return;
  std::string root;
  m_pUIData->GetDefShare(&root, false);
  if (!root.empty()) SetDataFolder(root);
}

void CSettingDlg::SetDataFolder(const std::string& folder) {
  if (!m_pages) return;
  m_pages->SetDataFolder(folder);
  MirrorPageState();
}

void CSettingDlg::RunPostLoginSetup() {
  if (m_pUIData == nullptr || !m_pages) {
    hide();
    return;
  }
  m_bLoginSetupDone = true;
  m_pages->LoadAfterLogin();
  MirrorPageState();
  m_bLoggedOut = false;
  hide();
}

void CSettingDlg::AddTransferItem(const ks::desktop::TransferLogItem& item) {
  if (!m_pages) return;
  char name[sizeof item.fileName + 1] = {};
  std::memcpy(name, item.fileName, sizeof item.fileName);
  char time[sizeof item.time + 1] = {};
  std::memcpy(time, item.time, sizeof item.time);
  m_pages->AddTransferItem(item.type, name, QString::fromStdString(ks::pages::FormatFileSize(item.size)),
                           QString::fromUtf8(time));
}

void CSettingDlg::DrawChangePasswordLink() {
  if (m_linkChangePassword == nullptr) return;
  m_linkChangePassword->setFont(ks::ui::CreateLanguageFont("FONT_LOGIN_REGISTER", true));
  QPalette palette = m_linkChangePassword->palette();
  palette.setColor(QPalette::WindowText, QColor::fromRgb(ks::pages::ChangePasswordLink::kTextColour));
  m_linkChangePassword->setPalette(palette);
  m_linkChangePassword->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_linkChangePassword->setText(ks::ui::LangText("UI", "SETTING_LINK_CHANGEPASSWORD"));
}

}  // namespace ks::mainwnd
