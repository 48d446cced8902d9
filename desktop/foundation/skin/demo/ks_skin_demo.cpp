// ks-skin-demo: runs single pieces of the skinned toolkit for checks from outside.
//   messagebox <type> <text>                         a message box; prints "result <n>"
//   dialog <bg-id> [--no-min] [--hide-on-close]      a skinned dialog of the picture's size;
//                                                    prints "result <n>" when it ends
//   banner <url>                                     the banner window; prints
//                                                    "nav <document-url> local=<0|1>" per navigation
//   tray                                             tray icon driven by stdin lines: an icon id,
//                                                    "none", or "balloon <title>|<text>";
//                                                    prints "tray 0x450 <lparam hex>" per mouse message
// Texts and fonts come from the language files next to the program (KESTYL_LANGUAGE picks
// one); KESTYL_UI_TRACE writes the trace.
#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/diy_message_box.h"
#include "desktop/foundation/skin/html_dlg.h"
#include "desktop/foundation/skin/tray_icon.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_tables.h"
#include "desktop/foundation/ui/msg_event.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

using namespace ks::skin;

int Usage() {
  std::fprintf(stderr,
               "usage: ks-skin-demo messagebox <type> <text>\n"
               "       ks-skin-demo dialog <bg-id> [--no-min] [--hide-on-close]\n"
               "       ks-skin-demo banner <url>\n"
               "       ks-skin-demo tray\n");
  return 2;
}

void PrintLine(const QString& line) {
  std::printf("%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

class DemoDialog : public CDiyDialog {
 public:
  explicit DemoDialog(unsigned background) {
    m_nBkImageID = background;
    m_strBkImageType = QStringLiteral("PNG");
    m_nLayoutID = background == 387 ? 101 : background == 232 ? 102 : 0;
    const QImage bg = ks::ui::LoadPngResource(background);
    setFixedSize(bg.isNull() ? QSize(355, 197) : bg.size());
  }
};

// Receives the tray's callback message and prints it.
class TrayOwner : public QWidget {
 public:
  bool event(QEvent* e) override {
    if (e->type() == static_cast<QEvent::Type>(CTrayIcon::kDefaultCallbackMessage)) {
      auto* m = static_cast<ks::ui::MsgEvent*>(e);
      PrintLine(QStringLiteral("tray 0x%1 0x%2").arg(m->msg(), 0, 16).arg(static_cast<qulonglong>(m->lparam()), 0, 16));
      return true;
    }
    return QWidget::event(e);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  QApplication app(argc, argv);
  ks::ui::InstallFontSubstitutions();
  ks::ui::InstallLanguageTables();
  ks::ui::InstallUiTracer();
  const std::string mode = argv[1];

  if (mode == "messagebox" && argc >= 4) {
    const unsigned type = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 0));
    const int result = ShowDiyMessageBox(QString::fromLocal8Bit(argv[3]), ks::ui::LangText("UI", "DIALOG_TITLE"), type);
    PrintLine(QStringLiteral("result %1").arg(result));
    return 0;
  }

  if (mode == "dialog" && argc >= 3) {
    DemoDialog dialog(static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)));
    for (int i = 3; i < argc; ++i) {
      if (std::string(argv[i]) == "--no-min") dialog.m_bShowMinButton = false;
      if (std::string(argv[i]) == "--hide-on-close") dialog.m_bHideOnClose = true;
    }
    if (dialog.m_bHideOnClose) {
      // Hidden, not ended: the process stays until it is stopped.
      app.setQuitOnLastWindowClosed(false);
      QObject::connect(&dialog, &QDialog::finished, [](int r) {
        PrintLine(QStringLiteral("result %1").arg(r));
        QCoreApplication::quit();
      });
      dialog.show();
      return app.exec();
    }
    PrintLine(QStringLiteral("result %1").arg(dialog.DoModal()));
    return 0;
  }

  if (mode == "banner" && argc >= 3) {
    CHtmlDlg banner;
    banner.m_nLanguage = ks::ui::CurrentLanguage() < 0 ? 1 : ks::ui::CurrentLanguage();
    QObject::connect(&banner, &CHtmlDlg::navigated, [](const QString& url, bool local) {
      PrintLine(QStringLiteral("nav %1 local=%2").arg(url).arg(local ? 1 : 0));
    });
    banner.setWindowTitle(QStringLiteral("Kestyl banner"));
    banner.show();
    banner.NavigateUrl(QString::fromLocal8Bit(argv[2]), false);
    return app.exec();
  }

  if (mode == "tray") {
    TrayOwner owner;
    CTrayIcon tray;
    tray.SetOwner(&owner, CTrayIcon::kDefaultCallbackMessage);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
      std::string line;
      if (!std::getline(std::cin, line)) {
        input.setEnabled(false);
        return;
      }
      QString text = QString::fromUtf8(line.c_str()).trimmed();
      if (text.isEmpty()) return;
      if (text == QLatin1String("none")) {
        tray.SetIcon(0, std::nullopt);
      } else if (text.startsWith(QLatin1String("balloon "))) {
        const QString rest = text.mid(8);
        const int bar = rest.indexOf(QLatin1Char('|'));
        tray.ShowBalloon(bar < 0 ? rest : rest.mid(bar + 1), bar < 0 ? QString() : rest.left(bar));
      } else if (text == QLatin1String("quit")) {
        QCoreApplication::quit();
      } else {
        tray.SetIcon(text.toUInt(), ks::ui::LangText("UI", "DIALOG_TITLE"));
      }
    });
    app.setQuitOnLastWindowClosed(false);
    return app.exec();
  }
  return Usage();
}
