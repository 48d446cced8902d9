#include "desktop/foundation/skin/tray_icon.h"

#include "desktop/foundation/ui/draw_text.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/msg_event.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

namespace ks::skin {

namespace {
QRect ScreenArea() {
  QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->geometry() : QRect(0, 0, 1024, 768);
}
}  // namespace

class TrayWindow : public QWidget {
 public:
  explicit TrayWindow(CTrayIcon* tray) : tray_(tray) {
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setWindowTitle(QStringLiteral("Kestyl tray"));
    setFixedSize(32, 32);
    const QRect area = ScreenArea();
    move(area.right() - 32 - 4 + 1, area.bottom() - 32 - 4 + 1);
  }
  void SetPicture(const QImage& picture, const QString& tip) {
    picture_ = picture;
    setToolTip(tip);
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), QColor(0x2B, 0x33, 0x3D));
    if (!picture_.isNull()) p.drawImage(QRect(0, 0, 32, 32), picture_);
  }
  void mousePressEvent(QMouseEvent* e) override { tray_->Notify(Message(e->button(), true)); }
  void mouseReleaseEvent(QMouseEvent* e) override { tray_->Notify(Message(e->button(), false)); }
  void mouseDoubleClickEvent(QMouseEvent* e) override {
    if (e->button() == Qt::LeftButton) tray_->Notify(0x203);
  }

 private:
  static unsigned Message(Qt::MouseButton b, bool down) {
    switch (b) {
      case Qt::LeftButton: return down ? 0x201 : 0x202;
      case Qt::RightButton: return down ? 0x204 : 0x205;
      case Qt::MiddleButton: return down ? 0x207 : 0x208;
      default: return 0;
    }
  }
  CTrayIcon* tray_;
  QImage picture_;
};

class NoticeWindow : public QWidget {
 public:
  explicit NoticeWindow(CTrayIcon* tray) : tray_(tray) {
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setWindowTitle(QStringLiteral("Kestyl notice"));
    setFixedSize(300, 96);
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { hide(); });
  }
  void Show(const QString& title, const QString& text) {
    title_ = title;
    text_ = text;
    const QRect area = ScreenArea();
    move(area.right() - width() - 4 + 1, area.bottom() - 32 - 8 - height() - 4 + 1);
    show();
    raise();
    update();
    timer_.start(5000);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), QColor(0xFF, 0xFF, 0xFF));
    p.fillRect(QRect(0, 0, width(), 4), QColor(0x1A, 0x8C, 0xE0));
    p.setPen(QColor(0xC9, 0xD0, 0xD8));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    const QImage icon = ks::ui::LoadPngResource(283);
    if (!icon.isNull()) p.drawImage(QPoint(12, 14), icon);
    QFont bold = ks::ui::FontFromRecord({QStringLiteral("Arial"), 10, 700}, false);
    QFont body = ks::ui::FontFromRecord({QStringLiteral("Arial"), 9, 400}, false);
    ks::ui::DrawText(p, QRectF(36, 12, width() - 48, 20), title_, bold, 0xFF1F2A36, ks::ui::Align::Near,
                     ks::ui::Align::Center, ks::ui::kOneLine);
    ks::ui::DrawText(p, QRectF(36, 36, width() - 48, height() - 44), text_, body, 0xFF434343, ks::ui::Align::Near,
                     ks::ui::Align::Near, ks::ui::kLineLimit);
  }
  void mousePressEvent(QMouseEvent*) override {
    timer_.stop();
    hide();
    tray_->Notify(CTrayIcon::kBalloonClick);
  }

 private:
  CTrayIcon* tray_;
  QString title_, text_;
  QTimer timer_;
};

CTrayIcon::CTrayIcon(QObject* parent) : QObject(parent) {
  const QByteArray mode = qgetenv("KESTYL_TRAY");
  useWindow_ = mode == "window" || !QSystemTrayIcon::isSystemTrayAvailable();
}

