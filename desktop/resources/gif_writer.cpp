#include "desktop/resources/gif_writer.h"

#include <QImage>

#include <algorithm>
#include <unordered_map>

namespace ks::art {
namespace {

int Channel(uint32_t rgb, int axis) { return static_cast<int>((rgb >> (16 - 8 * axis)) & 0xFF); }

struct ColourCount {
  uint32_t rgb;
  uint64_t count;
};

// A box of the median cut: a slice [begin, end) of the colour list.
struct Box {
  size_t begin, end;
  uint64_t pixels;
  int widestAxis;
  int range;
};

Box MakeBox(const std::vector<ColourCount>& colours, size_t begin, size_t end) {
  Box b{begin, end, 0, 0, -1};
  int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
  for (size_t i = begin; i < end; ++i) {
    b.pixels += colours[i].count;
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], Channel(colours[i].rgb, a));
      hi[a] = std::max(hi[a], Channel(colours[i].rgb, a));
    }
  }
  for (int a = 0; a < 3; ++a) {
    if (hi[a] - lo[a] > b.range) {
      b.range = hi[a] - lo[a];
      b.widestAxis = a;
    }
  }
  return b;
}

std::vector<uint32_t> MedianCut(std::vector<ColourCount> colours, size_t maxColours) {
  std::vector<Box> boxes{MakeBox(colours, 0, colours.size())};
  while (boxes.size() < maxColours) {
    // Split the box that holds the most pixels among those that can still be split,
    // weighted by its spread, so that large smooth areas get enough shades.
    int best = -1;
    uint64_t bestScore = 0;
    for (size_t i = 0; i < boxes.size(); ++i) {
      if (boxes[i].end - boxes[i].begin < 2) continue;
      uint64_t score = boxes[i].pixels * static_cast<uint64_t>(boxes[i].range + 1);
      if (best < 0 || score > bestScore) {
        best = static_cast<int>(i);
        bestScore = score;
      }
    }
    if (best < 0) break;
    Box b = boxes[best];
    int axis = b.widestAxis;
    std::sort(colours.begin() + static_cast<long>(b.begin), colours.begin() + static_cast<long>(b.end),
              [axis](const ColourCount& x, const ColourCount& y) { return Channel(x.rgb, axis) < Channel(y.rgb, axis); });
    uint64_t half = 0;
    size_t cut = b.begin + 1;
    for (size_t i = b.begin; i + 1 < b.end; ++i) {
      half += colours[i].count;
      cut = i + 1;
      if (half * 2 >= b.pixels) break;
    }
    boxes[best] = MakeBox(colours, b.begin, cut);
    boxes.push_back(MakeBox(colours, cut, b.end));
  }
  std::vector<uint32_t> palette;
  for (const Box& b : boxes) {
    auto most = std::max_element(colours.begin() + static_cast<long>(b.begin), colours.begin() + static_cast<long>(b.end),
                                 [](const ColourCount& x, const ColourCount& y) { return x.count < y.count; });
    palette.push_back(most->rgb);
  }
  return palette;
}

int Distance(uint32_t a, uint32_t b) {
  int d = 0;
  for (int axis = 0; axis < 3; ++axis) {
    int c = Channel(a, axis) - Channel(b, axis);
    d += c * c;
  }
  return d;
}

class BitWriter {
 public:
  void Put(int code, int bits) {
    acc_ |= static_cast<uint32_t>(code) << count_;
    count_ += bits;
    while (count_ >= 8) {
      out_.push_back(static_cast<uint8_t>(acc_ & 0xFF));
      acc_ >>= 8;
      count_ -= 8;
    }
  }
  std::vector<uint8_t> Finish() {
    if (count_ > 0) out_.push_back(static_cast<uint8_t>(acc_ & 0xFF));
    acc_ = 0;
    count_ = 0;
    return std::move(out_);
  }

 private:
  std::vector<uint8_t> out_;
  uint32_t acc_ = 0;
  int count_ = 0;
};

void Put16(std::vector<uint8_t>& out, int v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

}  // namespace

