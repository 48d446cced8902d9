#include "desktop/foundation/skin/z_controls.h"

#include "desktop/foundation/skin/skin_surface.h"
#include "desktop/foundation/ui/draw_text.h"
#include "desktop/foundation/ui/resources.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>

namespace z {

using ks::skin::BackgroundUnder;
using ks::ui::Align;
using ks::ui::DrawText;
using ks::ui::kOneLine;

CZButton::CZButton(QWidget* parent) : QAbstractButton(parent) {
  setAttribute(Qt::WA_Hover, false);
}

void CZButton::LoadImages(unsigned normal, unsigned pressed, unsigned hover, unsigned disabled) {
  m_normalImage = ks::ui::LoadPngResourceZ(normal);
  m_pressedImage = ks::ui::LoadPngResourceZ(pressed);
  m_hoverImage = ks::ui::LoadPngResourceZ(hover);
  m_disabledImage = ks::ui::LoadPngResourceZ(disabled);
  update();
}

void CZButton::SetTextFont(const QFont& font) {
  m_font = font;
  update();
}

CZButton::State CZButton::CurrentState() const {
  if (!isEnabled()) return State::Disabled;
  if (m_pressed) return inside_ ? State::Pressed : State::Hover;
  return inside_ ? State::Hover : State::Normal;
}

void CZButton::paintEvent(QPaintEvent*) {
  const QImage* image = &m_normalImage;
  switch (CurrentState()) {
    case State::Disabled: image = &m_disabledImage; break;
    case State::Pressed: image = &m_pressedImage; break;
    case State::Hover: image = &m_hoverImage; break;
    case State::Normal: break;
  }
  if (image->isNull()) image = &m_normalImage;
  QPainter p(this);
  if (!image->isNull()) p.drawImage(0, 0, *image);
  if (m_font) {
    // The caption is laid out over the control and clipped to the picture's size.
    if (!image->isNull()) p.setClipRect(QRect(QPoint(0, 0), image->size()));
    DrawText(p, QRectF(0, 0, width(), height()), text(), *m_font, isEnabled() ? m_textColor : kDisabledText,
             Align::Center, Align::Center, kOneLine);
  }
}

void CZButton::mousePressEvent(QMouseEvent* e) {
  QAbstractButton::mousePressEvent(e);
  if (e->button() == Qt::LeftButton) {
    m_pressed = true;
    inside_ = rect().contains(e->position().toPoint());
    update();
  }
}

void CZButton::mouseReleaseEvent(QMouseEvent* e) {
  QAbstractButton::mouseReleaseEvent(e);
  if (e->button() == Qt::LeftButton) {
    m_pressed = false;
    update();
  }
}

void CZButton::mouseMoveEvent(QMouseEvent* e) {
  QAbstractButton::mouseMoveEvent(e);
  const bool inside = rect().contains(e->position().toPoint());
  if (inside != inside_) {
    inside_ = inside;
    update();
  }
}

void CZButton::enterEvent(QEnterEvent* e) {
  QAbstractButton::enterEvent(e);
  inside_ = true;
  update();
}

void CZButton::leaveEvent(QEvent* e) {
  QAbstractButton::leaveEvent(e);
  inside_ = false;
  update();
}

CZRadioButton::CZRadioButton(QWidget* parent) : QAbstractButton(parent) {
  setCheckable(true);
}

void CZRadioButton::SetTextFont(const QFont& font) {
  m_font = font;
  update();
}

void CZRadioButton::paintEvent(QPaintEvent*) {
  QImage canvas = BackgroundUnder(this);
  {
    QPainter c(&canvas);
    const QImage& indicator = isChecked() ? m_checkedImage : m_uncheckedImage;
    if (!indicator.isNull()) c.drawImage(0, 0, indicator);
    if (m_font)
      DrawText(c, QRectF(kTextLeft, -2, width(), height()), text(), *m_font, m_textColor, Align::Near,
               Align::Center, kOneLine);
  }
  QPainter(this).drawImage(0, 0, canvas);
}

CZToggleButton::CZToggleButton(QWidget* parent) : QAbstractButton(parent) {
  setCheckable(true);
}

void CZToggleButton::paintEvent(QPaintEvent*) {
  QImage canvas = BackgroundUnder(this);
  {
    QPainter c(&canvas);
    const QImage& picture = isChecked() ? m_onImage : m_offImage;
    if (!picture.isNull()) c.drawImage(0, 0, picture);
  }
  QPainter(this).drawImage(0, 0, canvas);
}

CZStatic::CZStatic(QWidget* parent) : QWidget(parent) {}

void CZStatic::SetTextFont(const QFont& font) {
  m_font = font;
  update();
}

void CZStatic::SetText(const QString& text) {
  m_text = text;
  update();
}

void CZStatic::paintEvent(QPaintEvent*) {
  QImage canvas = BackgroundUnder(this);
  if (m_font) {
    QPainter c(&canvas);
    DrawText(c, QRectF(0, 0, width(), height()), m_text, *m_font, m_textColor, Align::Near, Align::Near, kOneLine);
  }
  QPainter(this).drawImage(0, 0, canvas);
}

}  // namespace z
