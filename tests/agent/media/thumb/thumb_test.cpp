#include "agent/media/thumb/thumb.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/media/convert/jpeg_io.h"
#include "tests/agent/media/thumb/jpeg_maker.h"
#include "tests/fakes/test_support.h"

namespace ks::media {
namespace {

using test::DecodedJpeg;
using test::DecodeJpeg;
using test::JpegSpec;
using test::MakeJpeg;

// Offset of the first marker `code` (the 0xFF byte), or npos.
size_t FindMarker(const std::vector<uint8_t>& jpeg, uint8_t code, size_t from = 2) {
  for (size_t i = from; i + 1 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == code) return i;
  }
  return std::string::npos;
}

// Rewrites the frame size of a JPEG (SOF0 or SOF2).
void PatchFrameSize(std::vector<uint8_t>& jpeg, int width, int height) {
  size_t sof = FindMarker(jpeg, 0xC0);
  if (sof == std::string::npos) sof = FindMarker(jpeg, 0xC2);
  ASSERT_NE(sof, std::string::npos);
  jpeg[sof + 5] = uint8_t(height >> 8);
  jpeg[sof + 6] = uint8_t(height);
  jpeg[sof + 7] = uint8_t(width >> 8);
  jpeg[sof + 8] = uint8_t(width);
}

struct Encoded {
  int rc = -1;
  int decodedWidth = 0;
  int decodedHeight = 0;
  std::vector<uint8_t> jpeg;
};

Encoded EncodeMemory(const std::vector<uint8_t>& source, int width, int height, bool comments = true,
                     int quality = 75) {
  Encoded e;
  JpegThumb* t = JpegThumb_OpenMemory(source.data(), source.size(), "/pictures/a.jpg", 1234);
  if (!t) return e;
  JpegThumb_SetDecodeSize(t, width, height);
  JpegThumb_SetQuality(t, quality);
  JpegThumb_EnableComments(t, comments);
  e.rc = JpegThumb_Encode(t);
  JpegThumb_DecodedSize(t, &e.decodedWidth, &e.decodedHeight);
  size_t size = 0;
  const uint8_t* data = JpegThumb_Output(t, &size);
  if (data) e.jpeg.assign(data, data + size);
  JpegThumb_Close(t);
  return e;
}

class ThumbTest : public ::testing::Test {
 protected:
  void SetUp() override { SetConsoleMessages(false); }
  void TearDown() override { SetConsoleMessages(true); }
  test::TempDir dir_;
};

TEST_F(ThumbTest, LargePhotoDecodesAtOneEighthAndEndsExactlyAtTheWantedSize) {
  std::string path = dir_ / "photo.jpg";
  test::WriteFile(path, test::AsString(MakeJpeg(JpegSpec().Size(4000, 3000))));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);

  JpegThumb* t = JpegThumb_OpenFile(path.c_str());
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(JpegThumb_Header(t).width, 4000);
  EXPECT_EQ(JpegThumb_Header(t).height, 3000);
  EXPECT_EQ(JpegThumb_Header(t).colorSpace, kThumbRgb);
  JpegThumb_SetDecodeSize(t, 160, 120);
  JpegThumb_EnableComments(t, true);
  ASSERT_EQ(JpegThumb_Encode(t), kThumbOk);
  int dw, dh;
  JpegThumb_DecodedSize(t, &dw, &dh);
  EXPECT_EQ(dw, 500);
  EXPECT_EQ(dh, 375);
  size_t size = 0;
  const uint8_t* data = JpegThumb_Output(t, &size);
  ASSERT_NE(data, nullptr);
  std::vector<uint8_t> out(data, data + size);
  JpegThumb_Close(t);

  DecodedJpeg d;
  ASSERT_TRUE(DecodeJpeg(out, &d));
  EXPECT_EQ(d.width, 160);
  EXPECT_EQ(d.height, 120);
  EXPECT_EQ(d.components, 3);
  EXPECT_FALSE(d.progressive);
  std::vector<std::string> expected = {
      "Thumb::URI\nfile://" + path, "Thumb::MTime\n" + std::to_string(st.st_mtime),
      "Thumb::Image::Width\n4000", "Thumb::Image::Height\n3000", "Thumb::Mimetype\nimage/jpeg"};
  EXPECT_EQ(d.app7, expected);

