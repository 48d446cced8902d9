#include "desktop/app/dialogs/wizard_dlg.h"

#include "desktop/app/dialogs/folder_picker.h"
#include "desktop/app/dialogs/share_list.h"
#include "desktop/app/dialogs/share_list_view.h"
#include "desktop/app/dialogs/wizard_paths.h"
#include "desktop/foundation/skin/diy_message_box.h"
#include "desktop/foundation/skin/diy_static_button.h"
#include "desktop/foundation/skin/list_ctrl.h"
#include "desktop/foundation/skin/skin_surface.h"
#include "desktop/foundation/ui/dialog_units.h"
#include "desktop/foundation/ui/draw_text.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "desktop/foundation/util/ks_util.h"
#include "platform/registry.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTreeWidgetItem>

#include <algorithm>
#include <cstring>
#include <set>

namespace ks::dialogs {

using ks::skin::CColorButton;

namespace {

constexpr int kTemplatePoints = 8;
constexpr QRgb kLinkColour = 0xFF0040FF;     // RGB(0, 64, 255)
constexpr QRgb kStaticText = 0xFF434343;     // RGB(67, 67, 67)
constexpr QRgb kPanelColour = 0xFFF5F5F5;    // RGB(245, 245, 245): 1025, 1036, 1076
constexpr QRgb kLabelColour = 0xFFF9F9F9;    // RGB(249, 249, 249): 1038
constexpr QRgb kExplainColour = 0xFFC0DCF5;  // RGB(192, 220, 245): 1143

QRect Du(int x, int y, int w, int h) { return ks::ui::DuToPx(QRect(x, y, w, h), kTemplatePoints); }

QString Text(const char* section, const char* key) { return ks::ui::LangText(section, key); }

// The messages of SetDefShare's failures that keep the wizard open; null for results that
// let it close.
const char* FailureKey(int result) {
  switch (result) {
    case 0:
    case 1:
    case -2: return nullptr;
    case -1: return "MSGBOX_MOVEFOLDER_FAILED_COPY";
    case 1223: return "MSGBOX_MOVEFOLDER_CANCELED";
    default: return "MSGBOX_MOVEFOLDER_FAILED";
  }
}

}  // namespace

// The closing page's link: the text underlined in the link font and colour on the owner's
// pixels, one line, vertically centred; a click opens the address.
class WizardLink : public QWidget {
 public:
  explicit WizardLink(CWizardDlg* owner) : QWidget(owner), owner_(owner) { setCursor(Qt::PointingHandCursor); }
  QString text;
  QString url;

 protected:
  void paintEvent(QPaintEvent*) override {
    QImage canvas = ks::skin::BackgroundUnder(this);
    {
      QPainter p(&canvas);
      ks::ui::DrawText(p, QRectF(0, 0, width(), height()), text, ks::ui::CreateLanguageFont("FONT_WIZARD_LINK1", true),
                       kLinkColour, ks::ui::Align::Near, ks::ui::Align::Center, ks::ui::kOneLine);
    }
    QPainter(this).drawImage(0, 0, canvas);
  }
  void mouseReleaseEvent(QMouseEvent* e) override {
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) owner_->OnLinkClicked();
  }

 private:
  CWizardDlg* owner_;
};

// The picture of the language at the control's origin, at its own size.
class WizardPicture : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    const QImage picture = ks::ui::LoadPngResource(WizardPictureFor(ks::ui::CurrentLanguage()));
    if (!picture.isNull()) QPainter(this).drawImage(0, 0, picture);
  }
};

const WizardStepLayout* WizardStep(int step) {
  static const WizardStepLayout kSteps[3] = {
      {{kWizDataFolder, kWizBrowse, kWizNext, kWizTitle, kWizFolderText, kWizDefaultOption, kWizOwnOption},
       {kWizFinish, kWizList, kWizAdd, kWizDelete, kWizBrowseLabel, kWizFront, kWizLink, kWizStepText},
       QRect(225, 82, 467, 47),
       358,
       "WIZARD_STATIC_TITLESTEP1"},
      {{kWizNext, kWizList, kWizAdd, kWizDelete, kWizTitle, kWizFront},
       {kWizDataFolder, kWizBrowse, kWizFinish, kWizBrowseLabel, kWizLink, kWizStepText, kWizFolderText,
        kWizDefaultOption, kWizOwnOption},
       QRect(230, 76, 369, 27),
       357,
       "WIZARD_STATIC_TITLESTEP2"},
      {{kWizFinish, kWizTitle, kWizFront, kWizLink, kWizStepText},
       {kWizDataFolder, kWizBrowse, kWizNext, kWizList, kWizAdd, kWizDelete, kWizBrowseLabel, kWizFolderText,
        kWizDefaultOption, kWizOwnOption},
       QRect(231, 76, 370, 27),
       357,
       "WIZARD_STATIC_TITLESTEP3"},
  };
  return step >= 1 && step <= 3 ? &kSteps[step - 1] : nullptr;
}

