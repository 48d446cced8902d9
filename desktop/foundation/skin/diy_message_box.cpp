#include "desktop/foundation/skin/diy_message_box.h"

#include "desktop/foundation/ui/dialog_units.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/msg_event.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QPointer>
#include <QTextLayout>

#include <algorithm>

namespace ks::skin {
namespace {

constexpr int kTemplatePoints = 9;
constexpr int kButtonsTop = 160;
constexpr int kTextTopLimit = 30;  // below the title picture (8 + 22)

CColorButton* MakeButton(QWidget* parent, int id, const QRect& du) {
  auto* b = new CColorButton(parent);
  ks::ui::SetControlId(b, id);
  b->setGeometry(ks::ui::DuToPx(du, kTemplatePoints));
  b->hide();
  return b;
}

int WrappedLines(const QString& text, const QFont& font, int width) {
  if (width <= 0) return 1;
  int lines = 0;
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
    QTextLayout layout(paragraph, font);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
      line.setLineWidth(width);
      ++lines;
    }
    layout.endLayout();
  }
  return lines;
}

}  // namespace

CDiyMessageBox::CDiyMessageBox(const QString& text, const QString& caption, unsigned type, QWidget* parent)
    : CDiyDialog(parent), text_(text), type_(type) {
  text_.replace(QLatin1String("\\n"), QLatin1String("\n"));
  m_strTitle = caption;
  m_nBkImageID = 263;
  m_strBkImageType = QStringLiteral("PNG");
  m_bShowMinButton = false;
  setFixedSize(ks::ui::DuToPx(QSize(203, 113), kTemplatePoints));
  ok_ = MakeButton(this, IDOK, {34, 90, 42, 14});
  cancel_ = MakeButton(this, IDCANCEL, {94, 90, 42, 14});
  yes_ = MakeButton(this, kYesId, {34, 90, 47, 14});
  no_ = MakeButton(this, kNoId, {94, 90, 47, 14});
  static_ = new CDiyStatic(this);
  ks::ui::SetControlId(static_, kTextId);
  static_->setGeometry(ks::ui::DuToPx(QRect(12, 33, 177, 49), kTemplatePoints));
  connect(ok_, &QAbstractButton::clicked, this, [this] { done(IDOK); });
  connect(cancel_, &QAbstractButton::clicked, this, [this] { done(IDCANCEL); });
  connect(yes_, &QAbstractButton::clicked, this, [this] { done(IDYES); });
  connect(no_, &QAbstractButton::clicked, this, [this] { done(IDNO); });
}

int CDiyMessageBox::TextHeight(int tw, int th, int cw, int wrappedLines, int lineHeight) {
  int lines = 1;
  if (cw > 0) lines = tw / cw + (tw % cw != 0 ? 1 : 0);
  return std::max((th + 1) * lines, wrappedLines * lineHeight + 1);
}

bool CDiyMessageBox::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  static_->setText(text_);
  const QFont font = ks::ui::CreateLanguageFont("FONT_MESSAGEBOX_BUTTON");
  static_->SetTextFont(font);
  static_->m_textColor = 0xFF000000;
  static_->SetAlignment({ks::ui::Align::Center, ks::ui::Align::Center, ks::ui::kLineLimit});
  const QSize t = static_->SizeToText();
  const int cw = static_->width();
  const int lineHeight = static_cast<int>(QFontMetricsF(font).height());
  int height = TextHeight(t.width(), t.height(), cw, text_.isEmpty() ? 0 : WrappedLines(text_, font, cw), lineHeight);
  height = std::min(height, kButtonsTop - 2 - kTextTopLimit);
  const int y = std::max(kTextTopLimit, (193 - height) / 2);
  static_->setGeometry(27, y, cw, height);
  static_->show();

  auto setUp = [&](CColorButton* b, const char* key, QPoint at) {
    b->SetCaption(ks::ui::LangText("UI", key));
    b->SetImages(260, 260, 259, 0);
    b->m_textColor = 0xFF434343;
    b->SetTextFont(font);
    b->move(at);
    b->show();
  };
  switch (type_) {
    case MB_OK: setUp(ok_, "MSGBOX_BUTTON_OK", QPoint((width() - ok_->width()) / 2, kButtonsTop)); break;
    case MB_OKCANCEL:
      setUp(ok_, "MSGBOX_BUTTON_OK", QPoint(67, kButtonsTop));
      setUp(cancel_, "MSGBOX_BUTTON_CANCEL", QPoint(200, kButtonsTop));
      break;
    case MB_YESNO:
      setUp(ok_, "MSGBOX_BUTTON_YES", QPoint(67, kButtonsTop));
      setUp(cancel_, "MSGBOX_BUTTON_NO", QPoint(200, kButtonsTop));
      break;
    default: break;
  }
  return true;
}

void CDiyMessageBox::keyPressEvent(QKeyEvent* e) {
  if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && e->modifiers() == Qt::NoModifier) {
    if (ok_->isVisible()) done(IDOK);
    return;
  }
  CDiyDialog::keyPressEvent(e);
}

int ShowDiyMessageBox(const QString& text, const QString& caption, unsigned type) {
  if (!ks::ui::OnGuiThread()) {
    return ks::ui::CallOnGui([text, caption, type] { return ShowDiyMessageBox(text, caption, type); })
        .value_or(IDCANCEL);
  }
  // The window that was active before the box takes the keyboard again afterwards: without
  // a window manager nothing else hands it back, and its keys would reach no window.
  QPointer<QWidget> before = QApplication::activeWindow();
  CDiyMessageBox box(text, caption, type);
  ks::ui::TraceLine(QStringLiteral("box %1 %2 %3").arg(type).arg(ks::ui::TraceQuote(caption), ks::ui::TraceQuote(box.Text())));
  const int result = box.DoModal();
  if (before && before->isVisible()) before->activateWindow();
  return result;
}

int ShowDiyMessageBoxByKey(const std::string& key, unsigned type) {
  return ShowDiyMessageBox(ks::ui::LangText("MESSAGEBOX", key), ks::ui::LangText("UI", "DIALOG_TITLE"), type);
}

}  // namespace ks::skin
