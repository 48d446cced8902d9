#include "desktop/foundation/config/ks_config.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/util/ks_util.h"
#include "desktop/foundation/web/web.h"
#include "platform/profile.h"

namespace {

// Copies `from` to `to` unless `to` exists (never overwrites); a partial copy is removed.
bool CopyNew(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) {
    ::close(in);
    return false;
  }
  bool ok = true;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buf + done, static_cast<size_t>(n - done));
      if (w <= 0) {
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  ::close(in);
  if (::close(out) != 0) ok = false;
  if (!ok) ::unlink(to.c_str());
  return ok;
}

}  // namespace

CKSConfig* CKSConfig::GetInstance() {
  // Never freed: threads that are never joined may still read settings at exit.
  static CKSConfig* instance = [] {
    auto* config = new CKSConfig;
    ks::desktop::CLanguages::SetConfiguredLanguageHook([] { return GetInstance()->ConfiguredLanguage(); });
    return config;
  }();
  return instance;
}

CKSConfig::CKSConfig() { loaded_ = Load(); }

std::string CKSConfig::FilePath() { return CKSUtil::GetConfigFolder() + "/" + kFileName; }

std::string CKSConfig::DefaultUpdateUrl() { return ks::desktop::web::PageUrl(ks::desktop::web::kUpdatePath); }

const std::vector<std::string>& CKSConfig::DefaultFiles() {
  static const std::vector<std::string> files = {"banner_ch.gif", "banner_en.gif", "banner_tw.gif",
                                                 "HtmlDlg.htm", "ks_config.cfg"};
  return files;
}

bool CKSConfig::DefaultFilesExist() const {
  const std::string roaming = CKSUtil::GetRoamingFolder();
  for (const std::string& f : DefaultFiles())
    if (!CKSUtil::FileExists((roaming + "/" + f).c_str())) return false;
  return true;
}

bool CKSConfig::ConfigFilesExist() const {
  const std::string conf = CKSUtil::GetConfigFolder();
  for (const std::string& f : DefaultFiles())
    if (!CKSUtil::FileExists((conf + "/" + f).c_str())) return false;
  return true;
}

bool CKSConfig::Load() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!ConfigFilesExist()) return false;
  ReadLanguage();
  ReadRemPass(false);
  ReadSyncOn(false);
  ReadSyncAsPrimary(false);
  ReadSyncPath(false);
  ReadGlobalLoggerOn(false);
  ReadDebugOn();
  loaded_ = true;
  return true;
}

bool CKSConfig::CopyDefaultFiles() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!DefaultFilesExist()) return false;
  const std::string conf = CKSUtil::GetConfigFolder();
  if (!CKSUtil::FolderExists(conf.c_str())) CKSUtil::CreateFolder(conf.c_str());
  const std::string roaming = CKSUtil::GetRoamingFolder();
  for (const std::string& f : DefaultFiles()) {
    const std::string target = conf + "/" + f;
    if (!CKSUtil::FileExists(target.c_str())) CopyNew(roaming + "/" + f, target);
  }
  return ConfigFilesExist();
}

std::string CKSConfig::ReadKey(const std::string& key, const std::string& defaultValue) {
  char buf[kMaxValue + 1];
  ks::platform::GetPrivateProfileStringA(kSection, key.c_str(), defaultValue.c_str(), buf, sizeof buf,
                                         FilePath().c_str());
  return buf;
}

bool CKSConfig::WriteKey(const std::string& key, const std::string& value) {
  return ks::platform::WritePrivateProfileStringA(kSection, key.c_str(), value.c_str(), FilePath().c_str()) != 0;
}

std::string CKSConfig::ReadInto(std::string& member, const char* key, const std::string& defaultValue) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  member = ReadKey(key, defaultValue);
  return member;
}

bool CKSConfig::WriteFrom(std::string& member, const char* key, const std::string& value) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  member = value;
  return WriteKey(key, value);
}

std::string CKSConfig::ReadLanguage() { return ReadInto(language_, "Language", "-1"); }

std::string CKSConfig::ReadDebugOn() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  ReadInto(debugOnText_, "DebugOn", "false");
  debugOn_ = debugOnText_ == "true";
  return debugOnText_;
}

std::string CKSConfig::ReadGlobalLoggerOn(bool) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  ReadInto(globalLoggerOnText_, "GlobalLoggerOn", "true");
  globalLoggerOn_ = globalLoggerOnText_ == "true";
  return globalLoggerOnText_;
}

std::string CKSConfig::ReadUpdateURL() { return ReadInto(updateUrl_, "UpdateURL", DefaultUpdateUrl()); }
std::string CKSConfig::ReadRemPass(bool) { return ReadInto(remPass_, "RemPass", "false"); }
std::string CKSConfig::ReadSyncOn(bool) { return ReadInto(syncOn_, "SyncOn", "false"); }
std::string CKSConfig::ReadSyncAsPrimary(bool) { return ReadInto(syncAsPrimary_, "SyncAsPrimary", "false"); }

std::string CKSConfig::ReadSyncPath(bool) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  // Whole: a cut folder path would name another folder.
  syncPath_ = ks::platform::ReadProfileValue(FilePath(), kSection, "SyncPath").value_or("");
  return syncPath_;
}

bool CKSConfig::WriteLanguage(const std::string& value, bool) { return WriteFrom(language_, "Language", value); }
bool CKSConfig::WriteRemPass(const std::string& value, bool) { return WriteFrom(remPass_, "RemPass", value); }
bool CKSConfig::WriteSyncOn(const std::string& value, bool) { return WriteFrom(syncOn_, "SyncOn", value); }
bool CKSConfig::WriteSyncAsPrimary(const std::string& value, bool) {
  return WriteFrom(syncAsPrimary_, "SyncAsPrimary", value);
}

bool CKSConfig::WriteSyncPath(const std::string& value, bool) {
  if (value.size() > kMaxValue) {
    CKSLog::GetInstance()->Write("LOG", 600, "CKSConfig::WriteSyncPath", __LINE__,
                                 "SyncPath of %zu bytes refused (at most %zu)", value.size(), kMaxValue);
    return false;
  }
  return WriteFrom(syncPath_, "SyncPath", value);
}

#define KS_CONFIG_GETTER(Name, member)                      \
  std::string CKSConfig::Name() const {                     \
    std::lock_guard<std::recursive_mutex> guard(lock_);     \
    return member;                                          \
  }
KS_CONFIG_GETTER(Language, language_)
KS_CONFIG_GETTER(RemPass, remPass_)
KS_CONFIG_GETTER(SyncAsPrimary, syncAsPrimary_)
KS_CONFIG_GETTER(SyncOn, syncOn_)
KS_CONFIG_GETTER(SyncPath, syncPath_)
KS_CONFIG_GETTER(GlobalLoggerOn, globalLoggerOnText_)
KS_CONFIG_GETTER(UpdateURL, updateUrl_)
KS_CONFIG_GETTER(DebugOn, debugOnText_)
#undef KS_CONFIG_GETTER

bool CKSConfig::IsSyncPrimary() { return ReadSyncAsPrimary(true).find("true") != std::string::npos; }
bool CKSConfig::IsSyncOn() { return ReadSyncOn(true) == "true"; }

std::optional<std::string> CKSConfig::ConfiguredLanguage() const {
  if (!loaded_) return std::nullopt;
  return Language();
}