  // The gradient survives: red grows to the right, green downwards.
  auto at = [&](int x, int y, int c) { return int(d.pixels[(size_t(y) * 160 + size_t(x)) * 3 + size_t(c)]); };
  EXPECT_LT(at(2, 60, 0), 40);
  EXPECT_GT(at(157, 60, 0), 215);
  EXPECT_LT(at(80, 2, 1), 40);
  EXPECT_GT(at(80, 117, 1), 215);

  // The thumbnailer reads its own markers back.
  JpegThumb* back = JpegThumb_OpenMemory(out.data(), out.size(), "x", 0);
  ASSERT_NE(back, nullptr);
  const JpegThumbHeader& h = JpegThumb_Header(back);
  EXPECT_EQ(h.uri, "file://" + path);
  EXPECT_EQ(h.mtime, uint64_t(st.st_mtime));
  EXPECT_EQ(h.thumbImageWidth, 4000);
  EXPECT_EQ(h.thumbImageHeight, 3000);
  EXPECT_EQ(h.mimetype, "image/jpeg");
  JpegThumb_Close(back);
}

TEST_F(ThumbTest, ColourSpacesAreKept) {
  struct Case {
    J_COLOR_SPACE space;
    int code;
    int components;
  } cases[] = {{JCS_GRAYSCALE, kThumbGray, 1}, {JCS_RGB, kThumbRgb, 3}, {JCS_CMYK, kThumbCmyk, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    auto src = MakeJpeg(JpegSpec().Size(320, 240).Space(c.space));
    JpegThumb* t = JpegThumb_OpenMemory(src.data(), src.size(), "p", 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(JpegThumb_Header(t).colorSpace, c.code);
    JpegThumb_Close(t);
    Encoded e = EncodeMemory(src, 50, 30);
    ASSERT_EQ(e.rc, kThumbOk);
    DecodedJpeg d;
    ASSERT_TRUE(DecodeJpeg(e.jpeg, &d));
    EXPECT_EQ(d.width, 50);
    EXPECT_EQ(d.height, 30);
    EXPECT_EQ(d.components, c.components);
  }
}

// libjpeg scales by M/8 and takes the smallest M/8 not below 1/N: the intermediate size may
// lie between, but the result is always the wanted size.
TEST_F(ThumbTest, ScaleChoiceAndFinalSize) {
  struct Case {
    int width, height, wantW, wantH, decodedW, decodedH;
  } cases[] = {
      {800, 600, 800, 600, 800, 600},  // N = 1: no scaling at all
      {800, 600, 400, 300, 400, 300},  // N = 2
      {900, 900, 300, 300, 338, 338},  // N = 3 decodes at 3/8
      {1000, 1000, 200, 200, 250, 250},  // N = 5 decodes at 2/8
      {1000, 700, 100, 100, 250, 175},  // N = min(10, 7) = 7 decodes at 2/8
      {1600, 1200, 16, 12, 200, 150},  // N = 100 clamped to 8
      {1000, 100, 999, 3, 1000, 100},  // N = min(1, 33) = 1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " at " + std::to_string(c.wantW));
    Encoded e = EncodeMemory(MakeJpeg(JpegSpec().Size(c.width, c.height)), c.wantW, c.wantH, false, 100);
    ASSERT_EQ(e.rc, kThumbOk);
    EXPECT_EQ(e.decodedWidth, c.decodedW);
    EXPECT_EQ(e.decodedHeight, c.decodedH);
    DecodedJpeg d;
    ASSERT_TRUE(DecodeJpeg(e.jpeg, &d));
    EXPECT_EQ(d.width, c.wantW);
    EXPECT_EQ(d.height, c.wantH);
    // Pixel (j, i) shows the source pixel nearest-neighbour picks from the decoded picture:
    // red ramps left to right, green top to bottom.
    auto sourceRamp = [](int k, int wanted, int decoded, int full) {
      double decodedIndex = double(int64_t(k) * decoded / wanted) + 0.5;
      return int(decodedIndex * full / decoded * 255 / (full - 1));
    };
    auto at = [&](int x, int y, int comp) { return int(d.pixels[(size_t(y) * size_t(c.wantW) + size_t(x)) * 3 + size_t(comp)]); };
    for (int k : {0, 1, 2, 3}) {
      int j = k * (c.wantW - 1) / 3, i = k * (c.wantH - 1) / 3;
      EXPECT_NEAR(at(j, c.wantH / 2, 0), sourceRamp(j, c.wantW, c.decodedW, c.width), 12) << "column " << j;
      EXPECT_NEAR(at(c.wantW / 2, i, 1), sourceRamp(i, c.wantH, c.decodedH, c.height), 12) << "row " << i;
    }
  }
}

TEST_F(ThumbTest, DecodeSizeIsClamped) {
  auto src = MakeJpeg(JpegSpec().Size(120, 80));
  struct Case {
    int wantW, wantH, outW, outH;
  } cases[] = {{0, 0, 1, 1}, {-5, 40, 1, 40}, {500, 400, 120, 80}, {120, 1000, 120, 80}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.wantW) + "x" + std::to_string(c.wantH));
    Encoded e = EncodeMemory(src, c.wantW, c.wantH);
    ASSERT_EQ(e.rc, kThumbOk);
    DecodedJpeg d;
    ASSERT_TRUE(DecodeJpeg(e.jpeg, &d));
    EXPECT_EQ(d.width, c.outW);
    EXPECT_EQ(d.height, c.outH);
  }
}

