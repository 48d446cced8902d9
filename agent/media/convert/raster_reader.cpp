#include "agent/media/convert/raster_reader.h"

#include <sys/stat.h>

#include <cstring>

namespace ks::media {

const char* const kGifRefusal = "GIF input is unsupported for legal reasons.  Sorry.\n";

namespace {

constexpr const char* kShortFile = "Premature end of input file";
constexpr const char* kTooLarge = "Picture too large";

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Bottom-up BMP, delivered top-down by seeking to each stored row.
class BmpReader : public RasterReader {
 public:
  explicit BmpReader(ByteSource* source) : src_(source) {}
  bool Start() override;
  bool GetRow(uint8_t* row) override;

 private:
  bool ReadPalette(uint32_t count, int entrySize);

  ByteSource* src_;
  uint64_t dataOffset_ = 0;
  uint64_t stride_ = 0;     // stored row length, padded to 4 bytes
  int bitsPerPixel_ = 0;    // 8 or 24
  uint32_t paletteCount_ = 0;
  uint8_t palette_[256][3] = {};  // RGB
  uint32_t nextRow_ = 0;    // top-down index of the next row to deliver
  std::vector<uint8_t> stored_;
};

bool BmpReader::ReadPalette(uint32_t count, int entrySize) {
  uint8_t entry[4];
  for (uint32_t i = 0; i < count; ++i) {
    if (src_->Read(entry, size_t(entrySize)) != size_t(entrySize)) return Fail(kShortFile);
    palette_[i][0] = entry[2];
    palette_[i][1] = entry[1];
    palette_[i][2] = entry[0];
  }
  paletteCount_ = count;
  return true;
}

bool BmpReader::Start() {
  uint8_t fileHead[14];
  if (src_->Read(fileHead, sizeof fileHead) != sizeof fileHead) return Fail(kShortFile);
  if (fileHead[0] != 'B' || fileHead[1] != 'M') return Fail("Not a BMP file - does not start with BM");
  dataOffset_ = Le32(fileHead + 10);

  uint8_t info[64];
  if (src_->Read(info, 4) != 4) return Fail(kShortFile);
  uint32_t infoSize = Le32(info);
  if (infoSize != 12 && infoSize != 40 && infoSize != 64) return Fail("Invalid BMP file: bad header length");
  if (src_->Read(info + 4, infoSize - 4) != infoSize - 4) return Fail(kShortFile);

  int64_t width, height;
  uint32_t planes, paletteField = 0;
  int entrySize;
  if (infoSize == 12) {  // OS/2 1.x
    width = Le16(info + 4);
    height = Le16(info + 6);
    planes = Le16(info + 8);
    bitsPerPixel_ = Le16(info + 10);
    entrySize = 3;
  } else {  // Windows 3.x and OS/2 2.x
    width = int32_t(Le32(info + 4));
    height = int32_t(Le32(info + 8));
    planes = Le16(info + 12);
    bitsPerPixel_ = Le16(info + 14);
    if (Le32(info + 16) != 0) return Fail("Compressed BMP files not supported");
    paletteField = Le32(info + 32);
    entrySize = 4;
  }
  if (bitsPerPixel_ != 8 && bitsPerPixel_ != 24) return Fail("Only 8- and 24-bit BMP files are supported");
  if (planes != 1) return Fail("Invalid BMP file: planes not equal to 1");
  if (width < 1 || height < 1) return Fail("Empty or negative-size BMP image");
  width_ = uint32_t(width);
  height_ = uint32_t(height);

  uint64_t headerEnd = 14 + uint64_t(infoSize);
  if (bitsPerPixel_ == 8) {
    uint32_t count = paletteField == 0 ? 256 : paletteField;
    if (count > 256) return Fail("Unsupported BMP colormap format");
    if (!ReadPalette(count, entrySize)) return false;
    headerEnd += uint64_t(count) * uint64_t(entrySize);
  }
  if (dataOffset_ < headerEnd) return Fail("Invalid BMP file: bad header length");

  if (uint64_t(width_) * height_ > kMaxRasterPixels) return Fail(kTooLarge);
  uint64_t rowBytes = uint64_t(width_) * uint64_t(bitsPerPixel_ / 8);
  stride_ = (rowBytes + 3) & ~uint64_t(3);
  if (dataOffset_ > src_->Size() || stride_ * height_ > src_->Size() - dataOffset_) return Fail(kShortFile);
  stored_.resize(stride_);
  components_ = 3;
  return true;
}

bool BmpReader::GetRow(uint8_t* row) {
  if (nextRow_ >= height_) return Fail("Too many rows requested");
  uint64_t storedIndex = height_ - 1 - nextRow_;
  ++nextRow_;
  if (!src_->Seek(dataOffset_ + storedIndex * stride_) || src_->Read(stored_.data(), stride_) != stride_) {
    return Fail(kShortFile);
  }
  const uint8_t* in = stored_.data();
  if (bitsPerPixel_ == 8) {
    for (uint32_t x = 0; x < width_; ++x) {
      uint8_t index = in[x];
      if (index >= paletteCount_) return Fail("Palette index out of range in BMP file");
      std::memcpy(row + 3 * size_t(x), palette_[index], 3);
    }
  } else {
    for (uint32_t x = 0; x < width_; ++x, in += 3, row += 3) {
      row[0] = in[2];
      row[1] = in[1];
      row[2] = in[0];
    }
  }
  return true;
}

// PPM (P3 text, P6 raw) and PGM (P2 text, P5 raw).
class PpmReader : public RasterReader {
 public:
  explicit PpmReader(ByteSource* source) : src_(source) {}
  bool Start() override;
  bool GetRow(uint8_t* row) override;

