// The main window's initialisation: builds the pages and their controls, the log-in dialog,
// registers with the agent link and the language tables, starts the update check and the
// first timers, runs the first-run wizard when no data folder is set, and posts the start
// of the log-in (0x50A). The window stays hidden.
#include "desktop/app/dialogs/setup_wizard.h"
#include "desktop/app/mainwnd/setting_dlg.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>

namespace ks::mainwnd {

namespace {

struct PageButtonLayout {
  ks::skin::CSettingButton* CSettingDlg::*member;
  int id;
  QRect rect;
  const char* fontSection;
  unsigned first;
  unsigned second;
};

// Rectangles as (left, top, right, bottom); the sync button lies right of the window.
const PageButtonLayout kPageButtons[5] = {
    {&CSettingDlg::m_pBtnAccount, kIdAccountButton, QRect(QPoint(1, 156), QPoint(120, 186)), "FONT_UI_SETTING_BUTTON", 338, 339},
    {&CSettingDlg::m_pBtnShare, kIdShareButton, QRect(QPoint(121, 156), QPoint(240, 186)), "FONT_UI_SHARE_BUTTON", 338, 311},
    {&CSettingDlg::m_pBtnTrans, kIdTransButton, QRect(QPoint(241, 156), QPoint(360, 186)), "FONT_UI_SETTING_BUTTON", 338, 308},
    {&CSettingDlg::m_pBtnSetting, kIdSettingButton, QRect(QPoint(361, 156), QPoint(480, 186)), "FONT_UI_SETTING_BUTTON", 338, 310},
    {&CSettingDlg::m_pBtnSync, kIdSyncButton, QRect(QPoint(501, 156), QPoint(620, 186)), "FONT_UI_SETTING_BUTTON", 338, 407},
};

// Where the controls of layout 129 sit in the window (x, y, width, height): the pages use the
// band between the page buttons (bottom 186) and the OK/Cancel row; OK and Cancel belong to
// every page. The data folder edit gets its own place when the settings page opens.
struct ControlPlace {
  int id;
  QRect rect;
};
const ControlPlace kControlPlaces[] = {
    // share page
    {kIdShareList, QRect(12, 194, 460, 132)},
    {kIdAddButton, QRect(292, 332, 86, 26)},
    {kIdDeleteButton, QRect(386, 332, 86, 26)},
    // transfer page
    {kIdTransList, QRect(12, 194, 460, 164)},
    // settings page
    {kIdStatic1078, QRect(12, 196, 200, 16)},
    {kIdStatic1079, QRect(31, 218, 76, 16)},
    {kIdAutoStartCheck, QRect(110, 216, 330, 20)},
    {kIdStatic1051, QRect(31, 244, 76, 16)},
    {kIdLanguageCombo, QRect(110, 241, 160, 22)},
    {kIdStatic1084, QRect(12, 272, 200, 16)},
    {kIdPhotoSortingLabel, QRect(31, 294, 76, 16)},
    {kIdPhotoSortingCheck, QRect(110, 292, 330, 20)},
    {kIdStatic1054, QRect(31, 326, 160, 16)},
    {kIdMoveFolderButton, QRect(202, 345, 70, 24)},
    // account page
    {kIdStatic1137, QRect(31, 200, 420, 18)},
    {kIdChangePasswordLink, QRect(31, 224, 100, 14)},
    {kIdSwitchAccountButton, QRect(31, 246, 150, 28)},
    {kIdStatic1167, QRect(31, 292, 420, 16)},
    {kIdWakeupButton, QRect(31, 314, 120, 28)},
    // every page
    {kIdOkButton, QRect(292, 384, 86, 28)},
    {kIdCancelButton, QRect(386, 384, 86, 28)},
};

QString Text(const char* section, const char* key) { return ks::ui::LangText(section, key); }

void WhiteList(ks::skin::CKSListCtrl& list) {
  QPalette palette = list.palette();
  palette.setColor(QPalette::Base, Qt::white);
  palette.setColor(QPalette::Window, Qt::white);
  list.setPalette(palette);
}

}  // namespace

bool CSettingDlg::OnInitDialog() {
  // 1-3: base, tooltip of the move button, window icon.
  CDiyDialog::OnInitDialog();
  m_toolTip = Text("UI", "SETTING_HELP") + Text("UI", "SETTING_HELP2");
  m_btnMoveFolder.setToolTip(m_toolTip);
  setWindowIcon(m_hIcon);

  // 4-5: the process-wide pointer, the language listener, hover tracking.
  m_pSettingDlg = this;
  if (m_pLanguages != nullptr) m_pLanguages->RegisterCallBack(this);
  setAttribute(Qt::WA_Hover);

  // 6-8: the two lists and the transfer list's images.
  WhiteList(m_listShare);
  WhiteList(m_listTrans);
  m_listShare.setSelectionBehavior(QAbstractItemView::SelectRows);
  m_listShare.InsertColumn(0, Text("UI", "SETTING_LISTBOX_FOLDER"), 0);
  m_listShare.InsertColumn(1, Text("UI", "SETTING_LISTBOX_PATH"), 0);
  m_listShare.setColumnWidth(0, 130);
  m_listShare.setColumnWidth(1, 218);
  m_listTrans.InsertColumn(0, Text("UI", "SETTING_LISTBOX_TRANS_FILENAME"), 0);
  m_listTrans.InsertColumn(1, Text("UI", "SETTING_LISTBOX_TRANS_SIZE"), 0);
  m_listTrans.InsertColumn(2, Text("UI", "SETTING_LISTBOX_TRANS_TIME"), 0);
  m_listTrans.setColumnWidth(0, 219);
  m_listTrans.setColumnWidth(1, 76);
  m_listTrans.setColumnWidth(2, 138);
  m_imageListTrans.clear();
  for (unsigned id : {297u, 296u, 408u}) m_imageListTrans.push_back(ks::ui::LoadImageFromResource(id, QStringLiteral("BMP")));

  // 9: the five page buttons.
  for (size_t i = 0; i < 5; ++i) {
    const PageButtonLayout& page = kPageButtons[i];
    m_rcPageButtons[i] = page.rect;
    auto* button = new ks::skin::CSettingButton(this);
    ks::ui::SetControlId(button, page.id);
    button->SetTextFont(ks::ui::CreateLanguageFont(page.fontSection));
    button->m_baseImage = page.first;
    button->m_iconImage = page.second;
    button->setGeometry(page.rect);
    button->show();
    this->*(page.member) = button;
  }
  ConnectPageButtons();

  // 10-11: centred; Delete starts disabled.
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(kWindowWidth / 2, kWindowHeight / 2));
  }
  if (m_btnDelete.isEnabled()) {
    m_btnDelete.setEnabled(false);
    m_btnDelete.repaint();
  }

  // 12: the tray menus are built by BuildTrayMenu when they pop up.
  // 13: the agent link's listener.
  if (m_pUIData != nullptr) m_pUIData->SetCallBack(this);

  // 14: the log-in dialog, hidden.
  m_pLoginDlg = new ks::login::CLoginDlg(nullptr);
  m_pLoginDlg->m_pCallback = this;
  m_pLoginDlg->hide();

  // 15: the automatic update check.
  if (options_.startUpdateCheck) {
    if (!m_updateLogic) m_updateLogic = std::make_unique<ks::desktop::update::CUpdateLogic>();
    m_updateLogic->SetCallback(this);
    m_bStartupBusy = true;
    if (!m_updateLogic->IsBusy()) m_updateLogic->StartCheck(true);
    m_bStartupBusy = false;
  }

  // 16-18: fonts of the window and the statics.
  m_fontAccount = ks::ui::CreateLanguageFont("FONT_SETTING_ACCOUNT");
  m_fontStatus = ks::ui::CreateLanguageFont("FONT_SETTING_STATUS");
  m_fontButton = ks::ui::CreateLanguageFont("FONT_SETTING_BUTTON");
  m_fontEdit = ks::ui::CreateLanguageFont("FONT_SETTING_EDIT");
  m_fontLogin = ks::ui::CreateLanguageFont("FONT_LOGIN_LOGIN");
  if (m_editDataFolder != nullptr) m_editDataFolder->setFont(m_fontEdit);
  m_comboLanguage.setFont(m_fontEdit);
  const ks::ui::TextFormat statics{ks::ui::Align::Near, ks::ui::Align::Near, ks::ui::kOneLine};
  for (ks::skin::CDiyStatic* s : {&m_static1137}) {
    s->SetTextFont(m_fontButton);
    s->SetAlignment(statics);
    s->m_textColor = 0xFF323232;
  }
  for (ks::skin::CDiyStatic* s : {&m_static1051, &m_static1078, &m_static1079, &m_static1084, &m_static1054,
                                  &m_staticPhotoSorting, &m_static1167}) {
    s->SetTextFont(m_fontStatus);
    s->SetAlignment(statics);
    s->m_textColor = 0xFF323232;
  }

  // 19: the synchronisation page.
  if (m_pSyncDlg == nullptr) CreateSyncPage();

  // 20: skinned buttons and the combo box.
  struct ButtonLook {
    ks::skin::CColorButton* button;
    const QFont* font;
    unsigned images[4];
    bool check;
  };
  const ButtonLook buttons[] = {
      {&m_btnOk, &m_fontLogin, {340, 340, 341, 340}, false},
      {&m_btnCancel, &m_fontLogin, {340, 340, 341, 340}, false},
      {&m_btnAdd, &m_fontButton, {345, 345, 346, 345}, false},
      {&m_btnDelete, &m_fontButton, {345, 345, 346, 345}, false},
      {&m_btnAutoStart, &m_fontStatus, {0, 0, 0, 0}, true},
      {&m_btnWakeup, &m_fontStatus, {340, 340, 341, 340}, false},
      {&m_btnMoveFolder, &m_fontButton, {342, 342, 343, 342}, false},
      {&m_btnSwitchAccount, &m_fontButton, {340, 340, 341, 340}, false},
      {&m_btnPhotoSorting, &m_fontStatus, {0, 0, 0, 0}, true},
  };
  for (const ButtonLook& look : buttons) {
    look.button->SetTextFont(*look.font);
    // The button's own default colour is fully transparent: its caption would not show.
    look.button->m_textColor = 0xFF343434;
    if (look.check) {
      look.button->SetStyle(ks::skin::CColorButton::kCheck);
      if (!look.button->GetCaption().isEmpty()) look.button->SetCaption(look.button->GetCaption() + QLatin1Char(' '));
    } else {
      look.button->SetImages(look.images[0], look.images[1], look.images[2], look.images[3]);
    }
  }
  m_comboLanguage.SetTextFont(m_fontEdit);

  // 21-23: the data folder edit, own background painting, the share page.
  if (m_editDataFolder != nullptr) m_editDataFolder->resize(161, 16);
  // The window's own controls only: the sync page's children reuse some of these ids.
  for (QWidget* control : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    for (const ControlPlace& place : kControlPlaces)
      if (ks::ui::ControlId(control) == place.id) control->setGeometry(place.rect);
  }
  m_btnOk.show();
  m_btnCancel.show();
  m_nBkImageID = 0;
  OnBnClickedShareButton();

  // 24: the connection-request and banner timers.
  m_nConnectTimer.Start(1000, [this] { ConnectRequestTimerProc(); });
  m_nBannerTimer.Start(36000, [this] { BannerTimerProc(); });

  // 25-29.
  resize(kWindowWidth, kWindowHeight);
  std::string root;
  if (m_pUIData != nullptr) m_pUIData->GetDefShare(&root, false);
  if (root.empty()) RunSetupWizard();
  ShowUpdateFinishedInfo();
  ks::ui::PostMsg(this, kMsgStartLogin, 0, 0);
  CreateBannerWindow();
  return true;
}

void CSettingDlg::RunSetupWizard() {
  ks::dialogs::SetupWizardHost host;
  host.mainWindow = this;
  host.loginDialog = m_pLoginDlg;
  host.loginInfo = &m_loginInfo;
  host.startupBusy = &m_bStartupBusy;
  ks::dialogs::RunSetupWizard(host);
}

}  // namespace ks::mainwnd