TEST_F(ThumbTest, SizeIsIgnoredOnceDecodedAndEncodeRunsOnce) {
  auto src = MakeJpeg(JpegSpec().Size(200, 100));
  JpegThumb* t = JpegThumb_OpenMemory(src.data(), src.size(), "p", 0);
  ASSERT_NE(t, nullptr);
  JpegThumb_SetDecodeSize(t, 20, 10);
  ASSERT_EQ(JpegThumb_Encode(t), kThumbOk);
  JpegThumb_SetDecodeSize(t, 40, 40);
  EXPECT_EQ(JpegThumb_Encode(t), kThumbDecodeFailed);  // already decoded
  size_t size = 0;
  std::vector<uint8_t> out(JpegThumb_Output(t, &size), JpegThumb_Output(t, &size) + size);
  JpegThumb_Close(t);
  DecodedJpeg d;
  ASSERT_TRUE(DecodeJpeg(out, &d));
  EXPECT_EQ(d.width, 20);
  EXPECT_EQ(d.height, 10);
}

TEST_F(ThumbTest, QualityAndMarkerSwitch) {
  auto src = MakeJpeg(JpegSpec().Size(256, 256));
  Encoded plain = EncodeMemory(src, 64, 64, /*comments=*/false);
  ASSERT_EQ(plain.rc, kThumbOk);
  DecodedJpeg d;
  ASSERT_TRUE(DecodeJpeg(plain.jpeg, &d));
  EXPECT_TRUE(d.app7.empty());
  EXPECT_EQ(d.hSamp0, 2);  // default 2x2 luma sampling at quality 75

  Encoded fine = EncodeMemory(src, 64, 64, false, 250);  // clamped to 100
  ASSERT_EQ(fine.rc, kThumbOk);
  DecodedJpeg f;
  ASSERT_TRUE(DecodeJpeg(fine.jpeg, &f));
  EXPECT_EQ(f.hSamp0, 1);  // above 89: full-resolution colour
  EXPECT_EQ(f.vSamp0, 1);
  EXPECT_GT(fine.jpeg.size(), plain.jpeg.size());
}

TEST_F(ThumbTest, CommentAndForeignMarkersAreReadWithinBounds) {
  std::string longValue(3000, 'u');
  auto src = MakeJpeg(JpegSpec()
                          .Size(32, 32)
                          .Marker(JPEG_COM, "taken at the lake")
                          .Marker(JPEG_APP0 + 7, "Thumb::")     // 7 bytes: ignored
                          .Marker(JPEG_APP0 + 7, "Thumb::URI")  // no value
                          .Marker(JPEG_APP0 + 7, "Other::Key\nvalue")
                          .Marker(JPEG_APP0 + 7, "Thumb::MTime\n18446744073709551615")
                          .Marker(JPEG_APP0 + 7, std::string("Thumb::Mimetype\nimage/x\0junk", 29))
                          .Marker(JPEG_APP0 + 7, "Thumb::Image::Width\n" + longValue)
                          .Marker(JPEG_APP0 + 7, "Thumb::Image::Height\n99999999999999999999"));
  JpegThumb* t = JpegThumb_OpenMemory(src.data(), src.size(), "p", 0);
  ASSERT_NE(t, nullptr);
  const JpegThumbHeader& h = JpegThumb_Header(t);
  EXPECT_EQ(h.comment, "taken at the lake");
  EXPECT_EQ(h.uri, "");
  EXPECT_EQ(h.mtime, 18446744073709551615ull);
  EXPECT_EQ(h.mimetype, "image/x");
  EXPECT_EQ(h.thumbImageWidth, 0);  // "uuu..." cut at 1024 bytes, not a number
  EXPECT_EQ(h.thumbImageHeight, INT32_MAX);
  JpegThumb_Close(t);
}