unsigned WizardPictureFor(int language) {
  switch (language) {
    case 1: return 361;
    case 2: return 360;
    default: return 359;
  }
}

CWizardDlg::CWizardDlg(ks::desktop::IUIData* uiData, QWidget* parent) : CDiyDialog(parent), m_uiData(uiData) {
  if (m_uiData) m_uiData->AddRef();
  m_nBkImageID = 358;
  m_strBkImageType = QStringLiteral("PNG");
  setFixedSize(ks::ui::DuToPx(QSize(479, 287), kTemplatePoints));
  m_openUrl = [](const std::string& address) { CKSUtil::OpenUrl(address, false); };

  m_languages = ks::desktop::CLanguages::GetInstance();
  if (m_languages) m_languages->RegisterCallBack(this);

  auto label = [this](int id, const QRect& at) {
    auto* l = new QLabel(this);
    ks::ui::SetControlId(l, id);
    l->setGeometry(at);
    l->setWordWrap(true);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return l;
  };
  auto button = [this](int id, const QRect& at) {
    auto* b = new CColorButton(this);
    ks::ui::SetControlId(b, id);
    b->setGeometry(at);
    return b;
  };

  m_title = label(kWizTitle, Du(21, 25, 310, 28));
  m_browseLabel = label(kWizBrowseLabel, Du(118, 100, 51, 13));
  m_folderText = label(kWizFolderText, Du(219, 131, 220, 23));
  m_defaultOption = button(kWizDefaultOption, Du(205, 111, 102, 13));
  m_ownOption = button(kWizOwnOption, Du(205, 158, 84, 14));
  m_dataFolderEdit = new QLineEdit(this);
  ks::ui::SetControlId(m_dataFolderEdit, kWizDataFolder);
  m_dataFolderEdit->setGeometry(Du(219, 182, 141, 12));
  m_dataFolderEdit->setFrame(false);
  m_browse = button(kWizBrowse, Du(367, 181, 25, 13));
  m_folderList = new ks::skin::CKSListCtrl(this);
  ks::ui::SetControlId(m_folderList, kWizList);
  m_folderList->setGeometry(Du(157, 64, 301, 126));
  m_add = button(kWizAdd, Du(398, 199, 60, 18));
  m_delete = button(kWizDelete, Du(335, 199, 59, 18));
  m_stepText = label(kWizStepText, Du(154, 83, 236, 28));
  m_link = new WizardLink(this);
  ks::ui::SetControlId(m_link, kWizLink);
  m_link->setGeometry(Du(399, 84, 53, 13));
  m_picture = new WizardPicture(this);
  ks::ui::SetControlId(m_picture, kWizPicture);
  m_picture->setGeometry(Du(31, 98, 65, 69));
  m_front = button(kWizFront, Du(276, 240, 89, 30));
  m_next = button(kWizNext, Du(377, 240, 89, 30));
  m_finish = button(kWizFinish, Du(377, 240, 89, 30));

  connect(m_browse, &QAbstractButton::clicked, this, [this] { OnBnClickedBrowseButton(); });
  connect(m_add, &QAbstractButton::clicked, this, [this] { OnBnClickedAddButton(); });
  connect(m_delete, &QAbstractButton::clicked, this, [this] { OnBnClickedDeleteButton(); });
  connect(m_finish, &QAbstractButton::clicked, this, [this] { OnBnClickedFinishButton(); });
  connect(m_next, &QAbstractButton::clicked, this, [this] { OnBnClickedNextButton(); });
  connect(m_front, &QAbstractButton::clicked, this, [this] { OnBnClickedFrontButton(); });
  connect(m_defaultOption, &QAbstractButton::clicked, this, [this] { OnBnClickedDefaultRadio(); });
  connect(m_ownOption, &QAbstractButton::clicked, this, [this] { OnBnClickedUserRadio(); });
  connect(m_folderList, &QTreeWidget::itemSelectionChanged, this, [this] { OnNMClickFolderList(); });
}

CWizardDlg::~CWizardDlg() {
  if (m_languages) {
    m_languages->UnregisterCallBack(this);
    m_languages->Release();
  }
  if (m_uiData) m_uiData->Release();
}

