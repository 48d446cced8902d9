#include "common/db/CppSQLite3.h"

#include <cstdarg>
#include <cstring>
#include <utility>

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

[[noreturn]] void Throw(int code, const char* detail) { throw CppSQLite3Exception(code, detail); }

// SQLite's message for the connection's last error; "" without a connection.
[[noreturn]] void ThrowLast(sqlite3* db, int code) { Throw(code, db ? sqlite3_errmsg(db) : ""); }

}  // namespace

// ---- CppSQLite3Exception ----------------------------------------------------------------

CppSQLite3Exception::CppSQLite3Exception(int errorCode, const char* detail)
    : code_(errorCode),
      message_(sqlite3_mprintf("%s[%d]: %s", errorCodeAsString(errorCode), errorCode,
                               detail ? detail : "")) {}

CppSQLite3Exception::CppSQLite3Exception(const CppSQLite3Exception& other)
    : code_(other.code_), message_(sqlite3_mprintf("%s", other.errorMessage())) {}

CppSQLite3Exception& CppSQLite3Exception::operator=(const CppSQLite3Exception& other) {
  if (this != &other) {
    char* copy = sqlite3_mprintf("%s", other.errorMessage());
    sqlite3_free(message_);
    message_ = copy;
    code_ = other.code_;
  }
  return *this;
}

CppSQLite3Exception::~CppSQLite3Exception() { sqlite3_free(message_); }

const char* CppSQLite3Exception::errorCodeAsString(int errorCode) {
  switch (errorCode) {
    case SQLITE_OK: return "SQLITE_OK";
    case SQLITE_ERROR: return "SQLITE_ERROR";
    case SQLITE_INTERNAL: return "SQLITE_INTERNAL";
    case SQLITE_PERM: return "SQLITE_PERM";
    case SQLITE_ABORT: return "SQLITE_ABORT";
    case SQLITE_BUSY: return "SQLITE_BUSY";
    case SQLITE_LOCKED: return "SQLITE_LOCKED";
    case SQLITE_NOMEM: return "SQLITE_NOMEM";
    case SQLITE_READONLY: return "SQLITE_READONLY";
    case SQLITE_INTERRUPT: return "SQLITE_INTERRUPT";
    case SQLITE_IOERR: return "SQLITE_IOERR";
    case SQLITE_CORRUPT: return "SQLITE_CORRUPT";
    case SQLITE_NOTFOUND: return "SQLITE_NOTFOUND";
    case SQLITE_FULL: return "SQLITE_FULL";
    case SQLITE_CANTOPEN: return "SQLITE_CANTOPEN";
    case SQLITE_PROTOCOL: return "SQLITE_PROTOCOL";
    case SQLITE_EMPTY: return "SQLITE_EMPTY";
    case SQLITE_SCHEMA: return "SQLITE_SCHEMA";
    case SQLITE_TOOBIG: return "SQLITE_TOOBIG";
    case SQLITE_CONSTRAINT: return "SQLITE_CONSTRAINT";
    case SQLITE_MISMATCH: return "SQLITE_MISMATCH";
    case SQLITE_MISUSE: return "SQLITE_MISUSE";
    case SQLITE_NOLFS: return "SQLITE_NOLFS";
    case SQLITE_AUTH: return "SQLITE_AUTH";
    case SQLITE_FORMAT: return "SQLITE_FORMAT";
    case SQLITE_RANGE: return "SQLITE_RANGE";
    case SQLITE_ROW: return "SQLITE_ROW";
    case SQLITE_DONE: return "SQLITE_DONE";
    case CPPSQLITE_ERROR: return "CPPSQLITE_ERROR";
    default: return "UNKNOWN_ERROR";
  }
}

// ---- CppSQLite3Buffer -------------------------------------------------------------------

const char* CppSQLite3Buffer::format(const char* fmt, ...) {
  clear();
  va_list ap;
  va_start(ap, fmt);
  buf_ = sqlite3_vmprintf(fmt, ap);
  va_end(ap);
  return buf_;
}

void CppSQLite3Buffer::clear() {
  if (buf_) {
    sqlite3_free(buf_);
    buf_ = nullptr;
  }
}

// ---- CppSQLite3Query --------------------------------------------------------------------