TEST_F(ThumbTest, OutputFile) {
  auto src = MakeJpeg(JpegSpec().Size(100, 100));
  JpegThumb* t = JpegThumb_OpenMemory(src.data(), src.size(), "p", 0);
  ASSERT_NE(t, nullptr);
  std::string out = dir_ / "t.jpg";
  JpegThumb_SetDecodeSize(t, 10, 10);
  JpegThumb_SetOutputFile(t, out.c_str());
  ASSERT_EQ(JpegThumb_Encode(t), kThumbOk);
  size_t size = 7;
  EXPECT_EQ(JpegThumb_Output(t, &size), nullptr);
  EXPECT_EQ(size, 0u);
  JpegThumb_Close(t);
  std::string written = test::ReadFile(out);
  DecodedJpeg d;
  ASSERT_TRUE(DecodeJpeg(std::vector<uint8_t>(written.begin(), written.end()), &d));
  EXPECT_EQ(d.width, 10);

  // An output that cannot be opened is an encoding failure.
  t = JpegThumb_OpenMemory(src.data(), src.size(), "p", 0);
  ASSERT_NE(t, nullptr);
  JpegThumb_SetOutputFile(t, dir_.path().c_str());
  EXPECT_EQ(JpegThumb_Encode(t), kThumbEncodeFailed);
  JpegThumb_Close(t);

  // A full disk is an encoding failure too.
  t = JpegThumb_OpenMemory(src.data(), src.size(), "p", 0);
  ASSERT_NE(t, nullptr);
  JpegThumb_SetOutputFile(t, "/dev/full");
  EXPECT_EQ(JpegThumb_Encode(t), kThumbEncodeFailed);
  JpegThumb_Close(t);
}

TEST_F(ThumbTest, UnreadableInputsFailToOpen) {
  EXPECT_EQ(JpegThumb_OpenFile((dir_ / "missing.jpg").c_str()), nullptr);
  test::WriteFile(dir_ / "text.jpg", "this is not a picture");
  EXPECT_EQ(JpegThumb_OpenFile((dir_ / "text.jpg").c_str()), nullptr);
  test::WriteFile(dir_ / "empty.jpg", "");
  EXPECT_EQ(JpegThumb_OpenFile((dir_ / "empty.jpg").c_str()), nullptr);
  auto src = MakeJpeg(JpegSpec().Size(64, 64));
  std::vector<uint8_t> head(src.begin(), src.begin() + 40);  // cut inside the tables
  EXPECT_EQ(JpegThumb_OpenMemory(head.data(), head.size(), "p", 0), nullptr);
}

TEST_F(ThumbTest, TruncatedDataStillGivesAThumbnail) {
  auto src = MakeJpeg(JpegSpec().Size(2400, 1800).Quality(100));
  ASSERT_GT(src.size(), 2u * 256 * 1024);  // several reads of the file source
  src.resize(src.size() * 3 / 4);
  Encoded e = EncodeMemory(src, 64, 48);
  ASSERT_EQ(e.rc, kThumbOk);
  DecodedJpeg d;
  ASSERT_TRUE(DecodeJpeg(e.jpeg, &d));
  EXPECT_EQ(d.width, 64);

  std::string path = dir_ / "cut.jpg";
  test::WriteFile(path, test::AsString(src));
  std::vector<uint8_t> fromFile;
  ASSERT_TRUE(ThunmbNailIt(path, 48, 64, &fromFile));
  DecodedJpeg f;
  ASSERT_TRUE(DecodeJpeg(fromFile, &f));
  EXPECT_EQ(f.width, 64);
  EXPECT_EQ(f.pixels, d.pixels);  // the file source reads what the memory source reads
}

TEST_F(ThumbTest, LibjpegErrorWhileDecodingIsReported) {
  // A progressive file whose second scan asks for an impossible spectral range.
  auto src = MakeJpeg(JpegSpec().Size(64, 64).Progressive());
  size_t first = FindMarker(src, 0xDA);
  size_t second = FindMarker(src, 0xDA, first + 2);
  ASSERT_NE(second, std::string::npos);
  size_t ns = src[second + 4];
  src[second + 5 + 2 * ns] = 63;     // Ss
  src[second + 5 + 2 * ns + 1] = 0;  // Se < Ss
  Encoded e = EncodeMemory(src, 8, 8);
  EXPECT_EQ(e.rc, kThumbDecodeJpegError);
  EXPECT_TRUE(e.jpeg.empty());
}

