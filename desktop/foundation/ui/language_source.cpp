#include "desktop/foundation/ui/language_source.h"

#include <QByteArray>

#include <cstdlib>
#include <mutex>

namespace ks::ui {
namespace {
std::mutex g_mutex;
std::shared_ptr<LanguageSource> g_source;
}  // namespace

void SetLanguageSource(std::shared_ptr<LanguageSource> source) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_source = std::move(source);
}

std::shared_ptr<LanguageSource> GetLanguageSource() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_source;
}

QString LangText(const std::string& section, const std::string& key) {
  auto s = GetLanguageSource();
  return s ? s->Text(section, key) : QString();
}

int CurrentLanguage() {
  auto s = GetLanguageSource();
  return s ? s->CurrentLanguage() : -1;
}

int LanguageOverride() {
  const char* v = std::getenv("KESTYL_LANGUAGE");
  if (v == nullptr) return -1;
  QByteArray text(v);
  if (text == "0") return 0;
  if (text == "1") return 1;
  if (text == "2") return 2;
  return -1;
}

}  // namespace ks::ui
