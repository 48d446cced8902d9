#include "desktop/foundation/skin/diy_static_button.h"

#include <algorithm>

#include "desktop/foundation/skin/skin_surface.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>

namespace ks::skin {

using ks::ui::Align;

// ---- CDiyStatic

CDiyStatic::CDiyStatic(QWidget* parent) : QWidget(parent) {}

void CDiyStatic::setText(const QString& text) {
  text_ = text;
  ks::ui::TraceText(this, text);
  update();
}

QSize CDiyStatic::SizeToText() const { return font_ ? ks::ui::MeasureText(text_, *font_) : QSize(0, 0); }

void CDiyStatic::paintEvent(QPaintEvent*) {
  QImage canvas = BackgroundUnder(this);
  if (font_) {
    QPainter p(&canvas);
    ks::ui::DrawText(p, QRectF(0, 0, width(), height()), text_, *font_, m_textColor, format_);
  }
  QPainter(this).drawImage(0, 0, canvas);
}

// ---- CColorButton

CColorButton::CColorButton(QWidget* parent) : QAbstractButton(parent) { setFocusPolicy(Qt::NoFocus); }

void CColorButton::SetCaption(const QString& caption) {
  m_caption = (m_style == kCheck && !caption.isEmpty()) ? QStringLiteral(" ") + caption : caption;
  ks::ui::TraceText(this, m_caption);
}

void CColorButton::SetStyle(int style) {
  m_style = style;
  setCheckable(style == kRadio || style == kCheck);
  setAutoExclusive(style == kRadio);
  update();
}

void CColorButton::SetImages(unsigned normal, unsigned hover, unsigned pressed, unsigned disabled) {
  m_normalImage = normal;
  m_hoverImage = hover;
  m_pressedImage = pressed;
  m_disabledImage = disabled;
  update();
}

unsigned CColorButton::CurrentImage() const {
  if (!isEnabled()) return m_disabledImage;
  if (inside_) return pressed_ ? m_pressedImage : m_hoverImage;
  return pressed_ ? m_hoverImage : m_normalImage;
}

namespace {

// The picture at the button's size: a button laid out wider or taller than its art keeps the
// art's corners and borders and stretches only its middle, so the face and its caption cover
// the whole button.
QImage FitPicture(const QImage& art, int w, int h) {
  if (art.isNull() || (art.width() == w && art.height() == h) || w <= 0 || h <= 0) return art.copy();
  const int ex = std::min(6, art.width() / 3), ey = std::min(6, art.height() / 3);
  QImage out(w, h, QImage::Format_ARGB32_Premultiplied);
  out.fill(Qt::transparent);
  QPainter p(&out);
  p.setRenderHint(QPainter::SmoothPixmapTransform, false);
  const int xs[4] = {0, ex, art.width() - ex, art.width()};
  const int xd[4] = {0, ex, w - ex, w};
  const int ys[4] = {0, ey, art.height() - ey, art.height()};
  const int yd[4] = {0, ey, h - ey, h};
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) {
      const QRect from(xs[col], ys[row], xs[col + 1] - xs[col], ys[row + 1] - ys[row]);
      const QRect to(xd[col], yd[row], xd[col + 1] - xd[col], yd[row + 1] - yd[row]);
      if (from.isEmpty() || to.isEmpty()) continue;
      p.drawImage(to, art, from);
    }
  }
  return out;
}

}  // namespace

void CColorButton::paintEvent(QPaintEvent*) {
  const int w = width(), h = height();
  const QRectF all(0, 0, w, h);
  if (m_style == kPicture) {
    QImage picture = FitPicture(ks::ui::LoadPngResource(CurrentImage()), w, h);
    if (picture.isNull()) return;
    if (font_) {
      QPainter p(&picture);
      ks::ui::DrawText(p, all, m_caption, *font_, isEnabled() ? m_textColor : kDisabledText, Align::Center,
                       Align::Center, ks::ui::kOneLine);
    }
    QPainter(this).drawImage(0, 0, picture);
    return;
  }
  if (m_style != kRadio && m_style != kCheck) return;
  QImage canvas = BackgroundUnder(this);
  QPainter p(&canvas);
  if (m_style == kCheck) {
    const QRgb flat = canvas.valid(w - 10, h / 2) ? canvas.pixel(w - 10, h / 2) : 0xFF000000;
    canvas.fill(QColor::fromRgba(flat));
    const QImage frame = ks::ui::LoadPngResource(388);
    if (!frame.isNull()) p.drawImage(QPoint(1, (h - frame.height()) / 2), frame);
    if (isChecked()) {
      const QImage tick = ks::ui::LoadPngResource(389);
      if (!tick.isNull()) p.drawImage(QPoint(4, (h - tick.height()) / 2), tick);
    }
    if (font_)
      ks::ui::DrawText(p, QRectF(16, 0, w - 16, h), m_caption, *font_, m_textColor, Align::Near, Align::Center,
                       ks::ui::kOneLine);
  } else {
    const QImage radio = ks::ui::LoadPngResource(isChecked() ? 222 : 223);
    if (font_)
      ks::ui::DrawText(p, QRectF(16, 0, w - 16, h), m_caption, *font_, m_textColor, Align::Near, Align::Center,
                       ks::ui::kOneLine);
    if (!radio.isNull()) p.drawImage(QPoint(0, (h - radio.height()) / 2 + 1), radio);
  }
  p.end();
  QPainter(this).drawImage(0, 0, canvas);
}

void CColorButton::mousePressEvent(QMouseEvent* e) {
  QAbstractButton::mousePressEvent(e);
  if (e->button() == Qt::LeftButton) {
    pressed_ = true;
    inside_ = rect().contains(e->position().toPoint());
    update();
  }
}

void CColorButton::mouseReleaseEvent(QMouseEvent* e) {
  const bool left = e->button() == Qt::LeftButton;
  if (left) {
    pressed_ = false;
    inside_ = rect().contains(e->position().toPoint());
    update();
  }
  QAbstractButton::mouseReleaseEvent(e);
}

void CColorButton::mouseMoveEvent(QMouseEvent* e) {
  const bool inside = rect().contains(e->position().toPoint());
  if (inside != inside_) {
    inside_ = inside;
    update();
  }
  QAbstractButton::mouseMoveEvent(e);
}

void CColorButton::enterEvent(QEnterEvent* e) {
  inside_ = true;
  update();
  QAbstractButton::enterEvent(e);
}

void CColorButton::leaveEvent(QEvent* e) {
  inside_ = false;
  update();
  QAbstractButton::leaveEvent(e);
}

}  // namespace ks::skin