void CWizardDlg::OnLanguageChanged() { m_textsLoaded = false; }

void CWizardDlg::SetAccountCopy(const ks::desktop::LoginInfo& info) {
  m_accountCopy = std::make_unique<ks::desktop::LoginInfo>();
  std::memcpy(m_accountCopy.get(), &info, sizeof info);
}

QWidget* CWizardDlg::Control(int id) const {
  for (QWidget* w : findChildren<QWidget*>())
    if (ks::ui::ControlId(w) == id) return w;
  return nullptr;
}

void CWizardDlg::ApplyColours(QWidget* control, QRgb background) {
  QPalette palette = control->palette();
  palette.setColor(QPalette::Window, QColor::fromRgba(background));
  palette.setColor(QPalette::Base, QColor::fromRgba(background));
  palette.setColor(QPalette::WindowText, QColor::fromRgba(kStaticText));
  palette.setColor(QPalette::Text, QColor::fromRgba(kStaticText));
  control->setPalette(palette);
  control->setAutoFillBackground(true);
}

void CWizardDlg::SetControlText(QWidget* control, const QString& text) {
  if (auto* l = qobject_cast<QLabel*>(control))
    l->setText(text);
  else if (auto* e = qobject_cast<QLineEdit*>(control))
    e->setText(text);
  if (ks::ui::TraceEnabled())
    ks::ui::TraceLine(QStringLiteral("text %1 %2 %3")
                          .arg(ks::ui::TraceClassName(this))
                          .arg(ks::ui::ControlId(control))
                          .arg(ks::ui::TraceQuote(text)));
}

bool CWizardDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  setWindowIcon(ks::ui::LoadIconResource(128));

  if (!m_uiData) m_uiData = ks::desktop::CUIData::GetInstance();

  // The folder list.
  m_folderList->setSelectionMode(QAbstractItemView::ExtendedSelection);
  m_folderList->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_folderList->InsertColumn(0, Text("UI", "WIZARD_LISTBOX_FOLDER"), 0);
  m_folderList->InsertColumn(1, Text("UI", "WIZARD_LISTBOX_PATH"), 0);
  m_folderList->setColumnWidth(0, 130);
  m_folderList->setColumnWidth(1, 322);
  // The two columns are a few pixels wider than the list's inside: a scroll bar for those
  // pixels would only hide a row, so none is shown (longer paths are cut in their column).
  m_folderList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_listFont = ks::ui::CreateLanguageFont("FONT_WIZARD_STATIC");
  m_folderList->setFont(m_listFont);
  ks::skin::CKSHeaderCtrl* header = m_folderList->m_header;
  header->SetTextFont(m_listFont);
  m_folderList->SetRowHeight();
  m_folderList->m_borderColor = 0xFFAFAFAF;
  header->m_leftColor = 0xFFD7D7D7;
  header->m_topColor = 0xFFD7D7D7;
  header->m_bottomColor = 0xFFD7D7D7;
  header->m_separatorColor = 0xFFB8B8B8;
  header->m_frameColor = 0xFFAFAFAF;
  header->m_textColor = 0xFF434343;
  header->m_rightColor = ks::skin::CKSHeaderCtrl::kNoLine;
  header->LoadBackgroundImage();
  header->SetHeight(28);

  // Centred on the screen: the main window is hidden while the wizard runs.
  if (QScreen* screen = this->screen()) move(screen->availableGeometry().center() - rect().center());

  // The default data folder and the text around it.
  m_defaultDataFolder = DefaultDataFolder();
  m_dataFolderText = m_defaultDataFolder;
  SetControlText(m_folderText, Text("UI", "WIZARD_STATIC_FLODER1") + QString::fromStdString(m_defaultDataFolder) +
                                   Text("UI", "WIZARD_STATIC_FLODER2"));
  m_dataFolderEdit->setReadOnly(true);
  m_browse->setEnabled(false);
  ShowDataFolder();

  // Fonts, looks and start states.
  m_buttonFont = ks::ui::CreateLanguageFont("FONT_WIZARD_BUTTON");
  m_staticFont = ks::ui::CreateLanguageFont("FONT_WIZARD_STATIC");
  m_static1Font = ks::ui::CreateLanguageFont("FONT_WIZARD_STATIC1");
  for (QWidget* w : {static_cast<QWidget*>(m_title), static_cast<QWidget*>(m_browseLabel),
                     static_cast<QWidget*>(m_stepText)})
    w->setFont(m_staticFont);
  m_dataFolderEdit->setFont(m_static1Font);
  m_folderText->setFont(m_static1Font);
  ApplyColours(m_dataFolderEdit, kPanelColour);
  ApplyColours(m_title, kPanelColour);
  ApplyColours(m_stepText, kPanelColour);
  ApplyColours(m_browseLabel, kLabelColour);
  ApplyColours(m_folderText, kExplainColour);

  struct Look {
    CColorButton* button;
    unsigned normal, pressed;
    QRgb text;
  };
  const Look looks[] = {
      {m_browse, 362, 363, 0xFF000000}, {m_add, 364, 365, 0xFF434343},   {m_delete, 364, 365, 0xFF434343},
      {m_front, 366, 367, 0xFFFFFFFF},  {m_finish, 366, 367, 0xFFFFFFFF}, {m_next, 366, 367, 0xFFFFFFFF},
  };
  for (const Look& l : looks) {
    l.button->SetTextFont(m_buttonFont);
    l.button->SetImages(l.normal, l.normal, l.pressed, l.normal);
    l.button->m_textColor = l.text;
  }
  m_delete->setEnabled(false);
  for (CColorButton* option : {m_defaultOption, m_ownOption}) {
    option->SetStyle(CColorButton::kRadio);
    option->SetImages(366, 366, 367, 366);
    option->SetTextFont(m_static1Font);
    option->m_textColor = 0xFF434343;
  }
  m_defaultOption->SetCaption(Text("UI", "WIZARD_RADIO_DEF"));
  m_ownOption->SetCaption(Text("UI", "WIZARD_RADIO_USER"));
  m_defaultOption->setChecked(true);

  WriteSetupWizardFlag();

  m_dataFolderEdit->resize(161, 16);
  ShowStep(1);
  return true;
}