TEST_F(ThumbTest, CraftedHugeFrameFailsWithoutLargeAllocations) {
  // Whole-image buffers of a progressive 65500 x 65500 frame would take gigabytes.
  auto progressive = MakeJpeg(JpegSpec().Size(16, 16).Progressive());
  PatchFrameSize(progressive, 65500, 65500);
  Encoded e = EncodeMemory(progressive, 160, 120);
  EXPECT_EQ(e.rc, kThumbDecodeJpegError);

  // Decoded at 1/8 a 65500 x 65500 frame stays above the decoded-pixel cap when asked at
  // 4096 x 4096 (N = 15 -> 1/8 -> 8188 x 8188 = 67 MP is allowed, but 65500 x 32750 at N = 1
  // is not).
  auto baseline = MakeJpeg(JpegSpec().Size(16, 16));
  PatchFrameSize(baseline, 65500, 32750);
  e = EncodeMemory(baseline, 65500, 32750);
  EXPECT_EQ(e.rc, kThumbDecodeFailed);
}

// A 24-bit BMP of width x height, all one colour.
std::string SolidBmp(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
  size_t stride = (size_t(width) * 3 + 3) & ~size_t(3);
  std::string f = "BM";
  auto le32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) f += char(v >> (8 * i)); };
  auto le16 = [&](uint32_t v) { f += char(v); f += char(v >> 8); };
  le32(uint32_t(54 + stride * size_t(height)));
  le32(0);
  le32(54);
  le32(40);
  le32(uint32_t(width));
  le32(uint32_t(height));
  le16(1);
  le16(24);
  for (int i = 0; i < 6; ++i) le32(0);
  for (int y = 0; y < height; ++y) {
    std::string row;
    for (int x = 0; x < width; ++x) row += {char(b), char(g), char(r)};
    row.resize(stride, '\0');
    f += row;
  }
  return f;
}

TEST_F(ThumbTest, ThumbnailOfFilesWorksInMemoryOnly) {
  std::string jpg = dir_ / "p.jpg", lower = dir_ / "p.bmp", upper = dir_ / "P.BMP", mixed = dir_ / "m.Bmp";
  test::WriteFile(jpg, test::AsString(MakeJpeg(JpegSpec().Size(400, 300))));
  test::WriteFile(lower, SolidBmp(64, 48, 0, 0, 255));
  test::WriteFile(upper, SolidBmp(64, 48, 0, 0, 255));
  test::WriteFile(mixed, SolidBmp(64, 48, 0, 0, 255));

  // Nothing may appear in the current folder.
  test::TempDir cwd;
  char saved[4096];
  ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(::chdir(cwd.path().c_str()), 0);
  std::vector<uint8_t> a, b, c, d, e;
  bool okJpg = ThunmbNailIt(jpg, 30, 40, &a);
  bool okLower = ThunmbNailIt(lower, 12, 16, &b);
  bool okUpper = ThunmbNailIt(upper, 12, 16, &c);
  bool okMixed = ThunmbNailIt(mixed, 12, 16, &d);  // not converted: not a JPEG
  bool okMissing = ThunmbNailIt(dir_ / "none.jpg", 12, 16, &e);
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(cwd.path())) left.push_back(entry.path());
  ASSERT_EQ(::chdir(saved), 0);
  EXPECT_TRUE(left.empty());

  EXPECT_TRUE(okJpg);
  EXPECT_TRUE(okLower);
  EXPECT_TRUE(okUpper);
  EXPECT_FALSE(okMixed);
  EXPECT_TRUE(d.empty());
  EXPECT_FALSE(okMissing);
  EXPECT_TRUE(e.empty());

  DecodedJpeg dj;
  ASSERT_TRUE(DecodeJpeg(a, &dj));
  EXPECT_EQ(dj.width, 40);
  EXPECT_EQ(dj.height, 30);
  EXPECT_EQ(dj.app7.size(), 5u);
  DecodedJpeg db;
  ASSERT_TRUE(DecodeJpeg(b, &db));
  EXPECT_EQ(db.width, 16);
  EXPECT_EQ(db.height, 12);
  ASSERT_EQ(db.app7.size(), 5u);
  EXPECT_EQ(db.app7[0], "Thumb::URI\nfile://" + lower);
  EXPECT_EQ(db.app7[2], "Thumb::Image::Width\n64");
  const uint8_t* px = &db.pixels[(6 * 16 + 8) * 3];
  EXPECT_LT(px[0], 30);
  EXPECT_GT(px[2], 225);
}

}  // namespace
}  // namespace ks::media
