// CWizardDlg: the first-run wizard. The main window shows it once, modally, before the
// log-in, while the agent has no data folder yet. Three steps:
//   1 the data folder: the default one ($HOME/Kestyl, wizard_paths.h) or <picked>/Kestyl;
//   2 the folders to share: the data folder's row and the folders added here (share_list.h
//     rules; "/" refused with "MSGBOX_SHAREROOTPATH", a duplicate with
//     "MSGBOX_SHARESAMEFOLDER", missing and system folders silently);
//   3 a closing text with a link ("URL", "URL_MFCLINK2") opened through the opener.
// Finish hands the data folder to IUIData::SetDefShare and, when that succeeded (0, 1, or
// -2 after its message), the added folders to IUIData::UpdateShares, then ends with IDOK.
// A failed SetDefShare shows its message ("MSGBOX_MOVEFOLDER_FAILED_COPY" for -1,
// "MSGBOX_MOVEFOLDER_CANCELED" for 1223, "MSGBOX_MOVEFOLDER_FAILED" otherwise) and keeps
// the wizard on step 3 with nothing else sent. Enter ends with IDOK and Escape or the close
// button with IDCANCEL, both without any call to IUIData; the minimise button does nothing.
//
// On opening, the value "SetupWizard" of HKLM "SOFTWARE\Kestyl" becomes the DWORD 1, so the
// wizard runs once whether it is finished or not; a missing key is left missing.
//
// Step 2 is filled again at every entry through Next: the data folder's row, then the rows
// of the folders added so far (a folder that vanished meanwhile is dropped from both). The
// data folder's row can never be deleted: Delete is enabled only while the selection holds
// another row, and skips the data folder's row.
//
// Texts come from the language source; after a language change (OnLanguageChanged) the
// next paint loads them again (the Browse button carries the text "WIZARD_STATIC_BROWSE").
// The wizard opens centred on the screen. GUI thread only.
#pragma once

#include "desktop/foundation/agentlink/ui_data.h"
#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/skin/diy_dialog.h"

#include <QFont>
#include <QRect>
#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;

namespace ks::skin {
class CColorButton;
class CKSListCtrl;
}  // namespace ks::skin

namespace ks::dialogs {

// Control ids of the wizard.
enum WizardControl : int {
  kWizTitle = 1036,
  kWizBrowseLabel = 1038,
  kWizFolderText = 1143,
  kWizDefaultOption = 1145,
  kWizOwnOption = 1146,
  kWizDataFolder = 1025,
  kWizBrowse = 1028,
  kWizList = 1033,
  kWizAdd = 1034,
  kWizDelete = 1035,
  kWizStepText = 1076,
  kWizLink = 1064,
  kWizPicture = 1142,
  kWizFront = 1039,
  kWizNext = 1029,
  kWizFinish = 1030,
};

// What a step shows: the controls shown and hidden, the title's place and size (pixels),
// the background picture and the title's language key.
struct WizardStepLayout {
  std::vector<int> shown;
  std::vector<int> hidden;
  QRect title;
  unsigned background = 0;
  const char* titleKey = "";
};

// The layout of step 1, 2 or 3; null for any other value.
const WizardStepLayout* WizardStep(int step);

// The picture of control 1142 by language index: 0 -> 359, 1 -> 361, 2 -> 360, else 359.
unsigned WizardPictureFor(int language);

class WizardLink;
class WizardPicture;

class CWizardDlg : public ks::skin::CDiyDialog, public ks::desktop::ILanguageCallBack {
  Q_OBJECT
 public:
  // `uiData`: the agent link (a reference is taken; null: the process-wide link, taken when
  // the dialog opens).
  explicit CWizardDlg(ks::desktop::IUIData* uiData = nullptr, QWidget* parent = nullptr);
  ~CWizardDlg() override;

  // ILanguageCallBack: the texts are loaded again at the next paint.
  void OnLanguageChanged() override;
  // The minimise button does nothing here.
  void Minimize() override {}

  // A copy of the main window's account record, kept for the wizard's life (never read).
  void SetAccountCopy(const ks::desktop::LoginInfo& info);
  bool HasAccountCopy() const { return m_accountCopy != nullptr; }

  // Opens web addresses (default: the desktop foundation's opener); for tests.
  std::function<void(const std::string&)> m_openUrl;

  // Handlers, as the controls call them.
  void OnBnClickedBrowseButton();
  void OnBnClickedAddButton();
  void OnBnClickedDeleteButton();
  void OnBnClickedFinishButton();
  void OnBnClickedNextButton();
  void OnBnClickedFrontButton();
  void OnBnClickedDefaultRadio();
  void OnBnClickedUserRadio();
  // The list's selection changed (a click, a key): Delete follows it.
  void OnNMClickFolderList();
  void OnLinkClicked();

  void ShowStep(int step);

  // State, readable for the main window's checks and for tests.
  int m_step = 1;
  std::string m_dataFolderText;
  std::string m_chosenDataFolder;
  std::string m_defaultDataFolder;
  std::vector<std::string> m_newShares;
  bool m_textsLoaded = false;

  QWidget* Control(int id) const;
  ks::skin::CKSListCtrl* FolderList() const { return m_folderList; }

 protected:
  bool OnInitDialog() override;
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void FillDefaultFolders();
  // 0 when the dialog may close; otherwise the wizard stays open.
  bool SubmitSettings();
  void LoadLanguageTexts();
  void SetControlText(QWidget* control, const QString& text);
  void ShowDataFolder();
  void WriteSetupWizardFlag();
  void ApplyColours(QWidget* control, QRgb background);

  ks::desktop::ILanguages* m_languages = nullptr;
  ks::desktop::IUIData* m_uiData = nullptr;
  std::unique_ptr<ks::desktop::LoginInfo> m_accountCopy;

  QFont m_buttonFont;
  QFont m_staticFont;
  QFont m_static1Font;
  QFont m_listFont;

  QLabel* m_title = nullptr;
  QLabel* m_browseLabel = nullptr;
  QLabel* m_folderText = nullptr;
  QLabel* m_stepText = nullptr;
  QLineEdit* m_dataFolderEdit = nullptr;
  ks::skin::CKSListCtrl* m_folderList = nullptr;
  ks::skin::CColorButton* m_defaultOption = nullptr;
  ks::skin::CColorButton* m_ownOption = nullptr;
  ks::skin::CColorButton* m_browse = nullptr;
  ks::skin::CColorButton* m_add = nullptr;
  ks::skin::CColorButton* m_delete = nullptr;
  ks::skin::CColorButton* m_front = nullptr;
  ks::skin::CColorButton* m_next = nullptr;
  ks::skin::CColorButton* m_finish = nullptr;
  WizardLink* m_link = nullptr;
  WizardPicture* m_picture = nullptr;
};

}  // namespace ks::dialogs
