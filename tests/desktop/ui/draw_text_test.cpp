// DrawText's alignment, wrapping, line limit and clipping, measured on the ink it leaves.
#include "desktop/foundation/ui/draw_text.h"
#include "desktop/foundation/ui/fonts.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QFontMetricsF>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

namespace {

using ks::ui::Align;

// Bounding box of the pixels that are not white.
QRect Ink(const QImage& image) {
  QRect box;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (qGray(image.pixel(x, y)) < 200) box |= QRect(x, y, 1, 1);
  return box;
}

QImage Draw(const QRectF& rect, const QString& text, Align a, Align v, unsigned flags, QSize canvas = {200, 100}) {
  QImage image(canvas, QImage::Format_ARGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  ks::ui::DrawText(p, rect, text, ks::ui::DefaultArialFont(), 0xFF000000, a, v, flags);
  p.end();
  return image;
}

class DrawTextTest : public ::testing::Test {
 protected:
  void SetUp() override { kstest::EnsureGuiApp(); }
};

TEST_F(DrawTextTest, AlignmentPlacesTheTextNearCentreOrFarOnBothAxes) {
  const QRectF rect(10, 10, 180, 80);
  struct Case {
    Align a, v;
  } cases[] = {{Align::Near, Align::Near}, {Align::Center, Align::Center}, {Align::Far, Align::Far},
               {Align::Near, Align::Center}, {Align::Far, Align::Near}};
  for (const Case& c : cases) {
    QRect ink = Ink(Draw(rect, QStringLiteral("Kestyl"), c.a, c.v, ks::ui::kOneLine));
    ASSERT_FALSE(ink.isEmpty());
    const int left = ink.left() - 10, right = 190 - ink.right() - 1;
    const int top = ink.top() - 10, bottom = 90 - ink.bottom() - 1;
    SCOPED_TRACE(testing::Message() << int(c.a) << "/" << int(c.v) << " ink " << ink.x() << "," << ink.y() << " "
                                    << ink.width() << "x" << ink.height());
    if (c.a == Align::Near) {
      EXPECT_LE(left, 3);
    }
    if (c.a == Align::Far) {
      EXPECT_LE(right, 3);
    }
    if (c.a == Align::Center) {
      EXPECT_LE(std::abs(left - right), 3);
    }
    if (c.v == Align::Near) {
      EXPECT_LE(top, 5);
    }
    if (c.v == Align::Far) {
      EXPECT_LE(bottom, 5);
    }
    if (c.v == Align::Center) {
      EXPECT_LE(std::abs(top - bottom), 5);
    }
  }
}

TEST_F(DrawTextTest, WrappingLineLimitAndClipping) {
  const QString longText = QStringLiteral("one two three four five six seven eight nine ten");
  const qreal line = QFontMetricsF(ks::ui::DefaultArialFont()).height();
  const QRectF narrow(0, 0, 80, 100);

  // Without NoWrap the text wraps inside the width; with it, one line is cut at the edge.
  QRect wrapped = Ink(Draw(narrow, longText, Align::Near, Align::Near, 0));
  QRect cut = Ink(Draw(narrow, longText, Align::Near, Align::Near, ks::ui::kNoWrap));
  EXPECT_GT(wrapped.height(), 2 * line);
  EXPECT_LE(wrapped.right(), 80);
  EXPECT_LT(cut.height(), line + 1);
  EXPECT_LE(cut.right(), 79);  // clipped, not drawn beyond the rectangle

  // Two lines in one and a half lines of height: the line limit keeps only the whole one.
  const QRectF oneAndHalf(0, 0, 200, line * 1.5);
  QRect limited = Ink(Draw(oneAndHalf, QStringLiteral("Ag\nAg"), Align::Near, Align::Near, ks::ui::kLineLimit));
  QRect unlimited = Ink(Draw(oneAndHalf, QStringLiteral("Ag\nAg"), Align::Near, Align::Near, 0));
  EXPECT_LT(limited.bottom(), line);
  EXPECT_GT(unlimited.bottom(), line);
  EXPECT_LE(unlimited.bottom(), line * 1.5);

  // A newline always breaks, even with NoWrap.
  QRect two = Ink(Draw(QRectF(0, 0, 200, 100), QStringLiteral("a\nb"), Align::Near, Align::Near, ks::ui::kOneLine));
  EXPECT_GT(two.height(), line);

  // Nothing for an empty text, an empty rectangle or a rectangle lower than one line with the limit.
  EXPECT_TRUE(Ink(Draw(QRectF(0, 0, 200, 100), QString(), Align::Near, Align::Near, 0)).isEmpty());
  EXPECT_TRUE(Ink(Draw(QRectF(0, 0, 0, 100), QStringLiteral("x"), Align::Near, Align::Near, 0)).isEmpty());
  EXPECT_TRUE(Ink(Draw(QRectF(0, 0, 200, line / 2), QStringLiteral("x"), Align::Near, Align::Near, ks::ui::kOneLine))
                  .isEmpty());
}

TEST_F(DrawTextTest, MeasureGivesTheWidestLineAndAllLines) {
  QFont font = ks::ui::DefaultArialFont();
  QFontMetricsF m(font);
  QSize one = ks::ui::MeasureText(QStringLiteral("Kestyl message"), font);
  EXPECT_EQ(one.width(), static_cast<int>(m.horizontalAdvance(QStringLiteral("Kestyl message"))));
  EXPECT_EQ(one.height(), static_cast<int>(m.height()));
  QSize two = ks::ui::MeasureText(QStringLiteral("short\nKestyl message"), font);
  EXPECT_EQ(two.width(), one.width());
  EXPECT_EQ(two.height(), static_cast<int>(2 * m.height()));
  EXPECT_EQ(ks::ui::MeasureText(QString(), font).width(), 0);
}

}  // namespace
