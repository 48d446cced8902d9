// Thin C++ wrapper over the SQLite C interface, shared by the agent and the command program.
//
// CppSQLite3DB is one connection; CppSQLite3Query walks the rows of one statement;
// CppSQLite3Buffer formats SQL with SQLite's own printf (%Q quotes a text and doubles its
// single quotes, and gives NULL for a null pointer); CppSQLite3Exception carries every
// failure, nothing here reports an error by a return value. Codes are SQLite's primary
// result codes, or CPPSQLITE_ERROR (1000) for the wrapper's own errors; the message reads
// "<code name>[<code>]: <detail>", e.g. "CPPSQLITE_ERROR[1000]: Database not open".
//
// Concurrency. Each CppSQLite3DB owns one recursive mutex (mutex()). Callers hold it for a
// whole transaction or a whole row walk, so that one thread's statements never land in
// another thread's transaction on the shared connection; CppSQLite3Transaction does this.
// The wrapper also takes it inside open, close, execDML, execQuery, execScalar and compile,
// so a connection is never closed or replaced under a running call, and a query that still
// holds a statement makes close fail ("Unable to close database") instead of freeing the
// connection under it. It is recursive so a thread that holds it may read or write again.
//
// This library depends on SQLite only (no agent log or state).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>

// Code of the wrapper's own errors.
constexpr int CPPSQLITE_ERROR = 1000;

class CppSQLite3Exception {
 public:
  // `detail` may be null (read as "").
  CppSQLite3Exception(int errorCode, const char* detail);
  CppSQLite3Exception(const CppSQLite3Exception& other);
  CppSQLite3Exception& operator=(const CppSQLite3Exception& other);
  virtual ~CppSQLite3Exception();

  int errorCode() const { return code_; }
  // Never null ("" when memory ran out while formatting).
  const char* errorMessage() const { return message_ ? message_ : ""; }

  // "SQLITE_OK" ... "SQLITE_RANGE", "SQLITE_ROW", "SQLITE_DONE", "CPPSQLITE_ERROR",
  // any other code "UNKNOWN_ERROR".
  static const char* errorCodeAsString(int errorCode);

 private:
  int code_;
  char* message_;  // from sqlite3_mprintf, freed with sqlite3_free
};

// Text made by sqlite3_vmprintf; it lives until the next format, clear or destruction.
class CppSQLite3Buffer {
 public:
  CppSQLite3Buffer() = default;
  CppSQLite3Buffer(const CppSQLite3Buffer&) = delete;
  CppSQLite3Buffer& operator=(const CppSQLite3Buffer&) = delete;
  virtual ~CppSQLite3Buffer() { clear(); }

  // SQLite's printf conversions (%Q, %q, %d, %lld, %s ...). Null only when memory ran out.
  const char* format(const char* fmt, ...);
  void clear();
  operator const char*() const { return buf_; }

 private:
  char* buf_ = nullptr;
};

class CppSQLite3Query {
 public:
  CppSQLite3Query() = default;
  // Owns `stmt` (finalizes it); `eof` says whether the first step found no row.
  CppSQLite3Query(sqlite3* db, sqlite3_stmt* stmt, bool eof);
  // Moving hands the statement over; the source no longer finalizes anything.
  CppSQLite3Query(CppSQLite3Query&& other) noexcept;
  CppSQLite3Query& operator=(CppSQLite3Query&& other);
  CppSQLite3Query(const CppSQLite3Query&) = delete;
  CppSQLite3Query& operator=(const CppSQLite3Query&) = delete;
  // finalize(), errors swallowed.
  virtual ~CppSQLite3Query();

  int numFields() const;
  // Exact, case-sensitive match of the column name. Throws 1000 "Invalid field name
  // requested" (or "Null Virtual Machine pointer" without a statement).
  int fieldIndex(const char* field) const;
  const char* fieldName(int col) const;
  // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB or SQLITE_NULL. A column index
  // outside 0..numFields()-1 throws 1000 "Invalid field index requested".
  int fieldDataType(int col) const;

