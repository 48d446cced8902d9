#include "desktop/app/login/switch_account_dlg.h"

#include "desktop/foundation/ui/dialog_units.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QKeyEvent>
#include <QPainter>

namespace ks::login {
namespace {
constexpr int kTemplatePoints = 8;
}

void CPictureStatic::paintEvent(QPaintEvent*) {
  const QImage image = ks::ui::LoadPngResource(m_imageId);
  if (image.isNull()) return;
  QPainter(this).drawImage(QRect(0, 0, image.width(), image.height()), image);
}

CSwitchAccountDlg::CSwitchAccountDlg(QWidget* parent) : CDiyDialog(parent) {
  m_nBkImageID = 263;
  m_strBkImageType = QStringLiteral("PNG");
  m_bShowMinButton = false;
  setWindowFlag(Qt::WindowStaysOnTopHint, true);
  setAttribute(Qt::WA_ShowWithoutActivating, true);
  resize(ks::ui::DuToPx(QSize(237, 120), kTemplatePoints));

  auto button = [this](int id, const QRect& du) {
    auto* b = new ks::skin::CColorButton(this);
    ks::ui::SetControlId(b, id);
    b->setGeometry(ks::ui::DuToPx(du, kTemplatePoints));
    return b;
  };
  ok_ = button(kOkId, {113, 99, 50, 15});
  cancel_ = button(kCancelId, {175, 99, 50, 15});
  picture_ = new CPictureStatic(this);
  ks::ui::SetControlId(picture_, kPictureId);
  picture_->setGeometry(ks::ui::DuToPx(QRect(55, 50, 21, 19), kTemplatePoints));
  picture_->m_imageId = 266;
  text_ = new ks::skin::CDiyStatic(this);
  ks::ui::SetControlId(text_, kTextId);
  text_->setGeometry(ks::ui::DuToPx(QRect(80, 53, 128, 12), kTemplatePoints));
  connect(ok_, &QAbstractButton::clicked, this, [this] { done(ks::skin::IDOK); });
  connect(cancel_, &QAbstractButton::clicked, this, [this] { done(ks::skin::IDCANCEL); });
}

bool CSwitchAccountDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  const QFont buttonFont = ks::ui::CreateLanguageFont("FONT_MESSAGEBOX_BUTTON");
  const QFont textFont = ks::ui::CreateLanguageFont("FONT_SWITCH_STATIC");
  auto setUp = [&](ks::skin::CColorButton* b, const char* key) {
    b->SetCaption(ks::ui::LangText("UI", key));
    b->SetTextFont(buttonFont);
    b->m_textColor = 0xFF434343;
    b->SetImages(334, 334, 335, 334);
  };
  setUp(ok_, "MSGBOX_BUTTON_OK");
  setUp(cancel_, "MSGBOX_BUTTON_CANCEL");
  text_->setText(ks::ui::LangText("MESSAGEBOX", "MSGBOX_LOGIOUTUSER"));
  text_->SetTextFont(textFont);
  text_->m_textColor = 0xFF000000;
  text_->SetAlignment({ks::ui::Align::Near, ks::ui::Align::Near, ks::ui::kOneLine});
  m_strTitle = ks::ui::LangText("UI", "DIALOG_TITLE");
  resize(355, 197);
  return true;
}

void CSwitchAccountDlg::keyPressEvent(QKeyEvent* e) {
  if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && e->modifiers() == Qt::NoModifier) {
    done(ks::skin::IDOK);
    return;
  }
  CDiyDialog::keyPressEvent(e);
}

}  // namespace ks::login
