#include "desktop/app/pages/setting_pages.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QTreeWidgetItem>
#include <QWidget>

#include <cstring>

#include "desktop/app/dialogs/folder_picker.h"
#include "desktop/app/dialogs/share_list.h"
#include "desktop/app/dialogs/share_list_view.h"
#include "desktop/foundation/agentlink/ui_data.h"
#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/diy_message_box.h"
#include "desktop/foundation/skin/diy_static_button.h"
#include "desktop/foundation/skin/list_ctrl.h"
#include "desktop/foundation/ui/draw_text.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "desktop/foundation/util/ks_util.h"
#include "desktop/foundation/web/web.h"
#include "platform/elevation.h"
#include "platform/registry.h"

namespace ks::pages {

using ks::dialogs::ShareListView;

const std::vector<int>& PageControls(Page page) {
  static const std::vector<int> kShare{ids::kShareList, ids::kDelete, ids::kAdd};
  static const std::vector<int> kSetting{ids::kSection1,   ids::kSection2,   ids::kSection3,  ids::kAutoStart,
                                         ids::kLanguageLabel, ids::kLanguage, ids::kDataLabel, ids::kDataFolder,
                                         ids::kMoveFolder, ids::kPhotoLabel, ids::kPhotoSorting};
  static const std::vector<int> kTrans{ids::kTransList};
  static const std::vector<int> kAccount{ids::kAccountLabel, ids::kChangePassword, ids::kSwitchAccount,
                                         ids::kWakeButton, ids::kWakeLabel};
  static const std::vector<int> kNone;
  switch (page) {
    case Page::kShare:
      return kShare;
    case Page::kSetting:
      return kSetting;
    case Page::kTrans:
      return kTrans;
    case Page::kAccount:
      return kAccount;
    case Page::kSync:
      break;
  }
  return kNone;
}

int PageButtonId(Page page) {
  switch (page) {
    case Page::kAccount:
      return ids::kAccountPage;
    case Page::kShare:
      return ids::kSharePage;
    case Page::kTrans:
      return ids::kTransPage;
    case Page::kSetting:
      return ids::kSettingPage;
    case Page::kSync:
      break;
  }
  return ids::kSyncPage;
}

// ---- ChangePasswordLink ----

ChangePasswordLink::ChangePasswordLink(QWidget* parent) : QAbstractButton(parent) {
  setCursor(Qt::PointingHandCursor);
  setAttribute(Qt::WA_NoSystemBackground);
}

void ChangePasswordLink::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(ks::ui::CreateLanguageFont("FONT_LOGIN_REGISTER", true));
  painter.setPen(QColor::fromRgb(kTextColour));
  painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                   ks::ui::LangText("UI", "SETTING_LINK_CHANGEPASSWORD"));
}

void CenterWindow(QWidget* window) {
  if (window == nullptr) return;
  QRect area;
  if (QWidget* parent = window->parentWidget()) {
    area = parent->window()->frameGeometry();
  } else if (QScreen* screen = window->screen()) {
    area = screen->availableGeometry();
  } else {
    return;
  }
  QRect frame = window->frameGeometry();
  frame.moveCenter(area.center());
  window->move(frame.topLeft());
}

void DelayedCenterProc(QWidget* window) {
  QPointer<QWidget> target(window);
  QTimer::singleShot(2000, window, [target] { CenterWindow(target); });
}

// ---- PagesHost defaults ----

int PagesHost::ShowBox(const std::string& key, unsigned type) { return ks::skin::ShowDiyMessageBoxByKey(key, type); }

std::optional<std::string> PagesHost::PickFolder(QWidget* parent) {
  const auto picked = ks::dialogs::PickFolder(parent, ks::ui::LangText("OTHER", "OTHER_SELECTFLODER"));
  if (!picked) return std::nullopt;
  return picked->toStdString();
}

void PagesHost::Open(const std::string& target) { ks::platform::ShellOpen(target); }

std::optional<bool> PagesHost::ReadRunValue() {
  using namespace ks::platform;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, KEY_ALL_ACCESS,
                   &key) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  char value[260] = {};
  uint32_t size = sizeof value;
  uint32_t type = 0;
  const bool present = RegQueryValueEx(key, "Kestyl", nullptr, &type, reinterpret_cast<uint8_t*>(value), &size) ==
                       ERROR_SUCCESS;
  RegCloseKey(key);
  return present;
}

void PagesHost::ApplyAutoStart(bool) {}