void CWizardDlg::WriteSetupWizardFlag() {
  using namespace ks::platform;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return;
  const uint32_t one = 1;
  uint8_t data[4];
  std::memcpy(data, &one, sizeof data);  // little-endian on every system we run on
  RegSetValueEx(key, "SetupWizard", 0, REG_DWORD, data, sizeof data);
  RegCloseKey(key);
}

void CWizardDlg::ShowDataFolder() { SetControlText(m_dataFolderEdit, QString::fromStdString(m_dataFolderText)); }

void CWizardDlg::ShowStep(int step) {
  if (const WizardStepLayout* layout = WizardStep(step)) {
    m_nBkImageID = layout->background;
    SetControlText(m_title, Text("UI", layout->titleKey));
    if (step != 3) m_title->setFont(m_staticFont);
    for (int id : layout->shown)
      if (QWidget* w = Control(id)) w->show();
    for (int id : layout->hidden)
      if (QWidget* w = Control(id)) w->hide();
    m_title->setGeometry(layout->title);
  }
  update(QRect(0, m_nCaptionHeight, width(), height() - m_nCaptionHeight));
}

void CWizardDlg::OnBnClickedNextButton() {
  ++m_step;
  ShowStep(m_step);
  m_chosenDataFolder = m_dataFolderText;
  if (m_step == 2) FillDefaultFolders();
}

void CWizardDlg::OnBnClickedFrontButton() {
  --m_step;
  ShowStep(m_step);
}

void CWizardDlg::FillDefaultFolders() {
  ShareListView list(m_folderList);
  m_folderList->clear();
  AddFolderToList(list, m_chosenDataFolder);
  std::vector<std::string> kept;
  for (const std::string& share : m_newShares) {
    const int r = AddFolderToList(list, share);
    // A folder that vanished (or became unusable) since it was added is no longer handed on.
    if (r == kShareAdded || r == kShareDuplicate) kept.push_back(share);
  }
  m_newShares = std::move(kept);
  OnNMClickFolderList();
}

void CWizardDlg::OnBnClickedDefaultRadio() {
  m_dataFolderEdit->setReadOnly(true);
  m_browse->setEnabled(false);
  m_browse->repaint();
  m_defaultDataFolder = DefaultDataFolder();
  m_dataFolderText = m_defaultDataFolder;
  ShowDataFolder();
}

void CWizardDlg::OnBnClickedUserRadio() {
  m_browse->setEnabled(true);
  m_browse->repaint();
}

void CWizardDlg::OnBnClickedBrowseButton() {
  const std::optional<QString> picked = PickFolder(this, Text("OTHER", "OTHER_SELECT_DEFAULTFLODER"));
  if (!picked) return;
  m_chosenDataFolder = DataFolderUnder(picked->toStdString());
  m_dataFolderText = m_chosenDataFolder;
  ShowDataFolder();
}

