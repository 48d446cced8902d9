// Shared pieces of the log-in module's tests: a language source built from a table of
// texts, a capture of the UI trace, and a recording log-in listener.
#pragma once

#include "desktop/app/login/login_dlg.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <map>
#include <string>
#include <vector>

namespace kstest {

class TableLanguage : public ks::ui::LanguageSource {
 public:
  TableLanguage(int language, std::map<std::string, QString> texts) : language_(language), texts_(std::move(texts)) {}
  int CurrentLanguage() const override { return language_; }
  QString Text(const std::string& section, const std::string& key) const override {
    auto it = texts_.find(section + "/" + key);
    return it == texts_.end() ? QString() : it->second;
  }
  std::optional<ks::ui::FontRecord> Font(const std::string&) const override {
    return ks::ui::FontRecord{QStringLiteral("Arial"), 9, 400};
  }

 private:
  int language_;
  std::map<std::string, QString> texts_;
};

// The texts the log-in tests use: each text names its key, so a failure reads plainly.
inline std::map<std::string, QString> LoginTexts() {
  std::map<std::string, QString> t;
  for (const char* key : {"DIALOG_TITLE", "LOGIN_EDIT_ACCOUNT", "LOGIN_EDIT_PASSWORD", "LOGIN_STATIC_ACCOUNT",
                          "LOGIN_STATIC_PASSWORD", "LOGIN_BUTTON_LOGIN", "LOGIN_LINK_REGISTER", "LOGIN_LINK_FORGETPW",
                          "LOGIN_CHECKBOX_REMEMBERPW", "REGACCOUNT_INFO_INVALIDEMAIL", "REGACCOUNT_INFO_INVALIDPASS",
                          "MSGBOX_BUTTON_OK", "MSGBOX_BUTTON_CANCEL", "SETTING_STATIC_ACCOUNT", "ABOUT_STATIC_ABOUT2",
                          "ABOUT_STATIC_LINK2"})
    t[std::string("UI/") + key] = QString::fromLatin1(key);
  for (const char* key : {"MSGBOX_NOACCOUNT", "MSGBOX_NOPASSWORD", "MSGBOX_IDORPWERROR", "MSGBOX_LOGIOUTUSER",
                          "MSGBOX_ONNET", "MSGBOX_OTHER"})
    t[std::string("MESSAGEBOX/") + key] = QString::fromLatin1(key);
  t["UI/DIALOG_TITLE"] = QStringLiteral("T");
  t["TOOLTIP/TOOTIP_FORGETPW"] = QStringLiteral("TOOTIP_FORGETPW");
  return t;
}

// Writes the UI trace into a temporary file for the life of the object.
class TraceCapture {
 public:
  TraceCapture() : path_(dir_.filePath(QStringLiteral("trace.txt"))) { ks::ui::SetTraceFile(path_); }
  ~TraceCapture() { ks::ui::SetTraceFile(QString()); }
  QStringList Lines() const {
    QFile f(path_);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  }
  // Lines starting with `prefix`.
  QStringList With(const QString& prefix) const {
    QStringList out;
    for (const QString& l : Lines())
      if (l.startsWith(prefix)) out << l;
    return out;
  }

 private:
  QTemporaryDir dir_;
  QString path_;
};

struct LoginCall {
  std::string kind;  // "OnLogin" or "OnLoginInfo"
  std::string account;
  std::string password;
  int hash = -1;
  unsigned remember = 0;
};

class RecordingLoginCallback : public ks::login::ICLoginDlgCallback {
 public:
  void OnLogin(ks::login::LoginInfo* info, int hash) override { Record("OnLogin", info, hash); }
  void OnLoginDlgHide() override { ++hides; }
  void OnLoginDlgQuit() override { ++quits; }
  void OnLoginInfo(ks::login::LoginInfo* info) override { Record("OnLoginInfo", info, -1); }
  std::vector<LoginCall> calls;
  int hides = 0;
  int quits = 0;

 private:
  void Record(const char* kind, ks::login::LoginInfo* info, int hash) {
    calls.push_back({kind, info->account, info->password, hash, info->remember});
  }
};

}  // namespace kstest
