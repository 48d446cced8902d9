// Picture controls of the synchronisation page, painted entirely from the program's PNGs.
//
// z::CZButton: four state pictures and a centred one-line caption (grey 0xFF7F7F7F while
//   disabled). Disabled: the disabled picture, wherever the cursor is. Pressed (left button
//   held since a press on it): the pressed picture while the cursor is inside, the hover
//   picture outside. Otherwise the hover picture while the cursor is inside, else the
//   normal one. A state whose picture never loaded falls back to the normal picture.
// z::CZRadioButton: an indicator picture (checked / unchecked, at (0,0)) and a caption from
//   x 16, vertically centred, on a copy of the owner's pixels. Checkable; exclusivity is the
//   owner's choice (setAutoExclusive).
// z::CZToggleButton: the on picture when checked, else the off picture, on the owner's pixels.
// z::CZStatic: `m_text` (not the window text) from the top left, one line cut at the edge,
//   on the owner's pixels.
// Captions need a font (SetTextFont): without one only the pictures and background show.
// The owner's pixels are read at every paint. Clicks and check states are the plain
// QAbstractButton ones; the controls emit nothing of their own. GUI thread only.
#pragma once

#include <QAbstractButton>
#include <QFont>
#include <QImage>
#include <QWidget>

#include <optional>

namespace z {

class CZButton : public QAbstractButton {
  Q_OBJECT
 public:
  explicit CZButton(QWidget* parent = nullptr);
  void LoadImages(unsigned normal, unsigned pressed, unsigned hover, unsigned disabled);
  void SetTextFont(const QFont& font);

  QImage m_normalImage, m_pressedImage, m_hoverImage, m_disabledImage;
  QRgb m_textColor = 0xFF000000;
  bool m_pressed = false;

  static constexpr QRgb kDisabledText = 0xFF7F7F7F;

  enum class State { Normal, Pressed, Hover, Disabled };
  // The picture the next paint draws.
  State CurrentState() const;

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;

 private:
  std::optional<QFont> m_font;
  bool inside_ = false;
};

class CZRadioButton : public QAbstractButton {
  Q_OBJECT
 public:
  explicit CZRadioButton(QWidget* parent = nullptr);
  void SetTextFont(const QFont& font);
  QImage m_checkedImage, m_uncheckedImage;
  QRgb m_textColor = 0xFF000000;
  static constexpr int kTextLeft = 16;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  std::optional<QFont> m_font;
};

class CZToggleButton : public QAbstractButton {
  Q_OBJECT
 public:
  explicit CZToggleButton(QWidget* parent = nullptr);
  QImage m_onImage, m_offImage;

 protected:
  void paintEvent(QPaintEvent*) override;
};

class CZStatic : public QWidget {
  Q_OBJECT
 public:
  explicit CZStatic(QWidget* parent = nullptr);
  void SetTextFont(const QFont& font);
  void SetText(const QString& text);
  QString m_text;
  QRgb m_textColor = 0xFF000000;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  std::optional<QFont> m_font;
};

}  // namespace z
