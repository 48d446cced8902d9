// EXIF reader: the marker sections of a JPEG file up to the start of the image data, and
// its EXIF block parsed into a fixed ExifInfo record.
//
// Input is untrusted. Every read is checked against the bytes of its section or EXIF block
// (offset + size computed in 64 bits), directory nesting and the number of directories are
// limited and a directory reached twice is not entered again, the comment is bounded, and
// nothing is read past the end of the file or buffer. At most 20 sections are kept in
// memory; they are owned by JpegSections and freed on every path.
//
// Problems are not logged: a short text (e.g. "Illegal format code in EXIF dir") is written
// into the record's error field, and ReadExifInfo leaves it there on failure while zeroing
// everything else.
//
// Thread-safe: no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// What one picture tells of itself. Text fields are NUL-terminated and hold at most one
// character less than their size. Zeroed before reading; a field whose tag is absent stays 0.
struct ExifInfo {
  char error[64];           // last problem met while reading, "" when none
  char version[5];          // 0x9000 ExifVersion, 4 characters
  char cameraMake[32];      // 271 Make
  char cameraModel[40];     // 272 Model
  char dateTime[20];        // 36867 DateTimeOriginal "YYYY:MM:DD HH:MM:SS", as stored (unchecked)
  int height;               // SOF section
  int width;                // SOF section
  int orientation;          // 274, 1..8, otherwise 0
  int isColor;              // SOF: 3 components
  int process;              // the SOF marker (0xC0 baseline ...)
  int flashUsed;            // 37385: any of the low three bits set
  float focalLength;        // 37386
  float exposureTime;       // 33434, or 1 / 2^v from 37377 ShutterSpeedValue
  float apertureFNumber;    // 33437, or 2^(v/2) from 37378 / 37381
  float distance;           // 37382 SubjectDistance
  float ccdWidth;           // sensor unit x largest dimension / sensor X resolution
  float exposureBias;       // 37380
  int lightSource;          // 37384
  int meteringMode;         // 37383
  int exposureProgram;      // 34850
  int isoEquivalent;        // 34855; a value below 50 is multiplied by 200
  int compressionLevel;     // 37122 CompressedBitsPerPixel
  float sensorXResolution;  // 41486 FocalPlaneXResolution
  float sensorYResolution;  // 41487 FocalPlaneYResolution
  float sensorResolutionUnit;  // 41488, as a length in inches (ExifUnitToInches)
  float xResolution;        // 282
  float yResolution;        // 283
  float resolutionUnit;     // 296, as a length in inches
  float brightness;         // 37379
  char comment[1000];       // first COM section, or 37510 UserComment
  // 513 / 514. An offset from the start of the file (or buffer) instead of a pointer: the
  // section that held the thumbnail is freed before the caller sees the record.
  int64_t thumbnailOffset;  // 0 when there is no thumbnail
  int thumbnailSize;
  int isExif;               // 1 when the EXIF block parsed
};

// One kept marker section: the two length bytes followed by the data.
struct JpegSection {
  std::vector<uint8_t> bytes;
  int type = 0;           // marker byte
  size_t size = 0;        // bytes.size(), the length field's value
  int64_t fileOffset = 0; // file offset of bytes[0]
};

// Section table of one reading and the parsing context of its EXIF block.
struct JpegSections {
  static constexpr size_t kMaxSections = 20;

  std::vector<JpegSection> sections;  // at most kMaxSections
  ExifInfo* info = nullptr;           // the record being filled
  bool motorolaOrder = false;         // EXIF block is big-endian ("MM")
  bool haveComment = false;           // a COM section was processed
  int largestDimension = 0;           // largest of 40962 / 40963
  uint32_t thumbOffset = 0;           // 513, from the EXIF block start
  uint32_t thumbLength = 0;           // 514
  int64_t blockFileOffset = 0;        // file offset of the EXIF block (TIFF header)
  int dirsVisited = 0;
  std::vector<size_t> visitedDirs;    // directory offsets already parsed

  JpegSections() = default;
  JpegSections(const JpegSections&) = delete;
  JpegSections& operator=(const JpegSections&) = delete;
  ~JpegSections() = default;  // frees the sections (RAII)
};

// Bytes per component of EXIF formats 1..12; 0 for any other code.
int ExifBytesPerFormat(int format);
// Length in inches of EXIF resolution unit codes 1..5 (1 and 2 are inch); 0 otherwise.
float ExifUnitToInches(int unit);

// 0 when the file at path is a JPEG whose EXIF block parsed, the record filled; -1 otherwise
// (record zeroed but for its error text).
int ReadExifInfo(const std::string& path, ExifInfo& out);
// The same over the whole content of a file held in memory.
int ReadExifInfoFromBuffer(const uint8_t* data, size_t size, ExifInfo& out);

// Reads sections from an open file positioned at its start into table (whose info must be
// set); true when the start of the image data (SOS) was reached.
bool ReadJpegSections(JpegSections& table, FILE* file);
bool ReadJpegSections(JpegSections& table, const uint8_t* data, size_t size);

// data: an APP1 section's data (after the length bytes), length bytes of it, beginning
// "Exif\0\0" and the TIFF header. dataFileOffset: file offset of data[0]. True when parsed.
bool ProcessExif(const uint8_t* data, JpegSections& table, size_t length, int64_t dataFileOffset = 0);

// Parses the directory at dirOffset of the EXIF block [block, block + blockLength) and the
// directories it links to. depth: 0 for the first directory. True, or false with an error.
bool ProcessExifDir(size_t dirOffset, const uint8_t* block, size_t blockLength, JpegSections& table,
                    int depth = 0);

// The value of one component as a long double in the block's byte order. value must hold
// ExifBytesPerFormat(format) bytes; formats 2 and 7, and unknown ones, give 0.
long double ConvertAnyFormat(int format, const uint8_t* value, const JpegSections& table);

// A COM section (length bytes included, size bytes) into the record's comment.
void ProcessComment(size_t size, const uint8_t* section, JpegSections& table);

// A SOF section (length bytes included, size bytes) of the given marker: height, width,
// colour flag and process.
void ProcessSOFn(const uint8_t* section, size_t size, int marker, JpegSections& table);

// Frees the section buffers.
void FreeJpegSections(JpegSections& table);
