#include "agent/media/exif/exif.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

namespace {

// A JPEG has a handful of directories nested two or three deep; anything beyond these
// limits is a crafted file and is not entered.
constexpr int kMaxDirDepth = 10;
constexpr int kMaxDirs = 64;
constexpr size_t kCommentMax = sizeof(ExifInfo::comment);  // COM section bytes considered
constexpr size_t kUserCommentMax = 199;

enum ExifTag : unsigned {
  kTagMake = 271,
  kTagModel = 272,
  kTagOrientation = 274,
  kTagXResolution = 282,
  kTagYResolution = 283,
  kTagResolutionUnit = 296,
  kTagThumbnailOffset = 513,
  kTagThumbnailLength = 514,
  kTagExposureTime = 33434,
  kTagFNumber = 33437,
  kTagExifOffset = 34665,
  kTagExposureProgram = 34850,
  kTagIsoEquivalent = 34855,
  kTagExifVersion = 0x9000,
  kTagDateTimeOriginal = 36867,
  kTagCompressionLevel = 37122,
  kTagShutterSpeed = 37377,
  kTagAperture = 37378,
  kTagBrightness = 37379,
  kTagExposureBias = 37380,
  kTagMaxAperture = 37381,
  kTagSubjectDistance = 37382,
  kTagMeteringMode = 37383,
  kTagLightSource = 37384,
  kTagFlash = 37385,
  kTagFocalLength = 37386,
  kTagUserComment = 37510,
  kTagPixelXDimension = 40962,
  kTagPixelYDimension = 40963,
  kTagInteropOffset = 40965,
  kTagFocalPlaneXRes = 41486,
  kTagFocalPlaneYRes = 41487,
  kTagFocalPlaneUnit = 41488,
};

enum JpegMarker : int {
  kMarkerSos = 0xDA,
  kMarkerEoi = 0xD9,
  kMarkerApp0 = 0xE0,
  kMarkerApp1 = 0xE1,
  kMarkerCom = 0xFE,
};

void SetError(ExifInfo& info, const char* text) {
  std::snprintf(info.error, sizeof info.error, "%s", text);
}

uint16_t Get16(const uint8_t* p, bool motorola) {
  return motorola ? static_cast<uint16_t>((p[0] << 8) | p[1]) : static_cast<uint16_t>((p[1] << 8) | p[0]);
}

uint32_t Get32(const uint8_t* p, bool motorola) {
  if (motorola) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  }
  return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

// Conversions that stay defined for any value a file may hold (NaN, huge, negative).
int ToInt(long double v) {
  if (std::isnan(v)) return 0;
  if (v >= static_cast<long double>(INT_MAX)) return INT_MAX;
  if (v <= static_cast<long double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(v);
}

uint32_t ToU32(long double v) {
  if (std::isnan(v) || v <= 0) return 0;
  if (v >= static_cast<long double>(UINT32_MAX)) return UINT32_MAX;
  return static_cast<uint32_t>(v);
}

float ToFloat(long double v) {
  if (std::isfinite(v) && std::fabs(v) > static_cast<long double>(FLT_MAX)) {
    return v > 0 ? HUGE_VALF : -HUGE_VALF;
  }
  return static_cast<float>(v);
}

// Copies at most n bytes of src, stopping at a NUL, into a field of cap bytes.
void CopyText(char* dst, size_t cap, const uint8_t* src, uint64_t n) {
  size_t limit = static_cast<size_t>(std::min<uint64_t>(n, cap - 1));
  size_t i = 0;
  for (; i < limit && src[i] != 0; ++i) dst[i] = static_cast<char>(src[i]);
  dst[i] = 0;
}

void ProcessUserComment(ExifInfo& info, const uint8_t* value, uint64_t size) {
  uint64_t len = size;
  while (len > 0 && value[len - 1] == ' ') --len;
  uint64_t start = 0;
  if (len >= 5 && std::memcmp(value, "ASCII", 5) == 0) {
    start = len;  // nothing when the five bytes after the code are all NUL or blank
    for (uint64_t a = 5; a < 10 && a < len; ++a) {
      if (value[a] != 0 && value[a] != ' ') {
        start = a;
        break;
      }
    }
    if (start == len) return;
  }
  CopyText(info.comment, kUserCommentMax + 1, value + start, len - start);
}

bool IsSofMarker(int m) {
  return (m >= 0xC0 && m <= 0xC3) || (m >= 0xC5 && m <= 0xC7) || (m >= 0xC9 && m <= 0xCB) ||
         (m >= 0xCD && m <= 0xCF);
}

// Where the sections come from: an open file or a buffer. Both only ever hand out bytes
// that exist.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual int getByte() = 0;  // -1 at the end
  virtual size_t read(uint8_t* out, size_t n) = 0;
  int64_t position() const { return pos_; }

 protected:
  int64_t pos_ = 0;
};

class FileSource : public ByteSource {
 public:
  explicit FileSource(FILE* f) : f_(f) {}
  int getByte() override {
    int c = std::fgetc(f_);
    if (c != EOF) ++pos_;
    return c == EOF ? -1 : c;
  }
  size_t read(uint8_t* out, size_t n) override {
    size_t got = std::fread(out, 1, n, f_);
    pos_ += static_cast<int64_t>(got);
    return got;
  }

