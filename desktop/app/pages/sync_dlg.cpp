#include "desktop/app/pages/sync_dlg.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPalette>

#include <cstring>

#include "desktop/app/dialogs/folder_picker.h"
#include "desktop/app/pages/page_tables.h"
#include "desktop/foundation/agentlink/ui_data.h"
#include "desktop/foundation/config/ks_config.h"
#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/skin/diy_message_box.h"
#include "desktop/foundation/skin/skin_surface.h"
#include "desktop/foundation/skin/z_controls.h"
#include "desktop/foundation/sync/sync_logic.h"
#include "desktop/foundation/ui/dialog_units.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "desktop/foundation/util/ks_util.h"

namespace ks::pages {

namespace {

// One switch action at a time in the whole program (a box of one action keeps the event
// loop running, so a second click could otherwise start a second action).
std::mutex g_busyLock;
bool g_syncBusy = false;

constexpr int kTemplatePoints = 8;

QRect Du(int x, int y, int w, int h) { return ks::ui::DuToPx(QRect(x, y, w, h), kTemplatePoints); }

// Shows the synchronisation's own notices (it asks from its worker; the box runs on the GUI
// thread and the worker waits for it).
class BoxNotice : public ISyncNotice {
 public:
  void ShowNotice(const std::string& key) override { ks::skin::ShowDiyMessageBoxByKey(key, 0); }
};

}  // namespace

// ---- SyncServices ----

std::string SyncServices::ReadSyncOn() { return CKSConfig::GetInstance()->ReadSyncOn(true); }
std::string SyncServices::ReadSyncAsPrimary() { return CKSConfig::GetInstance()->ReadSyncAsPrimary(true); }
std::string SyncServices::ReadSyncPath() { return CKSConfig::GetInstance()->ReadSyncPath(true); }
void SyncServices::WriteSyncOn(const std::string& value) { CKSConfig::GetInstance()->WriteSyncOn(value, true); }
void SyncServices::WriteSyncAsPrimary(const std::string& value) {
  CKSConfig::GetInstance()->WriteSyncAsPrimary(value, true);
}
void SyncServices::WriteSyncPath(const std::string& value) { CKSConfig::GetInstance()->WriteSyncPath(value, true); }
bool SyncServices::CheckAdapter(std::u16string& adapterIndex) { return CSyncLogic::CheckAdapter(adapterIndex); }
bool SyncServices::InstallDriver() { return CSyncLogic::InstallDriver(); }
bool SyncServices::Configure(const std::u16string& adapterIndex, const std::string& account,
                             const std::string& syncFolder, bool isPrimary) {
  return CSyncLogic::Configure(adapterIndex, account, syncFolder, isPrimary);
}
bool SyncServices::StartNetwork() { return CSyncLogic::StartNetwork(); }
bool SyncServices::Run() { return CSyncLogic::Run(); }
bool SyncServices::Stop() { return CSyncLogic::Stop(); }

bool SyncServices::ExportLog(const std::string& csvPath) {
  ks::desktop::ILanguages* languages = ks::desktop::CLanguages::GetInstance();
  const bool ok = CSyncLogic::ExportLog(csvPath, languages);
  if (languages) languages->Release();
  return ok;
}

int SyncServices::ShowBox(const std::string& key, unsigned type) { return ks::skin::ShowDiyMessageBoxByKey(key, type); }

std::optional<std::string> SyncServices::PickFolder(QWidget* parent) {
  const auto picked = ks::dialogs::PickFolder(parent, ks::ui::LangText("OTHER", "OTHER_SELECTFLODER"));
  if (!picked) return std::nullopt;
  return picked->toStdString();
}

std::optional<std::string> SyncServices::SaveFileName() {
  QFileDialog dialog(nullptr, QString(), QString(), QStringLiteral("Excel (*.csv);;All (*.*)"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix(QStringLiteral("csv"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  const QString file = dialog.selectedFiles().first();
  if (file.isEmpty()) return std::nullopt;
  return file.toStdString();
}

SyncServices* SyncServices::System() {
  static SyncServices* services = [] {
    static BoxNotice notice;
    CSyncLogic::SetNotice(&notice);
    return new SyncServices();
  }();
  return services;
}

// ---- CSyncDlg ----

QSize CSyncDlg::PageSize() { return ks::ui::DuToPx(QSize(318, 122), kTemplatePoints); }

CSyncDlg::CSyncDlg(ks::desktop::IUIData* uiData, QWidget* parent, SyncServices* services)
    : QWidget(parent), uiData_(uiData), services_(services ? services : SyncServices::System()) {
  if (uiData_) uiData_->AddRef();
  resize(PageSize());
  ks::ui::SetControlId(this, 103);

  auto place = [](QWidget* control, int id, const QRect& rect) {
    ks::ui::SetControlId(control, id);
    control->setGeometry(rect);
  };
  m_title = new z::CZStatic(this);
  place(m_title, 1160, Du(12, 12, 82, 11));
  m_switch = new z::CZToggleButton(this);
  m_switch->setCheckable(true);
  place(m_switch, 1074, Du(105, 12, 43, 16));
  m_status = new z::CZStatic(this);
  place(m_status, 1166, Du(153, 13, 109, 13));
  m_device = new z::CZStatic(this);
  place(m_device, 1161, Du(12, 34, 82, 13));
  m_primary = new z::CZRadioButton(this);
  place(m_primary, 1157, Du(104, 33, 50, 12));
  m_secondary = new z::CZRadioButton(this);
  place(m_secondary, 1158, Du(190, 33, 55, 12));
  for (z::CZRadioButton* radio : {m_primary, m_secondary}) {
    radio->setCheckable(true);
    radio->setAutoExclusive(true);
  }
  m_note = new z::CZStatic(this);
  place(m_note, 1159, Du(12, 56, 296, 16));
  m_pathLabel = new z::CZStatic(this);
  place(m_pathLabel, 1162, Du(12, 78, 56, 13));
  m_pathEdit = new QLineEdit(this);
  m_pathEdit->setReadOnly(true);
  m_pathEdit->setMaxLength(260);
  QPalette palette = m_pathEdit->palette();
  palette.setColor(QPalette::Base, Qt::white);
  palette.setColor(QPalette::Text, Qt::black);
  m_pathEdit->setPalette(palette);
  place(m_pathEdit, 1101, Du(103, 78, 100, 14));
  m_select = new z::CZButton(this);
  place(m_select, 1155, Du(206, 78, 69, 14));
  m_output = new z::CZButton(this);
  place(m_output, 1135, Du(11, 98, 70, 16));

  m_output->LoadImages(398, 397, 398, 398);
  m_select->LoadImages(400, 399, 400, 400);
  m_switch->m_onImage = ks::ui::LoadPngResource(394);
  m_switch->m_offImage = ks::ui::LoadPngResource(393);
  for (z::CZRadioButton* radio : {m_primary, m_secondary}) {
    radio->m_checkedImage = ks::ui::LoadPngResource(395);
    radio->m_uncheckedImage = ks::ui::LoadPngResource(396);
  }

  connect(m_switch, &QAbstractButton::clicked, this, &CSyncDlg::OnBnClickedSyncSwitch);
  connect(m_primary, &QAbstractButton::clicked, this, &CSyncDlg::OnBnClickedPrimary);
  connect(m_secondary, &QAbstractButton::clicked, this, &CSyncDlg::OnBnClickedSecondary);
  connect(m_select, &QAbstractButton::clicked, this, &CSyncDlg::OnBnClickedSelect);
  connect(m_output, &QAbstractButton::clicked, this, &CSyncDlg::OnBnClickedOutputLog);

  LoadLanguageTexts();
  RefreshFromConfig();
}

CSyncDlg::~CSyncDlg() {
  services_->Stop();
  services_->WriteSyncOn("false");
  if (uiData_) uiData_->Release();
}

void CSyncDlg::LoadLanguageTexts() {
  auto text = [](const char* key) { return ks::ui::LangText("UI", key); };
  m_title->SetText(text("SETTING_STATIC_SYNC_SYNC"));
  m_device->SetText(text("SETTING_STATIC_SYNC_SETDEVICE"));
  m_note->SetText(text("SETTING_STATIC_SYNC_NOTE"));
  m_pathLabel->SetText(text("SETTING_STATIC_SYNC_PATH"));
  m_status->SetText(text("SETTING_STATIC_SYNC_BUTTON_STATUS_IDLE"));
  m_primary->setText(text("SETTING_SYNC_RADIO_PRIMARY"));
  m_secondary->setText(text("SETTING_SYNC_RADIO_SECONDARY"));
  m_select->setText(text("SETTING_BUTTON_SYNC_SELECT"));
  m_output->setText(text("SETTING_BUTTON_SYNC_OUTPUT"));

  const QFont font = ks::ui::CreateLanguageFont("FONT_SETTING_SYNC_STATIC");
  for (z::CZStatic* label : {m_title, m_device, m_note, m_pathLabel, m_status}) {
    label->SetTextFont(font);
    label->m_textColor = kTextColour;
  }
  m_note->m_textColor = kNoteColour;
  for (z::CZRadioButton* radio : {m_primary, m_secondary}) {
    radio->SetTextFont(font);
    radio->m_textColor = kTextColour;
  }
  m_select->SetTextFont(font);
  m_output->SetTextFont(font);
  update();
}

void CSyncDlg::RefreshFromConfig() {
  const bool primary = services_->ReadSyncAsPrimary().find("true") != std::string::npos;
  if (m_primary->isChecked() != primary) m_primary->setChecked(primary);
  if (m_secondary->isChecked() == primary) m_secondary->setChecked(!primary);
  m_syncPath = services_->ReadSyncPath();
  const QString path = QString::fromStdString(m_syncPath);
  if (m_pathEdit->text() != path) m_pathEdit->setText(path);
  const bool on = services_->ReadSyncOn() == "true";
  if (m_switch->isChecked() != on) m_switch->setChecked(on);
}

void CSyncDlg::paintEvent(QPaintEvent*) {
  // Nothing is painted here: the window's skin shows through and the controls draw
  // themselves. The controls follow the configuration.
  RefreshFromConfig();
}

void CSyncDlg::SetStatus(const char* key) {
  m_status->SetText(ks::ui::LangText("UI", key));
  m_status->repaint();
}

void CSyncDlg::OnBnClickedSyncSwitch() {
  {
    std::lock_guard<std::mutex> lock(g_busyLock);
    if (g_syncBusy) {
      m_switch->setChecked(!m_switch->isChecked());
      return;
    }
    g_syncBusy = true;
  }
  SetStatus("SETTING_STATIC_SYNC_BUTTON_STATUS_BUSY");

  QPointer<CSyncDlg> self(this);
  if (m_switch->isChecked()) {
    const std::string path = m_syncPath;
    auto fail = [&](const char* key, unsigned type = 0) {
      m_switch->setChecked(false);
      return services_->ShowBox(key, type);
    };
    if (IsRootPath(path)) {
      fail("MSGBOX_SETTING_SYNC_FORBIDDEN_PATH");
    } else {
      ks::desktop::LoginInfo info{};
      std::string dataFolder;
      if (uiData_) {
        uiData_->GetLogOnInfo(&info);
        uiData_->GetDefShare(&dataFolder, true);
      }
      info.account[sizeof info.account - 1] = '\0';
      const std::string account = info.account;
      std::u16string adapter;
      if (account.empty()) {
        fail("MSGBOX_SETTING_SYNC_NOTLOGGEDIN");
      } else if (!services_->CheckAdapter(adapter)) {
        if (fail("MSGBOX_SETTING_SYNC_NO_DRIVER", 4) == ks::skin::IDOK) services_->InstallDriver();
      } else if (!IsAcceptableSyncFolder(path, dataFolder)) {
        fail("MSGBOX_SETTING_SYNC_FORBIDDEN_PATH");
      } else if (!services_->Configure(adapter, account, path, m_primary->isChecked())) {
        fail("MSGBOX_SETTING_SYNC_FAILEDTOOPEN");
      } else if (!services_->StartNetwork()) {
        services_->Stop();
        fail("MSGBOX_SETTING_SYNC_FAILEDTOOPEN");
      } else if (!services_->Run()) {
        fail("MSGBOX_SETTING_SYNC_FAILEDTOOPEN");
      } else {
        m_primary->setEnabled(false);
        m_secondary->setEnabled(false);
        m_select->setEnabled(false);
        services_->WriteSyncOn("true");
      }
    }
  } else if (services_->Stop()) {
    services_->WriteSyncOn("false");
    m_primary->setEnabled(true);
    m_secondary->setEnabled(true);
    m_select->setEnabled(true);
  } else {
    m_switch->setChecked(true);
    services_->ShowBox("MSGBOX_SETTING_SYNC_FAILEDTOSTOP", 0);
  }

  {
    std::lock_guard<std::mutex> lock(g_busyLock);
    g_syncBusy = false;
  }
  if (!self) return;
  SetStatus("SETTING_STATIC_SYNC_BUTTON_STATUS_IDLE");
  repaint();
}

void CSyncDlg::OnBnClickedPrimary() { services_->WriteSyncAsPrimary("true"); }

void CSyncDlg::OnBnClickedSecondary() { services_->WriteSyncAsPrimary("false"); }

void CSyncDlg::OnBnClickedSelect() {
  const std::optional<std::string> picked = services_->PickFolder(this);
  if (!picked || picked->empty()) return;
  const std::string path = CanonicalFolderText(*picked);
  if (!CKSUtil::IsAllowedFolder(path)) {
    services_->ShowBox("MSGBOX_SETTING_SYNC_FORBIDDEN_PATH", 0);
    return;
  }
  std::string dataFolder;
  if (uiData_) uiData_->GetDefShare(&dataFolder, true);
  if (IsAcceptableSyncFolder(path, dataFolder)) {
    m_syncPath = path;
  } else {
    services_->ShowBox("MSGBOX_SETTING_SYNC_FORBIDDEN_PATH", 0);
    m_syncPath.clear();
  }
  m_pathEdit->setText(QString::fromStdString(m_syncPath));
  services_->WriteSyncPath(m_syncPath);
}

void CSyncDlg::OnBnClickedOutputLog() {
  {
    std::lock_guard<std::mutex> lock(exportLock_);
    if (exportRunning_) return;
    exportRunning_ = true;
  }
  QPointer<CSyncDlg> self(this);
  if (const std::optional<std::string> file = services_->SaveFileName()) {
    const bool saved = services_->ExportLog(*file);
    services_->ShowBox(saved ? "MSGBOX_SETTING_SYNC_LOGSAVINGSUCCEED" : "MSGBOX_SETTING_SYNC_FAILEDTOSAVELOG", 0);
  }
  if (!self) return;
  std::lock_guard<std::mutex> lock(exportLock_);
  exportRunning_ = false;
}

}  // namespace ks::pages
