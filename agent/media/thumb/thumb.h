// JPEG thumbnailer: one JpegThumb object per picture.
//
//   JpegThumb* t = JpegThumb_OpenFile(path);        // header read, APP7 and COM kept
//   JpegThumb_SetDecodeSize(t, 160, 120);            // each clamped to 1..picture size
//   JpegThumb_EnableComments(t, true);               // the five "Thumb::" APP7 markers
//   JpegThumb_SetOutputFile(t, nullptr);             // memory output (default)
//   int rc = JpegThumb_Encode(t);                    // 0 ok, see JpegThumbResult
//   ... JpegThumb_Output(t, &size) ...
//   JpegThumb_Close(t);
//
// Decoding uses libjpeg's DCT scaling by 1/N, N = min(width / wanted width, height / wanted
// height) clamped to 1..8; the library picks the smallest M/8 not below 1/N, so the
// intermediate picture is never smaller than the wanted size. Nearest-neighbour scaling
// then gives exactly the wanted size (the aspect ratio is not kept): rows are picked while
// decoding, so only decoded width x wanted height pixels are held. Output is baseline JPEG
// at the set quality (75 by default).
//
// Any libjpeg error jumps back into the thumbnailer, which reports it and cleans up: a bad
// picture never ends the process. A decompression may hold at most kMaxDecodedPixels
// output pixels and kMaxDecoderMemory of whole-image buffers. Progress texts go to the
// console (see SetConsoleMessages in agent/media/convert/jpeg_io.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ks::media {

struct JpegThumb;

// Largest decoded (DCT-scaled) picture, width x height.
constexpr uint64_t kMaxDecodedPixels = 100'000'000;

enum JpegThumbColor { kThumbGray = 0, kThumbRgb = 2, kThumbCmyk = 7 };

enum JpegThumbResult {
  kThumbOk = 0,
  kThumbScaleFailed = 1,
  kThumbEncodeFailed = 2,
  kThumbDecodeFailed = 3,
  kThumbDecodeJpegError = 4,  // libjpeg reported an error while decoding
};

// What the header told: the picture, its COM comment and the "Thumb::" APP7 values.
struct JpegThumbHeader {
  int width = 0;
  int height = 0;
  int colorSpace = kThumbRgb;  // JpegThumbColor
  std::string comment;         // COM marker (up to 65535 bytes)
  std::string uri;             // "Thumb::URI"
  uint64_t mtime = 0;          // "Thumb::MTime"
  int thumbImageWidth = 0;     // "Thumb::Image::Width"
  int thumbImageHeight = 0;    // "Thumb::Image::Height"
  std::string mimetype;        // "Thumb::Mimetype"
};

// Null when the file cannot be opened or its header not read.
JpegThumb* JpegThumb_OpenFile(const char* path);
// A JPEG in memory (not copied: it must outlive the object). uri and mtime stand for the
// file the data came from, for the "Thumb::" markers.
JpegThumb* JpegThumb_OpenMemory(const uint8_t* data, size_t size, const char* uri, uint64_t mtime);

const JpegThumbHeader& JpegThumb_Header(const JpegThumb* t);
// Size of the DCT-scaled picture (0 x 0 before decoding).
void JpegThumb_DecodedSize(const JpegThumb* t, int* width, int* height);

// Each clamped to 1..picture size (0 or less gives 1); ignored once decoded.
void JpegThumb_SetDecodeSize(JpegThumb* t, int width, int height);
// Clamped to 0..100.
void JpegThumb_SetQuality(JpegThumb* t, int quality);
// Switches the "Thumb::" APP7 markers (URI, MTime, Image::Width, Image::Height, Mimetype).
void JpegThumb_EnableComments(JpegThumb* t, bool on);
// Output into that file, or into memory for null.
void JpegThumb_SetOutputFile(JpegThumb* t, const char* path);
// JpegThumbResult.
int JpegThumb_Encode(JpegThumb* t);
// The memory output after a successful Encode (null and 0 otherwise).
const uint8_t* JpegThumb_Output(const JpegThumb* t, size_t* size);
// Frees buffers, libjpeg objects and files; null is allowed.
void JpegThumb_Close(JpegThumb* t);

// A thumbnail of exactly width x height (quality 75, "Thumb::" markers on) of the picture
// at source, built in memory: a JPEG, or a BMP/PPM picture converted first when the
// extension is exactly "bmp" or "BMP". False, with *out empty, on any failure: a file
// that cannot be read, a refused picture, a failed encode or an empty result.
// `typeName` (default: `source`) is the name whose extension tells a BMP picture, for a
// source opened by descriptor ("/proc/self/fd/N").
bool ThunmbNailIt(const std::string& source, int height, int width, std::vector<uint8_t>* out,
                  const std::string& typeName = std::string());

}  // namespace ks::media
