#include "platform/registry.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/elevation.h"
#include "platform/service_table.h"
#include "platform/utf16.h"

namespace ks::platform {

enum class Root { kLocalMachine, kCurrentUser, kUsers, kClassesRoot };

struct RegKey {
  bool predefined = false;
  Root root = Root::kLocalMachine;
  std::string db;        // registry file (opened handles only)
  int64_t id = 0;        // row of the key (opened handles only)
  std::string name;      // full name
  int depth = 0;         // components below the root (HKCR counts from HKLM\SOFTWARE\Classes)
  std::string firstFold; // folded first component below the root ("" at the root)
};

namespace {

constexpr int64_t kLocalMachineId = 1;
constexpr int64_t kCurrentUserId = 2;
constexpr int64_t kUsersId = 3;
constexpr size_t kMaxComponent = 255;
constexpr size_t kMaxValueName = 16383;
constexpr const char* kGuardedUser = "s-1-5-19";
constexpr const char* kClassesPath = "SOFTWARE\\Classes";

RegKey gRoots[4] = {
    {true, Root::kClassesRoot, "", 0, "HKEY_CLASSES_ROOT", 0, ""},
    {true, Root::kCurrentUser, "", kCurrentUserId, "HKEY_CURRENT_USER", 0, ""},
    {true, Root::kLocalMachine, "", kLocalMachineId, "HKEY_LOCAL_MACHINE", 0, ""},
    {true, Root::kUsers, "", kUsersId, "HKEY_USERS", 0, ""},
};

std::string Fold(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Splits a sub-key path; nullopt for an invalid one.
std::optional<std::vector<std::string>> SplitPath(const char* subKey) {
  std::vector<std::string> parts;
  if (!subKey || !*subKey) return parts;
  std::string_view path(subKey);
  if (path.back() == '\\') path.remove_suffix(1);
  if (path.empty()) return std::nullopt;
  size_t start = 0;
  while (true) {
    size_t end = path.find('\\', start);
    std::string_view part = path.substr(start, end == std::string_view::npos ? path.npos : end - start);
    if (part.empty() || part.size() > kMaxComponent) return std::nullopt;
    parts.emplace_back(part);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

// ---- SQLite access ----

class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  bool ok() const { return rc_ == SQLITE_OK; }
  Stmt& Bind(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Stmt& Bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& BindBlob(int i, const std::string& v) {
    sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() { return ok() ? sqlite3_step(stmt_) : rc_; }
  int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  std::string Text(int col) const {
    const void* p = sqlite3_column_blob(stmt_, col);
    int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_ = SQLITE_ERROR;
};

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
    " name TEXT NOT NULL, fold TEXT NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, fold);"
    "CREATE TABLE IF NOT EXISTS vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL,"
    " name TEXT NOT NULL, fold TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS vals_by_key ON vals(key, fold);"
    "CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES"
    " (1, 0, 'HKEY_LOCAL_MACHINE', 'hkey_local_machine'),"
    " (2, 0, 'HKEY_CURRENT_USER', 'hkey_current_user'),"
    " (3, 0, 'HKEY_USERS', 'hkey_users');";

class Database;
LSTATUS CreatePath(Database& db, int64_t parent, const std::vector<std::string>& parts,
                   int64_t& id, bool* created);
LSTATUS SetValueRow(Database& db, int64_t key, const std::string& name, uint32_t type,
                    const std::string& data);

// One connection per registry file, shared by the threads of the process; every use holds
// its mutex, so a transaction never interleaves with another thread's statements.
class Database {
 public:
  explicit Database(std::string path) : path_(std::move(path)) {}
  ~Database() {
    if (db_) sqlite3_close(db_);
  }
  std::mutex& mutex() { return mutex_; }
  sqlite3* handle() const { return db_; }
  const std::string& path() const { return path_; }

  // Opens (again, when the file was replaced or removed) and seeds; under mutex().
  bool Ready() {
    struct stat st {};
    bool exists = ::stat(path_.c_str(), &st) == 0;
    if (db_ && owner_ != ::getpid()) db_ = nullptr;  // a forked child never uses the parent's connection
    if (db_ && exists && st.st_ino == inode_ && st.st_dev == device_) return true;
    if (db_) {
      sqlite3_close(db_);
      db_ = nullptr;
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
      return false;
    }
    owner_ = ::getpid();
    sqlite3_busy_timeout(db_, 10000);
    if (!Seed()) {
      sqlite3_close(db_);
      db_ = nullptr;
      return false;
    }
    if (::stat(path_.c_str(), &st) == 0) {
      inode_ = st.st_ino;
      device_ = st.st_dev;
    }
    return true;
  }

  bool Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
  bool Begin() { return Exec("BEGIN IMMEDIATE"); }
  bool Commit() {
    if (Exec("COMMIT")) return true;
    Exec("ROLLBACK");
    return false;
  }
  void Rollback() { Exec("ROLLBACK"); }

 private:
  bool Seeded() {
    Stmt check(db_, "SELECT value FROM meta WHERE name='seeded'");
    return check.Step() == SQLITE_ROW;
  }

  // A seeded file is only read (it may be read-only for this user); else the tables and the
  // seed keys are made in one transaction, which every concurrent first opener waits for.
  bool Seed() {
    if (Seeded()) return true;
    if (!Begin()) return false;
    if (!Exec(kSchema)) {
      Rollback();
      return false;
    }
    if (Seeded()) return Commit();
    uint32_t lua = 1;
    if (const char* uac = std::getenv("KESTYL_UAC"); uac && *uac) {
      char* end = nullptr;
      unsigned long v = std::strtoul(uac, &end, 10);
      if (end && *end == 0) lua = static_cast<uint32_t>(v);
    }
    std::string luaData(4, '\0');
    for (int i = 0; i < 4; ++i) luaData[i] = static_cast<char>((lua >> (8 * i)) & 0xFF);
    int64_t id = 0;
    bool ok = true;
    auto make = [&](int64_t root, std::vector<std::string> parts) {
      if (ok && CreatePath(*this, root, parts, id, nullptr) != ERROR_SUCCESS) ok = false;
    };
    make(kLocalMachineId, {"SOFTWARE", "Kestyl"});
    make(kLocalMachineId, {"SOFTWARE", "Classes"});
    make(kLocalMachineId, {"SOFTWARE", "Microsoft", "Windows", "CurrentVersion", "Run"});
    make(kLocalMachineId, {"SOFTWARE", "Microsoft", "Windows", "CurrentVersion", "Policies", "System"});
    if (ok) ok = SetValueRow(*this, id, "EnableLUA", REG_DWORD, luaData) == ERROR_SUCCESS;
    make(kUsersId, {"S-1-5-19", "Environment"});
    make(kUsersId, {"S-1-5-19", "Software"});
    if (ok) ok = Exec("INSERT INTO meta(name, value) VALUES('seeded', '1')");
    if (!ok) {
      Rollback();
      return false;
    }
    return Commit();
  }

  std::string path_;
  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  ino_t inode_ = 0;
  dev_t device_ = 0;
  pid_t owner_ = 0;
};

std::mutex gDatabasesMutex;
std::map<std::string, std::unique_ptr<Database>>& Databases() {
  static auto* dbs = new std::map<std::string, std::unique_ptr<Database>>();
  return *dbs;
}

Database& DatabaseFor(const std::string& path) {
  std::lock_guard<std::mutex> lock(gDatabasesMutex);
  auto& slot = Databases()[path];
  if (!slot) slot = std::make_unique<Database>(path);
  return *slot;
}

// Finds the child `name` of `parent`: its id and spelling, or 0.
int64_t FindChild(Database& db, int64_t parent, const std::string& name, std::string* spelling) {
  Stmt q(db.handle(), "SELECT id, name FROM keys WHERE parent=?1 AND fold=?2");
  q.Bind(1, parent).Bind(2, Fold(name));
  if (q.Step() != SQLITE_ROW) return 0;
  if (spelling) *spelling = q.Text(1);
  return q.Int(0);
}

bool KeyExists(Database& db, int64_t id) {
  Stmt q(db.handle(), "SELECT 1 FROM keys WHERE id=?1");
  q.Bind(1, id);
  return q.Step() == SQLITE_ROW;
}

// Inside a transaction: walks and creates the path below `parent`.
LSTATUS CreatePath(Database& db, int64_t parent, const std::vector<std::string>& parts, int64_t& id,
                   bool* created) {
  id = parent;
  if (created) *created = false;
  for (const auto& part : parts) {
    int64_t child = FindChild(db, id, part, nullptr);
    if (!child) {
      Stmt ins(db.handle(), "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)");
      ins.Bind(1, id).Bind(2, part).Bind(3, Fold(part));
      if (ins.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
      child = sqlite3_last_insert_rowid(db.handle());
      if (created) *created = true;
    }
    id = child;
  }
  return ERROR_SUCCESS;
}

LSTATUS SetValueRow(Database& db, int64_t key, const std::string& name, uint32_t type, const std::string& data) {
  Stmt up(db.handle(), "UPDATE vals SET type=?1, data=?2 WHERE key=?3 AND fold=?4");
  up.Bind(1, type).BindBlob(2, data).Bind(3, key).Bind(4, Fold(name));
  if (up.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
  if (sqlite3_changes(db.handle()) > 0) return ERROR_SUCCESS;
  Stmt ins(db.handle(), "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)");
  ins.Bind(1, key).Bind(2, name).Bind(3, Fold(name)).Bind(4, type).BindBlob(5, data);
  return ins.Step() == SQLITE_DONE ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

bool IsText(uint32_t type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// Where a handle points: the file, the row (resolved now for the predefined roots) and
// the facts needed to name and guard keys below it.
struct Base {
  Database* db = nullptr;
  int64_t id = 0;
  const RegKey* key = nullptr;
};

// Under db mutex: resolves `key` to its row. For HKCR the classes key is created when
// `create` is set.
LSTATUS ResolveLocked(Database& db, const RegKey* key, bool create, int64_t& id) {
  if (!key->predefined) {
    id = key->id;
    return KeyExists(db, id) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
  }
  if (key->root != Root::kClassesRoot) {
    id = key->id;
    return ERROR_SUCCESS;
  }
  auto parts = *SplitPath(kClassesPath);
  int64_t cur = kLocalMachineId;
  for (const auto& p : parts) {
    cur = FindChild(db, cur, p, nullptr);
    if (!cur) break;
  }
  if (cur) {
    id = cur;
    return ERROR_SUCCESS;
  }
  if (!create) return ERROR_FILE_NOT_FOUND;
  if (!db.Begin()) return ERROR_REGISTRY_IO_FAILED;
  LSTATUS rc = CreatePath(db, kLocalMachineId, parts, id, nullptr);
  if (rc != ERROR_SUCCESS) {
    db.Rollback();
    return rc;
  }
  return db.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

Database* DatabaseOf(const RegKey* key) {
  return &DatabaseFor(key->predefined ? RegistryPath() : key->db);
}

bool Guarded(const RegKey* base, const std::vector<std::string>& parts) {
  if (base->root != Root::kUsers) return false;
  if (base->depth > 0) return base->firstFold == kGuardedUser;
  return !parts.empty() && Fold(parts[0]) == kGuardedUser;
}

HKEY MakeHandle(const RegKey* base, Database& db, int64_t id, const std::vector<std::string>& spellings) {
  auto* h = new RegKey();
  h->predefined = false;
  h->root = base->root;
  h->db = db.path();
  h->id = id;
  h->name = base->name;
  for (const auto& s : spellings) h->name += "\\" + s;
  h->depth = base->depth + static_cast<int>(spellings.size());
  h->firstFold = base->depth > 0 ? base->firstFold : (spellings.empty() ? "" : Fold(spellings[0]));
  return h;
}

LSTATUS OpenOrCreate(HKEY key, const char* subKey, bool create, HKEY* result, uint32_t* disposition) {
  if (!key || !result) return ERROR_INVALID_HANDLE;
  *result = nullptr;
  auto parts = SplitPath(subKey);
  if (!parts) return ERROR_INVALID_PARAMETER;
  if (Guarded(key, *parts) && !IsProcessElevated()) return ERROR_ACCESS_DENIED;
  Database& db = *DatabaseOf(key);
  std::lock_guard<std::mutex> lock(db.mutex());
  if (!db.Ready()) return ERROR_REGISTRY_IO_FAILED;
  int64_t id = 0;
  LSTATUS rc = ResolveLocked(db, key, create, id);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<std::string> spellings;
  int64_t cur = id;
  size_t found = 0;
  for (; found < parts->size(); ++found) {
    std::string spelling;
    int64_t child = FindChild(db, cur, (*parts)[found], &spelling);
    if (!child) break;
    spellings.push_back(spelling);
    cur = child;
  }
  bool created = false;
  if (found < parts->size()) {
    if (!create) return ERROR_FILE_NOT_FOUND;
    if (!db.Begin()) return ERROR_REGISTRY_IO_FAILED;
    // Walk again inside the transaction: another writer may have created part of the path.
    if (!KeyExists(db, id)) {
      db.Rollback();
      return ERROR_KEY_DELETED;
    }
    spellings.clear();
    cur = id;
    for (const auto& part : *parts) {
      std::string spelling;
      int64_t child = FindChild(db, cur, part, &spelling);
      if (!child) {
        rc = CreatePath(db, cur, {part}, child, nullptr);
        if (rc != ERROR_SUCCESS) {
          db.Rollback();
          return rc;
        }
        spelling = part;
        created = true;
      }
      spellings.push_back(spelling);
      cur = child;
    }
    if (!db.Commit()) return ERROR_REGISTRY_IO_FAILED;
  }
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = MakeHandle(key, db, cur, spellings);
  return ERROR_SUCCESS;
}

// Runs `body(db, id)` under the database mutex once `key` resolved to a live row.
template <typename Body>
LSTATUS WithKey(HKEY key, bool create, Body body) {
  if (!key) return ERROR_INVALID_HANDLE;
  Database& db = *DatabaseOf(key);
  std::lock_guard<std::mutex> lock(db.mutex());
  if (!db.Ready()) return ERROR_REGISTRY_IO_FAILED;
  int64_t id = 0;
  LSTATUS rc = ResolveLocked(db, key, create, id);
  if (rc != ERROR_SUCCESS) return rc;
  return body(db, id);
}

LSTATUS CopyOut(const std::string& bytes, uint32_t type, uint32_t* typeOut, uint8_t* data, uint32_t* dataSize) {
  if (typeOut) *typeOut = type;
  if (data && !dataSize) return ERROR_INVALID_PARAMETER;
  if (!dataSize) return ERROR_SUCCESS;
  uint32_t need = static_cast<uint32_t>(bytes.size());
  if (!data) {
    *dataSize = need;
    return ERROR_SUCCESS;
  }
  if (*dataSize < need) {
    *dataSize = need;
    return ERROR_MORE_DATA;
  }
  if (need) std::memcpy(data, bytes.data(), need);
  *dataSize = need;
  return ERROR_SUCCESS;
}

// Reads one value's row: type and stored bytes.
LSTATUS ReadValue(HKEY key, const std::string& name, uint32_t& type, std::string& bytes) {
  return WithKey(key, false, [&](Database& db, int64_t id) -> LSTATUS {
    Stmt q(db.handle(), "SELECT type, data FROM vals WHERE key=?1 AND fold=?2");
    q.Bind(1, id).Bind(2, Fold(name));
    if (q.Step() != SQLITE_ROW) return ERROR_FILE_NOT_FOUND;
    type = static_cast<uint32_t>(q.Int(0));
    bytes = q.Text(1);
    return ERROR_SUCCESS;
  });
}

LSTATUS WriteValue(HKEY key, const std::string& name, uint32_t type, std::string bytes) {
  if (name.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
  if (type == REG_DWORD && bytes.size() != 4) return ERROR_INVALID_PARAMETER;
  return WithKey(key, true, [&](Database& db, int64_t id) -> LSTATUS {
    if (!db.Begin()) return ERROR_REGISTRY_IO_FAILED;
    if (!KeyExists(db, id)) {
      db.Rollback();
      return ERROR_KEY_DELETED;
    }
    LSTATUS rc = SetValueRow(db, id, name, type, bytes);
    if (rc != ERROR_SUCCESS) {
      db.Rollback();
      return rc;
    }
    return db.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  });
}

LSTATUS DeleteSubtree(HKEY key, const char* subKey, bool tree) {
  auto parts = SplitPath(subKey);
  if (!parts) return ERROR_INVALID_PARAMETER;
  if (!key) return ERROR_INVALID_HANDLE;
  if (Guarded(key, *parts) && !IsProcessElevated()) return ERROR_ACCESS_DENIED;
  if (!tree && parts->empty() && key->predefined) return ERROR_ACCESS_DENIED;
  return WithKey(key, false, [&](Database& db, int64_t base) -> LSTATUS {
    if (!db.Begin()) return ERROR_REGISTRY_IO_FAILED;
    LSTATUS rc = ERROR_SUCCESS;
    int64_t id = base;
    for (const auto& part : *parts) {
      id = FindChild(db, id, part, nullptr);
      if (!id) {
        rc = ERROR_FILE_NOT_FOUND;
        break;
      }
    }
    if (rc == ERROR_SUCCESS && !KeyExists(db, base)) rc = ERROR_KEY_DELETED;
    if (rc == ERROR_SUCCESS && !tree) {
      Stmt kids(db.handle(), "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1");
      kids.Bind(1, id);
      if (kids.Step() == SQLITE_ROW) rc = ERROR_ACCESS_DENIED;
    }
    if (rc == ERROR_SUCCESS) {
      // Everything below `id`; `id` itself too unless the whole tree below a kept key goes.
      bool keepSelf = tree && parts->empty();
      const char* tail = keepSelf ? " AND id<>?1" : "";
      std::string withTree =
          "WITH RECURSIVE t(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN t ON k.parent=t.id) ";
      Stmt dv(db.handle(), (withTree + "DELETE FROM vals WHERE key IN t" + (keepSelf ? " AND key<>?1" : "")).c_str());
      dv.Bind(1, id);
      Stmt dk(db.handle(), (withTree + "DELETE FROM keys WHERE id IN t" + tail).c_str());
      dk.Bind(1, id);
      if (dv.Step() != SQLITE_DONE || dk.Step() != SQLITE_DONE) rc = ERROR_REGISTRY_IO_FAILED;
    }
    if (rc != ERROR_SUCCESS) {
      db.Rollback();
      return rc;
    }
    return db.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  });
}

LSTATUS CopyName(const std::string& name, char* out, uint32_t* size) {
  if (!out || !size) return ERROR_INVALID_PARAMETER;
  if (*size < name.size() + 1) return ERROR_MORE_DATA;
  std::memcpy(out, name.c_str(), name.size() + 1);
  *size = static_cast<uint32_t>(name.size());
  return ERROR_SUCCESS;
}

std::string TextFromWideData(const uint8_t* data, uint32_t size) {
  std::u16string wide = Utf16FromLeBytes(std::string_view(reinterpret_cast<const char*>(data), data ? size : 0));
  while (!wide.empty() && wide.back() == 0) wide.pop_back();
  return Utf16ToUtf8(wide);
}

std::string Narrow(const char16_t* text) {
  return text ? Utf16ToUtf8(std::u16string_view(text, Utf16Length(text))) : std::string();
}

}  // namespace

HKEY const HKEY_CLASSES_ROOT = &gRoots[0];
HKEY const HKEY_CURRENT_USER = &gRoots[1];
HKEY const HKEY_LOCAL_MACHINE = &gRoots[2];
HKEY const HKEY_USERS = &gRoots[3];

std::string RegistryPath() { return PlatformDir() + "/registry.db"; }

LSTATUS RegOpenKeyEx(HKEY key, const char* subKey, uint32_t, uint32_t, HKEY* result) {
  return OpenOrCreate(key, subKey, false, result, nullptr);
}

LSTATUS RegCreateKeyEx(HKEY key, const char* subKey, uint32_t, const char*, uint32_t, uint32_t, const void*,
                       HKEY* result, uint32_t* disposition) {
  return OpenOrCreate(key, subKey, true, result, disposition);
}

LSTATUS RegQueryValueEx(HKEY key, const char* valueName, uint32_t*, uint32_t* type, uint8_t* data,
                        uint32_t* dataSize) {
  uint32_t t = REG_NONE;
  std::string bytes;
  LSTATUS rc = ReadValue(key, valueName ? valueName : "", t, bytes);
  if (rc != ERROR_SUCCESS) return rc;
  if (IsText(t)) bytes.push_back('\0');
  return CopyOut(bytes, t, type, data, dataSize);
}

LSTATUS RegSetValueEx(HKEY key, const char* valueName, uint32_t, uint32_t type, const uint8_t* data,
                      uint32_t dataSize) {
  std::string bytes(reinterpret_cast<const char*>(data), data ? dataSize : 0);
  if (IsText(type)) {
    size_t nul = bytes.find('\0');
    if (nul != std::string::npos) bytes.resize(nul);
  }
  return WriteValue(key, valueName ? valueName : "", type, std::move(bytes));
}

LSTATUS RegDeleteValue(HKEY key, const char* valueName) {
  std::string fold = Fold(valueName ? valueName : "");
  return WithKey(key, false, [&](Database& db, int64_t id) -> LSTATUS {
    if (!db.Begin()) return ERROR_REGISTRY_IO_FAILED;
    Stmt del(db.handle(), "DELETE FROM vals WHERE key=?1 AND fold=?2");
    del.Bind(1, id).Bind(2, fold);
    if (del.Step() != SQLITE_DONE) {
      db.Rollback();
      return ERROR_REGISTRY_IO_FAILED;
    }
    bool gone = sqlite3_changes(db.handle()) > 0;
    if (!db.Commit()) return ERROR_REGISTRY_IO_FAILED;
    return gone ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

LSTATUS RegDeleteKey(HKEY key, const char* subKey) { return DeleteSubtree(key, subKey, false); }
LSTATUS RegDeleteTree(HKEY key, const char* subKey) { return DeleteSubtree(key, subKey, true); }

LSTATUS RegEnumKeyEx(HKEY key, uint32_t index, char* name, uint32_t* nameSize, uint32_t*, char*, uint32_t*,
                     void*) {
  return WithKey(key, false, [&](Database& db, int64_t id) -> LSTATUS {
    Stmt q(db.handle(), "SELECT name FROM keys WHERE parent=?1 ORDER BY fold, id LIMIT 1 OFFSET ?2");
    q.Bind(1, id).Bind(2, static_cast<int64_t>(index));
    if (q.Step() != SQLITE_ROW) return ERROR_NO_MORE_ITEMS;
    return CopyName(q.Text(0), name, nameSize);
  });
}

LSTATUS RegEnumValue(HKEY key, uint32_t index, char* name, uint32_t* nameSize, uint32_t*, uint32_t* type,
                     uint8_t* data, uint32_t* dataSize) {
  std::string valueName, bytes;
  uint32_t t = REG_NONE;
  LSTATUS rc = WithKey(key, false, [&](Database& db, int64_t id) -> LSTATUS {
    Stmt q(db.handle(), "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY id LIMIT 1 OFFSET ?2");
    q.Bind(1, id).Bind(2, static_cast<int64_t>(index));
    if (q.Step() != SQLITE_ROW) return ERROR_NO_MORE_ITEMS;
    valueName = q.Text(0);
    t = static_cast<uint32_t>(q.Int(1));
    bytes = q.Text(2);
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  rc = CopyName(valueName, name, nameSize);
  if (rc != ERROR_SUCCESS) return rc;
  if (IsText(t)) bytes.push_back('\0');
  return CopyOut(bytes, t, type, data, dataSize);
}

LSTATUS RegQueryInfoKey(HKEY key, char*, uint32_t*, uint32_t*, uint32_t* subKeys, uint32_t* maxSubKeyLen,
                        uint32_t* maxClassLen, uint32_t* values, uint32_t* maxValueNameLen, uint32_t* maxValueLen,
                        uint32_t*, void*) {
  return WithKey(key, false, [&](Database& db, int64_t id) -> LSTATUS {
    Stmt k(db.handle(), "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0) FROM keys WHERE parent=?1");
    k.Bind(1, id);
    if (k.Step() != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
    Stmt v(db.handle(),
           "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0),"
           " coalesce(max(length(data) + (type IN (1, 2))), 0) FROM vals WHERE key=?1");
    v.Bind(1, id);
    if (v.Step() != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
    if (subKeys) *subKeys = static_cast<uint32_t>(k.Int(0));
    if (maxSubKeyLen) *maxSubKeyLen = static_cast<uint32_t>(k.Int(1));
    if (maxClassLen) *maxClassLen = 0;
    if (values) *values = static_cast<uint32_t>(v.Int(0));
    if (maxValueNameLen) *maxValueNameLen = static_cast<uint32_t>(v.Int(1));
    if (maxValueLen) *maxValueLen = static_cast<uint32_t>(v.Int(2));
    return ERROR_SUCCESS;
  });
}

LSTATUS RegCloseKey(HKEY key) {
  if (!key) return ERROR_INVALID_HANDLE;
  if (!key->predefined) delete key;
  return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyExW(HKEY key, const char16_t* subKey, uint32_t options, uint32_t access, HKEY* result) {
  std::string sub = Narrow(subKey);
  return RegOpenKeyEx(key, sub.c_str(), options, access, result);
}

LSTATUS RegCreateKeyExW(HKEY key, const char16_t* subKey, uint32_t reserved, const char16_t*, uint32_t options,
                        uint32_t access, const void* security, HKEY* result, uint32_t* disposition) {
  std::string sub = Narrow(subKey);
  return RegCreateKeyEx(key, sub.c_str(), reserved, nullptr, options, access, security, result, disposition);
}

LSTATUS RegQueryValueExW(HKEY key, const char16_t* valueName, uint32_t*, uint32_t* type, uint8_t* data,
                         uint32_t* dataSize) {
  uint32_t t = REG_NONE;
  std::string bytes;
  LSTATUS rc = ReadValue(key, Narrow(valueName), t, bytes);
  if (rc != ERROR_SUCCESS) return rc;
  if (IsText(t)) bytes = Utf16ToLeBytes(Utf8ToUtf16(bytes)) + std::string(2, '\0');
  return CopyOut(bytes, t, type, data, dataSize);
}

LSTATUS RegSetValueExW(HKEY key, const char16_t* valueName, uint32_t, uint32_t type, const uint8_t* data,
                       uint32_t dataSize) {
  std::string bytes = IsText(type) ? TextFromWideData(data, dataSize)
                                   : std::string(reinterpret_cast<const char*>(data), data ? dataSize : 0);
  if (IsText(type)) {
    size_t nul = bytes.find('\0');
    if (nul != std::string::npos) bytes.resize(nul);
  }
  return WriteValue(key, Narrow(valueName), type, std::move(bytes));
}

LSTATUS RegDeleteValueW(HKEY key, const char16_t* valueName) {
  std::string name = Narrow(valueName);
  return RegDeleteValue(key, name.c_str());
}

LSTATUS RegDeleteKeyW(HKEY key, const char16_t* subKey) {
  std::string sub = Narrow(subKey);
  return RegDeleteKey(key, sub.c_str());
}

std::string RegKeyName(HKEY key) { return key ? key->name : std::string(); }

HKEY RegRootFromName(const std::string& name) {
  std::string f = Fold(name);
  if (f == "hklm" || f == "hkey_local_machine") return HKEY_LOCAL_MACHINE;
  if (f == "hkcu" || f == "hkey_current_user") return HKEY_CURRENT_USER;
  if (f == "hku" || f == "hkey_users") return HKEY_USERS;
  if (f == "hkcr" || f == "hkey_classes_root") return HKEY_CLASSES_ROOT;
  return nullptr;
}

LSTATUS RegListValues(HKEY key, std::vector<RegValue>& out) {
  out.clear();
  return WithKey(key, false, [&](Database& db, int64_t id) -> LSTATUS {
    Stmt q(db.handle(), "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY id");
    q.Bind(1, id);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) out.push_back({q.Text(0), static_cast<uint32_t>(q.Int(1)), q.Text(2)});
    return rc == SQLITE_DONE ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  });
}

LSTATUS RegListSubKeys(HKEY key, std::vector<std::string>& out) {
  out.clear();
  return WithKey(key, false, [&](Database& db, int64_t id) -> LSTATUS {
    Stmt q(db.handle(), "SELECT name FROM keys WHERE parent=?1 ORDER BY fold, id");
    q.Bind(1, id);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) out.push_back(q.Text(0));
    return rc == SQLITE_DONE ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  });
}

LSTATUS RegGetString(HKEY root, const std::string& path, const std::string& name, std::string& out) {
  HKEY key = nullptr;
  LSTATUS rc = RegOpenKeyEx(root, path.c_str(), 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) return rc;
  uint32_t type = REG_NONE;
  std::string bytes;
  rc = ReadValue(key, name, type, bytes);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return rc;
  if (!IsText(type)) return ERROR_INVALID_PARAMETER;
  out = bytes;
  return ERROR_SUCCESS;
}

LSTATUS RegGetDword(HKEY root, const std::string& path, const std::string& name, uint32_t& out) {
  HKEY key = nullptr;
  LSTATUS rc = RegOpenKeyEx(root, path.c_str(), 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) return rc;
  uint32_t type = REG_NONE;
  std::string bytes;
  rc = ReadValue(key, name, type, bytes);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return rc;
  if (type != REG_DWORD || bytes.size() != 4) return ERROR_INVALID_PARAMETER;
  out = 0;
  for (int i = 3; i >= 0; --i) out = (out << 8) | static_cast<unsigned char>(bytes[i]);
  return ERROR_SUCCESS;
}

LSTATUS RegSetString(HKEY root, const std::string& path, const std::string& name, const std::string& value,
                     uint32_t type) {
  HKEY key = nullptr;
  LSTATUS rc = RegCreateKeyEx(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueEx(key, name.c_str(), 0, type, reinterpret_cast<const uint8_t*>(value.c_str()),
                     static_cast<uint32_t>(value.size() + 1));
  RegCloseKey(key);
  return rc;
}

LSTATUS RegSetDword(HKEY root, const std::string& path, const std::string& name, uint32_t value) {
  HKEY key = nullptr;
  LSTATUS rc = RegCreateKeyEx(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                      static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  rc = RegSetValueEx(key, name.c_str(), 0, REG_DWORD, bytes, 4);
  RegCloseKey(key);
  return rc;
}

}  // namespace ks::platform
