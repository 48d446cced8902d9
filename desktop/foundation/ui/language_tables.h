// The language tables (CLanguages) as the GUI's language source.
//
// InstallLanguageTables() takes a reference on the process-wide tables, loads the language of
// KESTYL_LANGUAGE when it names one of the three (the configuration file is not touched),
// and installs them as the LanguageSource of the toolkit. Call once on the GUI thread at
// start-up; returns false when the tables cannot be had (the toolkit then runs on its
// fallbacks: empty texts, Arial fonts).
#pragma once

#include "desktop/foundation/lang/languages.h"
#include "desktop/foundation/ui/language_source.h"

#include <memory>

namespace ks::ui {

class LanguageTablesSource : public LanguageSource {
 public:
  // Takes over one reference of `tables` (released on destruction).
  explicit LanguageTablesSource(ks::desktop::ILanguages* tables) : tables_(tables) {}
  ~LanguageTablesSource() override;
  int CurrentLanguage() const override;
  QString Text(const std::string& section, const std::string& key) const override;
  std::optional<FontRecord> Font(const std::string& section) const override;
  ks::desktop::ILanguages* tables() const { return tables_; }

 private:
  ks::desktop::ILanguages* tables_;
};

bool InstallLanguageTables();

}  // namespace ks::ui
