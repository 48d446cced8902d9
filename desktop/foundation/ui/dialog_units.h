// Dialog units of the window templates to pixels.
//
// The templates were laid out in dialog units of their font ("MS Shell Dlg" at 8 or 9
// points). Measuring whatever face happens to be installed would move every control, so the
// base units are fixed per point size, as the pictures were drawn for them:
//   9 pt: 7 x 14 pixels, 8 pt: 6 x 13 pixels (logical DPI 96).
// px = du * base / 4 horizontally and du * base / 8 vertically, truncated: template 105 of
// 203 x 113 du at 9 pt is 355 x 197 pixels, the size of its picture (PNG 263).
#pragma once

#include <QRect>
#include <QSize>

namespace ks::ui {

constexpr int kLogicalDpi = 96;

struct BaseUnits {
  int x = 7;
  int y = 14;
};

// Base units of a template font size in points; sizes other than 8 and 9 scale the 9-pt
// units by points / 9 (truncated, at least 1).
BaseUnits BaseUnitsFor(int points);

int DuToPxX(int du, int points);
int DuToPxY(int du, int points);
QRect DuToPx(const QRect& du, int points);  // each of x, y, width, height converted alone
QSize DuToPx(const QSize& du, int points);

// MulDiv of the Windows API: a * b / c rounded half away from zero; c == 0 gives -1.
int MulDiv(int a, int b, int c);

}  // namespace ks::ui
