#include "desktop/foundation/ui/draw_text.h"

#include <QFontMetricsF>
#include <QTextLayout>
#include <QTextOption>

#include <memory>
#include <vector>

namespace ks::ui {
namespace {

struct LaidLine {
  std::shared_ptr<QTextLayout> layout;
  QTextLine line;
};

std::vector<LaidLine> Layout(const QString& text, const QFont& font, qreal width, bool wrap) {
  std::vector<LaidLine> out;
  const QStringList paragraphs = text.split(QLatin1Char('\n'));
  QTextOption option;
  option.setWrapMode(wrap ? QTextOption::WrapAtWordBoundaryOrAnywhere : QTextOption::NoWrap);
  for (QString paragraph : paragraphs) {
    if (paragraph.endsWith(QLatin1Char('\r'))) paragraph.chop(1);
    auto layout = std::make_shared<QTextLayout>(paragraph, font);
    layout->setTextOption(option);
    layout->beginLayout();
    for (;;) {
      QTextLine line = layout->createLine();
      if (!line.isValid()) break;
      line.setLineWidth(wrap ? (width > 1 ? width : 1) : 1e6);
      line.setPosition(QPointF(0, 0));
      out.push_back({layout, line});
    }
    layout->endLayout();
  }
  return out;
}

qreal Offset(Align align, qreal room) {
  switch (align) {
    case Align::Center: return room / 2;
    case Align::Far: return room;
    default: return 0;
  }
}

}  // namespace

void DrawText(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font, QRgb argb,
              Align align, Align lineAlign, unsigned flags) {
  if (text.isEmpty() || rect.width() <= 0 || rect.height() <= 0) return;
  std::vector<LaidLine> lines = Layout(text, font, rect.width(), (flags & kNoWrap) == 0);
  const qreal lineHeight = QFontMetricsF(font).height();
  size_t count = lines.size();
  if (flags & kLineLimit) {
    size_t fit = static_cast<size_t>((rect.height() + 0.01) / lineHeight);
    if (fit < count) count = fit;
  }
  if (count == 0) return;
  const qreal blockHeight = lineHeight * static_cast<qreal>(count);
  qreal y = rect.top() + Offset(lineAlign, rect.height() - blockHeight);

  painter.save();
  painter.setClipRect(rect, Qt::IntersectClip);
  painter.setPen(QColor::fromRgba(argb));
  for (size_t i = 0; i < count; ++i) {
    const QTextLine& line = lines[i].line;
    qreal x = rect.left() + Offset(align, rect.width() - line.naturalTextWidth());
    line.draw(&painter, QPointF(x, y));
    y += lineHeight;
  }
  painter.restore();
}

QSize MeasureText(const QString& text, const QFont& font) {
  std::vector<LaidLine> lines = Layout(text, font, 0, false);
  qreal width = 0;
  for (const LaidLine& l : lines) width = std::max(width, l.line.naturalTextWidth());
  const qreal height = QFontMetricsF(font).height() * static_cast<qreal>(lines.empty() ? 1 : lines.size());
  return QSize(static_cast<int>(width), static_cast<int>(height));
}

int TextWidth(const QString& text, const QFont& font) {
  return static_cast<int>(QFontMetricsF(font).horizontalAdvance(text));
}

}  // namespace ks::ui