IndexedImage QuantiseImage(const QImage& source) {
  IndexedImage result;
  if (source.isNull()) return result;
  QImage image = source.convertToFormat(QImage::Format_RGB32);
  result.width = image.width();
  result.height = image.height();

  std::unordered_map<uint32_t, uint64_t> histogram;
  for (int y = 0; y < image.height(); ++y) {
    const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < image.width(); ++x) ++histogram[row[x] & 0xFFFFFF];
  }
  std::vector<ColourCount> colours;
  colours.reserve(histogram.size());
  for (const auto& [rgb, count] : histogram) colours.push_back({rgb, count});
  // A fixed order makes the output independent of the hash map's iteration order.
  std::sort(colours.begin(), colours.end(), [](const ColourCount& a, const ColourCount& b) { return a.rgb < b.rgb; });

  result.palette = colours.size() <= 256 ? std::vector<uint32_t>() : MedianCut(colours, 256);
  if (result.palette.empty())
    for (const ColourCount& c : colours) result.palette.push_back(c.rgb);

  std::unordered_map<uint32_t, uint8_t> lookup;
  for (const ColourCount& c : colours) {
    size_t best = 0;
    int bestDistance = Distance(c.rgb, result.palette[0]);
    for (size_t i = 1; i < result.palette.size() && bestDistance > 0; ++i) {
      int d = Distance(c.rgb, result.palette[i]);
      if (d < bestDistance) {
        bestDistance = d;
        best = i;
      }
    }
    lookup[c.rgb] = static_cast<uint8_t>(best);
  }
  result.pixels.resize(static_cast<size_t>(result.width) * static_cast<size_t>(result.height));
  size_t n = 0;
  for (int y = 0; y < image.height(); ++y) {
    const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < image.width(); ++x) result.pixels[n++] = lookup[row[x] & 0xFFFFFF];
  }
  return result;
}

std::vector<uint8_t> LzwCompress(const std::vector<uint8_t>& indexes, int minCodeSize) {
  const int clearCode = 1 << minCodeSize;
  const int endCode = clearCode + 1;
  const int maxCodes = 4096;
  // dictionary[prefix * 256 + byte] = code of the string prefix+byte, 0 when absent
  // (0 is never a string code: those start at endCode + 1).
  std::vector<uint16_t> dictionary(static_cast<size_t>(maxCodes) * 256, 0);
  BitWriter bits;
  int codeSize = minCodeSize + 1;
  int next = endCode + 1;
  bits.Put(clearCode, codeSize);
  if (indexes.empty()) {
    bits.Put(endCode, codeSize);
    return bits.Finish();
  }
  int prefix = indexes[0];
  for (size_t i = 1; i < indexes.size(); ++i) {
    int k = indexes[i];
    size_t key = static_cast<size_t>(prefix) * 256 + static_cast<size_t>(k);
    if (dictionary[key] != 0) {
      prefix = dictionary[key];
      continue;
    }
    bits.Put(prefix, codeSize);
    dictionary[key] = static_cast<uint16_t>(next++);
    // The decoder adds each entry one code later than we do, so it widens its codes
    // exactly when our newest entry no longer fits the current width.
    if (next > (1 << codeSize) && codeSize < 12) ++codeSize;
    if (next == maxCodes) {
      bits.Put(clearCode, codeSize);
      std::fill(dictionary.begin(), dictionary.end(), 0);
      codeSize = minCodeSize + 1;
      next = endCode + 1;
    }
    prefix = k;
  }
  bits.Put(prefix, codeSize);
  bits.Put(endCode, codeSize);
  return bits.Finish();
}

std::vector<uint8_t> EncodeGif(const IndexedImage& image) {
  if (image.width <= 0 || image.height <= 0 || image.width > 65535 || image.height > 65535 ||
      image.palette.empty() || image.palette.size() > 256 ||
      image.pixels.size() != static_cast<size_t>(image.width) * static_cast<size_t>(image.height))
    return {};
  int tableBits = 1;
  while ((1u << tableBits) < image.palette.size()) ++tableBits;
  const int minCodeSize = std::max(2, tableBits);

  std::vector<uint8_t> out{'G', 'I', 'F', '8', '9', 'a'};
  Put16(out, image.width);
  Put16(out, image.height);
  out.push_back(static_cast<uint8_t>(0x80 | ((tableBits - 1) << 4) | (tableBits - 1)));  // global table
  out.push_back(0);  // background colour index
  out.push_back(0);  // no aspect ratio
  for (int i = 0; i < (1 << tableBits); ++i) {
    uint32_t rgb = i < static_cast<int>(image.palette.size()) ? image.palette[static_cast<size_t>(i)] : 0;
    out.push_back(static_cast<uint8_t>(rgb >> 16));
    out.push_back(static_cast<uint8_t>(rgb >> 8));
    out.push_back(static_cast<uint8_t>(rgb));
  }
  out.push_back(0x2C);  // image descriptor
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, image.width);
  Put16(out, image.height);
  out.push_back(0);  // no local table, not interlaced
  out.push_back(static_cast<uint8_t>(minCodeSize));
  std::vector<uint8_t> data = LzwCompress(image.pixels, minCodeSize);
  for (size_t pos = 0; pos < data.size(); pos += 255) {
    size_t n = std::min<size_t>(255, data.size() - pos);
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(pos + n));
  }
  out.push_back(0);     // end of the image data
  out.push_back(0x3B);  // trailer
  return out;
}

std::vector<uint8_t> EncodeGif(const QImage& image) { return EncodeGif(QuantiseImage(image)); }

}  // namespace ks::art
