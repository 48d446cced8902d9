// CTrayIcon: the program's icon in the notification area (id 62547) with a tooltip, and
// balloon notices. The owner sets the object and callback message that receive the icon's
// mouse messages: MsgEvent(callback, 62547, <Windows mouse message>) - left 0x201/0x202,
// double 0x203, right 0x204/0x205, middle 0x207/0x208 - and balloon clicks (0x405).
//
// Where the desktop has a tray host, a QSystemTrayIcon shows the icon. Without one (bare
// Xvfb, offscreen) or with KESTYL_TRAY=window, an always-on-top 32 x 32 window "Kestyl tray"
// at the bottom right of the screen shows it, and balloons appear in a window "Kestyl
// notice" above it for 5 s (a click on it is the balloon click).
//
// SetIcon(id, tip): id 0 removes the icon (returns 1 and does nothing when none is shown);
// otherwise adds it or, when shown, changes it. A tip is cut to 127 UTF-16 units (never inside
// a surrogate pair); no tip keeps the previous one. Returns 1, or 0 when the icon id has no
// picture (the icon then counts as not shown). ShowBalloon replaces the two characters
// backslash and "n" by a line break and cuts title and text to 63 and 255 units; with no icon
// shown no hidden icon is added (window mode still shows the notice). GUI thread only.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

class QSystemTrayIcon;

namespace ks::skin {

class TrayWindow;
class NoticeWindow;

class CTrayIcon : public QObject {
  Q_OBJECT
 public:
  static constexpr unsigned kId = 62547;
  static constexpr unsigned kDefaultCallbackMessage = 0x450;
  static constexpr unsigned kBalloonClick = 0x405;
  static constexpr int kTipLength = 127;
  static constexpr int kTitleLength = 63;
  static constexpr int kTextLength = 255;

  explicit CTrayIcon(QObject* parent = nullptr);
  ~CTrayIcon() override;

  void SetOwner(QObject* owner, unsigned callbackMessage);
  int SetIcon(unsigned iconId, const std::optional<QString>& tip);
  void ShowBalloon(const QString& text, const QString& title);

  bool IconShown() const { return iconId_ != 0; }
  unsigned IconId() const { return iconId_; }
  QString Tip() const { return tip_; }
  bool UsesWindow() const { return useWindow_; }
  // The fallback windows (null in tray-host mode or before use).
  QWidget* trayWindow() const;
  QWidget* noticeWindow() const;
  QString LastBalloonTitle() const { return balloonTitle_; }
  QString LastBalloonText() const { return balloonText_; }

  // `text` cut to at most `units` UTF-16 units, never between the halves of a surrogate pair.
  static QString CutAtCharacter(const QString& text, int units);

  // Sends the callback message (from the fallback windows and the tray host).
  void Notify(unsigned mouseMessage);

 private:
  void Remove();
  QPointer<QObject> owner_;
  unsigned callback_ = 0;
  unsigned iconId_ = 0;
  QString tip_;
  QString balloonTitle_;
  QString balloonText_;
  bool useWindow_ = true;
  std::unique_ptr<QSystemTrayIcon> system_;
  std::unique_ptr<TrayWindow> window_;
  std::unique_ptr<NoticeWindow> notice_;
};

}  // namespace ks::skin
