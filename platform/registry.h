// The registry: a hierarchical key/value store shared by every program of the installation.
//
// Storage: one SQLite file, <PlatformDir()>/registry.db (service_table.h names the folder;
// KESTYL_PLATFORM_DIR keeps parallel installations and tests apart). Every change is one
// "BEGIN IMMEDIATE" transaction; a locked file is waited on for up to 10 s (busy time-out),
// so any number of processes and threads may read and write at once. Key and value names
// are only ever SQL parameters: no registry text becomes a file path.
//
// The first use of a missing file (a query too) creates it and seeds it with:
//   HKLM\SOFTWARE\Kestyl
//   HKLM\SOFTWARE\Classes
//   HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run
//   HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Policies\System
//        "EnableLUA" REG_DWORD = KESTYL_UAC (decimal; 1 when unset or not a number)
//   HKU\S-1-5-19\Environment, HKU\S-1-5-19\Software
//
// Keys: roots HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_USERS are stored; the root
// HKEY_CLASSES_ROOT is HKLM\SOFTWARE\Classes (the same rows, both ways). A sub-key path is
// split at "\"; one trailing "\" is ignored; an empty component (leading or doubled "\") or
// a component over 255 bytes is ERROR_INVALID_PARAMETER. Components and value names compare
// ASCII case-insensitively; the spelling of the first creation is kept (a later write with
// another case changes the data, not the name). Sub-keys enumerate in case-insensitive
// name order, values in creation order. The default value has the empty name.
//
// Values: REG_SZ, REG_EXPAND_SZ (UTF-8 text), REG_DWORD (4 bytes, little-endian),
// REG_BINARY, REG_NONE. Text data ends at its first NUL and is stored without it; a query
// hands it back with one NUL (the size includes it), as the Win32 calls do. The ...W calls take
// UTF-16 names and hand text data over as UTF-16LE (converted from/to the UTF-8 rows).
//
// Access masks and KEY_WOW64_64KEY/KEY_WOW64_32KEY are accepted and ignored: there is one
// view. One key is guarded: HKU\S-1-5-19 and below open only for an elevated process
// (elevation.h: KESTYL_ELEVATED=1 or effective user 0), else ERROR_ACCESS_DENIED.
//
// Handles: a key handle names the key's row; it stays valid until RegCloseKey. Operations
// on the handle of a key deleted meanwhile return ERROR_KEY_DELETED. The predefined root
// handles need no closing and follow KESTYL_PLATFORM_DIR at each call; an opened handle
// stays on the file it was opened on. Thread-safe; handles may be used from any thread.
//
// Results are the Win32 numbers: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND (key or value
// missing), ERROR_ACCESS_DENIED (guarded key; RegDeleteKey of a key with sub-keys),
// ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER, ERROR_MORE_DATA (buffer too small; the
// size is set to the size needed), ERROR_NO_MORE_ITEMS (enumeration past the end),
// ERROR_KEY_DELETED, ERROR_REGISTRY_IO_FAILED (the file cannot be opened or written).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ks::platform {

struct RegKey;
using HKEY = RegKey*;
using LSTATUS = long;

extern HKEY const HKEY_CLASSES_ROOT;
extern HKEY const HKEY_CURRENT_USER;
extern HKEY const HKEY_LOCAL_MACHINE;
extern HKEY const HKEY_USERS;

constexpr LSTATUS ERROR_SUCCESS = 0;
constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
constexpr LSTATUS ERROR_MORE_DATA = 234;
constexpr LSTATUS ERROR_NO_MORE_ITEMS = 259;
constexpr LSTATUS ERROR_REGISTRY_IO_FAILED = 1016;
constexpr LSTATUS ERROR_KEY_DELETED = 1018;

constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;

constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
constexpr uint32_t KEY_SET_VALUE = 0x0002;
constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
constexpr uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr uint32_t KEY_WOW64_64KEY = 0x0100;
constexpr uint32_t KEY_WOW64_32KEY = 0x0200;
constexpr uint32_t KEY_READ = 0x20019;
constexpr uint32_t KEY_WRITE = 0x20006;
constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;

constexpr uint32_t REG_OPTION_NON_VOLATILE = 0;
constexpr uint32_t REG_CREATED_NEW_KEY = 1;
constexpr uint32_t REG_OPENED_EXISTING_KEY = 2;

// Opens an existing key below `key` ("" or null opens `key` itself again).
LSTATUS RegOpenKeyEx(HKEY key, const char* subKey, uint32_t options, uint32_t access, HKEY* result);
// Opens or creates the key and every missing key on its path. `disposition` (optional)
// tells REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY. `reserved`, `keyClass`, `options`,
// `access` and `security` are accepted and ignored.
LSTATUS RegCreateKeyEx(HKEY key, const char* subKey, uint32_t reserved, const char* keyClass,
                       uint32_t options, uint32_t access, const void* security, HKEY* result,
                       uint32_t* disposition);
