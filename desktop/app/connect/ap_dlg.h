// CApDlg: the hosted Wi-Fi network dialog. Modeless, frameless CDiyDialog of 322 x 198
// (background PNG 295, no minimise button) with the title (1136), the start (1126) and stop
// (1127) buttons at one place (exactly one visible), the status line (1123) and its icon
// (1128: PNG 331 when ready or started, 266 otherwise).
//
// Shown (each time): the state of hosted_network.h ApViewFor for the process-wide started
// flag, the system version and HasWirelessAdapter. Start writes the batch file and runs it
// elevated (or, when it cannot be written, the two netsh runs one by one), removes the batch
// file, then asks netsh whether the network is up: "AP_STARTED" with stop shown and the flag
// set, else "AP_DEVICE_UNAVAILABLE" with the buttons as they were and the flag cleared. Stop
// runs netsh's stop, shows start and "AP_OK" and clears the flag. Both block the GUI thread
// until netsh has ended. After each change the status line is laid out again
// (hosted_network.h LayoutApStatus).
//
// RunElevated tells the owner with a notice box (ShowNotice) before the system asks for
// rights: on systems before version 6 when the user is no administrator, later when UAC is
// on and the program is not elevated; a notice of at most one character shows
// ("MESSAGEBOX", "MSGBOX_UAC") instead. Result: whether the run was reported successful.
#pragma once

#include "desktop/foundation/skin/diy_dialog.h"
#include "desktop/foundation/skin/diy_static_button.h"

#include <QFont>
#include <QString>
#include <QWidget>

#include <string>

namespace ks::desktop {

// The owner-drawn status icon: one PNG resource drawn at (0, 0) in the widget's size.
class CApIcon : public QWidget {
  Q_OBJECT
 public:
  explicit CApIcon(QWidget* parent = nullptr) : QWidget(parent) {}
  void SetImage(unsigned id);
  unsigned Image() const { return id_; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  unsigned id_ = 0;
};

class CApDlg : public ks::skin::CDiyDialog {
  Q_OBJECT
 public:
  static constexpr int kStartId = 1126;
  static constexpr int kStopId = 1127;
  static constexpr int kStatusId = 1123;
  static constexpr int kIconId = 1128;
  static constexpr int kTitleId = 1136;

  explicit CApDlg(QWidget* parent = nullptr);
  ~CApDlg() override;

  void Minimize() override {}

  static bool HasWirelessAdapter();
  bool RunElevated(const std::string& program, const std::string& parameters, const QString& notice);

  void OnStart();
  void OnStop();
  void CheckState();

  ks::skin::CColorButton* startButton() const { return m_btStart; }
  ks::skin::CColorButton* stopButton() const { return m_btStop; }
  ks::skin::CDiyStatic* statusStatic() const { return m_stStatus; }
  ks::skin::CDiyStatic* titleStatic() const { return m_stTitle; }
  CApIcon* statusIcon() const { return m_icon; }

 protected:
  bool OnInitDialog() override;
  void showEvent(QShowEvent*) override;
  // The notice before an elevation prompt (a modal message box, caption ("UI",
  // "DIALOG_TITLE")); tests replace it.
  virtual void ShowNotice(const QString& text);

 private:
  void SetStatus(const char* key, unsigned icon);
  void LayoutStatus();

  QFont m_buttonFont, m_statusFont, m_titleFont;
  ks::skin::CColorButton* m_btStart;
  ks::skin::CColorButton* m_btStop;
  ks::skin::CDiyStatic* m_stStatus;
  ks::skin::CDiyStatic* m_stTitle;
  CApIcon* m_icon;
};

}  // namespace ks::desktop
