// CDiyStatic: a static text drawn on a copy of the owner's pixels (looks transparent), with
// its own font, ARGB colour and layout (initially near, near, 0x3000).
// CColorButton: a button drawn as a picture with its caption (style 1), or as a skinned
// option button (style 2: PNG 222/223) or check box (style 3: frame PNG 388, tick PNG 389)
// on a copy of the owner's pixels. Style 1 picture: disabled -> disabled picture; pressed
// (left button held since a press on it) -> pressed picture while the cursor is inside,
// hover picture while outside; not pressed -> hover picture inside, normal picture outside.
// Hover follows the mouse entering and leaving. The caption is drawn only with a font set.
#pragma once

#include "desktop/foundation/ui/draw_text.h"

#include <QAbstractButton>
#include <QFont>
#include <QWidget>

#include <optional>

namespace ks::skin {

class CDiyStatic : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QString text READ text WRITE setText)
 public:
  explicit CDiyStatic(QWidget* parent = nullptr);
  QString text() const { return text_; }
  void setText(const QString& text);
  void SetTextFont(const QFont& font) { font_ = font; update(); }
  void SetAlignment(const ks::ui::TextFormat& format) { format_ = format; update(); }
  const ks::ui::TextFormat& Alignment() const { return format_; }
  // The window text measured unwrapped with the control's font (0 x 0 without a font).
  QSize SizeToText() const;
  QRgb m_textColor = 0xFF000000;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QString text_;
  std::optional<QFont> font_;
  ks::ui::TextFormat format_{ks::ui::Align::Near, ks::ui::Align::Near, ks::ui::kOneLine};
};

class CColorButton : public QAbstractButton {
  Q_OBJECT
  Q_PROPERTY(QString caption READ GetCaption)
 public:
  enum Style { kPicture = 1, kRadio = 2, kCheck = 3 };
  explicit CColorButton(QWidget* parent = nullptr);

  void SetCaption(const QString& caption);
  QString GetCaption() const { return m_caption; }
  void SetTextFont(const QFont& font) { font_ = font; update(); }
  // Sets the style and what goes with it (checkable for 2 and 3, exclusive for 2).
  void SetStyle(int style);
  void SetImages(unsigned normal, unsigned hover, unsigned pressed, unsigned disabled);

  QRgb m_textColor = 0x00FFFFFF;
  int m_style = kPicture;
  unsigned m_normalImage = 0;
  unsigned m_hoverImage = 0;
  unsigned m_pressedImage = 0;
  unsigned m_disabledImage = 0;
  QString m_caption;

  static constexpr QRgb kDisabledText = 0xFF7F7F7F;

  // The picture style 1 draws now.
  unsigned CurrentImage() const;
  bool Pressed() const { return pressed_; }
  bool CursorInside() const { return inside_; }

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;

 private:
  std::optional<QFont> font_;
  bool pressed_ = false;
  bool inside_ = false;
};

}  // namespace ks::skin
