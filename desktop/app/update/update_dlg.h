// CUpdateDlg: the information window shown, without blocking, at the first start after an
// update was installed.
//
// A CDiyDialog of 414 x 308 pixels (template 270, 237 x 176 du at 9 pt; background PNG 272,
// no minimise button) with
//   1114 the heading ("UI","UPDATE_STATIC1"), centred both ways, one line, colour
//        0xFF514F50, font "FONT_UPDATE_STATIC";
//   1101 the information text ("MESSAGEBOX","MSGBOX_STATUS_UPDATEINFO") in a read-only
//        QPlainTextEdit (white, text 0x505050, font "FONT_UPDATE_STATIC"; line breaks of
//        the text kept, CR LF read as one);
//   1117, 1118 the note lines ("UI","UPDATE_STATIC3" / "UPDATE_STATIC4"), hidden, colour
//        0xFF888888, font "FONT_UPDATE_STATIC1";
//   1115 OK ("UI","MSGBOX_BUTTON_OK"): PNG 334 normal and hover, 335 pressed, 334 disabled,
//        caption 0xFF434343, font "FONT_UPDATE_BUTTON"; it ends the dialog with IDOK.
// Texts are read when the dialog initialises (right before it is first shown).
#pragma once

#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/diy_static_button.h"

class QPlainTextEdit;

namespace ks::update {

class CUpdateDlg : public ks::skin::CDiyDialog {
  Q_OBJECT
 public:
  static constexpr int kInfoId = 1101;
  static constexpr int kHeadingId = 1114;
  static constexpr int kOkId = 1115;
  static constexpr int kNote1Id = 1117;
  static constexpr int kNote2Id = 1118;
  // Distance of the window's right and bottom edges from the primary screen's.
  static constexpr int kScreenMargin = 30;
  static constexpr int kShowMs = 5000;

  explicit CUpdateDlg(QWidget* parent = nullptr);
  ~CUpdateDlg() override;

  void Minimize() override {}

  // Shows the window modeless: first at the top-left corner, drawn at once, then moved so
  // that its right and bottom edges lie kScreenMargin pixels inside the primary screen's
  // (size unchanged); closes it after `closeAfterMs` milliseconds (nothing when it is
  // destroyed first).
  void ShowNearCorner(int closeAfterMs = kShowMs);

  ks::skin::CDiyStatic* heading() const { return m_staticHeading; }
  QPlainTextEdit* info() const { return m_editInfo; }
  ks::skin::CDiyStatic* note1() const { return m_staticNote1; }
  ks::skin::CDiyStatic* note2() const { return m_staticNote2; }
  ks::skin::CColorButton* okButton() const { return m_btnOk; }
  QString InfoText() const { return m_strInfo; }

 protected:
  bool OnInitDialog() override;

 private:
  QString m_strInfo;
  ks::skin::CDiyStatic* m_staticHeading;
  QPlainTextEdit* m_editInfo;
  ks::skin::CDiyStatic* m_staticNote1;
  ks::skin::CDiyStatic* m_staticNote2;
  ks::skin::CColorButton* m_btnOk;
};

}  // namespace ks::update
