#include "desktop/foundation/skin/buttons.h"

#include "desktop/foundation/skin/skin_surface.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>

namespace ks::skin {

using ks::ui::Align;

// ---- CTransparentButton

CTransparentButton::CTransparentButton(QWidget* parent) : QAbstractButton(parent) {
  setFocusPolicy(Qt::NoFocus);
}

unsigned CTransparentButton::CurrentImage() const {
  if (!isEnabled()) return m_disabledImage;
  return hovered_ ? m_hoverImage : m_normalImage;
}

void CTransparentButton::paintEvent(QPaintEvent*) {
  QImage picture = ks::ui::LoadPngResource(CurrentImage());
  if (picture.isNull()) return;
  QPainter p(this);
  p.drawImage(QPoint((width() - picture.width()) / 2, (height() - picture.height()) / 2), picture);
}

void CTransparentButton::enterEvent(QEnterEvent* e) {
  hovered_ = true;
  update();
  QAbstractButton::enterEvent(e);
}

void CTransparentButton::leaveEvent(QEvent* e) {
  hovered_ = false;
  update();
  QAbstractButton::leaveEvent(e);
}

// ---- CLinkButtonCtrl

CLinkButtonCtrl::CLinkButtonCtrl(QWidget* parent) : QAbstractButton(parent) {
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::NoFocus);
}

void CLinkButtonCtrl::paintEvent(QPaintEvent*) {
  QImage canvas = BackgroundUnder(this);
  if (font_) {
    QPainter p(&canvas);
    const QSize t = ks::ui::MeasureText(text(), *font_);
    const QSize s = m_linkText.isEmpty() ? t : ks::ui::MeasureText(text() + m_linkText, *font_);
    const QRect box(0, 0, s.width() + 4, s.height() - 1);
    if (m_fillBox) p.fillRect(box, Argb(m_backgroundColor));
    if (m_drawBorder) {
      p.setPen(QPen(Argb(m_borderColor), 1));
      p.drawRect(box.adjusted(0, 0, -1, -1));
      p.setPen(QPen(QColor(0xEB, 0xEC, 0xEE), 1));
      p.drawLine(1, 1, s.width() + 3, 1);
    }
    ks::ui::DrawText(p, QRectF(2, 0, width() - 2, height()), text(), *font_, m_textColor, Align::Near, Align::Near,
                     ks::ui::kOneLine);
    if (!m_linkText.isEmpty()) {
      // The text starts kTextPad into its box like the window text drawn at x 2 (plus the lead
      // of the original renderer), so the underline from t.width + 3 lines up with the link.
      constexpr int kTextPad = 3;
      ks::ui::DrawText(p, QRectF(t.width() + kTextPad, 0, width() - t.width() - kTextPad, height()), m_linkText,
                       *font_, kLinkColour, Align::Near, Align::Near, ks::ui::kOneLine);
      p.setRenderHint(QPainter::Antialiasing, true);
      p.setPen(QPen(Argb(kLinkColour), 1.5));
      p.drawLine(QPointF(t.width() + kTextPad, s.height() - 2.5), QPointF(s.width() + kTextPad, s.height() - 2.5));
    }
  }
  QPainter(this).drawImage(0, 0, canvas);
}

// ---- CSettingButton

CSettingButton::CSettingButton(QWidget* parent) : QAbstractButton(parent) {
  setMouseTracking(true);
  setFocusPolicy(Qt::NoFocus);
}

void CSettingButton::SetCaption(const QString& caption) {
  m_caption = caption;
  ks::ui::TraceText(this, caption);
  update();
}

bool CSettingButton::OverSideZone() const {
  if (!m_sideZone || !rect().contains(cursor_)) return false;
  return m_sideZoneLeft ? cursor_.x() < kSideZone : cursor_.x() >= width() - kSideZone;
}

void CSettingButton::paintEvent(QPaintEvent*) {
  const int w = width(), h = height();
  QImage face;
  if (m_flat) {
    face = QImage(w, h, QImage::Format_ARGB32_Premultiplied);
    face.fill(Argb(kFlatFace));
  } else {
    face = ks::ui::LoadPngResource(m_baseImage).copy();
  }
  if (face.isNull()) return;
  QPainter p(&face);
  const bool over = OverSideZone();
  const bool inside = rect().contains(cursor_);
  const QRgb colour = over ? kCaptionAway : (inside ? kCaptionOver : kCaptionAway);
  const QImage icon = ks::ui::LoadPngResource(m_iconImage);
  const int c = font_ ? ks::ui::TextWidth(m_caption, *font_) : 0;
  const int i = icon.isNull() ? 0 : icon.width();
  const int j = icon.isNull() ? 0 : icon.height();
  const int x = (w - c - 4 - i) / 2;
  if (!icon.isNull()) p.drawImage(QPoint(x, (h - j) / 2), icon);
  if (font_)
    ks::ui::DrawText(p, QRectF(x + i + 4, 0, w - (x + i + 4), h), m_caption, *font_, colour, Align::Near,
                     Align::Center, ks::ui::kOneLine);
  if (over) {
    const QImage zone = ks::ui::LoadPngResource(m_sideZoneLeft ? 401 : 402);
    if (!zone.isNull())
      p.drawImage(QPoint(m_sideZoneLeft ? 2 : w - zone.width() - 2, (h - zone.height()) / 2), zone);
  }
  p.end();
  QPainter(this).drawImage(0, 0, face);
}

void CSettingButton::mouseMoveEvent(QMouseEvent* e) {
  cursor_ = e->position().toPoint();
  repaint();
  QAbstractButton::mouseMoveEvent(e);
}

void CSettingButton::enterEvent(QEnterEvent* e) {
  cursor_ = e->position().toPoint();
  update();
  QAbstractButton::enterEvent(e);
}

void CSettingButton::leaveEvent(QEvent* e) {
  cursor_ = QPoint(-1, -1);
  update();
  QAbstractButton::leaveEvent(e);
}

}  // namespace ks::skin