CppSQLite3Query::CppSQLite3Query(sqlite3* db, sqlite3_stmt* stmt, bool eof)
    : db_(db), stmt_(stmt), eof_(eof), cols_(stmt ? sqlite3_column_count(stmt) : 0), own_(true) {}

CppSQLite3Query::CppSQLite3Query(CppSQLite3Query&& other) noexcept
    : db_(other.db_), stmt_(std::exchange(other.stmt_, nullptr)), eof_(other.eof_),
      cols_(other.cols_), own_(std::exchange(other.own_, false)) {}

CppSQLite3Query& CppSQLite3Query::operator=(CppSQLite3Query&& other) {
  if (this != &other) {
    finalize();
    db_ = other.db_;
    stmt_ = std::exchange(other.stmt_, nullptr);
    eof_ = other.eof_;
    cols_ = other.cols_;
    own_ = std::exchange(other.own_, false);
  }
  return *this;
}

CppSQLite3Query::~CppSQLite3Query() {
  try {
    finalize();
  } catch (...) {
  }
}

void CppSQLite3Query::checkStmt() const {
  if (!stmt_) Throw(CPPSQLITE_ERROR, "Null Virtual Machine pointer");
}

void CppSQLite3Query::checkIndex(int col) const {
  checkStmt();
  if (col < 0 || col > cols_ - 1) Throw(CPPSQLITE_ERROR, "Invalid field index requested");
}

int CppSQLite3Query::numFields() const {
  checkStmt();
  return cols_;
}

int CppSQLite3Query::fieldIndex(const char* field) const {
  checkStmt();
  if (field) {
    for (int i = 0; i < cols_; ++i) {
      const char* name = sqlite3_column_name(stmt_, i);
      if (name && std::strcmp(name, field) == 0) return i;
    }
  }
  Throw(CPPSQLITE_ERROR, "Invalid field name requested");
}

const char* CppSQLite3Query::fieldName(int col) const {
  checkIndex(col);
  return sqlite3_column_name(stmt_, col);
}

int CppSQLite3Query::fieldDataType(int col) const {
  checkIndex(col);
  return sqlite3_column_type(stmt_, col);
}

const char* CppSQLite3Query::fieldValue(int col) const {
  checkIndex(col);
  return reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
}

const char* CppSQLite3Query::fieldValue(const char* field) const { return fieldValue(fieldIndex(field)); }

bool CppSQLite3Query::fieldIsNull(int col) const { return fieldDataType(col) == SQLITE_NULL; }

bool CppSQLite3Query::fieldIsNull(const char* field) const { return fieldIsNull(fieldIndex(field)); }

int CppSQLite3Query::getIntField(int col, int nullValue) const {
  if (fieldDataType(col) == SQLITE_NULL) return nullValue;
  return sqlite3_column_int(stmt_, col);
}

int CppSQLite3Query::getIntField(const char* field, int nullValue) const {
  return getIntField(fieldIndex(field), nullValue);
}

int64_t CppSQLite3Query::getInt64Field(int col, int64_t nullValue) const {
  if (fieldDataType(col) == SQLITE_NULL) return nullValue;
  return sqlite3_column_int64(stmt_, col);
}

int64_t CppSQLite3Query::getInt64Field(const char* field, int64_t nullValue) const {
  return getInt64Field(fieldIndex(field), nullValue);
}

const char* CppSQLite3Query::getStringField(int col, const char* nullValue) const {
  const char* v = fieldValue(col);
  return v ? v : nullValue;
}

const char* CppSQLite3Query::getStringField(const char* field, const char* nullValue) const {
  return getStringField(fieldIndex(field), nullValue);
}

bool CppSQLite3Query::eof() const {
  checkStmt();
  return eof_;
}

void CppSQLite3Query::nextRow() {
  checkStmt();
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_DONE) {
    eof_ = true;
  } else if (rc != SQLITE_ROW) {
    // The message first: finalizing may change what the connection reports.
    CppSQLite3Exception e(rc, db_ ? sqlite3_errmsg(db_) : "");
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    own_ = false;
    throw e;
  }
}

void CppSQLite3Query::finalize() {
  if (stmt_ && own_) {
    int rc = sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    own_ = false;
    if (rc != SQLITE_OK) ThrowLast(db_, rc);
  }
}

// ---- CppSQLite3DB -----------------------------------------------------------------------

