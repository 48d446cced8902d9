// CKestylApp: the desktop program object. Run() takes the program's arguments and returns
// the process exit code.
//
//  - Single instance: the platform's instance lock run/Kestyl-<uid>.lock (the label of the
//    lock is kInstanceLabel). A second start sends 0x604 to the running copy's wake
//    endpoint and ends with 0 (quietly when nobody listens).
//  - Not elevated (and not started by the agent's launcher): hands over to the agent or to
//    the elevation prompt (see startup.h) and ends with 0. "autostartup" in the arguments
//    makes the start an autostart (the agent is waited for; pause KESTYL_AGENT_POLL_MS,
//    default 1000).
//  - Elevated: init() (stops the outside synchronisation programs, loads the configuration
//    with its defaults from <bin>/roaming, SyncOn "false", the log conf/ks_log.log), then the
//    main window until it ends; its exit code (0; 1 when the agent service cannot be
//    started). SIGTERM and SIGHUP run the window's end-of-session steps and end with 0,
//    leaving the agent's service running.
//  - The wake endpoint run/Kestyl-<uid>.sock (0600) is served while the main window runs:
//    12-byte frames {message, wparam, lparam} (little-endian); only 0x604 is delivered (as
//    a posted message to the window), anything else is dropped.
// Main thread only.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QPointer>

#include <string>
#include <vector>

class QSocketNotifier;

namespace ks::app {

inline constexpr const char* kInstanceLabel = "741BB635-93EF-441D-9D99-D369FC23972B_KESTYL";
inline constexpr const char* kWindowClass = "KestylSettingDlg";

// KESTYL_AGENT_POLL_MS (1.., default 1000).
int AgentPollMs();

// Serves the wake endpoint for `target`: each whole frame whose message is allowed is
// posted to it; a connection that sends a partial frame is dropped at its end.
class WakeServer : public QObject {
  Q_OBJECT
 public:
  explicit WakeServer(QObject* target, QObject* parent = nullptr);
  ~WakeServer() override;
  // Listens at `path` (a stale socket there is replaced; mode 0600). False when it cannot.
  bool Listen(const std::string& path);
  std::string Path() const { return path_; }

 private:
  void OnConnection();
  QPointer<QObject> target_;
  QLocalServer server_;
  std::string path_;
};

// SIGTERM and SIGHUP turned into a call on the GUI thread (self-pipe + QSocketNotifier).
class TerminationWatch : public QObject {
  Q_OBJECT
 public:
  explicit TerminationWatch(QObject* parent = nullptr);
  ~TerminationWatch() override;
  bool Installed() const { return notifier_ != nullptr; }

 signals:
  void terminationRequested(int signal);

 private:
  QSocketNotifier* notifier_ = nullptr;
};

class CKestylApp {
 public:
  // The whole program; the process exit code.
  int Run(const std::vector<std::string>& arguments);
  // The elevated start's preparation; true when the configuration was loaded.
  static bool init();
  // Runs the main window (the elevated path); its exit code.
  int RunMainWindow();
};

}  // namespace ks::app
