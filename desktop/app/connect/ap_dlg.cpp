#include "desktop/app/connect/ap_dlg.h"

#include "desktop/app/connect/hosted_network.h"
#include "desktop/foundation/skin/diy_message_box.h"
#include "desktop/foundation/ui/dialog_units.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "desktop/foundation/util/ks_util.h"
#include "platform/elevation.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QShowEvent>

#include <cmath>

namespace ks::desktop {

using ks::skin::CColorButton;
using ks::skin::CDiyStatic;

namespace {

constexpr int kTemplatePoints = 8;
constexpr QRgb kTextColour = 0xFF323232;
constexpr QRgb kCaptionColour = 0xFF434343;
constexpr int kWidth = 322;
constexpr int kHeight = 198;

int MajorVersion() {
  int major = 0, minor = 0;
  ks::platform::WindowsVersion(major, minor);
  return major;
}

// Removes the batch file when the start is over, whichever way it went.
class BatchFileGuard {
 public:
  explicit BatchFileGuard(bool written) : written_(written) {}
  ~BatchFileGuard() {
    if (written_) CKSUtil::RemoveFile(kApBatchFileName);
  }
  BatchFileGuard(const BatchFileGuard&) = delete;
  BatchFileGuard& operator=(const BatchFileGuard&) = delete;

 private:
  bool written_;
};

}  // namespace

void CApIcon::SetImage(unsigned id) {
  if (id_ == id) return;
  id_ = id;
  update();
}

void CApIcon::paintEvent(QPaintEvent*) {
  const QImage image = ks::ui::LoadPngResource(id_);
  if (image.isNull()) return;
  QPainter p(this);
  p.drawImage(QRect(0, 0, width(), height()), image);
}

CApDlg::CApDlg(QWidget* parent) : CDiyDialog(parent) {
  m_nBkImageID = 295;
  m_strBkImageType = QStringLiteral("PNG");
  m_bShowMinButton = false;
  setModal(false);
  setWindowIcon(ks::ui::LoadIconResource(128));

  auto place = [this](QWidget* w, int id, const QRect& du) {
    ks::ui::SetControlId(w, id);
    w->setGeometry(ks::ui::DuToPx(du, kTemplatePoints));
  };
  m_btStart = new CColorButton(this);
  place(m_btStart, kStartId, {77, 52, 59, 19});
  m_btStop = new CColorButton(this);
  place(m_btStop, kStopId, {77, 52, 59, 19});
  m_stStatus = new CDiyStatic(this);
  place(m_stStatus, kStatusId, {44, 87, 161, 24});
  m_icon = new CApIcon(this);
  place(m_icon, kIconId, {24, 88, 20, 20});
  m_stTitle = new CDiyStatic(this);
  place(m_stTitle, kTitleId, {43, 18, 127, 17});
  connect(m_btStart, &QAbstractButton::clicked, this, [this] { OnStart(); });
  connect(m_btStop, &QAbstractButton::clicked, this, [this] { OnStop(); });
}

CApDlg::~CApDlg() = default;

bool CApDlg::HasWirelessAdapter() { return ks::desktop::HasWirelessAdapter(); }

bool CApDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  m_buttonFont = ks::ui::CreateLanguageFont("FONT_AP_BUTTON");
  m_statusFont = ks::ui::CreateLanguageFont("FONT_AP_STARIC");
  m_titleFont = ks::ui::CreateLanguageFont("FONT_AP_TITLE");

  m_btStart->SetCaption(ks::ui::LangText("UI", "AP_BUTTON_START"));
  m_btStop->SetCaption(ks::ui::LangText("UI", "AP_BUTTON_STOP"));
  for (CColorButton* b : {m_btStart, m_btStop}) {
    b->SetTextFont(m_buttonFont);
    b->SetImages(332, 332, 333, 332);
    b->m_textColor = kCaptionColour;
  }
  m_strTitle = ks::ui::LangText("UI", "DIALOG_TITLE");

