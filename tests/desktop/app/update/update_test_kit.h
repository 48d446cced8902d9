// Shared pieces of the update window tests: a language source whose texts name their keys,
// a private registry and data folder, a loopback web server, and a capture of the UI trace.
#pragma once

#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "desktop/foundation/update/update_logic.h"
#include "tests/desktop/foundation/scoped_env.h"
#include "tests/desktop/ui/ui_test_kit.h"
#include "tests/fakes/fake_web_server.h"
#include "tests/fakes/test_support.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

namespace kstest {

// Every text is its key in angle brackets ("<KEY>"), `suffix` appended, so that a failure
// reads plainly and a language change shows.
class KeyLanguage : public ks::ui::LanguageSource {
 public:
  KeyLanguage(int language, std::string suffix) : language_(language), suffix_(std::move(suffix)) {}
  int CurrentLanguage() const override { return language_; }
  QString Text(const std::string&, const std::string& key) const override {
    return QString::fromStdString("<" + key + suffix_ + ">");
  }
  std::optional<ks::ui::FontRecord> Font(const std::string&) const override {
    return ks::ui::FontRecord{QStringLiteral("Arial"), 9, 400};
  }

 private:
  int language_;
  std::string suffix_;
};

inline void UseLanguage(int language, const std::string& suffix = "") {
  ks::ui::SetLanguageSource(std::make_shared<KeyLanguage>(language, suffix));
}

// Writes the UI trace into a temporary file for the life of the object.
class TraceCapture {
 public:
  TraceCapture() : path_(dir_.filePath(QStringLiteral("trace.txt"))) { ks::ui::SetTraceFile(path_); }
  ~TraceCapture() { ks::ui::SetTraceFile(QString()); }
  QStringList With(const QString& prefix) const {
    QFile f(path_);
    QStringList out;
    if (!f.open(QIODevice::ReadOnly)) return out;
    for (const QString& l : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
      if (l.startsWith(prefix)) out << l;
    return out;
  }

 private:
  QTemporaryDir dir_;
  QString path_;
};

class UpdateWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureGuiApp();
    UseLanguage(1);
  }
  void TearDown() override { ks::ui::SetLanguageSource(nullptr); }

  uint32_t NoticeValue(bool* present = nullptr) {
    uint32_t v = 0;
    bool ok = ks::desktop::update::ReadKestylDword(ks::desktop::update::kUpdateNoticeValue, v);
    if (present) *present = ok;
    return v;
  }
  size_t Gets(const std::string& target) {
    size_t n = 0;
    for (const auto& r : server_.Requests())
      if (r.target == target) ++n;
    return n;
  }

  ks::test::TempDir tmp_;
  ks::test::ScopedEnv platform_{"KESTYL_PLATFORM_DIR", tmp_ / "platform"};
  ks::test::ScopedEnv loopback_{"KESTYL_LOOPBACK", "1"};
  ks::test::ScopedEnv proxy_{"http_proxy", nullptr};
  ks::fake::FakeWebServer server_;
  ks::test::ScopedEnv web_{"KESTYL_WEB_URL", server_.url()};
};

}  // namespace kstest
