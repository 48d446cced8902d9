#include "desktop/foundation/ui/dialog_units.h"

#include <cstdint>
#include <cstdlib>

namespace ks::ui {

BaseUnits BaseUnitsFor(int points) {
  if (points == 9) return {7, 14};
  if (points == 8) return {6, 13};
  BaseUnits b;
  b.x = points * 7 / 9;
  b.y = points * 14 / 9;
  if (b.x < 1) b.x = 1;
  if (b.y < 1) b.y = 1;
  return b;
}

int DuToPxX(int du, int points) { return du * BaseUnitsFor(points).x / 4; }
int DuToPxY(int du, int points) { return du * BaseUnitsFor(points).y / 8; }

QRect DuToPx(const QRect& du, int points) {
  return QRect(DuToPxX(du.x(), points), DuToPxY(du.y(), points), DuToPxX(du.width(), points),
               DuToPxY(du.height(), points));
}

QSize DuToPx(const QSize& du, int points) {
  return QSize(DuToPxX(du.width(), points), DuToPxY(du.height(), points));
}

int MulDiv(int a, int b, int c) {
  if (c == 0) return -1;
  int64_t p = static_cast<int64_t>(a) * b;
  int64_t half = std::llabs(c) / 2;
  bool negative = (p < 0) != (c < 0);
  int64_t q = (std::llabs(p) + half) / std::llabs(c);
  return static_cast<int>(negative ? -q : q);
}

}  // namespace ks::ui