void PagesHost::SelectLanguage(int index) {
  ks::desktop::ILanguages* languages = ks::desktop::CLanguages::GetInstance();
  if (languages == nullptr) return;
  languages->LoadLanguage(index);
  const int now = languages->GetCurrentLanguage();
  languages->Release();
  if (CKSConfig* config = CKSConfig::GetInstance()) config->WriteLanguage(std::to_string(now), true);
}

int PagesHost::CurrentLanguage() { return ks::ui::CurrentLanguage(); }

void PagesHost::HideWindow(QWidget* window) {
  if (window) window->hide();
}

void PagesHost::SetBackground(QWidget* window, unsigned pngId) {
  if (auto* dialog = qobject_cast<ks::skin::CDiyDialog*>(window)) {
    if (dialog->m_nBkImageID != pngId) {
      dialog->m_nBkImageID = pngId;
      dialog->update();
    }
  }
}

// ---- SettingPages ----

SettingPages::SettingPages(QWidget* window, ks::desktop::IUIData* uiData, PagesHost* host)
    : QObject(window), window_(window), uiData_(uiData), host_(host) {
  if (uiData_) uiData_->AddRef();
}

SettingPages::~SettingPages() {
  // A move still running keeps using the link: wait for it before the reference goes.
  if (moveWorker_.joinable()) moveWorker_.join();
  if (uiData_) uiData_->Release();
}

template <class T>
T* SettingPages::Control(int id) const {
  if (!window_) return nullptr;
  for (QWidget* child : window_->findChildren<QWidget*>()) {
    if (ks::ui::ControlId(child) != id) continue;
    // Controls of a child page (the sync page reuses ids 1074, 1135 and 1155) are not ours.
    bool nested = false;
    for (QWidget* up = child->parentWidget(); up && up != window_; up = up->parentWidget())
      if (ks::ui::ControlId(up) >= 0) nested = true;
    if (!nested) return qobject_cast<T*>(child);
  }
  return nullptr;
}

namespace {

void SetControlText(QWidget* control, const QString& text) {
  if (control == nullptr) return;
  if (auto* button = qobject_cast<ks::skin::CColorButton*>(control)) {
    button->SetCaption(text);
  } else {
    control->setProperty("text", text);
  }
  ks::ui::TraceText(control, text);
}

}  // namespace

void SettingPages::InvalidatePageArea() {
  if (!window_) return;
  const int bottom = window_->height() - 62;
  window_->update(QRect(0, 189, window_->width(), bottom - 189));
}

std::optional<Page> SettingPages::SelectedPage() const { return selected_; }

void SettingPages::SetShown(Page page) {
  if (!window_) return;
  host_->SetBackground(window_, kPageBackgroundPng);
  selected_ = page;
  for (Page other : {Page::kAccount, Page::kShare, Page::kTrans, Page::kSetting, Page::kSync}) {
    if (QWidget* button = Control<QWidget>(PageButtonId(other))) {
      button->setProperty(kSelectedProperty, other == page);
      button->update();
    }
  }
  // Hide the other pages first, so that no control of two pages is ever shown together.
  for (Page other : {Page::kAccount, Page::kShare, Page::kTrans, Page::kSetting}) {
    if (other == page) continue;
    for (int id : PageControls(other))
      if (QWidget* control = Control<QWidget>(id)) control->hide();
  }
  for (int id : PageControls(page))
    if (QWidget* control = Control<QWidget>(id)) control->show();
  if (m_pSyncDlg) m_pSyncDlg->setVisible(page == Page::kSync);
}

void SettingPages::SwitchPage(Page page) {
  SetShown(page);
  if (page != Page::kSync) InvalidatePageArea();
}

void SettingPages::OnBnClickedShareButton() {
  if (SelectedPage() == Page::kShare) return;
  SwitchPage(Page::kShare);
}

void SettingPages::OnBnClickedTransButton() {
  if (SelectedPage() == Page::kTrans) return;
  SwitchPage(Page::kTrans);
  if (auto* list = Control<ks::skin::CKSListCtrl>(ids::kTransList)) {
    while (list->topLevelItemCount() > 0) list->DeleteItem(list->topLevelItemCount() - 1);
  }
  if (uiData_) uiData_->GetTransLog();
}

void SettingPages::OnBnClickedAccountButton() {
  if (m_bSwitchFromAccountPage && SelectedPage() == Page::kAccount) return;
  SetShown(Page::kAccount);
  ShowAccountPage();
  m_bSwitchFromAccountPage = true;
}

