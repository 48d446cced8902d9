// Readers of the pictures the converter accepts: BMP (8-bit palette or 24-bit, information
// header of 12, 40 or 64 bytes, rows stored bottom-up) and PPM/PGM (P2, P3, P5, P6, with
// "#" comments, any maximum value up to 65535).
//
// A reader works over a ByteSource (an open file or a block of memory). Start() checks the
// whole header, the picture's size against the bytes really there and the pixel cap before
// it allocates anything; GetRow() then delivers the rows top-down, as RGB (3 components) or
// gray (1 component) samples of 0..255. Palette indexes and sample values beyond what the
// header allows are refused, numbers are overflow-checked and every size product is 64-bit.
// Readers never throw: a failure is a false result and error() tells why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace ks::media {

// Largest picture (width x height) a reader accepts.
constexpr uint64_t kMaxRasterPixels = 100'000'000;

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to n bytes; fewer only at the end.
  virtual size_t Read(void* data, size_t n) = 0;
  // The next byte, or -1 at the end.
  virtual int Get() = 0;
  // Pushes back the byte just read by Get().
  virtual void Unget() = 0;
  virtual bool Seek(uint64_t offset) = 0;
  virtual uint64_t Tell() const = 0;
  virtual uint64_t Size() const = 0;
  uint64_t Remaining() const { return Size() > Tell() ? Size() - Tell() : 0; }
};

// A block of memory (not copied; it must outlive the source).
class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t Read(void* data, size_t n) override;
  int Get() override { return pos_ < size_ ? data_[pos_++] : -1; }
  void Unget() override { if (pos_ > 0) --pos_; }
  bool Seek(uint64_t offset) override;
  uint64_t Tell() const override { return pos_; }
  uint64_t Size() const override { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// An open file (not owned), read from its current position; its size is taken once.
class FileSource : public ByteSource {
 public:
  explicit FileSource(FILE* file);
  size_t Read(void* data, size_t n) override;
  int Get() override;
  void Unget() override;
  bool Seek(uint64_t offset) override;
  uint64_t Tell() const override { return pos_; }
  uint64_t Size() const override { return size_; }

 private:
  FILE* file_;
  uint64_t size_ = 0;
  uint64_t pos_ = 0;
  int last_ = -1;
};

class RasterReader {
 public:
  virtual ~RasterReader() = default;
  // Reads and checks the header; sets width, height and components.
  virtual bool Start() = 0;
  // The next row, top-down: width() x components() bytes into row.
  virtual bool GetRow(uint8_t* row) = 0;

  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  int components() const { return components_; }  // 3 (RGB) or 1 (gray)
  const std::string& error() const { return error_; }

 protected:
  bool Fail(const char* reason) { error_ = reason; return false; }

  uint32_t width_ = 0;
  uint32_t height_ = 0;
  int components_ = 3;
  std::string error_;
};

// The reader for the source's first byte: "B" BMP, "P" PPM/PGM. Null, with the reason in
// *error, for an empty source, a GIF ("G") or any other first byte.
std::unique_ptr<RasterReader> SelectInputReader(ByteSource* source, std::string* error);

// Texts of the refusals that callers and tests tell apart.
extern const char* const kGifRefusal;  // "GIF input is unsupported for legal reasons.  Sorry.\n"

}  // namespace ks::media
