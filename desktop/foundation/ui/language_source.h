// Where the GUI toolkit takes its texts, fonts and current language from.
//
// Windows never hold literal texts: they ask for (section, key) and for fonts by the name of
// a font section. The program installs one LanguageSource at start-up (over the language
// tables); until then, and in tests that install none, texts are empty, the language index is
// -1 and fonts fall back to "Arial", height -12, weight 400. Install and read from the GUI
// thread; the source itself must be safe to read from any thread.
#pragma once

#include <QString>

#include <memory>
#include <optional>
#include <string>

namespace ks::ui {

// One font section of a language file: face, height (as the file gives it, in points with a
// sign: negative = character height) and weight (0 = the face's normal weight).
struct FontRecord {
  QString name = QStringLiteral("Arial");
  int height = -12;
  int weight = 0;
};

class LanguageSource {
 public:
  virtual ~LanguageSource() = default;
  // 0 simplified Chinese, 1 English, 2 traditional Chinese; anything else: unknown.
  virtual int CurrentLanguage() const = 0;
  // The text of (section, key); empty when missing.
  virtual QString Text(const std::string& section, const std::string& key) const = 0;
  // The font record of a section (with the source's own fallback), or none.
  virtual std::optional<FontRecord> Font(const std::string& section) const = 0;
};

void SetLanguageSource(std::shared_ptr<LanguageSource> source);
std::shared_ptr<LanguageSource> GetLanguageSource();

// Shorthands over the installed source (empty text, -1, none without a source).
QString LangText(const std::string& section, const std::string& key);
int CurrentLanguage();

// KESTYL_LANGUAGE=<0|1|2> in the environment: the language this process uses whatever the
// configuration says; -1 when unset or not one of the three.
int LanguageOverride();

}  // namespace ks::ui
