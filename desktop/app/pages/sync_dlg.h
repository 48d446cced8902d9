// CSyncDlg: the synchronisation page of the main window. A child widget placed by the main
// window at x = 5 of its page area; it paints nothing of its own, so the window's skin shows
// behind its picture controls. On it the owner chooses this PC's role (primary or
// secondary), the folder to synchronise (inside the data folder), switches the
// synchronisation on and off and saves the log of finished transfers as CSV.
//
// The page keeps nothing the configuration does not: SyncAsPrimary, SyncPath and SyncOn are
// read again at every paint and written by the handlers. Switching on checks, in order: a
// sync path that is neither empty nor "/" (FORBIDDEN_PATH), a saved account (NOTLOGGEDIN),
// the adapter (NO_DRIVER, Yes installs it; the switch stays off either way), the folder
// (allowed, and the data folder is it or lies above it per path component after link
// resolution: FORBIDDEN_PATH), then Configure, StartNetwork and Run (FAILEDTOOPEN). Any
// failure leaves the switch off. Switching off that fails (FAILEDTOSTOP) leaves it on.
// A switch action refuses a second one (process-wide busy flag: the second click is undone);
// an export refuses a second export of the same page.
//
// The destruction stops the synchronisation and writes SyncOn "false".
//
// Everything outside the page goes through SyncServices, whose defaults are the real ones
// (configuration, CSyncLogic, skinned boxes, the folder picker, the save dialog).
// GUI thread only.
#pragma once

#include <QPointer>
#include <QWidget>

#include <mutex>
#include <optional>
#include <string>

class QLineEdit;

namespace z {
class CZButton;
class CZRadioButton;
class CZStatic;
class CZToggleButton;
}  // namespace z

namespace ks::desktop {
class IUIData;
}

namespace ks::pages {

class SyncServices {
 public:
  virtual ~SyncServices() = default;
  // The configuration's values ("true"/"false" and the path).
  virtual std::string ReadSyncOn();
  virtual std::string ReadSyncAsPrimary();
  virtual std::string ReadSyncPath();
  virtual void WriteSyncOn(const std::string& value);
  virtual void WriteSyncAsPrimary(const std::string& value);
  virtual void WriteSyncPath(const std::string& value);
  // The synchronisation control (CSyncLogic).
  virtual bool CheckAdapter(std::u16string& adapterIndex);
  virtual bool InstallDriver();
  virtual bool Configure(const std::u16string& adapterIndex, const std::string& account,
                         const std::string& syncFolder, bool isPrimary);
  virtual bool StartNetwork();
  virtual bool Run();
  virtual bool Stop();
  virtual bool ExportLog(const std::string& csvPath);
  // A skinned box by key (type 0 OK, 4 Yes/No); 1 for OK or Yes.
  virtual int ShowBox(const std::string& key, unsigned type);
  virtual std::optional<std::string> PickFolder(QWidget* parent);
  // The save dialog: filters "Excel (*.csv)" and "All (*.*)", suffix "csv"; nullopt when
  // cancelled.
  virtual std::optional<std::string> SaveFileName();

  // The real services, made on first use (they also show the synchronisation's notices).
  static SyncServices* System();
};

class CSyncDlg : public QWidget {
  Q_OBJECT
 public:
  // Template 103 in pixels (318 x 122 dialog units of an 8-point font).
  static QSize PageSize();

  // `uiData` may be null (the switch and the folder choice then find no account and no data
  // folder); one reference is held. `services` null: SyncServices::System().
  explicit CSyncDlg(ks::desktop::IUIData* uiData, QWidget* parent = nullptr, SyncServices* services = nullptr);
  ~CSyncDlg() override;

  void LoadLanguageTexts();

  void OnBnClickedSyncSwitch();
  void OnBnClickedPrimary();
  void OnBnClickedSecondary();
  void OnBnClickedSelect();
  void OnBnClickedOutputLog();

  // Controls, for the owner's layout and for tests.
  z::CZToggleButton* SwitchButton() const { return m_switch; }
  z::CZRadioButton* PrimaryButton() const { return m_primary; }
  z::CZRadioButton* SecondaryButton() const { return m_secondary; }
  z::CZButton* SelectButton() const { return m_select; }
  z::CZButton* OutputButton() const { return m_output; }
  z::CZStatic* StatusStatic() const { return m_status; }
  QLineEdit* PathEdit() const { return m_pathEdit; }
  const std::string& SyncPath() const { return m_syncPath; }
  // Reads the configuration into the controls (every paint does this first).
  void RefreshFromConfig();

  static constexpr QRgb kNoteColour = 0xFF0093F0;
  static constexpr QRgb kTextColour = 0xFF434343;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  void SetStatus(const char* key);

  ks::desktop::IUIData* uiData_;
  SyncServices* services_;
  z::CZStatic* m_title;
  z::CZStatic* m_device;
  z::CZStatic* m_note;
  z::CZStatic* m_pathLabel;
  z::CZStatic* m_status;
  z::CZToggleButton* m_switch;
  z::CZRadioButton* m_primary;
  z::CZRadioButton* m_secondary;
  z::CZButton* m_select;
  z::CZButton* m_output;
  QLineEdit* m_pathEdit;
  std::string m_syncPath;
  std::mutex exportLock_;
  bool exportRunning_ = false;
};

}  // namespace ks::pages
