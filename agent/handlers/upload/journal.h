// The files an upload keeps next to its target T while it runs, and the names it may end
// under.
//
//   T + "kestyl.rename"     temporary data file (the bytes received so far)
//   T + "kestyl.renametmp"  resume journal, 288 bytes:
//                             char[255] T, NUL-padded (at most 254 characters)
//                             char[33]  announced fingerprint, 32 lower-case hex digits, NUL
//
// Both names contain "kestyl.rename", so listings, the HTTP server and the photo tidying
// never show or touch them, and start-up clean-up deletes left-overs in the default
// folders. The suffixes are fixed: files already on disk rely on them.
//
// A journal read back from disk is untrusted (it may be torn by a crash or written by
// anyone): ParseJournal accepts only a whole, well-formed record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ks::upload {

inline constexpr char kTempSuffix[] = "kestyl.rename";
inline constexpr char kJournalSuffix[] = "kestyl.renametmp";

constexpr size_t kJournalPathSize = 255;
constexpr size_t kJournalFingerprintSize = 33;
constexpr size_t kJournalSize = kJournalPathSize + kJournalFingerprintSize;  // 288
constexpr size_t kFingerprintHexLength = 32;
// Longest target path the journal (and the upload) keeps.
constexpr size_t kMaxTargetLength = kJournalPathSize - 1;  // 254

struct UploadJournal {
  std::string target;       // T
  std::string fingerprint;  // 32 lower-case hex digits
};

inline std::string TempPathFor(const std::string& target) { return target + kTempSuffix; }
inline std::string JournalPathFor(const std::string& target) { return target + kJournalSuffix; }
// The journal that belongs to a temporary data file: its name followed by "tmp". Only the
// first temporary file of a target has one; the other names never do.
inline std::string JournalPathForTemp(const std::string& tempPath) { return tempPath + "tmp"; }

// The 288-byte record; a target longer than 254 characters is cut there.
std::array<uint8_t, kJournalSize> EncodeJournal(const UploadJournal& journal);
// False unless `length` is exactly 288, the target field holds a NUL-terminated, non-empty
// text and the fingerprint field holds 32 lower-case hex digits followed by a NUL.
bool ParseJournal(const uint8_t* data, size_t length, UploadJournal& out);

// Writes the record to a new file (never over an existing one, never through a symlink).
// False when the file exists or any write fails; a partly written file is removed.
bool WriteJournalFile(const std::string& path, const UploadJournal& journal);
enum class JournalRead { kMissing, kInvalid, kValid };
JournalRead ReadJournalFile(const std::string& path, UploadJournal& out);
// The same for the file `name` in the folder open as `dir` (AT_FDCWD: the working folder).
bool WriteJournalFileAt(int dir, const std::string& name, const UploadJournal& journal);
JournalRead ReadJournalFileAt(int dir, const std::string& name, UploadJournal& out);

// True for 32 lower-case hex digits.
bool IsFingerprintText(const std::string& text);

// The n-th name tried when T is taken at the end of an upload: T + ".(n)." + extension,
// or T + ".(n)" when the file name has no extension. The extension is the part of the
// file name (never of a folder) after its last ".".
std::string CollisionName(const std::string& target, unsigned n);

}  // namespace ks::upload