void SettingPages::LoadSettingValues() {
  // The start-with-session box shows the pending choice: the Run value, inverted while a
  // toggle waits for OK.
  if (const std::optional<bool> present = host_->ReadRunValue()) {
    m_bAutoStartCheck = *present;
    if (m_bAutoStart == 1) m_bAutoStartCheck = !m_bAutoStartCheck;
    if (auto* box = Control<QAbstractButton>(ids::kAutoStart)) {
      box->setCheckable(true);
      box->setChecked(m_bAutoStartCheck);
    }
  }
  int tiding = 0;
  if (uiData_ && uiData_->GetAutoTiding(&tiding) != 0) tiding = 0;
  bool photo = tiding != 0;
  if (m_bPhotoSorting) photo = !photo;
  if (auto* box = Control<QAbstractButton>(ids::kPhotoSorting)) {
    box->setCheckable(true);
    box->setChecked(photo);
  }
}

void SettingPages::ShowDataFolderEdit(const std::string& text) {
  if (auto* edit = Control<QLineEdit>(ids::kDataFolder)) {
    const QString value = QString::fromStdString(text);
    edit->setText(value);
    ks::ui::TraceText(edit, value);
  }
}

void SettingPages::OnBnClickedSettingButton() {
  LoadSettingValues();
  if (SelectedPage() == Page::kSetting) return;
  SetShown(Page::kSetting);
  if (auto* edit = Control<QLineEdit>(ids::kDataFolder)) {
    edit->setGeometry(31, 350, 164, 15);
    edit->show();
  }
  if (auto* combo = Control<QComboBox>(ids::kLanguage)) {
    const int language = host_->CurrentLanguage();
    combo->blockSignals(true);
    combo->setCurrentIndex(language >= 0 && language < combo->count() ? language : -1);
    combo->blockSignals(false);
  }
  ShowDataFolderEdit(CanonicalFolderText(m_strDataFolder));
  InvalidatePageArea();
}

void SettingPages::OnBnClickedSyncButton() { SetShown(Page::kSync); }

bool SettingPages::ReopenSelectedPage() {
  if (!selected_) return false;
  switch (*selected_) {
    case Page::kSetting:
      OnBnClickedSettingButton();
      break;
    case Page::kShare:
      OnBnClickedShareButton();
      break;
    case Page::kAccount:
      OnBnClickedAccountButton();
      break;
    case Page::kSync:
      OnBnClickedSyncButton();
      break;
    case Page::kTrans:
      OnBnClickedTransButton();
      break;
  }
  return true;
}

// ---- share page ----

void SettingPages::OnBnClickedAddButton() {
  auto* list = Control<ks::skin::CKSListCtrl>(ids::kShareList);
  const std::optional<std::string> picked = host_->PickFolder(window_);
  if (picked && !picked->empty() && list) {
    if (IsRootPath(*picked)) {
      host_->ShowBox("MSGBOX_SHAREROOTPATH", 0);
    } else {
      ShareListView rows(list);
      const int result = ks::dialogs::AddFolderToList(rows, *picked, -1);
      if (result == ks::dialogs::kShareDuplicate) {
        host_->ShowBox("MSGBOX_SHARESAMEFOLDER", 0);
      } else if (result == ks::dialogs::kShareAdded) {
        m_listShareFolders.push_back({ShareChange::kAdded, *picked, -1});
      }
    }
  }
  if (auto* add = Control<QWidget>(ids::kAdd)) add->update();
}

void SettingPages::OnBnClickedDeleteButton() {
  auto* list = Control<ks::skin::CKSListCtrl>(ids::kShareList);
  if (!list) return;
  std::vector<ShareRow> rows;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* item = list->topLevelItem(i);
    rows.push_back({item->text(1).toStdString(), item->isSelected()});
  }
  ShareListView view(list);
  for (const ShareChange& change : DeleteSelectedRows(rows, m_strDataFolder)) {
    if (ks::dialogs::RemoveFolderFromList(view, change.path) == 1) m_listShareFolders.push_back(change);
  }
}

void SettingPages::OnNMRClickShareList() {
  auto* list = Control<ks::skin::CKSListCtrl>(ids::kShareList);
  auto* del = Control<QWidget>(ids::kDelete);
  if (list && del && list->topLevelItemCount() == 0 && del->isEnabled()) {
    del->setEnabled(false);
    del->repaint();
  }
}

void SettingPages::OnNMClickShareList() {
  auto* list = Control<ks::skin::CKSListCtrl>(ids::kShareList);
  auto* del = Control<QWidget>(ids::kDelete);
  if (!list || !del) return;
  const bool any = !list->selectedItems().isEmpty();
  if (!any && del->isEnabled()) {
    del->setEnabled(false);
    del->repaint();
  } else if (any) {
    del->setEnabled(true);
    del->repaint();
  }
}