// Reads a value. `type`, `data` and `dataSize` are optional. With `data` null only the type
// and size are reported. A buffer smaller than the data: ERROR_MORE_DATA, *dataSize set to
// the size needed, nothing copied.
LSTATUS RegQueryValueEx(HKEY key, const char* valueName, uint32_t* reserved, uint32_t* type,
                        uint8_t* data, uint32_t* dataSize);
// Writes a value (creates it or replaces its type and data). Text data ends at its first
// NUL (or at `dataSize`). A REG_DWORD needs 4 bytes (else ERROR_INVALID_PARAMETER).
LSTATUS RegSetValueEx(HKEY key, const char* valueName, uint32_t reserved, uint32_t type,
                      const uint8_t* data, uint32_t dataSize);
LSTATUS RegDeleteValue(HKEY key, const char* valueName);
// Deletes a key that has no sub-keys (ERROR_ACCESS_DENIED when it has some), with its values.
LSTATUS RegDeleteKey(HKEY key, const char* subKey);
// Deletes a key with every key below it ("" or null: everything below `key`, keeping it).
LSTATUS RegDeleteTree(HKEY key, const char* subKey);
// The index-th sub-key's name into `name` (`*nameSize` characters including the NUL on
// entry; the length without the NUL on return). `reserved`, `keyClass`, `classSize` and
// `lastWrite` are ignored (pass null).
LSTATUS RegEnumKeyEx(HKEY key, uint32_t index, char* name, uint32_t* nameSize, uint32_t* reserved,
                     char* keyClass, uint32_t* classSize, void* lastWrite);
// The index-th value: name as RegEnumKeyEx, type and data as RegQueryValueEx.
LSTATUS RegEnumValue(HKEY key, uint32_t index, char* name, uint32_t* nameSize, uint32_t* reserved,
                     uint32_t* type, uint8_t* data, uint32_t* dataSize);
// Counts and maxima of the key; every output is optional. Lengths exclude the NUL; the
// maximum data size counts a text's NUL.
LSTATUS RegQueryInfoKey(HKEY key, char* keyClass, uint32_t* classSize, uint32_t* reserved,
                        uint32_t* subKeys, uint32_t* maxSubKeyLen, uint32_t* maxClassLen,
                        uint32_t* values, uint32_t* maxValueNameLen, uint32_t* maxValueLen,
                        uint32_t* securityDescriptor, void* lastWrite);
// Frees an opened handle; the predefined roots are left alone. Null: ERROR_INVALID_HANDLE.
LSTATUS RegCloseKey(HKEY key);

// UTF-16 forms: names in UTF-16; REG_SZ/REG_EXPAND_SZ data in UTF-16LE with a final NUL
// (sizes in bytes). Other types as the narrow calls.
LSTATUS RegOpenKeyExW(HKEY key, const char16_t* subKey, uint32_t options, uint32_t access,
                      HKEY* result);
LSTATUS RegCreateKeyExW(HKEY key, const char16_t* subKey, uint32_t reserved,
                        const char16_t* keyClass, uint32_t options, uint32_t access,
                        const void* security, HKEY* result, uint32_t* disposition);
LSTATUS RegQueryValueExW(HKEY key, const char16_t* valueName, uint32_t* reserved, uint32_t* type,
                         uint8_t* data, uint32_t* dataSize);
LSTATUS RegSetValueExW(HKEY key, const char16_t* valueName, uint32_t reserved, uint32_t type,
                       const uint8_t* data, uint32_t dataSize);
LSTATUS RegDeleteValueW(HKEY key, const char16_t* valueName);
LSTATUS RegDeleteKeyW(HKEY key, const char16_t* subKey);

// ---- Conveniences over the calls above (UTF-8 throughout) ----

// The full name of an open key: the root's long name ("HKEY_LOCAL_MACHINE", or
// "HKEY_CLASSES_ROOT" for keys opened through it) and the stored spellings, joined by "\".
std::string RegKeyName(HKEY key);

// Parses a root's short or long name ("HKLM", "hkey_local_machine", "HKCR", ...), any
// case; null when unknown.
HKEY RegRootFromName(const std::string& name);

// One value as read by RegEnumValue.
struct RegValue {
  std::string name;
  uint32_t type = REG_NONE;
  std::string data;  // raw bytes; text without its NUL
};
// Every value of the key, in order.
LSTATUS RegListValues(HKEY key, std::vector<RegValue>& out);
// Every sub-key name, in order.
LSTATUS RegListSubKeys(HKEY key, std::vector<std::string>& out);

// Reads/writes one value of the key at root\path.
LSTATUS RegGetString(HKEY root, const std::string& path, const std::string& name, std::string& out);
LSTATUS RegGetDword(HKEY root, const std::string& path, const std::string& name, uint32_t& out);
LSTATUS RegSetString(HKEY root, const std::string& path, const std::string& name,
                     const std::string& value, uint32_t type = REG_SZ);
LSTATUS RegSetDword(HKEY root, const std::string& path, const std::string& name, uint32_t value);

// Path of the registry file of PlatformDir().
std::string RegistryPath();

}  // namespace ks::platform
