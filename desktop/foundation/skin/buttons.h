// Self-painting buttons of the skinned toolkit.
//
// CTransparentButton: a picture drawn centred at its size (normal, hover, disabled; the
//   pressed picture is kept but not drawn), over whatever the parent paints; the caption
//   buttons of CDiyDialog. Hover follows the mouse entering and leaving.
// CLinkButtonCtrl: a text with an optional blue underlined link part, an optional filled box
//   and outline, on a copy of the owner's pixels; the pointer is a hand over it.
// CSettingButton: the page button of the main window: a face picture (or a flat 0xFFEFF4FF
//   face), an icon and a caption as one centred block, and an optional 30-px side zone
//   that shows PNG 401/402 while the cursor is in it. Mouse moves repaint it; leaving does
//   too (the face follows the cursor).
// Colours are ARGB (0xAARRGGBB). A picture id that does not load is not drawn.
#pragma once

#include "desktop/foundation/ui/draw_text.h"

#include <QAbstractButton>
#include <QFont>

#include <optional>

namespace ks::skin {

class CTransparentButton : public QAbstractButton {
  Q_OBJECT
 public:
  explicit CTransparentButton(QWidget* parent = nullptr);
  unsigned m_normalImage = 0;
  unsigned m_pressedImage = 0;
  unsigned m_hoverImage = 0;
  unsigned m_disabledImage = 0;
  // The picture the next paint draws.
  unsigned CurrentImage() const;

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;

 private:
  bool hovered_ = false;
};

class CLinkButtonCtrl : public QAbstractButton {
  Q_OBJECT
 public:
  explicit CLinkButtonCtrl(QWidget* parent = nullptr);
  void SetTextFont(const QFont& font) { font_ = font; update(); }
  void SetLinkText(const QString& link) { m_linkText = link; update(); }
  QRgb m_textColor = 0xFF000000;
  QRgb m_backgroundColor = 0xFF000000;
  QRgb m_borderColor = 0xFF000000;
  bool m_fillBox = false;
  bool m_drawBorder = false;
  QString m_linkText;

  static constexpr QRgb kLinkColour = 0xFF1171D4;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  std::optional<QFont> font_;
};

class CSettingButton : public QAbstractButton {
  Q_OBJECT
  Q_PROPERTY(QString caption READ GetCaption)
 public:
  explicit CSettingButton(QWidget* parent = nullptr);
  void SetTextFont(const QFont& font) { font_ = font; update(); }
  void SetCaption(const QString& caption);
  QString GetCaption() const { return m_caption; }
  QString m_caption;
  bool m_flat = false;
  unsigned m_baseImage = 0;
  unsigned m_iconImage = 0;
  bool m_sideZone = false;
  bool m_sideZoneLeft = false;

  static constexpr QRgb kFlatFace = 0xFFEFF4FF;
  static constexpr QRgb kCaptionAway = 0xFF41799C;  // cursor outside, or over the side zone
  static constexpr QRgb kCaptionOver = 0xFF000000;
  static constexpr int kSideZone = 30;

  // Where the cursor is, as the last mouse event or enter/leave told (-1,-1: outside).
  QPoint CursorPos() const { return cursor_; }
  bool OverSideZone() const;

 protected:
  void paintEvent(QPaintEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;

 private:
  std::optional<QFont> font_;
  QPoint cursor_{-1, -1};
};

}  // namespace ks::skin
