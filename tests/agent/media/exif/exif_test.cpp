#include "agent/media/exif/exif.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/agent/media/exif/jpeg_builder.h"
#include "tests/fakes/test_support.h"

namespace {

using ks::test::ExifBuilder;
using ks::test::JpegSegment;
using ks::test::JpegSoi;
using ks::test::JpegSof;
using ks::test::JpegSosAndData;
using ks::test::JpegWithExif;
using ks::test::TempDir;
using ks::test::WriteFile;

int Read(const std::string& jpeg, ExifInfo& info) {
  return ReadExifInfoFromBuffer(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(), info);
}

const std::string kThumb = std::string("\xFF\xD8thumbnail bytes\xFF\xD9", 19);

// A camera's usual tags: IFD0 -> EXIF sub-directory -> interoperability directory, IFD0 ->
// IFD1 with the thumbnail.
ExifBuilder CameraBlock(bool motorola) {
  ExifBuilder b(motorola);
  int exif = b.addDir();
  int interop = b.addDir();
  int ifd1 = b.addDir();
  b.ascii(0, 271, "Maker Co")
      .ascii(0, 272, "Model 7 Pro")
      .u16(0, 274, 6)
      .rational(0, 282, 72, 1)
      .rational(0, 283, 300, 1)
      .u16(0, 296, 3)
      .ascii(0, 306, "2001:01:01 01:01:01")
      .link(0, 34665, exif)
      .next(0, ifd1);
  b.rational(exif, 33434, 1, 250)
      .rational(exif, 33437, 28, 10)
      .u16(exif, 34850, 2)
      .u16(exif, 34855, 200)
      .undefined(exif, 0x9000, "0230")
      .ascii(exif, 36867, "2013:05:01 10:20:30")
      .rational(exif, 37122, 4, 1)
      .srational(exif, 37379, -1, 2)
      .f32(exif, 37380, -0.5f)
      .rational(exif, 37382, 3, 2)
      .u16(exif, 37383, 5)
      .u16(exif, 37384, 1)
      .u16(exif, 37385, 0x19)
      .f64(exif, 37386, 5.5)
      .undefined(exif, 37510, std::string("ASCII\0\0\0Holiday   ", 18))
      .u32(exif, 40962, 4000)
      .u32(exif, 40963, 3000)
      .link(exif, 40965, interop)
      .rational(exif, 41486, 2000, 1)
      .rational(exif, 41487, 2000, 1)
      .u16(exif, 41488, 2);
  b.ascii(interop, 1, "R98");
  b.thumbnail(ifd1, kThumb);
  return b;
}

TEST(Exif, CameraRecord) {
  ExifInfo info;
  std::string jpeg = JpegWithExif(CameraBlock(false).app1(), 3000, 4000);
  ASSERT_EQ(Read(jpeg, info), 0) << info.error;
  EXPECT_STREQ(info.error, "");
  EXPECT_EQ(info.isExif, 1);
  EXPECT_STREQ(info.version, "0230");
  EXPECT_STREQ(info.cameraMake, "Maker Co");
  EXPECT_STREQ(info.cameraModel, "Model 7 Pro");
  EXPECT_STREQ(info.dateTime, "2013:05:01 10:20:30");
  EXPECT_EQ(info.height, 3000);
  EXPECT_EQ(info.width, 4000);
  EXPECT_EQ(info.isColor, 1);
  EXPECT_EQ(info.process, 0xC0);
  EXPECT_EQ(info.orientation, 6);
  EXPECT_EQ(info.flashUsed, 1);
  EXPECT_FLOAT_EQ(info.focalLength, 5.5f);
  EXPECT_FLOAT_EQ(info.exposureTime, 0.004f);
  EXPECT_FLOAT_EQ(info.apertureFNumber, 2.8f);
  EXPECT_FLOAT_EQ(info.distance, 1.5f);
  EXPECT_FLOAT_EQ(info.exposureBias, -0.5f);
  EXPECT_FLOAT_EQ(info.brightness, -0.5f);
  EXPECT_EQ(info.lightSource, 1);
  EXPECT_EQ(info.meteringMode, 5);
  EXPECT_EQ(info.exposureProgram, 2);
  EXPECT_EQ(info.isoEquivalent, 200);
  EXPECT_EQ(info.compressionLevel, 4);
  EXPECT_FLOAT_EQ(info.sensorXResolution, 2000.0f);
  EXPECT_FLOAT_EQ(info.sensorYResolution, 2000.0f);
  EXPECT_FLOAT_EQ(info.sensorResolutionUnit, 1.0f);
  EXPECT_FLOAT_EQ(info.ccdWidth, 2.0f);  // 1 inch x 4000 / 2000
  EXPECT_FLOAT_EQ(info.xResolution, 72.0f);
  EXPECT_FLOAT_EQ(info.yResolution, 300.0f);
  EXPECT_FLOAT_EQ(info.resolutionUnit, 0.3937007784843445f);
  EXPECT_STREQ(info.comment, "Holiday");
  ASSERT_EQ(info.thumbnailSize, static_cast<int>(kThumb.size()));
  ASSERT_GT(info.thumbnailOffset, 0);
  EXPECT_EQ(jpeg.substr(static_cast<size_t>(info.thumbnailOffset), kThumb.size()), kThumb);
}

TEST(Exif, SameRecordInBothByteOrders) {
  ExifInfo ii, mm;
  ASSERT_EQ(Read(JpegWithExif(CameraBlock(false).app1()), ii), 0) << ii.error;
  ASSERT_EQ(Read(JpegWithExif(CameraBlock(true).app1()), mm), 0) << mm.error;
  EXPECT_EQ(std::memcmp(&ii, &mm, sizeof ii), 0);
  EXPECT_EQ(mm.thumbnailSize, static_cast<int>(kThumb.size()));  // IFD1 reached in "MM" too
}

TEST(Exif, FileAndBufferAgree) {
  TempDir dir;
  std::string jpeg = JpegWithExif(CameraBlock(true).app1());
  WriteFile(dir / "p.jpg", jpeg);
  ExifInfo fromFile, fromBuffer;
  ASSERT_EQ(ReadExifInfo(dir / "p.jpg", fromFile), 0) << fromFile.error;
  ASSERT_EQ(Read(jpeg, fromBuffer), 0);
  EXPECT_EQ(std::memcmp(&fromFile, &fromBuffer, sizeof fromFile), 0);
}

TEST(Exif, DateTexts) {
  struct Case {
    const char* name;
    uint16_t tag;
    std::string stored;
    bool withNul;
    const char* expected;
  };
  const Case cases[] = {
      {"original", 36867, "2013:05:01 10:20:30", true, "2013:05:01 10:20:30"},
      {"DateTime 306 is not read", 306, "2013:05:01 10:20:30", true, ""},
      {"blank (unknown date)", 36867, "    :  :     :  :  ", true, "    :  :     :  :  "},
      {"zero date", 36867, "0000:00:00 00:00:00", true, "0000:00:00 00:00:00"},
      // Returned as stored: checking it before it becomes a folder name is the caller's job.
      {"path elements", 36867, "../../../etc/passwd", true, "../../../etc/passwd"},
      {"longer than the field", 36867, "2013:05:01 10:20:30.123456", true, "2013:05:01 10:20:30"},
      {"no NUL, count covers the text", 36867, "2013:05:01", false, "2013:05:01"},
      {"empty", 36867, "", true, ""},
  };
  for (const auto& c : cases) {
    ExifBuilder b;
    int exif = b.addDir();
    b.ascii(0, 271, "Maker").ascii(0, 272, "M1").link(0, 34665, exif);
    b.ascii(exif, c.tag, c.stored, c.withNul);
    ExifInfo info;
    ASSERT_EQ(Read(JpegWithExif(b.app1()), info), 0) << c.name << ": " << info.error;
    EXPECT_STREQ(info.dateTime, c.expected) << c.name;
    EXPECT_STREQ(info.cameraMake, "Maker") << c.name;
  }
}

TEST(Exif, DerivedValues) {
  // Exposure and aperture from the APEX values when the direct tags are absent.
  ExifBuilder b;
  b.srational(0, 37377, 8, 1)   // ShutterSpeedValue 8 -> 1/256 s
      .rational(0, 37378, 4, 1)  // ApertureValue 4 -> f/4
      .u16(0, 34855, 2)          // ISO below 50 -> x200
      .u16(0, 274, 9)            // orientation out of 1..8
      .u16(0, 37385, 0x18);      // flash bits, none of the low three
  ExifInfo info;
  ASSERT_EQ(Read(JpegWithExif(b.app1()), info), 0) << info.error;
  EXPECT_FLOAT_EQ(info.exposureTime, 1.0f / 256);
  EXPECT_FLOAT_EQ(info.apertureFNumber, 4.0f);
  EXPECT_EQ(info.isoEquivalent, 400);
  EXPECT_EQ(info.orientation, 0);
  EXPECT_EQ(info.flashUsed, 0);

  // The direct tags, when read first, win over the APEX ones.
  ExifBuilder d;
  d.rational(0, 33434, 1, 100).rational(0, 33437, 56, 10).srational(0, 37377, 8, 1).rational(0, 37381, 4, 1);
  ASSERT_EQ(Read(JpegWithExif(d.app1()), info), 0);
  EXPECT_FLOAT_EQ(info.exposureTime, 0.01f);
  EXPECT_FLOAT_EQ(info.apertureFNumber, 5.6f);
}

TEST(Exif, TablesOfUnitsAndFormats) {
  EXPECT_FLOAT_EQ(ExifUnitToInches(1), 1.0f);
  EXPECT_FLOAT_EQ(ExifUnitToInches(2), 1.0f);
  EXPECT_EQ(ExifUnitToInches(3), static_cast<float>(0.3937007784843445));
  EXPECT_EQ(ExifUnitToInches(4), static_cast<float>(0.03937007859349251));
  EXPECT_EQ(ExifUnitToInches(5), static_cast<float>(3.937007932108827e-05));
  EXPECT_EQ(ExifUnitToInches(0), 0.0f);
  EXPECT_EQ(ExifUnitToInches(6), 0.0f);
  const int sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 0};
  for (int f = 0; f <= 13; ++f) EXPECT_EQ(ExifBytesPerFormat(f), sizes[f]) << f;
}

