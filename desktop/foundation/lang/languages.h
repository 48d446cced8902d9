// Language tables: every user-visible text and every font description of the desktop program
// and of the command program, read from the language file of one language.
//
// Languages by index: 0 simplified Chinese (ChineseSimplified.ksl), 1 English (English.ksl),
// 2 traditional Chinese (ChineseTrad.ksl). The files live in the program's folder (the folder
// of /proc/self/exe) unless SetLanguageFolder named another one. A file is UTF-16LE with a
// byte-order mark (the installed form), UTF-16BE with its mark, or UTF-8 (with or without a
// mark); line ends CR LF, LF or CR. The whole file is read, however long.
//
// File form: "[section]" lines open sections (blanks around the name are dropped). A section
// whose name contains "FONT_" is a font section: only FONT_NAME (default "Arial", at most 31
// UTF-16 units), FONT_HEIGHT (default -12) and FONT_WEIGHT (default 0) are read, key names
// in any letter case, values with the blanks around them and one pair of surrounding quotes
// dropped, the first occurrence of a key counting. Every other section is a text section:
// each line "key=value" splits at the first "=", both sides taken as they stand; a later
// occurrence of a key replaces an earlier one; lines without "=" and lines beginning with
// ";" carry no entry. A section name that occurs twice counts once, with its first body.
//
// Lookups are exact (section and key case-sensitive) with no fallback to another section or
// language: a missing section or key gives the empty text. GetFont falls back to the
// "FONT_DEFAULT" record, then null. Records returned by GetFont belong to the table and stay
// valid until the next load.
//
// Default language (ChooseLanguage): the configured language when the hook set with
// SetConfiguredLanguageHook reports one ("0" -> 0, "2" -> 2, any other non-negative atoi
// value -> 1; empty, negative or no configuration -> system language), else the system
// language: $KESTYL_LANGID when it is a hexadecimal LANGID (at most FFFF, "0x" allowed),
// else $LANG (zh_CN -> 0x0804, zh_TW and zh_HK -> 0x0404, anything else -> 0x0409).
// Primary language Chinese (0x04) with sub-language 2 -> 0, with sub-language 1 -> 2,
// anything else -> 1.
//
// A missing file gives empty tables (IsLoaded false); listeners are notified after every
// load, missing file or not, on the caller's thread. LoadLanguage with an index other than
// 0, 1, 2 changes nothing and is reported to the log hook.
//
// One process-wide instance, reference counted, through CLanguages::GetInstance /
// ILanguages::Release (creation and release are serialised; loads, lookups and listener
// changes belong to one thread, the window thread). A CLanguages may also be made directly
// for one use (the command program does so with the caller's language) and deleted.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace ks::desktop {

struct LanguageFont {
  std::u16string name = u"Arial";  // FONT_NAME, at most 31 UTF-16 units
  int height = -12;                // FONT_HEIGHT, points (negative: character height)
  int weight = 0;                  // FONT_WEIGHT
  std::string NameUtf8() const;
};

class ILanguageCallBack {
 public:
  virtual ~ILanguageCallBack() = default;
  virtual void OnLanguageChanged() = 0;
};

class ILanguages {
 public:
  virtual int AddRef() = 0;
  // Count - 1; at 0 the process-wide object is destroyed and 0 returned.
  virtual int Release() = 0;
  virtual void RegisterCallBack(ILanguageCallBack* callback) = 0;
  virtual void UnregisterCallBack(ILanguageCallBack* callback) = 0;
  virtual bool IsLoaded() const = 0;
  virtual void LoadLanguage(int index) = 0;
  // The text as UTF-8 (the local code page of this system).
  virtual std::string GetTextA(const std::string& section, const std::string& key) const = 0;
  // The text as UTF-16.
  virtual std::u16string GetText(const std::string& section, const std::string& key) const = 0;
  virtual const LanguageFont* GetFont(const std::string& section) const = 0;
  virtual void LoadDefaultLanguage() = 0;
  virtual int GetCurrentLanguage() const = 0;
  virtual int GetPreviousLanguage() const = 0;

 protected:
  virtual ~ILanguages() = default;
};

class CLanguages : public ILanguages {
 public:
  // File names by language index.
  static constexpr const char* kFileNames[3] = {"ChineseSimplified.ksl", "English.ksl", "ChineseTrad.ksl"};

  // The configured language: nullopt when there is no configuration (or it failed to load),
  // else its Language value as text.
  using ConfiguredLanguageHook = std::function<std::optional<std::string>()>;
  using LogHook = std::function<void(const std::string&)>;

  // The process-wide object, created (with the default language loaded) on first use; each
  // call adds a reference. Null only when creation failed.
  static ILanguages* GetInstance();
  // Hooks and folder apply to loads that happen after the call. Empty hook: none.
  static void SetConfiguredLanguageHook(ConfiguredLanguageHook hook);
  static void SetLogHook(LogHook hook);
  // Folder of the language files; "" means the program's folder.
  static void SetLanguageFolder(const std::string& folder);
  static std::string LanguageFolder();
  // The system language as a Windows LANGID, from $KESTYL_LANGID or $LANG (see above).
  static unsigned SystemLanguageId();
  // Language index for a LANGID.
  static int IndexForLanguageId(unsigned langid);

  // Loads the default language (ChooseLanguage).
  CLanguages();
  // One-use object: loads the given language only (no configuration, no system language).
  explicit CLanguages(int index);
  ~CLanguages() override;
  CLanguages(const CLanguages&) = delete;
  CLanguages& operator=(const CLanguages&) = delete;

  int AddRef() override;
  int Release() override;
  void RegisterCallBack(ILanguageCallBack* callback) override;
  void UnregisterCallBack(ILanguageCallBack* callback) override;
  bool IsLoaded() const override;
  void LoadLanguage(int index) override;
  std::string GetTextA(const std::string& section, const std::string& key) const override;
  std::u16string GetText(const std::string& section, const std::string& key) const override;
  const LanguageFont* GetFont(const std::string& section) const override;
  void LoadDefaultLanguage() override;
  int GetCurrentLanguage() const override { return current_; }
  int GetPreviousLanguage() const override { return previous_; }

  // Path of the file of the last load ("" before any).
  const std::string& LoadedPath() const { return path_; }

 private:
  void ChooseLanguage();
  void Clear();
  void ReadFile(const std::string& bytes);

  std::set<ILanguageCallBack*> listeners_;
  int refs_ = 0;
  std::string path_;
  std::map<std::string, std::map<std::string, std::string>> texts_;  // UTF-8
  std::map<std::string, std::unique_ptr<LanguageFont>> fonts_;
  int current_ = 0;
  int previous_ = 0;
};

// UTF-8 <-> UTF-16 (invalid input becomes U+FFFD).
std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);

// Folder of the running program (of /proc/self/exe), without a trailing "/"; "" when it
// cannot be read.
std::string ProgramFolder();

}  // namespace ks::desktop
