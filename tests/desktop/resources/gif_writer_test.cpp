// The GIF writer against Qt's own GIF reader: what we write must decode to exactly the
// quantised picture, across code-width changes and dictionary resets.
#include "desktop/resources/gif_writer.h"
#include "tests/desktop/resources/qt_app.h"

#include <QImage>

#include <gtest/gtest.h>

#include <random>

namespace {

using ks::art::EncodeGif;
using ks::art::IndexedImage;
using ks::art::QuantiseImage;

QImage Decode(const std::vector<uint8_t>& gif) {
  return QImage::fromData(gif.data(), static_cast<int>(gif.size()), "GIF").convertToFormat(QImage::Format_RGB32);
}

// The decoded picture equals the indexed one pixel by pixel.
void ExpectRoundTrip(const IndexedImage& indexed) {
  std::vector<uint8_t> gif = EncodeGif(indexed);
  ASSERT_FALSE(gif.empty());
  QImage decoded = Decode(gif);
  ASSERT_FALSE(decoded.isNull());
  ASSERT_EQ(decoded.width(), indexed.width);
  ASSERT_EQ(decoded.height(), indexed.height);
  int wrong = 0;
  for (int y = 0; y < indexed.height; ++y)
    for (int x = 0; x < indexed.width; ++x) {
      uint32_t want = indexed.palette[indexed.pixels[size_t(y) * size_t(indexed.width) + size_t(x)]];
      if ((decoded.pixel(x, y) & 0xFFFFFF) != want) ++wrong;
    }
  EXPECT_EQ(wrong, 0);
}

IndexedImage Indexed(int w, int h, std::vector<uint32_t> palette, auto pick) {
  IndexedImage image{w, h, std::move(palette), {}};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) image.pixels.push_back(static_cast<uint8_t>(pick(x, y)));
  return image;
}

class GifWriterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureQtApp(); }
};

TEST_F(GifWriterTest, RoundTripsAcrossPaletteSizesAndPatterns) {
  std::mt19937 random(7);
  struct Case {
    const char* name;
    int w, h, colours;
    int kind;  // 0 flat, 1 stripes, 2 noise (many codes, dictionary resets)
  };
  const Case cases[] = {
      {"one pixel, one colour", 1, 1, 1, 0},  {"flat", 40, 30, 1, 0},         {"two colours", 17, 9, 2, 1},
      {"three colours", 33, 7, 3, 1},         {"sixteen", 64, 64, 16, 1},     {"noise of 4", 200, 150, 4, 2},
      {"noise of 256", 300, 200, 256, 2},     {"wide", 1000, 3, 129, 2},      {"tall", 2, 900, 5, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> palette;
    for (int i = 0; i < c.colours; ++i) palette.push_back(static_cast<uint32_t>(i * 0x010305 + 0x102030) & 0xFFFFFF);
    std::uniform_int_distribution<int> any(0, c.colours - 1);
    ExpectRoundTrip(Indexed(c.w, c.h, palette, [&](int x, int y) {
      return c.kind == 0 ? 0 : c.kind == 1 ? (x / 3 + y) % c.colours : any(random);
    }));
  }
}

TEST_F(GifWriterTest, QuantisingKeepsPicturesOfFewColoursExact) {
  QImage image(50, 20, QImage::Format_RGB32);
  image.fill(QColor(0xE7, 0xF2, 0xFC));
  for (int x = 10; x < 20; ++x)
    for (int y = 5; y < 15; ++y) image.setPixel(x, y, qRgb(0x0F, 0x4F, 0x86));
  IndexedImage indexed = QuantiseImage(image);
  EXPECT_EQ(indexed.palette.size(), 2u);
  QImage decoded = Decode(EncodeGif(image));
  EXPECT_EQ(decoded, image.convertToFormat(QImage::Format_RGB32));
}

TEST_F(GifWriterTest, QuantisingManyColoursKeepsFlatAreasExactAndStaysClose) {
  // A smooth gradient (thousands of colours) beside a flat field: the flat colour must
  // survive exactly, the gradient within a few levels.
  QImage image(256, 64, QImage::Format_RGB32);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 256; ++x)
      image.setPixel(x, y, x < 128 ? qRgb(x * 2, y * 4, 255 - x) : qRgb(0xE7, 0xF2, 0xFC));
  IndexedImage indexed = QuantiseImage(image);
  EXPECT_LE(indexed.palette.size(), 256u);
  QImage decoded = Decode(EncodeGif(image));
  ASSERT_EQ(decoded.size(), image.size());
  int worst = 0;
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 256; ++x) {
      QRgb a = image.pixel(x, y), b = decoded.pixel(x, y);
      if (x >= 128) {
        ASSERT_EQ(a & 0xFFFFFF, b & 0xFFFFFF) << x << "," << y;
      }
      worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
    }
  EXPECT_LE(worst, 24);
  ExpectRoundTrip(indexed);
}

TEST_F(GifWriterTest, RefusesWhatGifCannotHold) {
  EXPECT_TRUE(EncodeGif(QImage()).empty());
  EXPECT_TRUE(EncodeGif(IndexedImage{}).empty());
  EXPECT_TRUE(EncodeGif(IndexedImage{2, 2, {0}, {0, 0, 0}}).empty()) << "pixel count differs from the size";
  EXPECT_TRUE(EncodeGif(IndexedImage{2, 1, std::vector<uint32_t>(257, 0), {0, 0}}).empty()) << "more than 256 colours";
  EXPECT_TRUE(EncodeGif(IndexedImage{70000, 1, {0}, std::vector<uint8_t>(70000, 0)}).empty()) << "wider than 65535";
}

}  // namespace
