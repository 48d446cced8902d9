// Thumbnail throughput: makes N photo-like JPEGs (12 MP by default) and times the agent's
// thumbnailer on them, in process, one after the other.
//
//   thumb_bench [--dir DIR] [--count N] [--size WxH] [--thumb WxH] [--generate-only]
//
// Pictures already in DIR with the expected name are reused, so bench/thumb_vs_tools.sh
// can time other tools on the very same files.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "agent/media/convert/jpeg_io.h"
#include "agent/media/thumb/thumb.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string dir = "thumb-bench-photos";
  int count = 100;
  int width = 4000, height = 3000;
  int thumbWidth = 160, thumbHeight = 120;
  bool generateOnly = false;
};

bool ParseSize(const char* text, int* w, int* h) { return std::sscanf(text, "%dx%d", w, h) == 2 && *w > 0 && *h > 0; }

// A photo-like picture: smooth colour fields, hard-edged shapes and sensor-like noise, so
// that it compresses like a camera picture (a few MB at 12 MP).
bool WritePhoto(const std::string& path, int width, int height, unsigned seed) {
  FILE* f = std::fopen(path.c_str(), "wbe");
  if (!f) return false;
  jpeg_compress_struct c;
  ks::media::JumpErrorManager err;
  c.err = ks::media::InitJumpErrorManager(&err);
  std::vector<uint8_t> row(size_t(width) * 3);
  std::vector<int> colR(static_cast<size_t>(width)), colG(colR), colB(colR);
  for (int x = 0; x < width; ++x) {
    double t = double(x) / width;
    colR[size_t(x)] = int(90 * std::sin(6.0 * t + seed) + 60 * std::sin(23.0 * t));
    colG[size_t(x)] = int(80 * std::cos(4.0 * t + seed * 0.7) + 30 * std::sin(41.0 * t));
    colB[size_t(x)] = int(70 * std::sin(3.0 * t + seed * 1.3));
  }
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&c);
    std::fclose(f);
    return false;
  }
  jpeg_create_compress(&c);
  jpeg_stdio_dest(&c, f);
  c.image_width = JDIMENSION(width);
  c.image_height = JDIMENSION(height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 92, TRUE);
  jpeg_start_compress(&c, TRUE);
  uint32_t noise = seed * 2654435761u + 1;
  while (c.next_scanline < c.image_height) {
    int y = int(c.next_scanline);
    double s = double(y) / height;
    int baseR = 128 + int(50 * std::cos(5.0 * s + seed));
    int baseG = 120 + int(60 * std::sin(3.0 * s));
    int baseB = 110 + int(40 * std::cos(7.0 * s + seed * 0.5));
    for (int x = 0; x < width; ++x) {
      noise ^= noise << 13;
      noise ^= noise >> 17;
      noise ^= noise << 5;
      int n = int(noise & 15) - 8;
      bool shape = ((x / 173 + y / 131 + int(seed)) % 7) == 0;
      int r = baseR + colR[size_t(x)] + n + (shape ? 60 : 0);
      int g = baseG + colG[size_t(x)] + n;
      int b = baseB + colB[size_t(x)] + n - (shape ? 50 : 0);
      uint8_t* p = &row[size_t(x) * 3];
      p[0] = uint8_t(r < 0 ? 0 : r > 255 ? 255 : r);
      p[1] = uint8_t(g < 0 ? 0 : g > 255 ? 255 : g);
      p[2] = uint8_t(b < 0 ? 0 : b > 255 ? 255 : b);
    }
    JSAMPROW rp = row.data();
    jpeg_write_scanlines(&c, &rp, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  return std::fclose(f) == 0;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool more = i + 1 < argc;
    if (a == "--dir" && more) {
      o.dir = argv[++i];
    } else if (a == "--count" && more) {
      o.count = std::atoi(argv[++i]);
    } else if (a == "--size" && more) {
      if (!ParseSize(argv[++i], &o.width, &o.height)) return 2;
    } else if (a == "--thumb" && more) {
      if (!ParseSize(argv[++i], &o.thumbWidth, &o.thumbHeight)) return 2;
    } else if (a == "--generate-only") {
      o.generateOnly = true;
    } else {
      std::fprintf(stderr, "usage: %s [--dir DIR] [--count N] [--size WxH] [--thumb WxH] [--generate-only]\n", argv[0]);
      return 2;
    }
  }
  ks::media::SetConsoleMessages(false);
  ::mkdir(o.dir.c_str(), 0755);

  std::vector<std::string> files;
  uint64_t bytes = 0;
  auto genStart = Clock::now();
  int made = 0;
  for (int i = 0; i < o.count; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/photo_%dx%d_%03d.jpg", o.width, o.height, i);
    std::string path = o.dir + name;
    if (!FileExists(path)) {
      if (!WritePhoto(path, o.width, o.height, unsigned(i + 1))) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
      }
      ++made;
    }
    struct stat st;
    ::stat(path.c_str(), &st);
    bytes += uint64_t(st.st_size);
    files.push_back(path);
  }
  double genSeconds = std::chrono::duration<double>(Clock::now() - genStart).count();
  std::printf("photos: %d of %dx%d in %s (%d made in %.1f s), %.2f MB each on average\n", o.count, o.width,
              o.height, o.dir.c_str(), made, genSeconds, double(bytes) / o.count / 1e6);
  if (o.generateOnly) return 0;

  // One untimed pass warms the page cache and the allocator, as the tools get.
  std::vector<uint8_t> out;
  ks::media::ThunmbNailIt(files[0], o.thumbHeight, o.thumbWidth, &out);

  std::vector<double> ms;
  size_t outBytes = 0;
  auto start = Clock::now();
  for (const std::string& f : files) {
    auto t0 = Clock::now();
    if (!ks::media::ThunmbNailIt(f, o.thumbHeight, o.thumbWidth, &out)) {
      std::fprintf(stderr, "thumbnail of %s failed\n", f.c_str());
      return 1;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    outBytes += out.size();
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(ms.begin(), ms.end());
  std::printf("thumbnailer (in process): %zu thumbnails %dx%d in %.3f s: %.2f ms/image, %.1f images/s "
              "(median %.2f ms, max %.2f ms, %.0f bytes each)\n",
              files.size(), o.thumbWidth, o.thumbHeight, seconds, seconds * 1000 / double(files.size()),
              double(files.size()) / seconds, ms[ms.size() / 2], ms.back(), double(outBytes) / double(files.size()));
  return 0;
}
