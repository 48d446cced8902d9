// The thumbnailer over a JPEG in memory: header and marker path (APP7 "Thumb::" values,
// COM), and for small pictures the whole decode, scale and encode, with the result read
// back.
#include <cstddef>
#include <cstdint>

#include "agent/media/convert/jpeg_io.h"
#include "agent/media/thumb/thumb.h"

using namespace ks::media;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (SetConsoleMessages(false), true);
  (void)quiet;
  JpegThumb* t = JpegThumb_OpenMemory(data, size, "/fuzz/in.jpg", 1);
  if (!t) return 0;
  const JpegThumbHeader& h = JpegThumb_Header(t);
  // Whole decodes cost time in proportion to the picture: keep them small.
  if (uint64_t(h.width) * uint64_t(h.height) <= (1u << 20)) {
    JpegThumb_SetDecodeSize(t, 1 + data[size / 2] % 96, 1 + data[size - 1] % 96);
    JpegThumb_EnableComments(t, true);
    if (JpegThumb_Encode(t) == kThumbOk) {
      size_t outSize = 0;
      const uint8_t* out = JpegThumb_Output(t, &outSize);
      JpegThumb* back = JpegThumb_OpenMemory(out, outSize, "x", 0);
      if (!back || JpegThumb_Header(back).mimetype != "image/jpeg") __builtin_trap();
      JpegThumb_Close(back);
    }
  }
  JpegThumb_Close(t);
  return 0;
}
