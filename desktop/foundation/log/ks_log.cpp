#include "desktop/foundation/log/ks_log.h"

#include <log4cpp/Category.hh>
#include <log4cpp/HierarchyMaintainer.hh>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/RollingFileAppender.hh>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

// printf rules; the buffer starts at 1024 bytes and grows to what the formatter asks for.
std::string FormatMessage(const char* format, va_list args) {
  std::vector<char> buf(1024);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(buf.data(), buf.size(), format, copy);
    va_end(copy);
    if (n < 0) {
      if (buf.size() >= (1u << 30)) return "";
      buf.assign(buf.size() * 2, '\0');
      continue;
    }
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.assign(static_cast<size_t>(n) + 1, '\0');
  }
}

log4cpp::PatternLayout* MakeLayout() {
  auto* layout = new (std::nothrow) log4cpp::PatternLayout();
  if (!layout) return nullptr;
  try {
    layout->setConversionPattern(CKSLog::kPattern);
  } catch (...) {
    delete layout;
    return nullptr;
  }
  return layout;
}

}  // namespace

CKSLog* CKSLog::GetInstance() {
  // Never freed: threads that are never joined may still write while the process exits.
  static CKSLog* instance = new CKSLog;
  return instance;
}

void CKSLog::Shutdown() {
  CKSLog* log = GetInstance();
  std::lock_guard<std::mutex> lock(log->mutex_);
  log->disabled_ = true;
  log->initialised_ = false;
  // Closes and frees every appender (and its layout) of every category.
  log4cpp::HierarchyMaintainer::getDefaultMaintainer().shutdown();
  log->fileAppender_ = nullptr;
  log->consoleAppender_ = nullptr;
}

CKSLog::CKSLog()
    : root_(&log4cpp::Category::getRoot()), priority_(log4cpp::Priority::INFO) {}

CKSLog::~CKSLog() = default;

void CKSLog::SetFileName(const char* name) {
  if (!name) return;
  std::lock_guard<std::mutex> lock(mutex_);
  fileName_ = name;
}

std::string CKSLog::FileName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fileName_;
}

void CKSLog::SetConsole(bool on) { console_ = on; }

void CKSLog::SetDisabled(bool disabled) { disabled_ = disabled; }

void CKSLog::DropAppendersLocked() {
  if (fileAppender_) root_->removeAppender(fileAppender_);  // frees it and its layout
  if (consoleAppender_) root_->removeAppender(consoleAppender_);
  fileAppender_ = nullptr;
  consoleAppender_ = nullptr;
}

int CKSLog::AddAppenders() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fileName_.empty()) return -1;
  DropAppendersLocked();
  initialised_ = false;

  auto* file = new (std::nothrow) log4cpp::RollingFileAppender(
      "RollFileAppender", fileName_, static_cast<size_t>(kMaxFileSize), kMaxBackups, true, 0644);
  log4cpp::PatternLayout* fileLayout = file ? MakeLayout() : nullptr;
  if (!file || !fileLayout) {
    delete file;
    return kNoMemory;
  }
  if (console_) {
    auto* console = new (std::nothrow) log4cpp::OstreamAppender("ConsoleAppender", &std::cout);
    log4cpp::PatternLayout* consoleLayout = console ? MakeLayout() : nullptr;
    if (!console || !consoleLayout) {
      delete console;
      delete file;
      delete fileLayout;
      return kNoMemory;
    }
    console->setLayout(consoleLayout);
    root_->addAppender(console);
    consoleAppender_ = console;
  }
  file->setLayout(fileLayout);
  root_->addAppender(file);
  fileAppender_ = file;
  root_->setPriority(priority_);
  initialised_ = true;
  return 1;
}

int CKSLog::Start(const std::string& confFolder, bool enabled) {
  SetFileName((confFolder + "/" + kFileName).c_str());
  SetConsole(false);
  if (!enabled) {
    SetDisabled(true);
    return 1;
  }
  int rc = AddAppenders();
  SetDisabled(false);
  return rc;
}

void CKSLog::Write(const char* tag, int level, const char* function, int line, const char* format, ...) {
  if (!tag || !function || !format) return;
  if (disabled_ || !initialised_) return;  // cheap test first; again under the lock

  va_list args;
  va_start(args, format);
  std::string message = FormatMessage(format, args);
  va_end(args);

  std::string text = "[";
  text += tag;
  text += ' ';
  text += std::to_string(static_cast<unsigned>(::gettid()));
  text += ' ';
  text += function;
  text += ' ';
  text += std::to_string(line);
  text += "] ";
  text += message;

  std::lock_guard<std::mutex> lock(mutex_);
  if (disabled_ || !initialised_) return;
  switch (level) {
    case 300:
      if (root_->isErrorEnabled()) root_->error(text);
      break;
    case 400:
      if (root_->isWarnEnabled()) root_->warn(text);
      break;
    case 600:
      if (root_->isInfoEnabled()) root_->info(text);
      break;
    default:
      root_->debug(text);
      break;
  }
}