  m_stTitle->SetTextFont(m_titleFont);
  m_stTitle->setFont(m_titleFont);
  m_stTitle->m_textColor = kTextColour;
  m_stTitle->SetAlignment({ks::ui::Align::Center, ks::ui::Align::Center, ks::ui::kOneLine});
  m_stStatus->SetTextFont(m_statusFont);
  m_stStatus->setFont(m_statusFont);
  m_stStatus->m_textColor = kTextColour;
  m_stStatus->SetAlignment({ks::ui::Align::Near, ks::ui::Align::Near, ks::ui::kLineLimit});

  CheckState();
  m_stTitle->setText(ks::ui::LangText("UI", "AP_STATIC_TITLE"));
  setFixedSize(kWidth, kHeight);
  LayoutStatus();
  return false;
}

void CApDlg::showEvent(QShowEvent* e) {
  CDiyDialog::showEvent(e);
  if (!e->spontaneous()) CheckState();
}

void CApDlg::CheckState() {
  const bool started = HostedNetworkStarted();
  const bool wireless = !started && HasWirelessAdapter();
  const ApView view = ApViewFor(started, MajorVersion(), wireless);
  m_btStop->setVisible(view.stopVisible);
  m_btStart->setVisible(view.startVisible);
  if (view.startVisible) m_btStart->setEnabled(view.startEnabled);
  SetStatus(view.statusKey, view.icon);
}

void CApDlg::SetStatus(const char* key, unsigned icon) {
  m_stStatus->setText(ks::ui::LangText("UI", key));
  m_icon->SetImage(icon);
}

void CApDlg::LayoutStatus() {
  // The measured height is truncated to whole pixels; a wrapped block laid out from it would
  // be a pixel short of its last line, which the drawing then leaves out. A whole line it is.
  QSize text = m_stStatus->SizeToText();
  text.setHeight(static_cast<int>(std::ceil(QFontMetricsF(m_statusFont).height())));
  const ApStatusLayout layout = LayoutApStatus(width(), height(), text);
  m_icon->move(layout.icon);
  m_stStatus->setGeometry(layout.text);
  m_icon->raise();
  m_stStatus->raise();
  m_icon->show();
  m_stStatus->show();
}

void CApDlg::OnStart() {
  const std::string batch = WriteApBatchFile(ApBatchText(CKSUtil::GetSystemFolder()));
  {
    BatchFileGuard guard(!batch.empty());
    if (!batch.empty()) {
      RunElevated(batch, "", ks::ui::LangText("MESSAGEBOX", "MSGBOX_UAC_STARTAP"));
    } else {
      RunElevated("netsh", kApSetParameters, ks::ui::LangText("MESSAGEBOX", "MSGBOX_UAC_BUILDAP"));
      RunElevated("netsh", kApStartParameters, ks::ui::LangText("MESSAGEBOX", "MSGBOX_UAC_STARTAP"));
    }
  }
  // Only netsh's own report counts: a declined prompt or a failed run shows up here.
  if (HostedNetworkIsUp()) {
    m_btStart->hide();
    m_btStop->show();
    SetStatus("AP_STARTED", kApIconReady);
    SetHostedNetworkStarted(true);
  } else {
    SetStatus("AP_DEVICE_UNAVAILABLE", kApIconOther);
    SetHostedNetworkStarted(false);
  }
  LayoutStatus();
  update();
}

void CApDlg::OnStop() {
  StopHostedNetwork();
  m_btStop->hide();
  m_btStart->show();
  SetStatus("AP_OK", kApIconReady);
  LayoutStatus();
  update();
  SetHostedNetworkStarted(false);
}

bool CApDlg::RunElevated(const std::string& program, const std::string& parameters, const QString& text) {
  const QString notice = text.size() <= 1 ? ks::ui::LangText("MESSAGEBOX", "MSGBOX_UAC") : text;
  if (MajorVersion() <= 5) {
    if (CKSUtil::IsUserAdmin()) {
      CKSUtil::RunCommand(program + " " + parameters, nullptr, true, false);
      return true;
    }
    ShowNotice(notice);
  } else if (CKSUtil::IsUacEnabled() && !CKSUtil::IsElevated()) {
    ShowNotice(notice);
  }
  return CKSUtil::RunElevated(program, parameters, true) == 0;
}

void CApDlg::ShowNotice(const QString& text) {
  ks::skin::ShowDiyMessageBox(text, ks::ui::LangText("UI", "DIALOG_TITLE"), 0);
}

}  // namespace ks::desktop
