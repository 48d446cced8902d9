// ks-skin-demo: runs single pieces of the skinned toolkit for checks from outside.
//   messagebox <type> <text>                         a message box; prints "result <n>"
//   dialog <bg-id> [--no-min] [--hide-on-close]      a skinned dialog of the picture's size;
//                                                    prints "result <n>" when it ends
//   banner <url>                                     the banner window; prints
//                                                    "nav <document-url> local=<0|1>" per navigation
//   gallery <out.png>                                renders the toolkit's widgets in their states
//                                                    into one picture (any platform, offscreen too)
//   tray                                             tray icon driven by stdin lines: an icon id,
//                                                    "none", or "balloon <title>|<text>";
//                                                    prints "tray 0x450 <lparam hex>" per mouse message
//   login | switch | about                           the log-in module's dialogs (its demo file)
// Texts and fonts come from the language files next to the program (KESTYL_LANGUAGE picks
// one); KESTYL_UI_TRACE writes the trace.
#include "desktop/foundation/skin/combo_menu.h"
#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/diy_message_box.h"
#include "desktop/foundation/skin/html_dlg.h"
#include "desktop/foundation/skin/list_ctrl.h"
#include "desktop/foundation/skin/z_controls.h"
#include "desktop/foundation/skin/tray_icon.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_tables.h"
#include "desktop/foundation/ui/msg_event.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
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

void Enter(QWidget* w, QPoint at) {
  QEnterEvent e(QPointF(at), QPointF(w->mapTo(w->window(), at)), QPointF(w->mapToGlobal(at)));
  QApplication::sendEvent(w, &e);
  QMouseEvent move(QEvent::MouseMove, QPointF(at), QPointF(w->mapToGlobal(at)), Qt::NoButton, Qt::NoButton,
                   Qt::NoModifier);
  QApplication::sendEvent(w, &move);
}

