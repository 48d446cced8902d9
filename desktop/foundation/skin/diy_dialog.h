// CDiyDialog: the base of every dialog of the desktop program. A frameless QDialog whose
// whole client area is one background picture with the language's title picture at (8, 8)
// and, for layouts 101, 102 and 129, fixed decoration pictures composed on it; a rounded
// outline (setMask, rebuilt at every resize, corner ellipse m_nRoundRadius); a drag band of
// m_nCaptionHeight pixels at the top (the window manager's move when it offers one, else a
// move of our own, e.g. with no window manager); caption buttons close (1093) and minimise
// (1128) in the top right corner.
//
// Close button: a queued close(), which ends the dialog with IDCANCEL; with m_bHideOnClose
// the message 0x603 is posted instead, and the dialog hides itself when it arrives. Escape
// gives IDCANCEL too. DoModal() runs the dialog modally and returns 1/2/6/7 (IDOK, IDCANCEL,
// IDYES, IDNO). OnInitDialog runs once, right before the dialog is first shown.
// The window title follows ("UI", "DIALOG_TITLE") of the language source at every paint.
#pragma once

#include "desktop/foundation/skin/buttons.h"
#include "desktop/foundation/skin/skin_surface.h"

#include <QDialog>
#include <QPoint>
#include <QRegion>
#include <QString>

namespace ks::skin {

class CDiyDialog : public QDialog, public SkinSurface {
  Q_OBJECT
 public:
  explicit CDiyDialog(QWidget* parent = nullptr);
  ~CDiyDialog() override;

  int DoModal();

  unsigned m_nBkImageID = 0;
  QString m_strBkImageType;
  int m_nCaptionHeight = 41;
  QString m_strTitle = QStringLiteral("Kestyl");
  bool m_bShowExtraImage = false;
  bool m_bShowMinButton = true;
  unsigned m_nTitleImageID = 0;
  bool m_bShowTitleImage = true;
  unsigned m_nLayoutID = 0;
  int m_nRoundRadius = 4;
  CTransparentButton* m_pCloseButton = nullptr;
  CTransparentButton* m_pMinButton = nullptr;
  bool m_bHideOnClose = false;

  static constexpr int kCloseButtonId = 1093;
  static constexpr int kMinButtonId = 1128;
  static constexpr unsigned kMsgHideSelf = 0x603;

  // Minimises the dialog (queued); the message box replaces it with nothing.
  virtual void Minimize();

  // The composed skin: background, decorations of m_nLayoutID, title picture; null when the
  // background picture is missing. Derived dialogs may draw more on it.
  virtual QImage ComposeSkin() const;
  QImage SkinBackground() const override;

  // The title picture of a language index (0 -> 344, 1 -> 376, 2 -> 377), 0 for others.
  static unsigned TitleImageFor(int language);

  // The window region of a w x h window whose corner ellipse is `ellipse` wide and high.
  static QRegion RoundedRegion(int width, int height, int ellipse);

  bool initialised() const { return initialised_; }
  // The rounded region set as the window's mask (kept also where the platform has no masks).
  QRegion WindowRegion() const { return region_; }

 public slots:
  void done(int result) override;
  void accept() override { done(IDOK); }
  void reject() override { done(IDCANCEL); }

 protected:
  virtual bool OnInitDialog();
  virtual void OnCloseButton();
  virtual void OnMinimizeButton() { Minimize(); }
  // Message 0x603: hides the dialog.
  virtual void OnHideSelf() { hide(); }

  void setVisible(bool visible) override;
  bool event(QEvent* e) override;
  void paintEvent(QPaintEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;

  // Reads the language source: title picture id and window title.
  void RefreshLanguage();

 private:
  void PlaceCaptionButtons();
  bool initialised_ = false;
  QRegion region_;
  bool dragging_ = false;
  QPoint dragStartGlobal_;
  QPoint dragStartPos_;
};

}  // namespace ks::skin
