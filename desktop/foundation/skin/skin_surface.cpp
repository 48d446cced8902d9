#include "desktop/foundation/skin/skin_surface.h"

#include <QPainter>

namespace ks::skin {

QImage BackgroundUnder(const QWidget* control) {
  QImage out(control->size().expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
  for (const QWidget* w = control->parentWidget(); w != nullptr; w = w->parentWidget()) {
    if (const auto* surface = dynamic_cast<const SkinSurface*>(w)) {
      out.fill(w->palette().color(QPalette::Window));
      QImage whole = surface->SkinBackground();
      QPainter p(&out);
      const QRect src(control->mapTo(w, QPoint(0, 0)), control->size());
      const QRect valid = src & whole.rect();
      if (!valid.isEmpty()) p.drawImage(valid.topLeft() - src.topLeft(), whole, valid);
      return out;
    }
    if (w->isWindow()) break;
  }
  const QWidget* parent = control->parentWidget();
  out.fill(parent != nullptr ? parent->palette().color(QPalette::Window) : QColor(Qt::white));
  return out;
}

}  // namespace ks::skin