CppSQLite3DB::~CppSQLite3DB() {
  try {
    close();
  } catch (...) {
  }
}

void CppSQLite3DB::open(const char* file) {
  Lock lock(mutex_);
  // The connection is used from several threads; a single-threaded build would corrupt it.
  if (sqlite3_threadsafe() == 0) Throw(CPPSQLITE_ERROR, "SQLite library is not thread-safe");
  close();
  sqlite3* db = nullptr;
  int rc = sqlite3_open(file ? file : "", &db);
  if (rc != SQLITE_OK) {
    // sqlite3_open hands back a connection even when it fails; it must still be closed.
    CppSQLite3Exception e(rc, db ? sqlite3_errmsg(db) : "");
    sqlite3_close(db);
    throw e;
  }
  db_ = db;
  sqlite3_busy_timeout(db_, busyTimeoutMs_);
}

void CppSQLite3DB::close() {
  Lock lock(mutex_);
  if (!db_) return;
  if (sqlite3_close(db_) != SQLITE_OK) Throw(CPPSQLITE_ERROR, "Unable to close database");
  db_ = nullptr;
}

bool CppSQLite3DB::isOpen() const {
  Lock lock(mutex_);
  return db_ != nullptr;
}

void CppSQLite3DB::checkDB() const {
  if (!db_) Throw(CPPSQLITE_ERROR, "Database not open");
}

int CppSQLite3DB::execDML(const char* sql) {
  Lock lock(mutex_);
  checkDB();
  char* err = nullptr;
  int rc = sqlite3_exec(db_, sql ? sql : "", nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    CppSQLite3Exception e(rc, err ? err : sqlite3_errmsg(db_));
    sqlite3_free(err);
    throw e;
  }
  return sqlite3_changes(db_);
}

sqlite3_stmt* CppSQLite3DB::compile(const char* sql) {
  Lock lock(mutex_);
  checkDB();
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql ? sql : "", -1, &stmt, nullptr);
  if (rc != SQLITE_OK) ThrowLast(db_, rc);
  return stmt;
}

CppSQLite3Query CppSQLite3DB::execQuery(const char* sql) {
  Lock lock(mutex_);
  sqlite3_stmt* stmt = compile(sql);
  // A text of blanks or comments compiles to no statement at all.
  if (!stmt) Throw(CPPSQLITE_ERROR, "Null Virtual Machine pointer");
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return CppSQLite3Query(db_, stmt, true);
  if (rc == SQLITE_ROW) return CppSQLite3Query(db_, stmt, false);
  CppSQLite3Exception e(rc, sqlite3_errmsg(db_));
  sqlite3_finalize(stmt);
  throw e;
}

int CppSQLite3DB::execScalar(const char* sql) {
  Lock lock(mutex_);
  CppSQLite3Query q = execQuery(sql);
  if (q.eof() || q.numFields() < 1) Throw(CPPSQLITE_ERROR, "Invalid scalar query");
  return q.getIntField(0, 0);
}

void CppSQLite3DB::setBusyTimeout(int ms) {
  Lock lock(mutex_);
  busyTimeoutMs_ = ms;
  if (db_) sqlite3_busy_timeout(db_, ms);
}

// ---- CppSQLite3Transaction --------------------------------------------------------------

CppSQLite3Transaction::CppSQLite3Transaction(CppSQLite3DB& db) : db_(db) {
  db_.mutex().lock();
  locked_ = true;
}

CppSQLite3Transaction::~CppSQLite3Transaction() { rollback(nullptr); }

void CppSQLite3Transaction::begin() {
  db_.execDML("begin transaction;");
  active_ = true;
}

void CppSQLite3Transaction::commit() {
  db_.execDML("commit transaction;");
  active_ = false;
  release();
}

int CppSQLite3Transaction::rollback(std::string* error) noexcept {
  int rc = 0;
  if (active_) {
    active_ = false;
    try {
      db_.execDML("rollback transaction;");
    } catch (const CppSQLite3Exception& e) {
      rc = e.errorCode();
      if (error) {
        try {
          *error = e.errorMessage();
        } catch (...) {
        }
      }
    }
  }
  release();
  return rc;
}

void CppSQLite3Transaction::release() noexcept {
  if (locked_) {
    locked_ = false;
    db_.mutex().unlock();
  }
}