TEST(Exif, Comments) {
  // First COM section: CR before LF dropped, controls become '?'; a second COM is ignored.
  std::string com = std::string("line one\r\nline\ttwo\x01\r", 20);
  std::string jpeg = JpegSoi() + JpegSegment(0xE1, ExifBuilder().ascii(0, 271, "X").app1()) +
                     JpegSegment(0xFE, com) + JpegSegment(0xFE, "second") + JpegSof(10, 10) + JpegSosAndData();
  ExifInfo info;
  ASSERT_EQ(Read(jpeg, info), 0) << info.error;
  EXPECT_STREQ(info.comment, "line one\nline\ttwo??");

  // A long COM section is bounded by the field.
  jpeg = JpegSoi() + JpegSegment(0xE1, ExifBuilder().ascii(0, 271, "X").app1()) +
         JpegSegment(0xFE, std::string(5000, 'c')) + JpegSof(10, 10) + JpegSosAndData();
  ASSERT_EQ(Read(jpeg, info), 0);
  EXPECT_EQ(std::strlen(info.comment), 998u);

  // UserComment: at most 199 characters; plain text without the "ASCII" code kept whole.
  ExifBuilder b;
  b.undefined(0, 37510, std::string("ASCII\0\0\0", 8) + std::string(300, 'u'));
  ASSERT_EQ(Read(JpegWithExif(b.app1()), info), 0);
  EXPECT_EQ(std::string(info.comment), std::string(199, 'u'));
  ExifBuilder plain;
  plain.undefined(0, 37510, "plain words  ");
  ASSERT_EQ(Read(JpegWithExif(plain.app1()), info), 0);
  EXPECT_STREQ(info.comment, "plain words");
  ExifBuilder blank;
  blank.undefined(0, 37510, std::string("ASCII\0\0\0\0\0", 10));
  ASSERT_EQ(Read(JpegWithExif(blank.app1()), info), 0);
  EXPECT_STREQ(info.comment, "");
}