void SettingPages::OnNMDblclkShareList(int row) {
  auto* list = Control<ks::skin::CKSListCtrl>(ids::kShareList);
  if (!list) return;
  const QTreeWidgetItem* item = list->topLevelItem(row);
  if (!item) return;
  std::string path = item->text(1).toStdString();
  if (path.empty()) return;
  if (path.back() != '/') path += '/';
  host_->Open(path);
}

void SettingPages::OnAddShareFolder(const std::string& folder) {
  if (auto* list = Control<ks::skin::CKSListCtrl>(ids::kShareList)) {
    ShareListView rows(list);
    ks::dialogs::AddFolderToList(rows, folder, -1);
  }
}

void SettingPages::ApplySettings() {
  if (auto* box = Control<QAbstractButton>(ids::kAutoStart)) m_bAutoStartCheck = box->isChecked();
  const ShareLists lists = FoldShareChanges(m_listShareFolders);
  if (!lists.empty() && uiData_) uiData_->UpdateShares(lists.add, lists.remove);
  ClearShareFolderEdits();
  if (m_bAutoStart) {
    host_->ApplyAutoStart(m_bAutoStartCheck);
    m_bAutoStart = 0;
  }
}

void SettingPages::OnBnClickedOkButton() {
  ApplySettings();
  host_->HideWindow(window_);
  if (uiData_) {
    auto* box = Control<QAbstractButton>(ids::kPhotoSorting);
    uiData_->SetAutoTiding(box && box->isChecked());
  }
  m_bPhotoSorting = 0;
}

void SettingPages::OnBnClickedCancelButton() {
  m_bAutoStart = 0;
  m_bPhotoSorting = 0;
  // Undo from the last edit to the first, so the list ends as it was before the first one
  // (and matches what the agent still has).
  if (auto* list = Control<ks::skin::CKSListCtrl>(ids::kShareList)) {
    ShareListView rows(list);
    for (const ShareUndoStep& step : UndoShareChanges(m_listShareFolders)) {
      if (step.addBack)
        ks::dialogs::AddFolderToList(rows, step.path, -1);
      else
        ks::dialogs::RemoveFolderFromList(rows, step.path);
    }
  }
  ClearShareFolderEdits();
  host_->HideWindow(window_);
}

// ---- settings page ----

void SettingPages::OnCbnSelchangeLanguageCombo() {
  auto* combo = Control<QComboBox>(ids::kLanguage);
  const int index = combo ? combo->currentIndex() : -1;
  if (index >= 0) host_->SelectLanguage(index);
  if (window_) window_->repaint();
  if (!m_strDataFolder.empty() && uiData_) uiData_->SetupDataFolder();
}

// ---- account page ----

void SettingPages::ShowAccountPage() {
  ks::desktop::LoginInfo info{};
  if (uiData_) uiData_->GetLogOnInfo(&info);
  info.account[sizeof info.account - 1] = '\0';
  const std::string account = info.account;
  const bool loggedIn = account.size() > 1 && CKSUtil::IsValidEmail(account.c_str());

  QString label = ks::ui::LangText("UI", "SETTING_STATIC_ACCOUNT");
  label += loggedIn ? QString::fromStdString(account) : ks::ui::LangText("UI", "SETTING_STATIC_NOTLOGGEDIN");
  SetControlText(Control<QWidget>(ids::kAccountLabel), label);

  SetControlText(Control<QWidget>(ids::kSwitchAccount),
                 ks::ui::LangText("UI", loggedIn ? "SETTING_BUTTON_SWITCH_ACCOUNT" : "SETTING_BUTTON_LOGIN"));
  changePasswordAddress_ =
      loggedIn ? ks::desktop::web::PageUrl(std::string(ks::desktop::web::kChangePasswordPage) +
                                           CKSUtil::UrlEncode(account))
               : std::string();
  if (auto* link = Control<QWidget>(ids::kChangePassword)) {
    if (loggedIn) {
      if (auto* passwordLink = qobject_cast<ChangePasswordLink*>(link)) passwordLink->SetAddress(changePasswordAddress_);
      link->resize(host_->CurrentLanguage() == 1 ? QSize(100, 14) : QSize(60, 14));
      link->show();
    } else {
      link->hide();
    }
  }
  InvalidatePageArea();
}

void SettingPages::OnChangePasswordLinkClicked() {
  if (!changePasswordAddress_.empty()) host_->Open(changePasswordAddress_);
}

// ---- transfer page ----

