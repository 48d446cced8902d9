// The desktop program's settings: the INI file <conf>/ks_config.cfg, section "ks_config".
//
// Keys and the value a read gives when the key is missing:
//   Language        "-1"    user-interface language: "0" simplified Chinese, "2" traditional
//                           Chinese, other values >= 0 English, negative: the system's
//   RemPass         "false" the log-in dialog remembers the password
//   SyncAsPrimary   "false" this PC is the primary side of the synchronisation (the value
//                           contains "true")
//   SyncOn          "false" synchronisation switched on during this run
//   SyncPath        ""      the synchronised folder
//   GlobalLoggerOn  "true"  the desktop log is on
//   UpdateURL       the web server (desktop/foundation/web: KESTYL_WEB_URL) + "/kestyl/update-pc.html"
//   DebugOn         "false" windows and services write their log lines
// Yes/no values count as yes only when they are exactly "true" ("True" is no). A value is
// read into 512 bytes, so longer values come back cut to 511 bytes; SyncPath is the
// exception: it is read whole, and a write of more than 511 bytes is refused (and logged),
// since a cut folder path would name another folder.
//
// Default files: "banner_ch.gif", "banner_en.gif", "banner_tw.gif", "HtmlDlg.htm" and
// "ks_config.cfg", whose master copies lie in <program folder>/roaming. Load fails while any
// of them is missing from the configuration folder; CopyDefaultFiles puts the missing ones
// there (never overwriting a file that is there).
//
// Threads and lifetime: one process-wide object (GetInstance), created and loaded on first
// use and never destroyed, so threads that are never joined may use it until the process
// ends. Every file access and every member runs under one recursive lock; readers and
// getters hand out copies. The `lock` flags of the readers and writers are kept for the
// callers' sake: the lock is re-entrant and always taken, so false is as safe as true.
// INI writes are atomic (platform/profile.h).
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CKSConfig {
 public:
  static constexpr const char* kFileName = "ks_config.cfg";
  static constexpr const char* kSection = "ks_config";
  static constexpr size_t kMaxValue = 511;

  // The process-wide object; its creation also makes it the language tables' source of the
  // configured language (CLanguages::SetConfiguredLanguageHook).
  static CKSConfig* GetInstance();

  // Loads at once (IsLoaded tells the result).
  CKSConfig();
  CKSConfig(const CKSConfig&) = delete;
  CKSConfig& operator=(const CKSConfig&) = delete;

  // <conf>/ks_config.cfg, built anew at each call.
  static std::string FilePath();
  static std::string DefaultUpdateUrl();
  static const std::vector<std::string>& DefaultFiles();

  bool IsLoaded() const { return loaded_.load(); }
  // False (values unchanged) while a default file is missing from the configuration
  // folder; else reads Language, RemPass, SyncOn, SyncAsPrimary, SyncPath, GlobalLoggerOn
  // and DebugOn and returns true.
  bool Load();
  // Copies the missing default files from the roaming folder (creating the configuration
  // folder when needed; existing files are never overwritten). False without doing
  // anything when a master copy is missing; else whether all default files are in place.
  bool CopyDefaultFiles();
  bool DefaultFilesExist() const;
  bool ConfigFilesExist() const;

  // Each reads its key into its member and returns a copy of it.
  std::string ReadLanguage();
  std::string ReadDebugOn();
  std::string ReadGlobalLoggerOn(bool lock);
  std::string ReadUpdateURL();
  std::string ReadRemPass(bool lock);
  std::string ReadSyncOn(bool lock);
  std::string ReadSyncAsPrimary(bool lock);
  std::string ReadSyncPath(bool lock);

  // Each sets its member and writes the key; true when the file took it. WriteSyncPath
  // refuses (false, nothing changed) a value longer than 511 bytes.
  bool WriteLanguage(const std::string& value, bool lock);
  bool WriteRemPass(const std::string& value, bool lock);
  bool WriteSyncOn(const std::string& value, bool lock);
  bool WriteSyncAsPrimary(const std::string& value, bool lock);
  bool WriteSyncPath(const std::string& value, bool lock);

  // The members as last read or written ("" before the first read).
  std::string Language() const;
  std::string RemPass() const;
  std::string SyncAsPrimary() const;
  std::string SyncOn() const;
  std::string SyncPath() const;
  std::string GlobalLoggerOn() const;
  std::string UpdateURL() const;
  std::string DebugOn() const;
  // DebugOn / GlobalLoggerOn exactly "true", as of the last read (lock-free).
  bool IsDebugOn() const { return debugOn_.load(); }
  bool IsGlobalLoggerOn() const { return globalLoggerOn_.load(); }
  // SyncAsPrimary contains "true"; SyncOn is exactly "true" (both read from the file).
  bool IsSyncPrimary();
  bool IsSyncOn();

  // The configured language for the language tables: the Language member when the
  // configuration is loaded, else nullopt.
  std::optional<std::string> ConfiguredLanguage() const;

  // Reads or writes any key of the section (the 511 cut applies to reads).
  std::string ReadKey(const std::string& key, const std::string& defaultValue);
  bool WriteKey(const std::string& key, const std::string& value);

 private:
  std::string ReadInto(std::string& member, const char* key, const std::string& defaultValue);
  bool WriteFrom(std::string& member, const char* key, const std::string& value);

  mutable std::recursive_mutex lock_;
  std::atomic<bool> loaded_{false};
  std::atomic<bool> debugOn_{false};
  std::atomic<bool> globalLoggerOn_{false};
  std::string language_, remPass_, syncAsPrimary_, syncOn_, syncPath_, globalLoggerOnText_, updateUrl_,
      debugOnText_;
};
