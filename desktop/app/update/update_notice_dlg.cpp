#include "desktop/app/update/update_notice_dlg.h"

#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/skin/html_dlg.h"
#include "desktop/foundation/ui/dialog_units.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/language_tables.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "desktop/foundation/update/update_logic.h"
#include "desktop/foundation/web/web.h"

#include <QKeyEvent>

namespace ks::update {
namespace {

constexpr int kTemplatePoints = 9;
constexpr QRgb kBlack = 0xFF000000;

}  // namespace

QString CUpdateNoticeDlg::BannerUrlFor(int language) {
  QString url = QString::fromStdString(ks::desktop::web::PageUrl(ks::desktop::web::kBannerPath));
  switch (language) {
    case 0: return url + QStringLiteral("?L=cn");
    case 1: return url + QStringLiteral("?L=en");
    case 2: return url + QStringLiteral("?L=tw");
    default: return url;
  }
}

CUpdateNoticeDlg::CUpdateNoticeDlg(QWidget* parent) : CDiyDialog(parent) {
  m_nBkImageID = 234;
  m_strBkImageType = QStringLiteral("PNG");
  m_bShowMinButton = false;
  setFixedSize(ks::ui::DuToPx(QSize(362, 185), kTemplatePoints));

  m_staticNotice = new ks::skin::CDiyStatic(this);
  ks::ui::SetControlId(m_staticNotice, kSentenceId);
  m_staticNotice->setGeometry(0, 172, width(), 30);

  auto button = [this](int id, const QRect& at) {
    auto* b = new ks::skin::CColorButton(this);
    ks::ui::SetControlId(b, id);
    b->setGeometry(at);
    return b;
  };
  m_btnUpdate = button(kUpdateId, QRect(206, 222, 90, 28));
  m_btnCancel = button(kCancelId, QRect(336, 222, 90, 28));
  m_btnNeverShow = button(kNeverShowId, QRect(20, 282, 320, 20));
  connect(m_btnUpdate, &QAbstractButton::clicked, this, [this] { OnButton(ks::skin::IDOK); });
  connect(m_btnCancel, &QAbstractButton::clicked, this, [this] { OnButton(ks::skin::IDCANCEL); });

  // The language tables tell their listeners about a change of language.
  if (auto* tables = dynamic_cast<ks::ui::LanguageTablesSource*>(ks::ui::GetLanguageSource().get())) {
    m_pLanguages = tables->tables();
    if (m_pLanguages) {
      m_pLanguages->AddRef();
      m_pLanguages->RegisterCallBack(this);
    }
  }
}

CUpdateNoticeDlg::~CUpdateNoticeDlg() {
  delete m_pBanner;
  m_pBanner = nullptr;
  if (m_pLanguages) {
    m_pLanguages->UnregisterCallBack(this);
    m_pLanguages->Release();
  }
}

bool CUpdateNoticeDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  setWindowIcon(ks::ui::LoadIconResource(128));

  const QFont sentenceFont = ks::ui::CreateLanguageFont("FONT_UPDATE_STATIC");
  const QFont buttonFont = ks::ui::CreateLanguageFont("FONT_SETTING_BUTTON");
  m_staticNotice->SetTextFont(sentenceFont);
  m_staticNotice->m_textColor = kBlack;
  m_staticNotice->SetAlignment({ks::ui::Align::Center, ks::ui::Align::Center, ks::ui::kOneLine});
  for (ks::skin::CColorButton* b : {m_btnUpdate, m_btnCancel}) {
    b->SetTextFont(buttonFont);
    b->SetImages(219, 219, 220, 219);
    b->m_textColor = kBlack;
  }
  m_btnNeverShow->SetTextFont(buttonFont);
  m_btnNeverShow->m_textColor = kBlack;
  m_btnNeverShow->SetStyle(ks::skin::CColorButton::kCheck);
  m_btnNeverShow->setChecked(false);

  if (!m_pBanner) {
    m_pBanner = new ks::skin::CHtmlDlg(this);
    m_pBanner->setGeometry(0, m_nCaptionHeight, kBannerWidth, kBannerHeight);
    NavigateBanner();
    m_pBanner->show();
  }
  m_btnUpdate->setFocus();
  return true;
}

void CUpdateNoticeDlg::NavigateBanner() {
  if (!m_pBanner) return;
  const int language = ks::ui::CurrentLanguage();
  m_pBanner->m_nLanguage = language;
  m_strBannerUrl = BannerUrlFor(language);
  m_pBanner->NavigateUrl(m_strBannerUrl, false);
}

void CUpdateNoticeDlg::ApplyTexts() {
  m_bTextsApplied = true;
  const QString sentence = ks::ui::LangText("UI", "UPDATE_STATIC_UPDATENOTICE_HEAD") + m_strVersion +
                           ks::ui::LangText("UI", "UPDATE_STATIC_UPDATENOTICE_TAIL");
  m_staticNotice->setText(sentence);
  // The dialog's own line, so that checks from outside find the sentence by the dialog.
  if (ks::ui::TraceEnabled())
    ks::ui::TraceLine(QStringLiteral("text %1 %2 %3")
                          .arg(ks::ui::TraceClassName(this))
                          .arg(kSentenceId)
                          .arg(ks::ui::TraceQuote(sentence)));
  m_btnUpdate->SetCaption(ks::ui::LangText("UI", "UPDATE_BUTTON_UPDATE"));
  m_btnCancel->SetCaption(ks::ui::LangText("UI", "UPDATE_BUTTON_CANCEL"));
  m_btnNeverShow->SetCaption(ks::ui::LangText("UI", "UPDATE_STATIC_NEVERSHOW"));
  m_strTitle = ks::ui::LangText("UI", "DIALOG_TITLE");
  update();
}

void CUpdateNoticeDlg::OnLanguageChanged() {
  // Listeners may be told from a load on any path; the window is touched on its thread.
  QMetaObject::invokeMethod(this, [this] {
    m_bTextsApplied = false;
    NavigateBanner();
    update();
  }, Qt::QueuedConnection);
}

void CUpdateNoticeDlg::paintEvent(QPaintEvent* e) {
  if (!m_bTextsApplied) ApplyTexts();
  CDiyDialog::paintEvent(e);
}

void CUpdateNoticeDlg::keyPressEvent(QKeyEvent* e) {
  // Enter and Escape must not end the notice: only its two buttons give an answer.
  switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
      e->accept();
      return;
    default:
      CDiyDialog::keyPressEvent(e);
  }
}

void CUpdateNoticeDlg::OnButton(int answer) {
  const bool ticked = m_btnNeverShow->isChecked();
  if (!ks::desktop::update::WriteKestylDword(ks::desktop::update::kUpdateNoticeValue, ticked ? 1 : 0))
    KS_DESKTOP_LOG("CUpdateNoticeDlg::OnButton", "Cannot write UpdateNotice = %d to HKLM\\SOFTWARE\\Kestyl",
                   ticked ? 1 : 0);
  done(answer);
}

int RunUpdateNotice(const std::string& version, QWidget* parent) {
  CUpdateNoticeDlg dlg(parent);
  dlg.SetOfferedVersion(QString::fromStdString(version));
  return dlg.DoModal();
}

}  // namespace ks::update
