// A language source for the skin tests: a few texts of the "UI" and "MESSAGEBOX" sections
// per language index, and the message box font.
#pragma once

#include "desktop/foundation/ui/language_source.h"

#include <map>
#include <string>

namespace kstest {

class FakeLanguage : public ks::ui::LanguageSource {
 public:
  explicit FakeLanguage(int language) : language_(language) {}
  int CurrentLanguage() const override { return language_; }
  QString Text(const std::string& section, const std::string& key) const override {
    static const std::map<std::string, QString> en = {
        {"UI/DIALOG_TITLE", QStringLiteral("Kestyl")},          {"UI/MSGBOX_BUTTON_OK", QStringLiteral("OK")},
        {"UI/MSGBOX_BUTTON_CANCEL", QStringLiteral("Cancel")},  {"UI/MSGBOX_BUTTON_YES", QStringLiteral("Yes")},
        {"UI/MSGBOX_BUTTON_NO", QStringLiteral("No")},          {"MESSAGEBOX/ASK", QStringLiteral("Sure?\\nReally?")},
    };
    auto it = en.find(section + "/" + key);
    return it == en.end() ? QString() : it->second;
  }
  std::optional<ks::ui::FontRecord> Font(const std::string&) const override {
    return ks::ui::FontRecord{QStringLiteral("Arial"), -9, 400};
  }

 private:
  int language_;
};

}  // namespace kstest
