// Builds small JPEG byte sequences with an EXIF block for tests, fuzz seeds and benchmarks:
// SOI, APP1 "Exif", COM, SOF, SOS and EOI sections, and a TIFF block whose directories,
// links and values are laid out by the builder in either byte order. Only the marker
// structure is real; there is no image data worth decoding.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ks::test {

class ExifBuilder {
 public:
  explicit ExifBuilder(bool motorola = false) : mm_(motorola) { dirs_.emplace_back(); }

  // A new directory; IFD0 is directory 0 and exists from the start.
  int addDir() {
    dirs_.emplace_back();
    return static_cast<int>(dirs_.size()) - 1;
  }

  // ASCII text with its terminating NUL (withNul false: the count covers the text only).
  ExifBuilder& ascii(int dir, uint16_t tag, const std::string& text, bool withNul = true) {
    std::string bytes = text;
    if (withNul) bytes.push_back('\0');
    return raw(dir, tag, 2, static_cast<uint32_t>(bytes.size()), bytes);
  }
  ExifBuilder& undefined(int dir, uint16_t tag, const std::string& bytes) {
    return raw(dir, tag, 7, static_cast<uint32_t>(bytes.size()), bytes);
  }
  ExifBuilder& u16(int dir, uint16_t tag, uint16_t v) { return raw(dir, tag, 3, 1, put16(v)); }
  ExifBuilder& u32(int dir, uint16_t tag, uint32_t v) { return raw(dir, tag, 4, 1, put32(v)); }
  ExifBuilder& rational(int dir, uint16_t tag, uint32_t num, uint32_t den) {
    return raw(dir, tag, 5, 1, put32(num) + put32(den));
  }
  ExifBuilder& srational(int dir, uint16_t tag, int32_t num, int32_t den) {
    return raw(dir, tag, 10, 1, put32(static_cast<uint32_t>(num)) + put32(static_cast<uint32_t>(den)));
  }
  ExifBuilder& f32(int dir, uint16_t tag, float v) {
    uint32_t bits;
    __builtin_memcpy(&bits, &v, 4);
    return raw(dir, tag, 11, 1, put32(bits));
  }
  ExifBuilder& f64(int dir, uint16_t tag, double v) {
    uint64_t bits;
    __builtin_memcpy(&bits, &v, 8);
    std::string hi = put32(static_cast<uint32_t>(bits >> 32)), lo = put32(static_cast<uint32_t>(bits));
    return raw(dir, tag, 12, 1, mm_ ? hi + lo : lo + hi);
  }
  // Any entry: value bytes as stored; inline when they fit in 4 bytes, else in the data area.
  ExifBuilder& raw(int dir, uint16_t tag, uint16_t format, uint32_t count, const std::string& bytes) {
    dirs_[dir].push_back({tag, format, count, bytes, kPlain, 0});
    return *this;
  }
  // An entry whose 4 value bytes hold `field` as is (offsets pointing anywhere).
  ExifBuilder& field(int dir, uint16_t tag, uint16_t format, uint32_t count, uint32_t field) {
    dirs_[dir].push_back({tag, format, count, "", kField, field});
    return *this;
  }
  // ExifOffset (34665) or InteroperabilityOffset (40965) to another directory.
  ExifBuilder& link(int dir, uint16_t tag, int target) {
    dirs_[dir].push_back({tag, 4, 1, "", kDirLink, static_cast<uint32_t>(target)});
    return *this;
  }
  // 513 / 514 pointing at the bytes, which go into the data area.
  ExifBuilder& thumbnail(int dir, const std::string& bytes) {
    blobs_.push_back(bytes);
    dirs_[dir].push_back({513, 4, 1, "", kBlobOffset, static_cast<uint32_t>(blobs_.size() - 1)});
    return u32(dir, 514, static_cast<uint32_t>(bytes.size()));
  }
  // The link after the entries of dir: to directory target, or a raw value.
  ExifBuilder& next(int dir, int target) {
    next_.resize(dirs_.size(), {false, 0});
    next_[dir] = {true, static_cast<uint32_t>(target)};
    return *this;
  }
  ExifBuilder& nextRaw(int dir, uint32_t value) {
    next_.resize(dirs_.size(), {false, 0});
    next_[dir] = {false, value};
    return *this;
  }
  ExifBuilder& firstIfdOffset(uint32_t offset) {
    firstOffset_ = offset;
    return *this;
  }

