// The four pages of the main window drawn from its own controls (account, share, transfer,
// settings) plus the switching to the synchronisation page, with the handlers of their
// controls, the data folder the window shows and the moving of that folder.
//
// SettingPages works on the controls of a window it does not own: it finds each control by
// its control id (ks::ui::ControlId) among the window's descendants, so whoever builds the
// window (the main window, or a test) decides how the controls look. Expected types:
//   1012 share list, 1132 transfer list: ks::skin::CKSListCtrl (two and three columns)
//   1016 delete, 1017 add, 1055 move, 1135 switch account: QAbstractButton
//   1050 start with session, 1074 photo sorting: checkable QAbstractButton
//   1053 language: QComboBox;  1025 data folder: QLineEdit (read-only)
//   1137 account label: any widget with a "text" property;  1063: the change-password link
//     (any widget; a ChangePasswordLink also gets the address)
//   page buttons 1138 account, 1049 share, 1133 transfer, 1048 settings, 1163 sync: any
//     widget; the selected one carries the property "selected" = true (the others false).
//     Their Qt "checked" state is not used: a click would change it before the handler runs.
// A control that is missing is skipped. Controls inside another control that has an id (the
// sync page, id 103) belong to that control and are never taken for the window's own.
//
// Everything outside the pages (message boxes, the folder picker, opening folders and pages
// in the owner's browser, the start-with-session choice, the language tables, hiding the
// window) goes through PagesHost, whose defaults use the real system; tests override them.
//
// The data folder is kept in one spelling: no trailing "/" ("/" stays "/"). Its row in the
// share list is that path itself, and Delete never removes it.
//
// Moving the data folder: the agent link's move runs on a worker thread while the window
// stays responsive; the move button does nothing until the move has been reported.
//
// GUI thread only (the move's worker touches nothing but the agent link).
#pragma once

#include "desktop/app/pages/page_tables.h"

#include <QAbstractButton>
#include <QObject>
#include <QPointer>
#include <QString>

#include <array>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class QComboBox;
class QLineEdit;
class QWidget;

namespace ks::desktop {
class IUIData;
}
namespace ks::skin {
class CKSListCtrl;
}

namespace ks::pages {

// Control ids of the pages.
namespace ids {
inline constexpr int kShareList = 1012, kDelete = 1016, kAdd = 1017, kOk = 1020, kCancel = 1019;
inline constexpr int kTransList = 1132;
inline constexpr int kAutoStart = 1050, kLanguageLabel = 1051, kLanguage = 1053, kDataLabel = 1054;
inline constexpr int kDataFolder = 1025, kMoveFolder = 1055, kPhotoLabel = 1165, kPhotoSorting = 1074;
inline constexpr int kSection1 = 1078, kSection2 = 1079, kSection3 = 1084;
inline constexpr int kAccountLabel = 1137, kChangePassword = 1063, kSwitchAccount = 1135;
inline constexpr int kWakeButton = 1155, kWakeLabel = 1167;
inline constexpr int kAccountPage = 1138, kSharePage = 1049, kTransPage = 1133, kSettingPage = 1048,
                     kSyncPage = 1163;
}  // namespace ids

enum class Page { kAccount, kShare, kTrans, kSetting, kSync };

// The controls each page shows (the sync page shows none of them, only its child window).
const std::vector<int>& PageControls(Page page);
// The page button of a page.
int PageButtonId(Page page);
// The skinned background the window shows behind every page.
inline constexpr unsigned kPageBackgroundPng = 337;
// The property that marks the selected page button.
inline constexpr const char* kSelectedProperty = "selected";

// The link to the change-password page: the text ("UI", "SETTING_LINK_CHANGEPASSWORD")
// underlined in the font "FONT_LOGIN_REGISTER", RGB(19, 128, 198), one line, vertically
// centred, on whatever the window paints below it. `Address()` is the page it opens.
class ChangePasswordLink : public QAbstractButton {
  Q_OBJECT
 public:
  explicit ChangePasswordLink(QWidget* parent = nullptr);
  void SetAddress(const std::string& address) { address_ = address; }
  const std::string& Address() const { return address_; }
  static constexpr QRgb kTextColour = 0xFF1380C6;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  std::string address_;
};

// Moves `window` so that its centre lies on its parent's centre (the screen's when it has no
// parent), as the log-in dialog is placed once the main window has settled.
void CenterWindow(QWidget* window);
// CenterWindow(window) 2000 ms from now on the GUI thread; nothing when the window is gone
// by then.
void DelayedCenterProc(QWidget* window);

class PagesHost {
 public:
  virtual ~PagesHost() = default;
  // A skinned box with the caption ("UI", "DIALOG_TITLE") and the text ("MESSAGEBOX", key);
  // type 0 OK, 4 Yes/No. Returns the box's result (IDOK = 1 for OK and Yes).
  virtual int ShowBox(const std::string& key, unsigned type);
  // The folder picker titled ("OTHER", "OTHER_SELECTFLODER"); nullopt when cancelled.
  virtual std::optional<std::string> PickFolder(QWidget* parent);
  // Opens a folder or a web page with the platform opener (one argument, never a shell).
  virtual void Open(const std::string& target);
  // Whether the Run value "Kestyl" exists; nullopt when the Run key cannot be opened.
  virtual std::optional<bool> ReadRunValue();
  // Carries out a toggled start-with-session choice (`checked`: the box's value).
  virtual void ApplyAutoStart(bool checked);
  // Loads language `index` and writes the index now in use to the configuration.
  virtual void SelectLanguage(int index);
  // The index of the language in use (0, 1, 2; -1 unknown).
  virtual int CurrentLanguage();
  // Hides the main window.
  virtual void HideWindow(QWidget* window);
  // The switch-account button (1135): the main window's change-account command.
  virtual void ChangeAccount() {}
  // Sets the window's background picture (the skinned base of every page).
  virtual void SetBackground(QWidget* window, unsigned pngId);
};

class SettingPages : public QObject {
  Q_OBJECT
 public:
  // `window` holds the controls; `uiData` may be null (no agent link: nothing is asked or
  // sent), else one reference is held; `host` is kept by pointer and must outlive this
  // object. The destruction waits for a move that still runs.
  SettingPages(QWidget* window, ks::desktop::IUIData* uiData, PagesHost* host);
  ~SettingPages() override;