 private:
  int GetSkippingComment();
  bool ReadNumber(uint32_t* value);
  uint8_t Rescale(uint32_t sample) const { return uint8_t((maxval_ / 2 + sample * 255) / maxval_); }

  ByteSource* src_;
  bool raw_ = false;
  uint32_t maxval_ = 255;
  uint32_t nextRow_ = 0;
  std::vector<uint8_t> stored_;
};

// A "#" comment reads as the line end that closes it.
int PpmReader::GetSkippingComment() {
  int c = src_->Get();
  if (c == '#') {
    do c = src_->Get();
    while (c != '\n' && c != -1);
  }
  return c;
}

bool PpmReader::ReadNumber(uint32_t* value) {
  int c;
  do {
    c = GetSkippingComment();
    if (c == -1) return Fail(kShortFile);
  } while (c == ' ' || c == '\t' || c == '\n' || c == '\r');
  if (c < '0' || c > '9') return Fail("Nonnumeric data in PPM file");
  uint64_t v = uint64_t(c - '0');
  while ((c = GetSkippingComment()) >= '0' && c <= '9') {
    v = v * 10 + uint64_t(c - '0');
    if (v > UINT32_MAX) return Fail("Numeric value out of range in PPM file");
  }
  *value = uint32_t(v);
  return true;
}

bool PpmReader::Start() {
  if (src_->Get() != 'P') return Fail("Not a PPM/PGM file");
  switch (src_->Get()) {
    case '2': components_ = 1; raw_ = false; break;
    case '3': components_ = 3; raw_ = false; break;
    case '5': components_ = 1; raw_ = true; break;
    case '6': components_ = 3; raw_ = true; break;
    default: return Fail("Not a PPM/PGM file");
  }
  uint32_t w, h;
  if (!ReadNumber(&w) || !ReadNumber(&h) || !ReadNumber(&maxval_)) return false;
  if (w == 0 || h == 0 || maxval_ == 0) return Fail("Not a PPM/PGM file");
  if (maxval_ > 65535) return Fail("Numeric value out of range in PPM file");
  width_ = w;
  height_ = h;
  uint64_t pixels = uint64_t(w) * h;
  if (pixels > kMaxRasterPixels) return Fail(kTooLarge);
  uint64_t samples = pixels * uint64_t(components_);
  // Raw samples take 1 or 2 bytes each; a text sample takes at least one digit.
  uint64_t sampleBytes = raw_ && maxval_ > 255 ? 2 : 1;
  if (samples * sampleBytes > src_->Remaining()) return Fail(kShortFile);
  if (raw_) stored_.resize(size_t(uint64_t(w) * uint64_t(components_) * sampleBytes));
  return true;
}

bool PpmReader::GetRow(uint8_t* row) {
  if (nextRow_ >= height_) return Fail("Too many rows requested");
  ++nextRow_;
  size_t samples = size_t(width_) * size_t(components_);
  if (!raw_) {
    for (size_t i = 0; i < samples; ++i) {
      uint32_t v;
      if (!ReadNumber(&v)) return false;
      if (v > maxval_) return Fail("Numeric value out of range in PPM file");
      row[i] = Rescale(v);
    }
    return true;
  }
  if (src_->Read(stored_.data(), stored_.size()) != stored_.size()) return Fail(kShortFile);
  const uint8_t* in = stored_.data();
  if (maxval_ == 255) {
    std::memcpy(row, in, samples);
  } else if (maxval_ < 255) {
    for (size_t i = 0; i < samples; ++i) {
      if (in[i] > maxval_) return Fail("Numeric value out of range in PPM file");
      row[i] = Rescale(in[i]);
    }
  } else {
    for (size_t i = 0; i < samples; ++i) {
      uint32_t v = (uint32_t(in[2 * i]) << 8) | in[2 * i + 1];
      if (v > maxval_) return Fail("Numeric value out of range in PPM file");
      row[i] = Rescale(v);
    }
  }
  return true;
}

}  // namespace

size_t MemorySource::Read(void* data, size_t n) {
  size_t left = size_ - pos_;
  if (n > left) n = left;
  if (n) std::memcpy(data, data_ + pos_, n);
  pos_ += n;
  return n;
}

bool MemorySource::Seek(uint64_t offset) {
  if (offset > size_) return false;
  pos_ = size_t(offset);
  return true;
}

FileSource::FileSource(FILE* file) : file_(file) {
  struct stat st;
  if (::fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) size_ = uint64_t(st.st_size);
  off_t at = ::ftello(file);
  pos_ = at > 0 ? uint64_t(at) : 0;
}

size_t FileSource::Read(void* data, size_t n) {
  size_t got = std::fread(data, 1, n, file_);
  pos_ += got;
  return got;
}

int FileSource::Get() {
  last_ = getc(file_);
  if (last_ != EOF) ++pos_;
  return last_ == EOF ? -1 : last_;
}

void FileSource::Unget() {
  if (last_ != -1 && ungetc(last_, file_) != EOF) --pos_;
  last_ = -1;
}

bool FileSource::Seek(uint64_t offset) {
  if (offset > size_ || ::fseeko(file_, off_t(offset), SEEK_SET) != 0) return false;
  pos_ = offset;
  return true;
}

std::unique_ptr<RasterReader> SelectInputReader(ByteSource* source, std::string* error) {
  int first = source->Get();
  if (first == -1) {
    *error = "Empty input file";
    return nullptr;
  }
  source->Unget();
  switch (first) {
    case 'B': return std::make_unique<BmpReader>(source);
    case 'P': return std::make_unique<PpmReader>(source);
    case 'G': *error = kGifRefusal; return nullptr;
    default: *error = "Unrecognized input file format"; return nullptr;
  }
}

}  // namespace ks::media