  // The TIFF block: header, directories in order, then the data area.
  std::string tiff() const {
    std::vector<uint32_t> dirOffset(dirs_.size());
    uint32_t pos = 8;
    for (size_t d = 0; d < dirs_.size(); ++d) {
      dirOffset[d] = pos;
      pos += 2 + 12 * static_cast<uint32_t>(dirs_[d].size()) + 4;
    }
    std::string data;
    auto place = [&](const std::string& bytes) {
      uint32_t at = pos + static_cast<uint32_t>(data.size());
      data += bytes;
      if (data.size() % 2) data.push_back('\0');
      return at;
    };
    std::vector<uint32_t> blobOffset;
    for (const auto& b : blobs_) blobOffset.push_back(place(b));

    std::string out = mm_ ? "MM" : "II";
    out += put16(42);
    out += put32(firstOffset_ ? firstOffset_ : 8);
    for (size_t d = 0; d < dirs_.size(); ++d) {
      out += put16(static_cast<uint16_t>(dirs_[d].size()));
      for (const auto& e : dirs_[d]) {
        out += put16(e.tag) + put16(e.format) + put32(e.count);
        switch (e.kind) {
          case kPlain:
            if (e.bytes.size() <= 4) {
              out += e.bytes + std::string(4 - e.bytes.size(), '\0');
            } else {
              out += put32(place(e.bytes));
            }
            break;
          case kField:
            out += put32(e.arg);
            break;
          case kDirLink:
            out += put32(dirOffset[e.arg]);
            break;
          case kBlobOffset:
            out += put32(blobOffset[e.arg]);
            break;
        }
      }
      uint32_t link = 0;
      if (d < next_.size()) link = next_[d].first ? dirOffset[next_[d].second] : next_[d].second;
      out += put32(link);
    }
    return out + data;
  }

  // APP1 section data: "Exif\0\0" and the TIFF block.
  std::string app1() const { return std::string("Exif\0\0", 6) + tiff(); }

  std::string put16(uint16_t v) const {
    std::string s(2, '\0');
    s[mm_ ? 0 : 1] = static_cast<char>(v >> 8);
    s[mm_ ? 1 : 0] = static_cast<char>(v);
    return s;
  }
  std::string put32(uint32_t v) const {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[mm_ ? 3 - i : i] = static_cast<char>(v >> (8 * i));
    return s;
  }

 private:
  enum Kind { kPlain, kField, kDirLink, kBlobOffset };
  struct Entry {
    uint16_t tag, format;
    uint32_t count;
    std::string bytes;
    Kind kind;
    uint32_t arg;
  };
  bool mm_;
  uint32_t firstOffset_ = 0;
  std::vector<std::vector<Entry>> dirs_;
  std::vector<std::pair<bool, uint32_t>> next_;
  std::vector<std::string> blobs_;
};

// One marker section: 0xFF, the marker, the big-endian length (data + 2), the data.
inline std::string JpegSegment(uint8_t marker, const std::string& data) {
  size_t len = data.size() + 2;
  std::string s;
  s.push_back('\xFF');
  s.push_back(static_cast<char>(marker));
  s.push_back(static_cast<char>(len >> 8));
  s.push_back(static_cast<char>(len));
  return s + data;
}

inline std::string JpegSoi() { return std::string("\xFF\xD8", 2); }
inline std::string JpegEoi() { return std::string("\xFF\xD9", 2); }

// SOF of the given marker: precision 8, height, width, components.
inline std::string JpegSof(int height, int width, int components = 3, uint8_t marker = 0xC0) {
  std::string d;
  d.push_back(8);
  d.push_back(static_cast<char>(height >> 8));
  d.push_back(static_cast<char>(height));
  d.push_back(static_cast<char>(width >> 8));
  d.push_back(static_cast<char>(width));
  d.push_back(static_cast<char>(components));
  for (int c = 0; c < components; ++c) d += std::string{static_cast<char>(c + 1), '\x11', '\0'};
  return JpegSegment(marker, d);
}

// SOS header, a few bytes standing for the image data, and EOI.
inline std::string JpegSosAndData(size_t dataBytes = 16) {
  std::string sos = JpegSegment(0xDA, std::string("\x03\x01\x00\x02\x11\x03\x11\x00\x3f\x00", 10));
  return sos + std::string(dataBytes, '\x5a') + JpegEoi();
}

// A whole file: SOI, APP1 with the given EXIF data (none when empty), SOF, SOS, EOI.
inline std::string JpegWithExif(const std::string& app1Data, int height = 480, int width = 640) {
  std::string s = JpegSoi();
  if (!app1Data.empty()) s += JpegSegment(0xE1, app1Data);
  return s + JpegSof(height, width) + JpegSosAndData();
}

}  // namespace ks::test