  void SetSyncPage(QWidget* syncPage) { m_pSyncDlg = syncPage; }

  // ---- page buttons ----
  void OnBnClickedAccountButton();
  void OnBnClickedShareButton();
  void OnBnClickedTransButton();
  void OnBnClickedSettingButton();
  void OnBnClickedSyncButton();
  // The handler of the page whose button is selected runs again (the tray's settings
  // command); false when no page was ever shown.
  bool ReopenSelectedPage();
  // The page whose button is selected (nullopt: none).
  std::optional<Page> SelectedPage() const;

  // ---- share page ----
  void OnBnClickedAddButton();
  void OnBnClickedDeleteButton();
  void OnNMRClickShareList();
  void OnNMClickShareList();
  void OnNMDblclkShareList(int row);
  void ApplySettings();
  void OnBnClickedOkButton();
  void OnBnClickedCancelButton();
  void ClearShareFolderEdits() { m_listShareFolders.clear(); }
  // A folder of the agent's share list (the refill after log-in).
  void OnAddShareFolder(const std::string& folder);
  const std::vector<ShareChange>& PendingShareEdits() const { return m_listShareFolders; }

  // ---- settings page ----
  void OnBnClickedAutoStartCheck() { m_bAutoStart = m_bAutoStart == 1 ? 0 : 1; }
  void OnBnClickedPhotoSortingCheck() { m_bPhotoSorting = m_bPhotoSorting ? 0 : 1; }
  void OnCbnSelchangeLanguageCombo();
  int PendingAutoStart() const { return m_bAutoStart; }
  int PendingPhotoSorting() const { return m_bPhotoSorting; }

  // ---- account page ----
  void ShowAccountPage();
  void OnBnClickedSwitchAccountButton() { m_bSwitchFromAccountPage = false; host_->ChangeAccount(); }
  void OnChangePasswordLinkClicked();
  // The change-password page of the account shown ("" while nobody is logged in).
  const std::string& ChangePasswordAddress() const { return changePasswordAddress_; }
  // The log-out and log-in commands: the next account click fills the page again.
  void ForgetAccountPage() { m_bSwitchFromAccountPage = false; }

  // ---- transfer page ----
  // A transfer-log entry as a new first row (image 0/1/2 by the operation); nothing for "".
  void AddTransferItem(int operation, const std::string& path, const QString& sizeText, const QString& timeText);

  // ---- data folder ----
  // Takes the data folder: its old row leaves the share list, the category folders are
  // built and the missing ones (but the instant folder) created.
  void SetDataFolder(const std::string& folder);
  const std::string& DataFolder() const { return m_strDataFolder; }
  const std::array<std::string, 5>& DefaultFolders() const { return m_strDefaultFolders; }
  // The data-folder part of the set-up after a successful log-in: data folder, share list,
  // transfer log from the agent.
  void LoadAfterLogin();
  // Opens the data folder (with a trailing "/") when there is one.
  void OnTrayMenuOpenFolder();

  void OnBnClickedMoveFolderButton();
  bool IsMovingFolder() const { return m_bMovingFolder; }

 signals:
  // A move of the data folder has been reported (boxes shown, edit and list updated).
  void moveFinished(bool moved);

 private:
  template <class T>
  T* Control(int id) const;
  void SwitchPage(Page page);
  void SetShown(Page page);
  void InvalidatePageArea();
  void LoadSettingValues();
  void FinishMove(const std::string& target, int result);
  void ShowDataFolderEdit(const std::string& text);

  QPointer<QWidget> window_;
  ks::desktop::IUIData* uiData_;
  PagesHost* host_;
  QPointer<QWidget> m_pSyncDlg;

  std::vector<ShareChange> m_listShareFolders;
  std::string m_strDataFolder;
  std::array<std::string, 5> m_strDefaultFolders;
  int m_bAutoStart = 0;
  int m_bPhotoSorting = 0;
  bool m_bAutoStartCheck = false;
  bool m_bSwitchFromAccountPage = false;
  bool m_bMovingFolder = false;
  std::string changePasswordAddress_;
  std::optional<Page> selected_;
  std::thread moveWorker_;
};

}  // namespace ks::pages
