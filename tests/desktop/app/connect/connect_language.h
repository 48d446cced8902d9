// A language source with the texts of the connection, hosted Wi-Fi, wake-up and
// registration windows: each key's text is "<key>|" so a test sees which key a control shows.
#pragma once

#include "desktop/foundation/ui/language_source.h"

namespace kstest {

class KeyLanguage : public ks::ui::LanguageSource {
 public:
  int CurrentLanguage() const override { return 1; }
  QString Text(const std::string&, const std::string& key) const override {
    return QString::fromStdString(key) + QLatin1Char('|');
  }
  std::optional<ks::ui::FontRecord> Font(const std::string&) const override {
    return ks::ui::FontRecord{QStringLiteral("Arial"), -9, 400};
  }
};

}  // namespace kstest