  // Text of the column in the current row, null for NULL; valid until the next step.
  const char* fieldValue(int col) const;
  const char* fieldValue(const char* field) const;
  bool fieldIsNull(int col) const;
  bool fieldIsNull(const char* field) const;
  int getIntField(int col, int nullValue = 0) const;
  int getIntField(const char* field, int nullValue = 0) const;
  int64_t getInt64Field(int col, int64_t nullValue = 0) const;
  int64_t getInt64Field(const char* field, int64_t nullValue = 0) const;
  const char* getStringField(int col, const char* nullValue = "") const;
  const char* getStringField(const char* field, const char* nullValue = "") const;

  bool eof() const;
  // One step. Any result but a row or the end finalizes the statement and throws.
  void nextRow();
  void finalize();

 private:
  void checkStmt() const;
  void checkIndex(int col) const;

  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  bool eof_ = true;
  int cols_ = 0;
  bool own_ = false;
};

class CppSQLite3DB {
 public:
  static constexpr int kDefaultBusyTimeoutMs = 60000;

  CppSQLite3DB() = default;
  CppSQLite3DB(const CppSQLite3DB&) = delete;
  CppSQLite3DB& operator=(const CppSQLite3DB&) = delete;
  // close(), errors swallowed.
  virtual ~CppSQLite3DB();

  // Opens read-write, creating the file when missing, and applies the busy time-out. An
  // open connection is closed first. Failure throws SQLite's code and message.
  void open(const char* file);
  // Nothing when closed. When SQLite refuses (a query still holds a statement) throws
  // 1000 "Unable to close database" and stays open.
  void close();
  bool isOpen() const;

  // Runs the text (several statements allowed); rows changed by the last one.
  int execDML(const char* sql);
  // Compiles the first statement and steps once; the query stands on the first row or is
  // at its end at once.
  CppSQLite3Query execQuery(const char* sql);
  // First column of the first row as an int (NULL reads 0). No row or no column throws
  // 1000 "Invalid scalar query".
  int execScalar(const char* sql);
  // Prepared statement for the first statement of the text; the caller finalizes it.
  sqlite3_stmt* compile(const char* sql);

  // Takes effect at once when open, else at the next open.
  void setBusyTimeout(int ms);
  int busyTimeout() const { return busyTimeoutMs_; }

  // Hold for a whole transaction or row walk (see the file comment).
  std::recursive_mutex& mutex() { return mutex_; }

 private:
  void checkDB() const;

  mutable std::recursive_mutex mutex_;
  sqlite3* db_ = nullptr;
  int busyTimeoutMs_ = kDefaultBusyTimeoutMs;
};

// One write transaction on the shared connection. The constructor waits (no time-out) for
// the database mutex; begin() runs "begin transaction;", commit() "commit transaction;"
// and releases the mutex. rollback() runs "rollback transaction;" when a transaction was
// begun and not committed, and releases the mutex whatever the rollback did; the
// destructor does the same for a transaction left open. The mutex is released on every
// path, also when the rollback itself throws (e.g. SQLite already rolled back).
//
//   CppSQLite3Transaction txn(db);
//   try { txn.begin(); db.execDML(...); txn.commit(); }
//   catch (CppSQLite3Exception& e) { txn.rollback(); ... }
class CppSQLite3Transaction {
 public:
  explicit CppSQLite3Transaction(CppSQLite3DB& db);
  CppSQLite3Transaction(const CppSQLite3Transaction&) = delete;
  CppSQLite3Transaction& operator=(const CppSQLite3Transaction&) = delete;
  ~CppSQLite3Transaction();

  void begin();
  void commit();
  // 0, or the code of the failed rollback with its message in *error (when given).
  int rollback(std::string* error = nullptr) noexcept;
  bool holdsMutex() const { return locked_; }

 private:
  void release() noexcept;

  CppSQLite3DB& db_;
  bool locked_ = false;
  bool active_ = false;  // begun, neither committed nor rolled back
};
