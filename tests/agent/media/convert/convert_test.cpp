#include "agent/media/convert/convert.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/media/convert/jpeg_io.h"
#include "agent/media/convert/raster_reader.h"
#include "tests/agent/media/thumb/jpeg_maker.h"
#include "tests/fakes/test_support.h"

// Replacing the global allocation functions pairs malloc with free by design.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// The largest single allocation through operator new, to show that a crafted header does
// not make the readers allocate what it claims.
static std::atomic<size_t> g_largestNew{0};
void* operator new(size_t n) {
  size_t seen = g_largestNew.load();
  while (n > seen && !g_largestNew.compare_exchange_weak(seen, n)) {
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace ks::media {
namespace {

using Rgb = std::array<uint8_t, 3>;
using Bytes = std::vector<uint8_t>;

void Le16(Bytes& b, uint32_t v) { b.push_back(uint8_t(v)); b.push_back(uint8_t(v >> 8)); }
void Le32(Bytes& b, uint32_t v) { Le16(b, v & 0xFFFF); Le16(b, v >> 16); }

// A BMP file; every header field can be set to a wrong value.
struct Bmp {
  int width = 32;
  int height = 32;
  int32_t heightField = 0;  // 0: height
  int bits = 24;
  uint32_t infoSize = 40;
  uint32_t compression = 0;
  uint16_t planes = 1;
  uint32_t paletteField = 0;  // 0 means 256
  int paletteWritten = -1;    // entries written; -1: as the field says
  int64_t offsetDelta = 0;    // added to the real pixel data offset
  size_t cutTo = 0;           // 0: whole file
  std::function<Rgb(int, int)> color = [](int x, int y) -> Rgb {  // y counts from the top
    return x < 16 ? (y < 16 ? Rgb{255, 0, 0} : Rgb{0, 0, 255}) : (y < 16 ? Rgb{0, 255, 0} : Rgb{255, 255, 255});
  };
  std::function<uint8_t(int, int)> index = [](int, int) -> uint8_t { return 255; };
  std::function<Rgb(int)> palette = [](int i) -> Rgb { return {uint8_t(i), uint8_t(200 - i / 2), 30}; };

  Bytes Build() const {
    int entrySize = infoSize == 12 ? 3 : 4;
    int entries = bits == 8 ? (paletteWritten >= 0 ? paletteWritten : paletteField ? int(paletteField) : 256) : 0;
    size_t stride = (size_t(width) * size_t(bits / 8) + 3) & ~size_t(3);
    uint32_t offset = uint32_t(int64_t(14 + infoSize + size_t(entries * entrySize)) + offsetDelta);
    Bytes b = {'B', 'M'};
    Le32(b, uint32_t(offset + stride * size_t(height)));
    Le32(b, 0);
    Le32(b, offset);
    Le32(b, infoSize);
    if (infoSize == 12) {
      Le16(b, uint32_t(width));
      Le16(b, uint32_t(heightField ? heightField : height));
      Le16(b, planes);
      Le16(b, uint32_t(bits));
    } else {
      Le32(b, uint32_t(width));
      Le32(b, uint32_t(heightField ? heightField : height));
      Le16(b, planes);
      Le16(b, uint32_t(bits));
      Le32(b, compression);
      Le32(b, uint32_t(stride * size_t(height)));
      Le32(b, 2835);
      Le32(b, 2835);
      Le32(b, paletteField);
      Le32(b, 0);
      b.resize(14 + infoSize, 0);
    }
    for (int i = 0; i < entries; ++i) {
      Rgb c = palette(i);
      b.insert(b.end(), {c[2], c[1], c[0]});
      if (entrySize == 4) b.push_back(0);
    }
    b.resize(offset, 0);
    for (int y = height - 1; y >= 0; --y) {  // bottom-up
      size_t start = b.size();
      for (int x = 0; x < width; ++x) {
        if (bits == 8) {
          b.push_back(index(x, y));
        } else {
          Rgb c = color(x, y);
          b.insert(b.end(), {c[2], c[1], c[0]});
        }
      }
      b.resize(start + stride, 0);
    }
    if (cutTo) b.resize(cutTo);
    return b;
  }
};

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct Converted {
  int rc = -1;
  test::DecodedJpeg jpeg;
  bool decoded = false;
};

Converted Convert(const Bytes& input) {
  Converted c;
  std::vector<uint8_t> out;
  c.rc = ConvertToJpegMemory(input.data(), input.size(), &out);
  if (!out.empty()) c.decoded = test::DecodeJpeg(out, &c.jpeg);
  return c;
}

Rgb PixelAt(const test::DecodedJpeg& d, int x, int y) {
  const uint8_t* p = &d.pixels[(size_t(y) * size_t(d.width) + size_t(x)) * size_t(d.components)];
  return d.components == 1 ? Rgb{p[0], p[0], p[0]} : Rgb{p[0], p[1], p[2]};
}

void ExpectNear(const Rgb& got, const Rgb& want, int tolerance = 12) {
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(got[size_t(k)], want[size_t(k)], tolerance) << "component " << k;
}

class ConvertTest : public ::testing::Test {
 protected:
  void SetUp() override { SetConsoleMessages(false); }
  void TearDown() override { SetConsoleMessages(true); }
  test::TempDir dir_;
};

TEST_F(ConvertTest, SmallColourBmpGivesColourJpeg) {
  Bmp bmp;
  bmp.width = 3;
  bmp.height = 2;
  Converted c = Convert(bmp.Build());
  EXPECT_EQ(c.rc, 1);
  ASSERT_TRUE(c.decoded);
  EXPECT_EQ(c.jpeg.width, 3);
  EXPECT_EQ(c.jpeg.height, 2);
  EXPECT_EQ(c.jpeg.components, 3);
  EXPECT_EQ(c.jpeg.jpegSpace, JCS_YCbCr);
  EXPECT_FALSE(c.jpeg.progressive);
}

TEST_F(ConvertTest, BmpRowsComeOutTopDownInTheirColours) {
  for (uint32_t infoSize : {12u, 40u, 64u}) {
    SCOPED_TRACE(infoSize);
    Bmp bmp;
    bmp.infoSize = infoSize;
    Converted c = Convert(bmp.Build());
    EXPECT_EQ(c.rc, 1);
    ASSERT_TRUE(c.decoded);
    ExpectNear(PixelAt(c.jpeg, 6, 6), {255, 0, 0});
    ExpectNear(PixelAt(c.jpeg, 25, 6), {0, 255, 0});
    ExpectNear(PixelAt(c.jpeg, 6, 25), {0, 0, 255});
    ExpectNear(PixelAt(c.jpeg, 25, 25), {255, 255, 255});
  }
}

TEST_F(ConvertTest, PaletteBmp) {
  struct Case {
    uint32_t infoSize;
    uint32_t paletteField;
    uint8_t index;
  } cases[] = {{40, 0, 255}, {64, 0, 128}, {12, 0, 200}, {40, 3, 2}};
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.infoSize) + "/" + std::to_string(k.paletteField));
    Bmp bmp;
    bmp.bits = 8;
    bmp.infoSize = k.infoSize;
    bmp.paletteField = k.paletteField;  // 0: 256 entries
    bmp.index = [&](int, int) { return k.index; };
    Converted c = Convert(bmp.Build());
    EXPECT_EQ(c.rc, 1);
    ASSERT_TRUE(c.decoded);
    EXPECT_EQ(c.jpeg.components, 3);
    ExpectNear(PixelAt(c.jpeg, 16, 16), bmp.palette(k.index));
  }
}

TEST_F(ConvertTest, RefusedBmps) {
  struct Case {
    const char* what;
    std::function<void(Bmp&)> change;
  } cases[] = {
      {"run-length compression", [](Bmp& b) { b.bits = 8; b.compression = 1; }},
      {"16 bits", [](Bmp& b) { b.bits = 16; }},
      {"32 bits", [](Bmp& b) { b.bits = 32; }},
      {"4 bits", [](Bmp& b) { b.bits = 4; b.width = 16; }},
      {"two planes", [](Bmp& b) { b.planes = 2; }},
      {"header of 20 bytes", [](Bmp& b) { b.infoSize = 20; }},
      {"header of 108 bytes", [](Bmp& b) { b.infoSize = 108; }},
      {"width 0", [](Bmp& b) { b.width = 0; }},
      {"top-down (negative height)", [](Bmp& b) { b.heightField = -32; }},
      {"palette of 300", [](Bmp& b) { b.bits = 8; b.paletteField = 300; b.paletteWritten = 256; }},
      {"pixels inside the header", [](Bmp& b) { b.offsetDelta = -4; }},
      {"palette index out of range", [](Bmp& b) { b.bits = 8; b.paletteField = 2; b.index = [](int x, int) { return uint8_t(x == 31 ? 5 : 1); }; }},
      {"truncated pixels", [](Bmp& b) { b.cutTo = 14 + 40 + 32 * 96 - 1; }},
      {"truncated palette", [](Bmp& b) { b.bits = 8; b.cutTo = 14 + 40 + 100; }},
      {"truncated header", [](Bmp& b) { b.cutTo = 30; }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Bmp bmp;
    k.change(bmp);
    Converted c = Convert(bmp.Build());
    EXPECT_EQ(c.rc, 0);
    EXPECT_FALSE(c.decoded);
  }
}

TEST_F(ConvertTest, HugeClaimedSizeInATinyFileAllocatesNothingLarge) {
  Bmp bmp;
  bmp.width = 4;
  bmp.height = 4;
  Bytes b = bmp.Build();
  b[18] = 0x50, b[19] = 0xC3, b[22] = 0x40, b[23] = 0x06;  // 50000 x 1600: under the cap
  Bytes ppm = Text("P6\n60000 60000\n255\n\x01\x02\x03");
  Bytes pgm = Text("P2\n100000 1000\n255\n1 2 3");
  Bytes over = Text("P5 200000 1000 255\n");  // 200 MP: above the cap
  for (const Bytes* input : {&b, &ppm, &pgm, &over}) {
    g_largestNew = 0;
    Converted c = Convert(*input);
    EXPECT_EQ(c.rc, 0);
    EXPECT_LT(g_largestNew.load(), size_t(64 * 1024));
  }
}

TEST_F(ConvertTest, PpmAndPgm) {
  struct Case {
    const char* what;
    std::string file;
    int components;
    std::vector<std::pair<std::pair<int, int>, Rgb>> expect;  // (x, y) -> colour
  } cases[] = {
      {"P3 text", "P3\n2 1\n255\n255 0 0  0 0 255\n", 3, {}},
      {"P2 with comments between the numbers", "P2\n# made by hand\n4 # width\n2\n#max\n255\n" "0 0 255 255\n0 0 255 255\n", 1, {}},
      {"P2 maxval 1", "P2 2 2 1\n0 1\n1 0\n", 1, {}},
      {"P5 raw maxval 15", std::string("P5 2 1 15\n") + char(0) + char(15), 1, {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Converted c = Convert(Text(k.file));
    EXPECT_EQ(c.rc, 1);
    ASSERT_TRUE(c.decoded);
    EXPECT_EQ(c.jpeg.components, k.components);
    EXPECT_EQ(c.jpeg.jpegSpace, k.components == 1 ? JCS_GRAYSCALE : JCS_YCbCr);
  }
}

// Uniform 16 x 16 blocks so that the samples survive compression.
std::string BlockPicture(const char* magic, int maxval, bool raw, int components,
                         const std::function<std::vector<uint32_t>(int, int)>& sample) {
  std::string s = std::string(magic) + "\n32 16\n" + std::to_string(maxval) + "\n";
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 32; ++x) {
      std::vector<uint32_t> v = sample(x, y);
      for (int k = 0; k < components; ++k) {
        if (!raw) {
          s += std::to_string(v[size_t(k)]) + " ";
        } else if (maxval > 255) {
          s += char(v[size_t(k)] >> 8);
          s += char(v[size_t(k)] & 0xFF);
        } else {
          s += char(v[size_t(k)]);
        }
      }
    }
  }
  return s;
}

TEST_F(ConvertTest, SamplesAreRescaledFromTheirMaximum) {
  struct Case {
    const char* magic;
    int maxval;
    bool raw;
    int components;
    std::vector<uint32_t> left, right;
    Rgb wantLeft, wantRight;
  } cases[] = {
      {"P2", 1, false, 1, {0}, {1}, {0, 0, 0}, {255, 255, 255}},
      {"P5", 1, true, 1, {1}, {0}, {255, 255, 255}, {0, 0, 0}},
      {"P6", 65535, true, 3, {65535, 0, 0}, {0, 32768, 65535}, {255, 0, 0}, {0, 128, 255}},
      {"P5", 65535, true, 1, {16384}, {65535}, {64, 64, 64}, {255, 255, 255}},
      {"P3", 1000, false, 3, {1000, 1000, 0}, {0, 500, 1000}, {255, 255, 0}, {0, 128, 255}},
      {"P6", 255, true, 3, {200, 100, 50}, {10, 20, 30}, {200, 100, 50}, {10, 20, 30}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.magic) + " max " + std::to_string(k.maxval));
    std::string file = BlockPicture(k.magic, k.maxval, k.raw, k.components,
                                    [&](int x, int) { return x < 16 ? k.left : k.right; });
    Converted c = Convert(Text(file));
    EXPECT_EQ(c.rc, 1);
    ASSERT_TRUE(c.decoded);
    ExpectNear(PixelAt(c.jpeg, 8, 8), k.wantLeft);
    ExpectNear(PixelAt(c.jpeg, 24, 8), k.wantRight);
  }
}

TEST_F(ConvertTest, RefusedPpms) {
  struct Case {
    const char* what;
    std::string file;
  } cases[] = {
      {"P4 bitmap", "P4 8 1\n\xff"},
      {"P7", "P7 1 1 255\n\0"},
      {"width 0", "P2 0 1 255\n"},
      {"maxval 0", "P2 1 1 0\n0"},
      {"maxval above 65535", "P2 1 1 65536\n0"},
      {"number overflow", "P2 99999999999 1 255\n0"},
      {"non-digit", "P2 2 x 255\n"},
      {"text sample above maxval", "P2 2 1 100\n50 101\n"},
      {"raw sample above maxval", std::string("P5 2 1 100\n") + char(50) + char(101)},
      {"raw 16-bit sample above maxval", std::string("P5 1 1 1000\n") + char(0x03) + char(0xE9)},
      {"truncated text", "P3 2 1 255\n1 2 3 4 5"},
      {"truncated raw", std::string("P6 2 1 255\n") + "abcde"},
      {"end inside the header", "P6 2 1"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Converted c = Convert(Text(k.file));
    EXPECT_EQ(c.rc, 0);
    EXPECT_FALSE(c.decoded);
  }
}

TEST_F(ConvertTest, FirstByteChoosesTheReader) {
  struct Case {
    std::string file;
    const char* error;
  } cases[] = {{"GIF89a....", kGifRefusal}, {"XYZ", "Unrecognized input file format"}, {"", "Empty input file"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.file);
    Bytes in = Text(k.file);
    MemorySource source(in.data(), in.size());
    std::string error;
    EXPECT_EQ(SelectInputReader(&source, &error), nullptr);
    EXPECT_EQ(error, k.error);
    EXPECT_EQ(Convert(in).rc, 0);
  }
}

TEST_F(ConvertTest, FilesInAndOut) {
  Bytes bmp = Bmp().Build();
  std::string in = dir_ / "in.bmp", out = dir_ / "out.jpg";
  test::WriteFile(in, test::AsString(bmp));
  EXPECT_EQ(ConvertToJpeg(in, out), 1);
  std::vector<uint8_t> memory;
  EXPECT_EQ(ConvertToJpegMemory(bmp.data(), bmp.size(), &memory), 1);
  EXPECT_EQ(test::ReadFile(out), test::AsString(memory));
  std::vector<uint8_t> fromFile;
  EXPECT_EQ(ConvertToJpegMemory(in, &fromFile), 1);
  EXPECT_EQ(fromFile, memory);

  std::string missingOut = dir_ / "never.jpg";
  EXPECT_EQ(ConvertToJpeg(dir_ / "missing.bmp", missingOut), 0);
  EXPECT_TRUE(test::ReadFile(missingOut).empty() && ::access(missingOut.c_str(), F_OK) != 0);
  EXPECT_EQ(ConvertToJpeg(in, dir_.path()), 0);     // a folder cannot be opened for writing
  EXPECT_EQ(ConvertToJpeg(in, "/dev/full"), 0);     // a full disk
  EXPECT_EQ(ConvertToJpegMemory(dir_ / "missing.bmp", &fromFile), 0);
  EXPECT_TRUE(fromFile.empty());
}

}  // namespace
}  // namespace ks::media