 private:
  FILE* f_;
};

class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  int getByte() override {
    if (static_cast<size_t>(pos_) >= size_) return -1;
    return data_[pos_++];
  }
  size_t read(uint8_t* out, size_t n) override {
    size_t left = size_ - static_cast<size_t>(pos_);
    size_t got = std::min(n, left);
    if (got) std::memcpy(out, data_ + pos_, got);
    pos_ += static_cast<int64_t>(got);
    return got;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

bool ReadSections(JpegSections& table, ByteSource& src) {
  ExifInfo& info = *table.info;
  if (src.getByte() != 0xFF || src.getByte() != 0xD8) {
    SetError(info, "Not a JPEG file");
    return false;
  }
  table.sections.reserve(JpegSections::kMaxSections);
  while (table.sections.size() < JpegSections::kMaxSections) {
    int marker = 0;
    for (int a = 0; a < 7; ++a) {
      marker = src.getByte();
      if (marker != 0xFF) break;
      if (a >= 6) {
        SetError(info, "too many padding unsigned chars");
        return false;
      }
    }
    if (marker < 0) {
      SetError(info, "Premature end of file?");
      return false;
    }
    // EOI stands alone: it has no length field to read.
    if (marker == kMarkerEoi) {
      SetError(info, "No image in jpeg!");
      return false;
    }
    int lh = src.getByte();
    int ll = src.getByte();
    if (lh < 0 || ll < 0) {
      SetError(info, "Premature end of file?");
      return false;
    }
    size_t itemlen = static_cast<size_t>((lh << 8) | ll);
    if (itemlen < 2) {
      SetError(info, "invalid marker");
      return false;
    }
    JpegSection section;
    section.type = marker;
    section.size = itemlen;
    section.fileOffset = src.position() - 2;
    try {
      section.bytes.resize(itemlen);
    } catch (const std::bad_alloc&) {
      SetError(info, "Could not allocate memory");
      return false;
    }
    section.bytes[0] = static_cast<uint8_t>(lh);
    section.bytes[1] = static_cast<uint8_t>(ll);
    if (src.read(section.bytes.data() + 2, itemlen - 2) != itemlen - 2) {
      SetError(info, "Premature end of file?");
      return false;
    }
    const uint8_t* data = section.bytes.data() + 2;
    size_t dataLen = itemlen - 2;

    if (marker == kMarkerSos) {
      table.sections.push_back(std::move(section));
      return true;
    }
    if (marker == kMarkerApp0) continue;
    if (marker == kMarkerApp1) {
      if (dataLen < 4 || std::memcmp(data, "Exif", 4) != 0) continue;
      info.isExif = ProcessExif(data, table, dataLen, section.fileOffset + 2) ? 1 : 0;
    } else if (marker == kMarkerCom) {
      if (table.haveComment) continue;
      ProcessComment(itemlen, section.bytes.data(), table);
      table.haveComment = true;
    } else if (IsSofMarker(marker)) {
      ProcessSOFn(section.bytes.data(), itemlen, marker, table);
    }
    table.sections.push_back(std::move(section));
  }
  SetError(info, "Too many sections in jpg file");
  return false;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

int Finish(bool read, const ExifInfo& info, ExifInfo& out) {
  if (read && info.isExif) {
    std::memcpy(&out, &info, sizeof out);
    return 0;
  }
  std::memset(&out, 0, sizeof out);
  if (info.error[0]) {
    std::memcpy(out.error, info.error, sizeof out.error);
  } else {
    SetError(out, "No Exif data");
  }
  return -1;
}

}  // namespace

int ExifBytesPerFormat(int format) {
  static const int kSizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return format >= 1 && format <= 12 ? kSizes[format] : 0;
}

float ExifUnitToInches(int unit) {
  switch (unit) {
    case 1:
    case 2:
      return 1.0f;
    case 3:
      return 0.3937007874f;  // centimetre
    case 4:
      return 0.03937007874f;  // millimetre
    case 5:
      return 0.00003937007874f;  // micrometre
    default:
      return 0.0f;
  }
}

long double ConvertAnyFormat(int format, const uint8_t* value, const JpegSections& table) {
  bool mm = table.motorolaOrder;
  switch (format) {
    case 1:
      return value[0];
    case 6:
      return static_cast<int8_t>(value[0]);
    case 3:
      return Get16(value, mm);
    case 8:
      return static_cast<int16_t>(Get16(value, mm));
    case 4:
      return Get32(value, mm);
    case 9:
      return static_cast<int32_t>(Get32(value, mm));
    case 5: {
      uint32_t num = Get32(value, mm), den = Get32(value + 4, mm);
      return den == 0 ? 0.0L : static_cast<long double>(num) / den;
    }
    case 10: {
      int32_t num = static_cast<int32_t>(Get32(value, mm));
      int32_t den = static_cast<int32_t>(Get32(value + 4, mm));
      return den == 0 ? 0.0L : static_cast<long double>(num) / den;
    }
    case 11: {
      uint32_t bits = Get32(value, mm);
      float f;
      std::memcpy(&f, &bits, sizeof f);
      return f;
    }
    case 12: {
      uint64_t hi = Get32(value + (mm ? 0 : 4), mm), lo = Get32(value + (mm ? 4 : 0), mm);
      uint64_t bits = (hi << 32) | lo;
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    default:
      return 0;  // 2 (ASCII), 7 (undefined)
  }
}

bool ProcessExifDir(size_t dirOffset, const uint8_t* block, size_t blockLength, JpegSections& table,
                    int depth) {
  ExifInfo& info = *table.info;
  bool mm = table.motorolaOrder;
  if (depth > kMaxDirDepth || table.dirsVisited >= kMaxDirs) return true;
  if (std::find(table.visitedDirs.begin(), table.visitedDirs.end(), dirOffset) != table.visitedDirs.end()) {
    return true;  // a link back to a directory already read
  }
  table.visitedDirs.push_back(dirOffset);
  ++table.dirsVisited;

  if (dirOffset > blockLength || blockLength - dirOffset < 2) {
    SetError(info, "Illegally sized directory");
    return false;
  }
  const uint64_t entries = Get16(block + dirOffset, mm);
  const uint64_t entriesEnd = dirOffset + 2 + 12 * entries;
  if (entriesEnd > blockLength) {
    SetError(info, "Illegally sized directory");
    return false;
  }

  for (uint64_t i = 0; i < entries; ++i) {
    const uint8_t* entry = block + dirOffset + 2 + 12 * i;
    unsigned tag = Get16(entry, mm);
    int format = Get16(entry + 2, mm);
    uint32_t count = Get32(entry + 4, mm);
    int bpc = ExifBytesPerFormat(format);
    if (bpc == 0) {
      SetError(info, "Illegal format code in EXIF dir");
      return false;
    }
    uint64_t size = uint64_t{count} * static_cast<uint64_t>(bpc);
    const uint8_t* value = entry + 8;
    if (size > 4) {
      uint64_t offset = Get32(entry + 8, mm);
      if (offset + size > blockLength) {
        SetError(info, "Illegal pointer offset value in EXIF.");
        return false;
      }
      value = block + offset;
    }
    // A count of 0 carries no component; such a tag reads as 0.
    long double v = count > 0 ? ConvertAnyFormat(format, value, table) : 0.0L;

    switch (tag) {
      case kTagExifVersion:
        CopyText(info.version, sizeof info.version, value, size);
        break;
      case kTagMake:
        CopyText(info.cameraMake, sizeof info.cameraMake, value, size);
        break;
      case kTagModel:
        CopyText(info.cameraModel, sizeof info.cameraModel, value, size);
        break;
      case kTagDateTimeOriginal:
        CopyText(info.dateTime, sizeof info.dateTime, value, size);
        break;
      case kTagUserComment:
        ProcessUserComment(info, value, size);
        break;
      case kTagFNumber:
        info.apertureFNumber = ToFloat(v);
        break;
      case kTagAperture:
      case kTagMaxAperture:
        if (info.apertureFNumber == 0) info.apertureFNumber = ToFloat(std::exp2(v * 0.5L));
        break;
      case kTagFocalLength:
        info.focalLength = ToFloat(v);
        break;
      case kTagSubjectDistance:
        info.distance = ToFloat(v);
        break;
      case kTagExposureTime:
        info.exposureTime = ToFloat(v);
        break;
      case kTagShutterSpeed:
        if (info.exposureTime == 0) info.exposureTime = ToFloat(1.0L / std::exp2(v));
        break;
      case kTagFlash:
        if (ToInt(v) & 7) info.flashUsed = 1;
        break;
      case kTagOrientation: {
        int o = ToInt(v);
        info.orientation = (o >= 1 && o <= 8) ? o : 0;
        break;
      }
      case kTagPixelXDimension:
      case kTagPixelYDimension:
        table.largestDimension = std::max(table.largestDimension, ToInt(v));
        break;
      case kTagFocalPlaneXRes:
        info.sensorXResolution = ToFloat(v);
        break;
      case kTagFocalPlaneYRes:
        info.sensorYResolution = ToFloat(v);
        break;
      case kTagFocalPlaneUnit:
        info.sensorResolutionUnit = ExifUnitToInches(ToInt(v));
        break;
      case kTagXResolution:
        info.xResolution = ToFloat(v);
        break;
      case kTagYResolution:
        info.yResolution = ToFloat(v);
        break;
      case kTagResolutionUnit:
        info.resolutionUnit = ExifUnitToInches(ToInt(v));
        break;
      case kTagExposureBias:
        info.exposureBias = ToFloat(v);
        break;
      case kTagLightSource:
        info.lightSource = ToInt(v);
        break;
      case kTagMeteringMode:
        info.meteringMode = ToInt(v);
        break;
      case kTagExposureProgram:
        info.exposureProgram = ToInt(v);
        break;
      case kTagIsoEquivalent: {
        int iso = ToInt(v);
        info.isoEquivalent = iso < 50 ? ToInt(static_cast<long double>(iso) * 200) : iso;
        break;
      }
      case kTagCompressionLevel:
        info.compressionLevel = ToInt(v);
        break;
      case kTagBrightness:
        info.brightness = ToFloat(v);
        break;
      case kTagThumbnailOffset:
        table.thumbOffset = ToU32(v);
        break;
      case kTagThumbnailLength:
        table.thumbLength = ToU32(v);
        break;
      case kTagExifOffset:
      case kTagInteropOffset: {
        // The link is read as a 32-bit word whatever the format says (value holds 4 bytes:
        // inline, or at an offset checked above).
        uint64_t sub = Get32(value, mm);
        if (sub + 2 > blockLength) {
          SetError(info, "Illegal subdirectory link");
          return false;
        }
        if (!ProcessExifDir(static_cast<size_t>(sub), block, blockLength, table, depth + 1)) return false;
        break;
      }
      default:
        break;
    }
  }

  // The link to the next directory (IFD1 holds the thumbnail), a 32-bit word in the
  // block's byte order.
  if (entriesEnd + 4 <= blockLength) {
    uint64_t next = Get32(block + entriesEnd, mm);
    if (next != 0 && next + 2 <= blockLength) {
      if (!ProcessExifDir(static_cast<size_t>(next), block, blockLength, table, depth + 1)) return false;
    }
  }

  if (table.thumbOffset != 0 && table.thumbLength != 0 &&
      uint64_t{table.thumbOffset} + table.thumbLength <= blockLength) {
    info.thumbnailOffset = table.blockFileOffset + table.thumbOffset;
    info.thumbnailSize = static_cast<int>(table.thumbLength);
  }
  return true;
}

bool ProcessExif(const uint8_t* data, JpegSections& table, size_t length, int64_t dataFileOffset) {
  ExifInfo& info = *table.info;
  info.flashUsed = 0;
  info.comment[0] = 0;
  table.largestDimension = 0;
  table.thumbOffset = table.thumbLength = 0;
  table.visitedDirs.clear();
  table.dirsVisited = 0;

  if (length < 6 || std::memcmp(data, "Exif\0\0", 6) != 0) {
    SetError(info, "Incorrect Exif header");
    return false;
  }
  const uint8_t* block = data + 6;
  const size_t blockLength = length - 6;
  if (blockLength >= 2 && std::memcmp(block, "II", 2) == 0) {
    table.motorolaOrder = false;
  } else if (blockLength >= 2 && std::memcmp(block, "MM", 2) == 0) {
    table.motorolaOrder = true;
  } else {
    SetError(info, "Invalid Exif alignment marker.");
    return false;
  }
  if (blockLength < 4 || Get16(block + 2, table.motorolaOrder) != 42) {
    SetError(info, "Invalid Exif start (1)");
    return false;
  }
  uint32_t firstOffset = blockLength >= 8 ? Get32(block + 4, table.motorolaOrder) : 0;
  if (firstOffset < 8 || firstOffset > 16) {
    SetError(info, "Suspicious offset of first IFD value");
    return false;
  }
  table.blockFileOffset = dataFileOffset + 6;
  if (!ProcessExifDir(firstOffset, block, blockLength, table, 0)) return false;

  if (info.sensorXResolution != 0) {
    info.ccdWidth = ToFloat(static_cast<long double>(info.sensorResolutionUnit) * table.largestDimension /
                            info.sensorXResolution);
  }
  return true;
}

void ProcessComment(size_t size, const uint8_t* section, JpegSections& table) {
  char* out = table.info->comment;
  size_t limit = std::min(size, kCommentMax);  // at most 998 characters and the NUL
  size_t n = 0;
  for (size_t a = 2; a < limit; ++a) {
    uint8_t ch = section[a];
    if (ch == '\r' && a + 1 < size && section[a + 1] == '\n') continue;
    out[n++] = (ch >= 32 || ch == '\n' || ch == '\t') ? static_cast<char>(ch) : '?';
  }
  out[n] = 0;
}

void ProcessSOFn(const uint8_t* section, size_t size, int marker, JpegSections& table) {
  if (size < 8) return;  // too short to hold precision, height, width and components
  ExifInfo& info = *table.info;
  info.height = (section[3] << 8) | section[4];
  info.width = (section[5] << 8) | section[6];
  info.isColor = section[7] == 3 ? 1 : 0;
  info.process = marker;
}

void FreeJpegSections(JpegSections& table) {
  table.sections.clear();
  table.sections.shrink_to_fit();
}

bool ReadJpegSections(JpegSections& table, FILE* file) {
  FileSource src(file);
  return ReadSections(table, src);
}

bool ReadJpegSections(JpegSections& table, const uint8_t* data, size_t size) {
  MemorySource src(data, size);
  return ReadSections(table, src);
}

int ReadExifInfo(const std::string& path, ExifInfo& out) {
  std::memset(&out, 0, sizeof out);
  ExifInfo info;
  std::memset(&info, 0, sizeof info);
  // Non-blocking open and a regular-file check: a FIFO must not hang the caller.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    SetError(info, "Can't open file");
    return Finish(false, info, out);
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    SetError(info, "Not a regular file");
    return Finish(false, info, out);
  }
  std::unique_ptr<FILE, FileCloser> file(::fdopen(fd, "rb"));
  if (!file) {
    ::close(fd);
    SetError(info, "Can't open file");
    return Finish(false, info, out);
  }
  JpegSections table;
  table.info = &info;
  bool read = ReadJpegSections(table, file.get());
  FreeJpegSections(table);
  return Finish(read, info, out);
}

int ReadExifInfoFromBuffer(const uint8_t* data, size_t size, ExifInfo& out) {
  std::memset(&out, 0, sizeof out);
  ExifInfo info;
  std::memset(&info, 0, sizeof info);
  JpegSections table;
  table.info = &info;
  bool read = ReadJpegSections(table, data, size);
  FreeJpegSections(table);
  return Finish(read, info, out);
}
