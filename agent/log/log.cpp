#include "agent/log/log.h"

#include <cstdarg>

#include "agent/util/util.h"
#include "platform/thread.h"

CLog& g_Log = *new CLog();  // deliberately never freed: see the header

CLog::CLog() = default;

CLog::~CLog() { Close(); }

bool CLog::Open(const std::string& path, unsigned threshold, bool echo) {
  std::lock_guard<std::mutex> lock(mutex_);
  threshold_.store(threshold);
  echo_.store(echo);
  path_ = path;
  if (path.empty()) return false;
  FILE* f = std::fopen(path.c_str(), "ae");
  if (!f) return false;
  FILE* old = file_.exchange(f);
  if (old) std::fclose(old);
  return true;
}

void CLog::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  FILE* f = file_.exchange(nullptr);
  if (f) std::fclose(f);
}

const char* CLog::GetLevelName(unsigned level) {
  switch (level) {
    case LOG_LEVEL_ERROR: return "ERROR";
    case LOG_LEVEL_WARNING: return "WARNING";
    case LOG_LEVEL_INFO: return "INFO";
    case LOG_LEVEL_DEBUG: return "DEBUG";
    default: return "OTHER";
  }
}

void CLog::Print(const char* module, unsigned level, const char* function, int line,
                 const char* format, ...) {
  if (level > threshold_.load()) return;
  if (!format || !module || !function || !file_.load()) return;

  va_list ap;
  va_start(ap, format);
  std::string message = FormatString(format, ap);
  va_end(ap);

  std::string text = "[" + GetCurTimeStr() + "][" + module + " " + function + " " +
                     std::to_string(line) + "][" + std::to_string(ks::platform::CurrentThreadId()) +
                     "][" + GetLevelName(level) + "] " + message + "\n";

  {
    std::lock_guard<std::mutex> lock(mutex_);
    FILE* f = file_.load();
    if (!f) return;  // another thread's reopen failed meanwhile
    std::fseek(f, 0, SEEK_END);
    long pos = std::ftell(f);
    if (pos > kMaxSize) {
      std::string stamp;
      std::string t = GetCurTimeStr();
      ReplaceAll(t, "-", stamp, "");
      ReplaceAll(stamp, ":", t, "");
      ReplaceAll(t, " ", stamp, "");
      std::fclose(f);
      // A rotated file is never overwritten: a second rotation in the same second fails to
      // rename and the lines go on into the same file.
      RenameFileIfExist(path_ + "." + stamp, path_);
      f = std::fopen(path_.c_str(), "ae");
      // file_ keeps the closed stream's value until here: other threads only test it for
      // null outside the lock and read it again under the lock, so their lines wait for the
      // new file instead of being dropped while the rotation runs.
      file_.store(f);
      if (!f) return;
    }
    std::fwrite(text.data(), 1, text.size(), f);
    std::fflush(f);
  }
  if (echo_.load()) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
}
