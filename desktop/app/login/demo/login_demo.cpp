// The log-in module's modes of ks-skin-demo (checks from outside):
//   login    the log-in dialog; prints one line per hand-over,
//            "OnLogin <account> <password length> <hash flag> <remember>" or
//            "OnLoginInfo <account> <password length> -1 <remember>", and "hidden" whenever
//            the dialog hides; stdin "show" shows it again, "quit" (or end of input) ends.
//   switch   the account switch question; prints "result <n>"
//   about    the About box; prints "result <n>"
#include "desktop/app/login/about_dlg.h"
#include "desktop/app/login/login_dlg.h"
#include "desktop/app/login/switch_account_dlg.h"

#include <QApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

void Print(const QString& line) {
  std::printf("%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

class PrintingCallback : public ks::login::ICLoginDlgCallback {
 public:
  void OnLogin(ks::login::LoginInfo* info, int hash) override { Line("OnLogin", info, hash); }
  void OnLoginDlgHide() override {}
  void OnLoginDlgQuit() override {}
  void OnLoginInfo(ks::login::LoginInfo* info) override { Line("OnLoginInfo", info, -1); }

 private:
  static void Line(const char* kind, const ks::login::LoginInfo* info, int hash) {
    Print(QStringLiteral("%1 %2 %3 %4 %5")
              .arg(QLatin1String(kind), QString::fromUtf8(info->account))
              .arg(std::string(info->password).size())
              .arg(hash)
              .arg(info->remember));
  }
};

class HideWatch : public QObject {
 protected:
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Hide) Print(QStringLiteral("hidden"));
    return QObject::eventFilter(o, e);
  }
};

int RunLogin(QApplication& app) {
  ks::login::CLoginDlg dlg;
  PrintingCallback callback;
  dlg.m_pCallback = &callback;
  HideWatch watch;
  dlg.installEventFilter(&watch);
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    std::string line;
    if (!std::getline(std::cin, line) || line == "quit") {
      input.setEnabled(false);
      QCoreApplication::quit();
      return;
    }
    if (line == "show") dlg.show();
  });
  app.setQuitOnLastWindowClosed(false);
  dlg.show();
  return app.exec();
}

}  // namespace

// -1 when `mode` is none of this module's.
int RunLoginDemoMode(QApplication& app, const std::string& mode) {
  if (mode == "login") return RunLogin(app);
  if (mode == "switch") {
    ks::login::CSwitchAccountDlg dlg;
    Print(QStringLiteral("result %1").arg(dlg.DoModal()));
    return 0;
  }
  if (mode == "about") {
    ks::login::CAboutDlg dlg;
    Print(QStringLiteral("result %1").arg(dlg.DoModal()));
    return 0;
  }
  return -1;
}
