// CSwitchAccountDlg: the question the main window asks before it logs the account out so
// that the owner can log in with another one. A CDiyDialog of 355 x 197 pixels (template
// 264, background PNG 263, no minimise button), always on top and shown without taking the
// activation: the picture 1110 (PNG 266), the question 1111 ("MESSAGEBOX",
// "MSGBOX_LOGIOUTUSER"), OK 1112 (the default button) and Cancel 1113 (PNG 334/334/335/334).
// DoModal returns IDOK (1) to switch, IDCANCEL (2) to stay: Cancel, Escape and the caption's
// close button. A missing question text leaves the line empty; the dialog works the same.
#pragma once

#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/diy_static_button.h"

#include <QWidget>

namespace ks::login {

// An owner-drawn static that shows one PNG resource at (0, 0) in its own size.
class CPictureStatic : public QWidget {
  Q_OBJECT
 public:
  explicit CPictureStatic(QWidget* parent = nullptr) : QWidget(parent) {}
  unsigned m_imageId = 0;

 protected:
  void paintEvent(QPaintEvent*) override;
};

class CSwitchAccountDlg : public ks::skin::CDiyDialog {
  Q_OBJECT
 public:
  static constexpr int kOkId = 1112;
  static constexpr int kCancelId = 1113;
  static constexpr int kPictureId = 1110;
  static constexpr int kTextId = 1111;

  explicit CSwitchAccountDlg(QWidget* parent = nullptr);

  ks::skin::CColorButton* okButton() const { return ok_; }
  ks::skin::CColorButton* cancelButton() const { return cancel_; }
  ks::skin::CDiyStatic* question() const { return text_; }
  CPictureStatic* picture() const { return picture_; }

 protected:
  bool OnInitDialog() override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  ks::skin::CColorButton* ok_;
  ks::skin::CColorButton* cancel_;
  ks::skin::CDiyStatic* text_;
  CPictureStatic* picture_;
};

}  // namespace ks::login
