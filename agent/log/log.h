// The agent's one text log.
//
// One process-wide CLog (g_Log) writes lines of the form
//   [YYYY-mm-dd HH:MM:SS][module function line][thread id][LEVEL] message
// into <root>/log/Log.txt. Lines whose level is above the threshold are dropped; until
// Open() succeeds every call is a no-op. Past 5 MB the file is renamed to
// Log.txt.YYYYmmddHHMMSS (never over an existing file) and a new one is started. Every line
// is flushed at once so a crash loses nothing already logged. Thread-safe.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

enum LogLevel : unsigned {
  LOG_LEVEL_ERROR = 300,
  LOG_LEVEL_WARNING = 400,
  LOG_LEVEL_INFO = 600,
  LOG_LEVEL_DEBUG = 700,
};

class CLog {
 public:
  static constexpr long kMaxSize = 0x500000;  // 5 MB

  CLog();
  virtual ~CLog();
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

  // Sets path, threshold and console echo and opens the file for appending.
  // False when the path is empty or the file cannot be opened.
  bool Open(const std::string& path, unsigned threshold, bool echo);
  void Close();
  bool IsOpen() const { return file_.load() != nullptr; }
  unsigned Threshold() const { return threshold_.load(); }
  void SetThreshold(unsigned t) { threshold_.store(t); }
  const std::string& Path() const { return path_; }

  void Print(const char* module, unsigned level, const char* function, int line,
             const char* format, ...) __attribute__((format(printf, 6, 7)));

  static const char* GetLevelName(unsigned level);

 private:
  std::mutex mutex_;
  std::atomic<FILE*> file_{nullptr};
  std::atomic<unsigned> threshold_{LOG_LEVEL_INFO};
  std::atomic<bool> echo_{false};
  std::string path_;
};

// The process-wide log; it is never destroyed, so threads may log until the process ends.
extern CLog& g_Log;

#define KS_LOG(module, level, ...) g_Log.Print((module), (level), __func__, __LINE__, __VA_ARGS__)
#define KS_LOG_ERROR(module, ...) KS_LOG(module, LOG_LEVEL_ERROR, __VA_ARGS__)
#define KS_LOG_WARNING(module, ...) KS_LOG(module, LOG_LEVEL_WARNING, __VA_ARGS__)
#define KS_LOG_INFO(module, ...) KS_LOG(module, LOG_LEVEL_INFO, __VA_ARGS__)
#define KS_LOG_DEBUG(module, ...) KS_LOG(module, LOG_LEVEL_DEBUG, __VA_ARGS__)
