// EXIF date reads per second over a folder of generated photos.
//
//   exif_bench [photos] [passes]   (defaults 400 and 10)
//
// Each photo is shaped like a camera's: an EXIF block with the usual tags and a 12 KB
// thumbnail, then about 200 KB standing for the image data (never read: the reader stops at
// the start of the image data). The files live in $TMPDIR or /tmp and are read from the page
// cache after one untimed pass.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "agent/media/exif/exif.h"
#include "tests/agent/media/exif/jpeg_builder.h"

namespace {

std::string Photo(int i) {
  ks::test::ExifBuilder b(i % 2 == 1);
  int exif = b.addDir();
  int ifd1 = b.addDir();
  char date[32];
  std::snprintf(date, sizeof date, "2013:%02d:%02d 10:20:%02d", 1 + i % 12, 1 + i % 28, i % 60);
  b.ascii(0, 271, "Maker Co")
      .ascii(0, 272, "Model 7 Pro")
      .u16(0, 274, 1)
      .rational(0, 282, 72, 1)
      .rational(0, 283, 72, 1)
      .u16(0, 296, 2)
      .ascii(0, 306, date)
      .link(0, 34665, exif)
      .next(0, ifd1);
  b.rational(exif, 33434, 1, 125)
      .rational(exif, 33437, 28, 10)
      .u16(exif, 34855, 100)
      .undefined(exif, 0x9000, "0230")
      .ascii(exif, 36867, date)
      .ascii(exif, 36868, date)
      .u16(exif, 37385, 0)
      .rational(exif, 37386, 50, 10)
      .undefined(exif, 37510, std::string(64, ' '))
      .u32(exif, 40962, 4000)
      .u32(exif, 40963, 3000);
  b.thumbnail(ifd1, std::string(12 * 1024, '\x42'));
  std::string s = ks::test::JpegSoi() + ks::test::JpegSegment(0xE1, b.app1()) + ks::test::JpegSof(3000, 4000);
  return s + ks::test::JpegSosAndData(200 * 1024);
}

}  // namespace

int main(int argc, char** argv) {
  int photos = argc > 1 ? std::atoi(argv[1]) : 400;
  int passes = argc > 2 ? std::atoi(argv[2]) : 10;
  if (photos <= 0 || passes <= 0) return 2;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestyl-exif-bench-" + std::to_string(::getpid());
  std::filesystem::create_directories(dir);

  std::vector<std::string> paths;
  for (int i = 0; i < photos; ++i) {
    paths.push_back(dir + "/IMG_" + std::to_string(1000 + i) + ".jpg");
    std::string bytes = Photo(i);
    std::ofstream(paths.back(), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  ExifInfo info;
  int dated = 0;
  for (const auto& p : paths) dated += ReadExifInfo(p, info) == 0 && info.dateTime[0] ? 1 : 0;

  auto t = std::chrono::steady_clock::now();
  for (int pass = 0; pass < passes; ++pass) {
    for (const auto& p : paths) ReadExifInfo(p, info);
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  double reads = static_cast<double>(photos) * passes;
  std::printf("EXIF reads: %d photos x %d passes in %.3f s = %.0f reads/s (%.1f us each); %d of %d dated\n",
              photos, passes, secs, reads / secs, secs / reads * 1e6, dated, photos);
  std::printf("RESULT exif.reads_per_s=%.0f\nRESULT exif.dated=%d/%d\n", reads / secs, dated, photos);

  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return dated == photos ? 0 : 1;
}
