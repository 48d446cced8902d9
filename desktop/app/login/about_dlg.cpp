#include "desktop/app/login/about_dlg.h"

#include "desktop/foundation/ui/dialog_units.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"

namespace ks::login {
namespace {
constexpr int kTemplatePoints = 8;
bool g_aboutOpen = false;
}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : CDiyDialog(parent) {
  m_nBkImageID = 371;
  m_strBkImageType = QStringLiteral("PNG");
  m_bShowMinButton = false;
  resize(ks::ui::DuToPx(QSize(300, 231), kTemplatePoints));

  logo_ = new CPictureStatic(this);
  ks::ui::SetControlId(logo_, kLogoId);
  logo_->setGeometry(ks::ui::DuToPx(QRect(119, 63, 60, 75), kTemplatePoints));
  link_ = new CLinkLabel(this);
  ks::ui::SetControlId(link_, kLinkId);
  link_->setGeometry(ks::ui::DuToPx(QRect(127, 152, 89, 14), kTemplatePoints));
  link_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  QPalette lp = link_->palette();
  lp.setColor(QPalette::WindowText, QColor(0x0F, 0x92, 0xE5));
  link_->setPalette(lp);
  webSign_ = new CPictureStatic(this);
  ks::ui::SetControlId(webSign_, kWebSignId);
  webSign_->setGeometry(ks::ui::DuToPx(QRect(87, 147, 37, 20), kTemplatePoints));
  webSign_->m_imageId = 375;
  line_ = new ks::skin::CDiyStatic(this);
  ks::ui::SetControlId(line_, kAboutLineId);
  line_->setGeometry(ks::ui::DuToPx(QRect(7, 211, 285, 14), kTemplatePoints));
}

CAboutDlg::~CAboutDlg() = default;

unsigned CAboutDlg::LogoImageFor(int language) {
  switch (language) {
    case 1: return 374;
    case 2: return 373;
    default: return 372;
  }
}

int CAboutDlg::ShowOnce(QWidget* parent) {
  if (g_aboutOpen) return -1;
  g_aboutOpen = true;
  CAboutDlg dlg(parent);
  const int result = dlg.DoModal();
  g_aboutOpen = false;
  return result;
}

bool CAboutDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  setWindowIcon(ks::ui::LoadIconResource(128));
  line_->SetTextFont(ks::ui::CreateLanguageFont("FONT_ABOUT_STATIC1"));
  line_->m_textColor = 0xFF878787;
  line_->SetAlignment({ks::ui::Align::Center, ks::ui::Align::Center, ks::ui::kOneLine});
  link_->setFont(ks::ui::CreateLanguageFont("FONT_ABOUT_STATIC", true));
  logo_->m_imageId = LogoImageFor(ks::ui::CurrentLanguage());
  resize(447, 385);
  return false;
}

void CAboutDlg::LoadLanguageTexts() {
  textsLoaded_ = true;
  link_->m_url = ks::ui::LangText("URL", "URL_HOMEPAGE");
  link_->setText(ks::ui::LangText("UI", "ABOUT_STATIC_LINK2"));
  m_strTitle = ks::ui::LangText("UI", "DIALOG_TITLE");
  line_->setText(ks::ui::LangText("UI", "ABOUT_STATIC_ABOUT2"));
  update();
}

void CAboutDlg::OnLanguageChanged() {
  QMetaObject::invokeMethod(this, [this] {
    textsLoaded_ = false;
    update();
  }, Qt::QueuedConnection);
}

void CAboutDlg::paintEvent(QPaintEvent* e) {
  if (!textsLoaded_) LoadLanguageTexts();
  const unsigned logo = LogoImageFor(ks::ui::CurrentLanguage());
  if (logo != logo_->m_imageId) {
    logo_->m_imageId = logo;
    logo_->update();
  }
  CDiyDialog::paintEvent(e);
}

}  // namespace ks::login
