// The desktop program's log, over log4cpp.
//
// One process-wide CKSLog writes through log4cpp's root category to a rolling file
// appender "RollFileAppender" (by default <conf>/ks_log.log, rolled at 52,428,800 bytes,
// 10 backups named ks_log.log.01 ... ks_log.log.10) with the pattern "[%d][%p]%m%n". One
// Write adds one line
//   [<date>][<PRIORITY>][<tag> <thread id> <function> <line>] <message>
// Levels: 300 ERROR, 400 WARN, 600 INFO; every other level is DEBUG, which the root's INFO
// priority drops. Until AddAppenders succeeds, while disabled and after Shutdown every
// Write is ignored.
//
// Lifetime and threads: the object lives until the process ends (GetInstance never frees
// it), so threads that are never joined may write at any time. Write may run on any
// thread; lines are whole. Each line is handed to log4cpp under the object's lock, which
// Shutdown also takes, so no write runs while log4cpp closes its appenders; afterwards
// writes are ignored until AddAppenders runs again.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

namespace log4cpp {
class Appender;
class Category;
class PatternLayout;
}  // namespace log4cpp

class CKSLog {
 public:
  static constexpr int kMaxFileSize = 52428800;
  static constexpr int kMaxBackups = 10;
  static constexpr const char* kPattern = "[%d][%p]%m%n";
  static constexpr const char* kFileName = "ks_log.log";
  static constexpr int kNoMemory = 273;

  static CKSLog* GetInstance();
  // Disables writing and shuts log4cpp's appenders down (they are closed and freed).
  static void Shutdown();

  CKSLog();
  virtual ~CKSLog();
  CKSLog(const CKSLog&) = delete;
  CKSLog& operator=(const CKSLog&) = delete;

  // Ignored for null.
  void SetFileName(const char* name);
  std::string FileName() const;
  // Also write to the standard output (only for appenders added afterwards).
  void SetConsole(bool on);
  // While disabled nothing is written.
  void SetDisabled(bool disabled);
  bool IsDisabled() const { return disabled_.load(); }
  bool IsInitialised() const { return initialised_.load(); }

  // 1 on success, -1 without a file name, 273 when an appender or layout cannot be made.
  int AddAppenders();
  // The program's start: file <conf folder>/ks_log.log; when `enabled` is false (the
  // setting GlobalLoggerOn is not "true") no appender is added, so not even an empty file
  // is created, and the log stays disabled. Returns AddAppenders' result, or 1 when
  // disabled.
  int Start(const std::string& confFolder, bool enabled);

  void Write(const char* tag, int level, const char* function, int line, const char* format, ...)
      __attribute__((format(printf, 6, 7)));

 private:
  void DropAppendersLocked();

  // Held around set-up, shut-down and each hand-over to log4cpp (not while formatting); a
  // plain mutex: a readers-first lock let busy writers starve Shutdown.
  mutable std::mutex mutex_;
  log4cpp::Appender* consoleAppender_ = nullptr;
  log4cpp::Appender* fileAppender_ = nullptr;
  log4cpp::Category* root_ = nullptr;
  std::string fileName_;
  std::atomic<bool> console_{false};
  std::atomic<bool> initialised_{false};
  std::atomic<bool> disabled_{false};
  int priority_;
};

// Writes one INFO line tagged "LOG" with the calling function's qualified name given.
#define KS_DESKTOP_LOG(function, ...) \
  CKSLog::GetInstance()->Write("LOG", 600, (function), __LINE__, __VA_ARGS__)