TEST(Exif, FilesWithoutUsableExif) {
  ExifBuilder fmt13;
  fmt13.ascii(0, 36867, "2013:05:01 10:20:30").raw(0, 271, 13, 1, std::string(4, '\0'));

  struct Case {
    const char* name;
    std::string bytes;
    const char* error;
  };
  const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
  const Case cases[] = {
      {"PNG", png, "Not a JPEG file"},
      {"empty file", "", "Not a JPEG file"},
      {"JPEG without APP1", JpegWithExif(""), "No Exif data"},
      {"APP1 that is not Exif", JpegSoi() + JpegSegment(0xE1, "http://ns.example/xmp") + JpegSof(1, 1) +
                                    JpegSosAndData(), "No Exif data"},
      {"format 13", JpegWithExif(fmt13.app1()), "Illegal format code in EXIF dir"},
      {"bad Exif header", JpegWithExif(std::string("Exif\0\1", 6) + ExifBuilder().tiff()), "Incorrect Exif header"},
      {"bad alignment", JpegWithExif(std::string("Exif\0\0", 6) + "MI" + ExifBuilder().tiff().substr(2)),
       "Invalid Exif alignment marker."},
      {"not 42", JpegWithExif(std::string("Exif\0\0II\x2b\0\x08\0\0\0\0\0\0\0\0\0", 20)), "Invalid Exif start (1)"},
      {"first IFD far away", JpegWithExif(ExifBuilder().firstIfdOffset(40).app1()),
       "Suspicious offset of first IFD value"},
      {"EOI before SOS", JpegSoi() + JpegSegment(0xE1, ExifBuilder().app1()) + "\xFF\xD9", "No image in jpeg!"},
      {"length below 2", JpegSoi() + std::string("\xFF\xE2\x00\x01", 4), "invalid marker"},
      {"too much padding", JpegSoi() + std::string(7, '\xFF') + std::string("\xE2\x00\x02", 3), "too many padding unsigned chars"},
      {"cut inside a section", JpegSoi() + std::string("\xFF\xE2\x00\x10" "abc", 7), "Premature end of file?"},
  };
  for (const auto& c : cases) {
    ExifInfo info;
    std::memset(&info, 0x5a, sizeof info);
    EXPECT_EQ(Read(c.bytes, info), -1) << c.name;
    EXPECT_STREQ(info.error, c.error) << c.name;
    // Zeroed but for the error text.
    ExifInfo zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(reinterpret_cast<char*>(&info) + sizeof info.error,
                          reinterpret_cast<char*>(&zero) + sizeof zero.error, sizeof info - sizeof info.error),
              0)
        << c.name;
  }

  // Twenty sections without SOS.
  std::string many = JpegSoi() + JpegSegment(0xE1, ExifBuilder().app1());
  for (int i = 0; i < 20; ++i) many += JpegSegment(0xE2, "x");
  ExifInfo info;
  EXPECT_EQ(Read(many + JpegSosAndData(), info), -1);
  EXPECT_STREQ(info.error, "Too many sections in jpg file");
}