void SettingPages::AddTransferItem(int operation, const std::string& path, const QString& sizeText,
                                   const QString& timeText) {
  if (path.empty()) return;
  auto* list = Control<ks::skin::CKSListCtrl>(ids::kTransList);
  if (!list) return;
  const int image = TransferImageIndex(operation);
  const int row = list->InsertItem(0, QStringList{QString::fromStdString(TransferItemName(path)), sizeText, timeText});
  if (QTreeWidgetItem* item = list->topLevelItem(row)) {
    static const unsigned kImages[3] = {297, 296, 408};
    item->setData(0, Qt::UserRole, image);
    const QImage picture = ks::ui::LoadImageFromResource(kImages[image], QStringLiteral("BMP"));
    if (!picture.isNull()) item->setIcon(0, QIcon(QPixmap::fromImage(picture)));
  }
}

// ---- data folder ----

void SettingPages::SetDataFolder(const std::string& folder) {
  auto* list = Control<ks::skin::CKSListCtrl>(ids::kShareList);
  if (!m_strDataFolder.empty() && list) {
    ShareListView rows(list);
    ks::dialogs::RemoveFolderFromList(rows, m_strDataFolder);
  }
  m_strDataFolder = CanonicalFolderText(folder);
  m_strDefaultFolders = BuildDefaultFolderPaths(m_strDataFolder);
  CreateCategoryFolders(m_strDefaultFolders);
}

void SettingPages::LoadAfterLogin() {
  if (!uiData_) return;
  std::string root;
  uiData_->GetDefShare(&root, true);
  if (!root.empty()) SetDataFolder(root);
  uiData_->GetShare();
  uiData_->GetTransLog();
}

void SettingPages::OnTrayMenuOpenFolder() {
  if (m_strDataFolder.empty()) return;
  std::string target = m_strDataFolder;
  if (target.back() != '/') target += '/';
  host_->Open(target);
}

void SettingPages::OnBnClickedMoveFolderButton() {
  if (m_bMovingFolder) return;
  m_bMovingFolder = true;
  auto finish = [this] {
    m_bMovingFolder = false;
    if (auto* button = Control<QWidget>(ids::kMoveFolder)) button->update();
  };

  const std::optional<std::string> picked = host_->PickFolder(window_);
  if (!picked || picked->empty()) return finish();
  const std::string target = MoveTargetFor(*picked);
  const MoveCheck check = CheckMoveTarget(target, m_strDataFolder);
  if (check != MoveCheck::kOk) {
    host_->ShowBox(MoveCheckMessageKey(check), 0);
    return finish();
  }
  if (host_->ShowBox("MSGBOX_MOVEFOLDER_NOTICE", 4) != ks::skin::IDOK) return finish();
  if (!uiData_) {
    ShowDataFolderEdit(CanonicalFolderText(m_strDataFolder));
    return finish();
  }

  // The link copies the whole data folder: keep the window responsive meanwhile. The flag
  // stays set until the result has been reported on this thread.
  if (moveWorker_.joinable()) moveWorker_.join();
  ks::desktop::IUIData* link = uiData_;
  QPointer<SettingPages> self(this);
  moveWorker_ = std::thread([link, target, self] {
    const int result = link->SetDefShare(target);
    QMetaObject::invokeMethod(
        self.data(),
        [self, target, result] {
          if (self) self->FinishMove(target, result);
        },
        Qt::QueuedConnection);
  });
}

void SettingPages::FinishMove(const std::string& target, int result) {
  const MoveOutcome outcome = InterpretMoveResult(result);
  if (outcome.messageKey) host_->ShowBox(outcome.messageKey, 0);
  if (outcome.success) {
    if (auto* list = Control<ks::skin::CKSListCtrl>(ids::kShareList)) {
      ShareListView rows(list);
      ks::dialogs::RemoveFolderFromList(rows, m_strDataFolder);
      m_strDataFolder = CanonicalFolderText(target);
      if (uiData_ && !m_strDataFolder.empty()) uiData_->SetupDataFolder();
      ks::dialogs::AddFolderToList(rows, m_strDataFolder, -1);
    } else {
      m_strDataFolder = CanonicalFolderText(target);
      if (uiData_ && !m_strDataFolder.empty()) uiData_->SetupDataFolder();
    }
  }
  ShowDataFolderEdit(CanonicalFolderText(m_strDataFolder));
  m_bMovingFolder = false;
  if (auto* button = Control<QWidget>(ids::kMoveFolder)) button->update();
  emit moveFinished(outcome.success);
}

}  // namespace ks::pages