void CWizardDlg::OnBnClickedAddButton() {
  const std::optional<QString> picked = PickFolder(this, Text("OTHER", "OTHER_SELECTFLODER"));
  if (!picked) return;
  const std::string path = picked->toStdString();
  if (IsRootPath(path)) {
    ks::skin::ShowDiyMessageBoxByKey("MSGBOX_SHAREROOTPATH", ks::skin::MB_OK);
    return;
  }
  ShareListView list(m_folderList);
  const int r = AddFolderToList(list, path);
  if (r == kShareDuplicate)
    ks::skin::ShowDiyMessageBoxByKey("MSGBOX_SHARESAMEFOLDER", ks::skin::MB_OK);
  else if (r == kShareAdded)
    m_newShares.push_back(path);
}

void CWizardDlg::OnBnClickedDeleteButton() {
  std::vector<std::string> selected;
  for (QTreeWidgetItem* item : m_folderList->selectedItems()) selected.push_back(item->text(1).toStdString());
  ShareListView list(m_folderList);
  for (const std::string& path : selected) {
    if (path == m_chosenDataFolder) continue;  // the data folder's row stays
    RemoveFolderFromList(list, path);
    auto it = std::find(m_newShares.begin(), m_newShares.end(), path);
    if (it != m_newShares.end()) m_newShares.erase(it);
  }
  OnNMClickFolderList();
}

void CWizardDlg::OnNMClickFolderList() {
  bool deletable = false;
  for (QTreeWidgetItem* item : m_folderList->selectedItems())
    if (item->text(1).toStdString() != m_chosenDataFolder) deletable = true;
  if (m_delete->isEnabled() != deletable) {
    m_delete->setEnabled(deletable);
    m_delete->repaint();
  }
}

void CWizardDlg::OnBnClickedFinishButton() {
  m_dataFolderText = m_dataFolderEdit->text().toStdString();
  m_chosenDataFolder = m_ownOption->isChecked() ? m_dataFolderText : m_defaultDataFolder;
  if (!SubmitSettings()) return;
  done(ks::skin::IDOK);
}

bool CWizardDlg::SubmitSettings() {
  if (!m_uiData) return true;
  if (!m_chosenDataFolder.empty()) {
    const int r = m_uiData->SetDefShare(m_chosenDataFolder);
    if (r == -2) ks::skin::ShowDiyMessageBoxByKey("MSGBOX_MOVEFOLDER_FAILED_DEL", ks::skin::MB_OK);
    if (const char* key = FailureKey(r)) {
      ks::skin::ShowDiyMessageBoxByKey(key, ks::skin::MB_OK);
      return false;
    }
  }
  m_uiData->UpdateShares(m_newShares, {});
  return true;
}

void CWizardDlg::OnLinkClicked() {
  const QString url = Text("URL", "URL_MFCLINK2");
  if (!url.isEmpty() && m_openUrl) m_openUrl(url.toStdString());
}

void CWizardDlg::LoadLanguageTexts() {
  m_add->SetCaption(Text("UI", "WIZARD_BUTTON_ADD"));
  m_delete->SetCaption(Text("UI", "WIZARD_BUTTON_DELETE"));
  // The Browse button has no text of its own; the (always hidden) label beside it names it.
  m_browse->SetCaption(Text("UI", "WIZARD_STATIC_BROWSE"));
  m_next->SetCaption(Text("UI", "WIZARD_BUTTON_NEXT"));
  m_front->SetCaption(Text("UI", "WIZARD_BUTTON_FRONT"));
  m_finish->SetCaption(Text("UI", "WIZARD_BUTTON_FINISH"));
  SetControlText(m_browseLabel, Text("UI", "WIZARD_STATIC_BROWSE"));
  SetControlText(m_stepText, Text("UI", "WIZARD_STATIC2"));
  m_link->text = Text("UI", "WIZARD_MFCLINK2");
  m_link->url = Text("URL", "URL_MFCLINK2");
  m_strTitle = Text("UI", "DIALOG_TITLE");
  m_textsLoaded = true;
  m_link->update();
  update();
}

void CWizardDlg::paintEvent(QPaintEvent* event) {
  CDiyDialog::paintEvent(event);
  if (!m_textsLoaded) LoadLanguageTexts();
}

void CWizardDlg::keyPressEvent(QKeyEvent* event) {
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
      (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier)) {
    done(ks::skin::IDOK);
    return;
  }
  CDiyDialog::keyPressEvent(event);
}

}  // namespace ks::dialogs