TEST(Exif, BadOffsetsInsideTheBlock) {
  struct Case {
    const char* name;
    ExifBuilder block;
    const char* error;
  };
  ExifBuilder valueOut;
  valueOut.field(0, 271, 2, 32, 0xFFFFFFF0u);  // offset + size wraps a 32-bit sum
  ExifBuilder hugeCount;
  hugeCount.field(0, 271, 5, 0xFFFFFFFFu, 8);  // count x 8 overflows 32 bits
  ExifBuilder subOut;
  subOut.field(0, 34665, 4, 1, 0x7FFFFFFFu);
  ExifBuilder subAtEnd;
  subAtEnd.field(0, 40965, 4, 1, 0);  // patched below to the block's last byte
  ExifBuilder tooManyEntries;
  tooManyEntries.ascii(0, 271, "a");
  const Case cases[] = {
      {"value offset past the block", valueOut, "Illegal pointer offset value in EXIF."},
      {"count overflow", hugeCount, "Illegal pointer offset value in EXIF."},
      {"sub-directory past the block", subOut, "Illegal subdirectory link"},
  };
  for (const auto& c : cases) {
    ExifInfo info;
    EXPECT_EQ(Read(JpegWithExif(c.block.app1()), info), -1) << c.name;
    EXPECT_STREQ(info.error, c.error) << c.name;
  }
  // Entry count larger than the block holds.
  std::string app1 = tooManyEntries.app1();
  app1[6 + 8] = '\x40';
  ExifInfo info;
  EXPECT_EQ(Read(JpegWithExif(app1), info), -1);
  EXPECT_STREQ(info.error, "Illegally sized directory");
  // A sub-directory link to the last byte: no room for its entry count.
  app1 = subAtEnd.app1();
  uint32_t last = static_cast<uint32_t>(app1.size() - 6 - 1);
  app1.replace(6 + 8 + 2 + 8, 4, subAtEnd.put32(last));
  EXPECT_EQ(Read(JpegWithExif(app1), info), -1);
  EXPECT_STREQ(info.error, "Illegal subdirectory link");
}

