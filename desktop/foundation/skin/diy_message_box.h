// CDiyMessageBox: the program's message box, a CDiyDialog (template 105, 355 x 197, PNG 263,
// no minimise button, Minimize does nothing) with a centred text (control 1101) and one or
// two picture buttons (PNG 260 / 259) captioned from the language section "UI":
//   MB_OK (0): OK centred at y 160; MB_OKCANCEL (1): OK at (67, 160), Cancel at (200, 160);
//   MB_YESNO (4): Yes at (67, 160) (control IDOK), No at (200, 160) (control IDCANCEL);
//   other types: no button (only close and Escape end it).
// Results: IDOK from OK/Yes (and Enter while OK shows), IDCANCEL from Cancel/No, Escape and
// the close button. The two characters backslash and "n" in the text become a line break.
// The text wraps inside its control; its height counts the lines the text needs, the
// control stays between the title band and the buttons.
//
// ShowDiyMessageBox / ShowDiyMessageBoxByKey may be called from any thread: on a worker
// they run the box on the GUI thread (CallOnGui) and wait for its result; IDCANCEL when
// there is no GUI to show it on. The window active before the box is made active again
// when it closes.
#pragma once

#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/diy_static_button.h"

#include <string>

namespace ks::skin {

class CDiyMessageBox : public CDiyDialog {
  Q_OBJECT
 public:
  CDiyMessageBox(const QString& text, const QString& caption, unsigned type, QWidget* parent = nullptr);

  void Minimize() override {}

  static constexpr int kTextId = 1101;
  static constexpr int kYesId = 1098;
  static constexpr int kNoId = 1099;

  // Height of the text control: (th + 1) x ceil(tw / cw) as measured unwrapped, raised to
  // the `wrappedLines` of `lineHeight` the wrapped text really needs; cw 0 counts as one line.
  static int TextHeight(int tw, int th, int cw, int wrappedLines, int lineHeight);

  QString Text() const { return text_; }
  unsigned Type() const { return type_; }
  CColorButton* okButton() const { return ok_; }
  CColorButton* cancelButton() const { return cancel_; }
  CDiyStatic* textControl() const { return static_; }

 protected:
  bool OnInitDialog() override;
  void keyPressEvent(QKeyEvent*) override;

 private:
  QString text_;
  unsigned type_;
  CColorButton* yes_;
  CColorButton* cancel_;
  CColorButton* ok_;
  CColorButton* no_;
  CDiyStatic* static_;
};

int ShowDiyMessageBox(const QString& text, const QString& caption, unsigned type);
int ShowDiyMessageBoxByKey(const std::string& key, unsigned type);

}  // namespace ks::skin
