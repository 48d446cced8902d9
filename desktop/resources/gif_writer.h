// A small GIF89a writer: Qt reads GIF but cannot write it, and the banner pictures of the
// roaming folder are GIF files.
//
// One frame, one global colour table of at most 256 entries, no transparency, no
// interlacing. A picture with at most 256 colours keeps them exactly; one with more is
// reduced by median cut, and each reduced box is represented by its most frequent colour,
// so flat areas keep their exact colour. Alpha is ignored (the picture is expected opaque).
#pragma once

#include <cstdint>
#include <vector>

class QImage;

namespace ks::art {

struct IndexedImage {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> palette;  // 0xRRGGBB, 1..256 entries
  std::vector<uint8_t> pixels;    // width * height palette indexes, row by row
};

// Reduces an image to at most 256 colours (see above). A null image gives width 0.
IndexedImage QuantiseImage(const QImage& image);

// GIF LZW compression of `indexes` (each below 1 << minCodeSize) with the given minimum
// code size (2..8): the code stream, packed least significant bit first, without the
// sub-block framing.
std::vector<uint8_t> LzwCompress(const std::vector<uint8_t>& indexes, int minCodeSize);

// The whole GIF file for an indexed image (palette padded to a power of two).
std::vector<uint8_t> EncodeGif(const IndexedImage& image);

// QuantiseImage + EncodeGif; an empty vector for a null image or one larger than 65535.
std::vector<uint8_t> EncodeGif(const QImage& image);

}  // namespace ks::art