CTrayIcon::~CTrayIcon() { Remove(); }

QWidget* CTrayIcon::trayWindow() const { return window_.get(); }
QWidget* CTrayIcon::noticeWindow() const { return notice_.get(); }

void CTrayIcon::SetOwner(QObject* owner, unsigned callbackMessage) {
  owner_ = owner;
  callback_ = callbackMessage;
  if (callbackMessage != 0) ks::ui::RegisterMsg(callbackMessage);
}

void CTrayIcon::Notify(unsigned mouseMessage) {
  if (mouseMessage == 0 || !owner_ || callback_ == 0) return;
  ks::ui::PostMsg(owner_.data(), callback_, kId, static_cast<intptr_t>(mouseMessage));
}

QString CTrayIcon::CutAtCharacter(const QString& text, int units) {
  if (text.size() <= units) return text;
  int n = units;
  if (n > 0 && text.at(n - 1).isHighSurrogate()) --n;
  return text.left(n);
}

void CTrayIcon::Remove() {
  if (iconId_ == 0) return;
  iconId_ = 0;
  if (system_) system_->hide();
  if (window_) window_->hide();
  ks::ui::TraceLine(QStringLiteral("tray delete"));
}

int CTrayIcon::SetIcon(unsigned iconId, const std::optional<QString>& tip) {
  if (iconId == 0) {
    if (iconId_ == 0) return 1;
    Remove();
    return 1;
  }
  const bool modify = iconId_ != 0;
  if (tip) tip_ = CutAtCharacter(*tip, kTipLength);
  const QIcon icon = ks::ui::LoadIconResource(iconId);
  if (icon.isNull()) {
    if (modify) Remove();
    return 0;
  }
  iconId_ = iconId;
  if (useWindow_) {
    if (!window_) window_ = std::make_unique<TrayWindow>(this);
    window_->SetPicture(ks::ui::LoadImageFromResource(iconId, QStringLiteral("ICO")), tip_);
    window_->show();
  } else {
    if (!system_) {
      system_ = std::make_unique<QSystemTrayIcon>();
      connect(system_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Context) {
          Notify(0x204);
          Notify(0x205);
        } else if (r == QSystemTrayIcon::Trigger) {
          Notify(0x201);
          Notify(0x202);
        } else if (r == QSystemTrayIcon::DoubleClick) {
          Notify(0x203);
        } else if (r == QSystemTrayIcon::MiddleClick) {
          Notify(0x207);
          Notify(0x208);
        }
      });
      connect(system_.get(), &QSystemTrayIcon::messageClicked, this, [this] { Notify(kBalloonClick); });
    }
    system_->setIcon(icon);
    system_->setToolTip(tip_);
    system_->show();
  }
  ks::ui::TraceLine(QStringLiteral("tray %1 %2 %3").arg(modify ? QStringLiteral("modify") : QStringLiteral("add")).arg(iconId).arg(ks::ui::TraceQuote(tip_)));
  return 1;
}

void CTrayIcon::ShowBalloon(const QString& text, const QString& title) {
  QString body = text;
  body.replace(QLatin1String("\\n"), QLatin1String("\n"));
  balloonTitle_ = CutAtCharacter(title, kTitleLength);
  balloonText_ = CutAtCharacter(body, kTextLength);
  ks::ui::TraceLine(QStringLiteral("tray balloon %1 %2").arg(ks::ui::TraceQuote(balloonTitle_), ks::ui::TraceQuote(balloonText_)));
  if (useWindow_) {
    if (!notice_) notice_ = std::make_unique<NoticeWindow>(this);
    notice_->Show(balloonTitle_, balloonText_);
  } else if (iconId_ != 0 && system_) {
    system_->showMessage(balloonTitle_, balloonText_, QSystemTrayIcon::Information, 5000);
  }
}

}  // namespace ks::skin
