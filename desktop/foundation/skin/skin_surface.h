// The skinned toolkit of the desktop program (library ks_desktop_skin): frameless dialogs
// painted from the program's pictures, and self-painting controls that look transparent on
// them. All widgets live on the GUI thread; functions meant for workers say so.
//
// "Transparent" controls draw on a copy of what their owner paints under them. The owner is
// the nearest ancestor that is a SkinSurface (every CDiyDialog is one): it hands out its
// composed background, read live at each paint of the control (never taken once and kept,
// never grab()bed inside a paint). Without such an ancestor the copy is the parent's window
// colour.
#pragma once

#include <QImage>
#include <QRgb>
#include <QWidget>

namespace ks::skin {

class SkinSurface {
 public:
  virtual ~SkinSurface() = default;
  // What the surface paints, at the widget's size (pixels outside its picture: its window colour).
  virtual QImage SkinBackground() const = 0;
};

// The owner's pixels under `control` (its size), ARGB32 premultiplied and opaque.
QImage BackgroundUnder(const QWidget* control);

// Dialog results of the Windows dialogs the program's callers compare with.
enum DialogResult : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

// Message box types.
enum MessageBoxType : unsigned { MB_OK = 0, MB_OKCANCEL = 1, MB_YESNO = 4 };

// An ARGB colour (0xAARRGGBB) as QColor.
inline QColor Argb(QRgb argb) { return QColor::fromRgba(argb); }

}  // namespace ks::skin
