// Text drawing and measuring with the layout rules the skinned controls rely on.
//
// DrawText lays `text` out in `rect`: horizontal alignment near/centre/far per line, line
// alignment near/centre/far for the block of lines; a newline character always starts a new
// line. Flags as the controls pass them:
//   kNoWrap (0x1000)    lines are not wrapped at the rectangle's width (they are cut);
//   kLineLimit (0x2000) only lines that fit whole in the rectangle's height are drawn;
// 0x3000 therefore draws single unwrapped lines and never a half line. Everything is clipped
// to `rect`. The colour is ARGB (0xAARRGGBB); alpha 0 draws nothing visible.
#pragma once

#include <QFont>
#include <QPainter>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QRgb>

namespace ks::ui {

enum class Align { Near = 0, Center = 1, Far = 2 };

constexpr unsigned kNoWrap = 0x1000;
constexpr unsigned kLineLimit = 0x2000;
constexpr unsigned kOneLine = kNoWrap | kLineLimit;

struct TextFormat {
  Align align = Align::Near;
  Align lineAlign = Align::Near;
  unsigned flags = 0;
};

void DrawText(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font, QRgb argb,
              Align align, Align lineAlign, unsigned flags);

inline void DrawText(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font, QRgb argb,
                     const TextFormat& format) {
  DrawText(painter, rect, text, font, argb, format.align, format.lineAlign, format.flags);
}

// Size of `text` laid out without a width limit: the widest line by the number of lines
// times the line height, each truncated to an integer. Empty text: width 0, one line high.
QSize MeasureText(const QString& text, const QFont& font);

// Integer width of one unwrapped line of text (truncated).
int TextWidth(const QString& text, const QFont& font);

}  // namespace ks::ui
