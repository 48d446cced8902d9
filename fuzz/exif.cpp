// Fuzzes the EXIF reader over whole files held in memory (marker sections, TIFF header,
// directories, links, values, comments).
#include <cstddef>
#include <cstdint>

#include "agent/media/exif/exif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ExifInfo info;
  ReadExifInfoFromBuffer(data, size, info);
  return 0;
}
