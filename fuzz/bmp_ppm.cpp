// The BMP and PPM/PGM readers over memory input, row by row, then the whole conversion to
// JPEG. The readers bound every allocation by the input's size, so any input may run.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/media/convert/convert.h"
#include "agent/media/convert/jpeg_io.h"
#include "agent/media/convert/raster_reader.h"

using namespace ks::media;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (SetConsoleMessages(false), true);
  (void)quiet;
  MemorySource source(data, size);
  std::string error;
  std::unique_ptr<RasterReader> reader = SelectInputReader(&source, &error);
  if (reader && reader->Start()) {
    if (uint64_t(reader->width()) * reader->height() > kMaxRasterPixels) __builtin_trap();
    std::vector<uint8_t> row(size_t(reader->width()) * size_t(reader->components()));
    for (uint32_t y = 0; y < reader->height() && reader->GetRow(row.data()); ++y) {
    }
  }
  std::vector<uint8_t> jpeg;
  ConvertToJpegMemory(data, size, &jpeg);
  return 0;
}
