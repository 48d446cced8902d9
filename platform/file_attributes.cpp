#include "platform/file_attributes.h"

#include <errno.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/service_table.h"

namespace ks::platform {
namespace {

const char* kSchema = "CREATE TABLE IF NOT EXISTS attributes(path TEXT PRIMARY KEY, bits INTEGER NOT NULL)";

std::string KeyOf(const std::string& path) {
  std::error_code ec;
  auto canonical = std::filesystem::canonical(path, ec);
  if (!ec) return canonical.string();
  return std::filesystem::absolute(path, ec).lexically_normal().string();
}

// One short-lived connection per call: attribute changes are rare.
class Store {
 public:
  explicit Store(bool create) {
    std::string path = AttributeStorePath();
    if (create) {
      std::error_code ec;
      std::filesystem::create_directories(PlatformDir(), ec);
    }
    int flags = create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
      return;
    }
    sqlite3_busy_timeout(db_, 10000);
    if (create && sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
    }
  }
  ~Store() {
    if (db_) sqlite3_close(db_);
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  sqlite3* db() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

uint32_t StoredBits(const std::string& key) {
  Store store(false);
  if (!store.db()) return 0;
  sqlite3_stmt* q = nullptr;
  uint32_t bits = 0;
  if (sqlite3_prepare_v2(store.db(), "SELECT bits FROM attributes WHERE path=?1", -1, &q, nullptr) == SQLITE_OK) {
    sqlite3_bind_text(q, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(q) == SQLITE_ROW) bits = static_cast<uint32_t>(sqlite3_column_int64(q, 0));
  }
  sqlite3_finalize(q);
  return bits & kStoredAttributes;
}

}  // namespace

std::set<std::string> EntriesWithAttributes(const std::string& folder, uint32_t bits) {
  std::set<std::string> names;
  bits &= kStoredAttributes;
  if (folder.empty() || bits == 0) return names;
  std::string prefix = KeyOf(folder);
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  // Every key that starts with prefix sorts between it and prefix with its "/" raised by one.
  std::string end = prefix;
  end.back() = static_cast<char>('/' + 1);
  Store store(false);
  if (!store.db()) return names;
  sqlite3_stmt* q = nullptr;
  if (sqlite3_prepare_v2(store.db(), "SELECT path, bits FROM attributes WHERE path >= ?1 AND path < ?2", -1, &q,
                         nullptr) == SQLITE_OK) {
    sqlite3_bind_text(q, 1, prefix.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(q, 2, end.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(q) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(q, 0);
      const std::string key(text ? reinterpret_cast<const char*>(text) : "",
                            static_cast<size_t>(sqlite3_column_bytes(q, 0)));
      if (key.compare(0, prefix.size(), prefix) != 0) continue;
      const std::string name = key.substr(prefix.size());
      if (!name.empty() && name.find('/') == std::string::npos &&
          (static_cast<uint32_t>(sqlite3_column_int64(q, 1)) & bits) != 0)
        names.insert(name);
    }
  }
  sqlite3_finalize(q);
  return names;
}

std::string AttributeStorePath() { return PlatformDir() + "/attributes.db"; }

uint32_t GetFileAttributes(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return INVALID_FILE_ATTRIBUTES;
  uint32_t bits = StoredBits(KeyOf(path));
  if (S_ISDIR(st.st_mode)) bits |= FILE_ATTRIBUTE_DIRECTORY;
  return bits ? bits : FILE_ATTRIBUTE_NORMAL;
}

int ChangeFileAttributes(const std::string& path, uint32_t set, uint32_t clear) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return ENOENT;
  std::string key = KeyOf(path);
  Store store(true);
  if (!store.db()) return EIO;
  sqlite3* db = store.db();
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return EIO;
  uint32_t bits = 0;
  sqlite3_stmt* q = nullptr;
  bool ok = sqlite3_prepare_v2(db, "SELECT bits FROM attributes WHERE path=?1", -1, &q, nullptr) == SQLITE_OK;
  if (ok) {
    sqlite3_bind_text(q, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(q) == SQLITE_ROW) bits = static_cast<uint32_t>(sqlite3_column_int64(q, 0));
  }
  sqlite3_finalize(q);
  bits = ((bits | set) & ~clear) & kStoredAttributes;
  sqlite3_stmt* w = nullptr;
  ok = ok && sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO attributes(path, bits) VALUES(?1, ?2)", -1, &w, nullptr) ==
                 SQLITE_OK;
  if (ok) {
    sqlite3_bind_text(w, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(w, 2, bits);
    ok = sqlite3_step(w) == SQLITE_DONE;
  }
  sqlite3_finalize(w);
  if (!ok || sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return EIO;
  }
  return 0;
}

}  // namespace ks::platform
