#include "desktop/foundation/ui/language_tables.h"

namespace ks::ui {

LanguageTablesSource::~LanguageTablesSource() {
  if (tables_ != nullptr) tables_->Release();
}

int LanguageTablesSource::CurrentLanguage() const { return tables_ ? tables_->GetCurrentLanguage() : -1; }

QString LanguageTablesSource::Text(const std::string& section, const std::string& key) const {
  if (!tables_) return QString();
  const std::u16string text = tables_->GetText(section, key);
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::optional<FontRecord> LanguageTablesSource::Font(const std::string& section) const {
  if (!tables_) return std::nullopt;
  const ks::desktop::LanguageFont* font = tables_->GetFont(section);
  if (font == nullptr) return std::nullopt;
  FontRecord r;
  r.name = QString::fromUtf16(font->name.data(), static_cast<qsizetype>(font->name.size()));
  r.height = font->height;
  r.weight = font->weight;
  return r;
}

bool InstallLanguageTables() {
  ks::desktop::ILanguages* tables = ks::desktop::CLanguages::GetInstance();
  if (tables == nullptr) return false;
  const int override = LanguageOverride();
  if (override >= 0 && tables->GetCurrentLanguage() != override) tables->LoadLanguage(override);
  SetLanguageSource(std::make_shared<LanguageTablesSource>(tables));
  return true;
}

}  // namespace ks::ui
