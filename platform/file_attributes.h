// File attributes (hidden, system, read-only) that Linux files do not carry: kept in the
// attribute store <PlatformDir()>/attributes.db (SQLite, one row per file), set by the
// attrib tool and read by GetFileAttributes.
//
// A file is named by its absolute path with "." and ".." resolved and symbolic links
// followed when it exists (so two spellings of one file share its row); a relative path is
// taken from the current folder. GetFileAttributes combines the stored bits with what the
// file system says: FILE_ATTRIBUTE_DIRECTORY for a folder, FILE_ATTRIBUTE_NORMAL when no
// other bit is set; INVALID_FILE_ATTRIBUTES for a missing file. Writes are single
// transactions with a 10 s busy time-out; thread- and process-safe.
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace ks::platform {

constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr uint32_t kStoredAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

uint32_t GetFileAttributes(const std::string& path);
// Sets the bits of `set` and clears those of `clear` (only kStoredAttributes count).
// 0, ENOENT for a missing file, EIO when the store cannot be written.
int ChangeFileAttributes(const std::string& path, uint32_t set, uint32_t clear);
// Names of the entries directly inside `folder` whose stored bits hold any of `bits`, read
// in one query (for listings). An entry that is a symbolic link is stored under its target
// and so is not found here.
std::set<std::string> EntriesWithAttributes(const std::string& folder, uint32_t bits);
// Path of the attribute store of PlatformDir().
std::string AttributeStorePath();

}  // namespace ks::platform