void Press(QWidget* w) {
  const QPoint at(w->width() / 2, w->height() / 2);
  Enter(w, at);
  QMouseEvent e(QEvent::MouseButtonPress, QPointF(at), QPointF(w->mapToGlobal(at)), Qt::LeftButton, Qt::LeftButton,
                Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}

void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

// The toolkit's widgets on the main window's background, a message box, the tray menu and
// the tray windows, side by side in one picture.
int Gallery(const QString& out) {
  const QFont font = ks::ui::CreateLanguageFont("FONT_SETTING_BUTTON");
  DemoDialog main(337);
  main.m_nLayoutID = 129;
  main.m_bShowExtraImage = true;
  main.move(0, 0);

  auto page = [&](int x, unsigned icon, const QString& caption, bool zone) {
    auto* b = new CSettingButton(&main);
    b->m_baseImage = 338;
    b->m_iconImage = icon;
    b->m_sideZone = zone;
    b->SetTextFont(font);
    b->SetCaption(caption);
    b->setGeometry(x, 45, 120, 31);
    return b;
  };
  page(4, 339, QStringLiteral("Account"), false);
  page(124, 311, QStringLiteral("Shares"), false);
  CSettingButton* hovered = page(244, 308, QStringLiteral("Transfers"), false);
  CSettingButton* zoned = page(364, 310, QStringLiteral("Settings"), true);

  auto text = [&](int x, int y, const QString& t, QRgb colour) {
    auto* s = new CDiyStatic(&main);
    s->SetTextFont(font);
    s->m_textColor = colour;
    s->setText(t);
    s->setGeometry(x, y, 200, 18);
  };
  text(24, 96, QStringLiteral("Buttons: normal, pressed, disabled"), 0xFF434343);
  std::vector<CColorButton*> buttons;
  for (int i = 0; i < 3; ++i) {
    auto* b = new CColorButton(&main);
    b->SetImages(340, 340, 341, 340);
    b->m_textColor = 0xFF434343;
    b->SetTextFont(font);
    b->SetCaption(QStringLiteral("OK"));
    b->setGeometry(24 + i * 92, 120, 80, 26);
    buttons.push_back(b);
  }
  buttons[2]->setEnabled(false);
  text(24, 212, QStringLiteral("Options and check boxes"), 0xFF434343);
  for (int i = 0; i < 2; ++i) {
    auto* r = new CColorButton(&main);
    r->SetStyle(CColorButton::kRadio);
    r->m_textColor = 0xFF434343;
    r->SetTextFont(font);
    r->SetCaption(i == 0 ? QStringLiteral("Start with the system") : QStringLiteral("Start by hand"));
    r->setGeometry(24, 234 + i * 22, 180, 18);
    r->setChecked(i == 0);
    auto* c = new CColorButton(&main);
    c->SetStyle(CColorButton::kCheck);
    c->m_textColor = 0xFF434343;
    c->SetTextFont(font);
    c->SetCaption(i == 0 ? QStringLiteral("Tidy my photos") : QStringLiteral("Ask before updating"));
    c->setGeometry(230, 234 + i * 22, 200, 18);
    c->setChecked(i == 0);
  }
  text(24, 282, QStringLiteral("Language"), 0xFF434343);
  auto* combo = new CColorCombobox(&main);
  combo->SetTextFont(font);
  combo->InsertString(0, QStringLiteral("English"));
  combo->InsertString(1, QString::fromUtf8("简体中文"));
  combo->setGeometry(24, 302, 160, 22);
  auto* link = new CLinkButtonCtrl(&main);
  link->SetTextFont(font);
  link->setText(QStringLiteral("Forgot the password?"));
  link->SetLinkText(QStringLiteral("Change it"));
  link->setGeometry(230, 304, 220, 18);
  text(24, 330, QStringLiteral("Data folder"), 0xFF434343);
  auto* folder = new CDiyStatic(&main);
  folder->SetTextFont(font);
  folder->setText(QStringLiteral("/home/owner/Kestyl"));
  folder->setGeometry(33, 349, 170, 17);
  auto* move = new CColorButton(&main);
  move->SetImages(342, 342, 343, 342);
  move->m_textColor = 0xFF434343;
  move->SetTextFont(font);
  move->SetCaption(QStringLiteral("Move"));
  move->setGeometry(216, 347, 70, 22);

  // The share list and the picture controls of the synchronisation page on a second panel.
  DemoDialog sync(357);
  sync.move(0, 0);
  auto syncText = [&](int x, int y, const QString& t) {
    auto* s = new z::CZStatic(&sync);
    s->SetTextFont(font);
    s->m_textColor = 0xFF434343;
    s->SetText(t);
    s->setGeometry(x, y, 200, 18);
  };
  syncText(230, 56, QStringLiteral("Shared folders"));
  auto* list = new CKSListCtrl(&sync);
  list->setFont(font);
  list->m_header->SetTextFont(font);
  list->m_header->m_textColor = 0xFF434343;
  list->m_header->m_separatorColor = 0xFFD3D9E0;
  list->m_header->m_bottomColor = 0xFFD3D9E0;
  list->m_header->LoadBackgroundImage();
  list->m_header->SetHeight(28);
  list->m_header->SetResizeMode(2);
  list->InsertColumn(0, QStringLiteral("Folder"), 0);
  list->InsertColumn(1, QStringLiteral("Files"), 1);
  list->InsertColumn(2, QStringLiteral("Mode"), 2);
  list->setGeometry(230, 80, 466, 128);
  list->setColumnWidth(0, 250);
  list->setColumnWidth(1, 80);
  list->setColumnWidth(2, 134);
  list->SetRowHeight();
  list->InsertItem(0, {QStringLiteral("/home/owner/Photos"), QStringLiteral("1,204"), QStringLiteral("Two-way")});
  list->InsertItem(1, {QStringLiteral("/home/owner/Music"), QStringLiteral("388"), QStringLiteral("Upload")});
  list->InsertItem(2, {QStringLiteral("/home/owner/Documents"), QStringLiteral("57"), QStringLiteral("Two-way")});
  list->topLevelItem(1)->setSelected(true);
  syncText(230, 226, QStringLiteral("Synchronisation"));
  auto* toggle = new z::CZToggleButton(&sync);
  toggle->m_onImage = ks::ui::LoadPngResourceZ(394);
  toggle->m_offImage = ks::ui::LoadPngResourceZ(393);
  toggle->setGeometry(230, 250, 64, 26);
  toggle->setChecked(true);
  auto* toggleOff = new z::CZToggleButton(&sync);
  toggleOff->m_onImage = toggle->m_onImage;
  toggleOff->m_offImage = toggle->m_offImage;
  toggleOff->setGeometry(306, 250, 64, 26);
  for (int i = 0; i < 2; ++i) {
    auto* r = new z::CZRadioButton(&sync);
    r->m_checkedImage = ks::ui::LoadPngResourceZ(395);
    r->m_uncheckedImage = ks::ui::LoadPngResourceZ(396);
    r->SetTextFont(font);
    r->m_textColor = 0xFF434343;
    r->setText(i == 0 ? QStringLiteral("This PC sends") : QStringLiteral("This PC receives"));
    r->setGeometry(400 + i * 140, 256, 125, 16);
    r->setChecked(i == 0);
  }
  syncText(230, 296, QStringLiteral("Buttons: normal, pressed, disabled"));
  std::vector<z::CZButton*> zButtons;
  for (int i = 0; i < 3; ++i) {
    auto* b = new z::CZButton(&sync);
    b->LoadImages(398, 397, 398, 398);
    b->SetTextFont(font);
    b->m_textColor = 0xFF434343;
    b->setText(QStringLiteral("Output Log"));
    b->setGeometry(230 + i * 117, 320, 105, 26);
    zButtons.push_back(b);
  }
  zButtons[2]->setEnabled(false);
  auto* select = new z::CZButton(&sync);
  select->LoadImages(400, 399, 400, 400);
  select->SetTextFont(font);
  select->m_textColor = 0xFF434343;
  select->setText(QStringLiteral("Select"));
  select->setGeometry(598, 322, 103, 22);
  sync.show();
  Settle();
  Press(zButtons[1]);
  Settle();
  const QImage syncShot = sync.grab().toImage();
  sync.hide();

  main.show();
  Settle();
  Enter(hovered, QPoint(60, 15));
  Enter(zoned, QPoint(110, 15));
  Press(buttons[1]);
  Settle();
  const QImage mainShot = main.grab().toImage();

  CDiyMessageBox box(QStringLiteral("The data folder is moved.\nRestart the program now?"),
                     QStringLiteral("Kestyl"), MB_YESNO);
  box.move(0, 0);
  box.show();
  Settle();
  const QImage boxShot = box.grab().toImage();

  CDiyMenu menu;
  menu.m_bOnline = true;
  menu.AppendItem(32784, QStringLiteral("Settings"));
  menu.AppendItem(32810, QStringLiteral("Open the data folder"));
  menu.AppendItem(32816, QStringLiteral("Mobile device online"));
  menu.AppendItem(32827, QStringLiteral("Wi-Fi hotspot"), false);
  menu.AppendSeparator();
  menu.AppendItem(32848, QStringLiteral("Help"));
  menu.AppendItem(32806, QStringLiteral("About"));
  menu.AppendSeparator();
  menu.AppendItem(32787, QStringLiteral("Exit"));
  menu.popup(QPoint(0, 0));
  Settle();
  menu.setActiveAction(menu.ActionOf(32810));
  Settle();
  const QImage menuShot = menu.grab().toImage();
  menu.hide();

  TrayOwner owner;
  CTrayIcon tray;
  tray.SetOwner(&owner, CTrayIcon::kDefaultCallbackMessage);
  QImage trayShot, noticeShot;
  tray.SetIcon(368, QStringLiteral("Kestyl"));
  tray.ShowBalloon(QStringLiteral("A mobile device is linked:\nPixel of the owner"), QStringLiteral("Kestyl"));
  Settle();
  if (tray.trayWindow()) trayShot = tray.trayWindow()->grab().toImage();
  if (tray.noticeWindow()) noticeShot = tray.noticeWindow()->grab().toImage();

  const int gap = 16;
  const int rightX = mainShot.width() + 2 * gap;
  const int width = rightX + std::max({boxShot.width(), menuShot.width() + gap + noticeShot.width()}) + gap;
  const int height = gap + std::max(mainShot.height() + gap + syncShot.height(),
                                    boxShot.height() + gap + std::max(menuShot.height(), noticeShot.height() + gap + 32)) + gap;
  QImage sheet(width, height, QImage::Format_ARGB32);
  sheet.fill(QColor(0xD9, 0xDE, 0xE4));
  QPainter p(&sheet);
  p.drawImage(gap, gap, mainShot);
  p.drawImage(gap, gap + mainShot.height() + gap, syncShot);
  p.drawImage(rightX, gap, boxShot);
  const int lowY = gap + boxShot.height() + gap;
  p.drawImage(rightX, lowY, menuShot);
  p.drawImage(rightX + menuShot.width() + gap, lowY, noticeShot);
  if (!trayShot.isNull()) p.drawImage(rightX + menuShot.width() + gap, lowY + noticeShot.height() + gap, trayShot);
  p.end();
  if (!sheet.save(out)) {
    std::fprintf(stderr, "ks-skin-demo: cannot write %s\n", out.toLocal8Bit().constData());
    return 1;
  }
  PrintLine(QStringLiteral("gallery %1 %2x%3").arg(out).arg(width).arg(height));
  return 0;
}

}  // namespace

// The log-in module's modes (desktop/app/login/demo): -1 when `mode` is not one of them.
int RunLoginDemoMode(QApplication& app, const std::string& mode);

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

  if (mode == "gallery" && argc >= 3) return Gallery(QString::fromLocal8Bit(argv[2]));

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
  if (int result = RunLoginDemoMode(app, mode); result >= 0) return result;
  return Usage();
}