TEST(Exif, LoopsAndDeepChainsEnd) {
  // IFD0 links to itself as the next directory and the EXIF sub-directory links back.
  ExifBuilder loop;
  int exif = loop.addDir();
  loop.ascii(0, 271, "Loop").link(0, 34665, exif).next(0, 0);
  loop.ascii(exif, 36867, "2013:05:01 10:20:30").link(exif, 34665, 0).next(exif, exif);
  ExifInfo info;
  ASSERT_EQ(Read(JpegWithExif(loop.app1()), info), 0) << info.error;
  EXPECT_STREQ(info.dateTime, "2013:05:01 10:20:30");

  // A chain of 200 directories: not followed to its end, no deep recursion.
  ExifBuilder chain;
  chain.ascii(0, 271, "Chain");
  int prev = 0;
  for (int i = 0; i < 200; ++i) {
    int d = chain.addDir();
    chain.u16(d, 274, 3);
    chain.next(prev, d);
    prev = d;
  }
  ASSERT_EQ(Read(JpegWithExif(chain.app1()), info), 0) << info.error;
  EXPECT_STREQ(info.cameraMake, "Chain");
}

TEST(Exif, ZeroCountsAndShortSectionsReadNothing) {
  ExifBuilder b;
  b.field(0, 33434, 5, 0, 0).field(0, 37386, 12, 0, 0).field(0, 271, 2, 0, 0).ascii(0, 272, "M");
  std::string jpeg = JpegSoi() + JpegSegment(0xE1, b.app1()) + JpegSegment(0xC0, "\x08\x01") + JpegSosAndData();
  ExifInfo info;
  ASSERT_EQ(Read(jpeg, info), 0) << info.error;
  EXPECT_EQ(info.exposureTime, 0.0f);
  EXPECT_STREQ(info.cameraMake, "");
  EXPECT_STREQ(info.cameraModel, "M");
  EXPECT_EQ(info.width, 0);  // SOF too short to hold its fields
}

TEST(Exif, TruncatedAndCorruptFilesNeverCrash) {
  const std::string good = JpegWithExif(CameraBlock(false).app1());
  ExifInfo info;
  size_t sosAt = good.find(std::string("\xFF\xDA", 2));
  for (size_t n = 0; n < good.size(); ++n) {
    int r = Read(good.substr(0, n), info);
    if (n < sosAt + 4) {
      EXPECT_EQ(r, -1) << n;
    }
  }
  // Every byte of the headers and EXIF block replaced by a few telling values.
  for (size_t i = 0; i < sosAt; ++i) {
    for (char v : {'\x00', '\x01', '\x7f', '\x80', '\xff'}) {
      std::string bad = good;
      bad[i] = v;
      Read(bad, info);
      ASSERT_LT(std::strlen(info.error), sizeof info.error);
      ASSERT_LT(std::strlen(info.dateTime), sizeof info.dateTime);
    }
  }
}

TEST(Exif, MissingFileAndFifo) {
  TempDir dir;
  ExifInfo info;
  EXPECT_EQ(ReadExifInfo(dir / "missing.jpg", info), -1);
  ASSERT_EQ(::mkfifo((dir / "fifo.jpg").c_str(), 0600), 0);
  EXPECT_EQ(ReadExifInfo(dir / "fifo.jpg", info), -1);  // at once, no writer needed
  EXPECT_EQ(ReadExifInfo(dir.path(), info), -1);
}

// Writes the fuzz seed corpus when KS_EXIF_SEED_DIR names a folder:
//   KS_EXIF_SEED_DIR=fuzz/corpus/exif build/tests/exif_test --gtest_filter='*Seeds*'
TEST(ExifSeeds, WrittenWhenAsked) {
  const char* out = std::getenv("KS_EXIF_SEED_DIR");
  if (!out || !*out) GTEST_SKIP() << "KS_EXIF_SEED_DIR not set";
  std::filesystem::create_directories(out);
  ExifBuilder date;
  int exif = date.addDir();
  date.ascii(0, 271, "Maker").link(0, 34665, exif).ascii(exif, 36867, "2013:05:01 10:20:30");
  const std::pair<const char*, std::string> seeds[] = {
      {"camera_ii.jpg", JpegWithExif(CameraBlock(false).app1())},
      {"camera_mm.jpg", JpegWithExif(CameraBlock(true).app1())},
      {"date_only.jpg", JpegWithExif(date.app1())},
      {"no_exif.jpg", JpegWithExif("")},
  };
  for (const auto& [name, bytes] : seeds) WriteFile(std::string(out) + "/" + name, bytes);
}

}  // namespace
