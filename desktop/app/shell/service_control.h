// Control of the agent's service "Kestyl" by the desktop program: install and start it when
// it does not run, watch it, repair it when found stopped, stop it when the owner quits, and
// the elevation step with its notice.
//
// Everything the control does to the system goes through a ServiceHost, so that the
// decisions (which commands, in which order, how many pauses, when to give up) can be run
// against a recording host. The real host (RealServiceHost) uses the system tools of the
// system folder (sc, net, taskkill) through CKSUtil, the elevation prompt stand-in and the
// service table.
//
// Guarantees:
//  - InstallAndStartService queries "sc query Kestyl" at most twice before acting (one
//    pause after each query that finds the service present but not running), writes the
//    repair script "_tmp_reg_service.bat" into the configuration folder (created anew,
//    never through a link, owner-only, removed after the run) and runs it elevated; when
//    the script cannot be written it runs "sc description" and "net start" instead (which
//    never install). Only the last query decides the result; on failure the timers are
//    stopped and the owner is told ("MSGBOX_SERVICE_START_FAILED").
//  - The watch counts stopped observations; the count starts again at 0 whenever the
//    service is seen in another state. Up to 5 consecutive stops are repaired, the sixth
//    ends the program. A repair runs under the closing gate: once the window set
//    `closing`, no repair starts, and closing waits for a running one.
//  - StopService stops the service only when it exists, is not stopped and the process is
//    an administrator; then "sc stop Kestyl", a wait of at most 11 checks for the agent to
//    end, and "taskkill /im KestylClient.exe /f" in every case.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace ks::app {

inline constexpr const char* kServiceName = "Kestyl";
inline constexpr const char* kServiceQuery = "sc query Kestyl";
inline constexpr const char* kRepairScriptName = "_tmp_reg_service.bat";
inline constexpr const char* kServiceDescriptionParameters =
    "description Kestyl \"Provides Kestyl data transmitting supports.\"";
inline constexpr const char* kAgentProcessName = "KestylClient";
inline constexpr int kMaxWatchRepairs = 5;

class ServiceHost {
 public:
  virtual ~ServiceHost() = default;
  // Output (standard output and error) of a command of the system folder; "ERROR" when
  // it cannot be run.
  virtual std::string RunCommand(const std::string& command) = 0;
  virtual void Pause(int ms) = 0;
  // Creates <configuration folder>/<name> afresh with the text; false when it cannot.
  virtual bool WriteScript(const std::string& name, const std::string& text) = 0;
  virtual void RemoveScript(const std::string& name) = 0;
  // The elevation prompt (waits for the program): 0 when it ran.
  virtual int RunAs(const std::string& program, const std::string& parameters) = 0;
  // The elevation notice: a one-button box with the text; returns when it is dismissed.
  virtual void ShowNotice(const std::string& text) = 0;
  // The box that tells the service could not be started.
  virtual void ShowStartFailed() = 0;
  // Stops the request-ageing and service-state timers.
  virtual void StopTimers() = 0;
  // Ends the program (the log-in dialog's quit).
  virtual void EndProgram() = 0;
  virtual std::string Text(const std::string& section, const std::string& key) = 0;
  virtual bool IsVistaOrLater() = 0;
  virtual bool IsUacEnabled() = 0;
  virtual bool IsElevated() = 0;
  virtual bool IsUserAdmin() = 0;
  virtual bool IsProcessRunning(const std::string& name) = 0;
  virtual bool DebugOn() = 0;
  // A log line of the service control (written only when DebugOn says so).
  virtual void Log(const std::string& function, const std::string& line) = 0;
  virtual std::string ProgramFolder() = 0;
  virtual std::string ConfigFolder() = 0;
  virtual std::string SystemFolder() = 0;
};

// The window's closing flag and the lock that the closing paths and a repair share. The
// lock is recursive: a repair runs on the window's thread and shows boxes, whose nested
// event loops may run a closing path on that same thread.
struct ClosingGate {
  std::recursive_mutex lock;
  bool closing = false;
};

// The script text of a repair: the install line only when `installed` is false.
std::string RepairScriptText(const std::string& programFolder, const std::string& systemFolder,
                             bool installed);

class ServiceControl {
 public:
  explicit ServiceControl(ServiceHost& host) : host_(host) {}

  bool InstallAndStartService();
  // The elevation step: notice (the message, or "MSGBOX_UAC" when it has at most one
  // character) when a prompt will come, then the program. True when it ran.
  bool RunElevated(const std::string& program, const std::string& parameters,
                   const std::string& message);
  void StopService();

  enum class WatchResult { kNothing, kBusy, kClosing, kRepaired, kRepairFailed, kEnded };
  // One tick of the watch with the state read from the service table (nullopt: the table
  // or the service could not be read).
  WatchResult OnWatchState(std::optional<uint32_t> state, ClosingGate& gate);
  int StoppedCount() const { return stoppedCount_; }
  bool Repairing() const { return repairing_; }

 private:
  std::string Message(const char* key) { return host_.Text("MESSAGEBOX", key); }
  ServiceHost& host_;
  int stoppedCount_ = 0;
  bool repairing_ = false;
};

}  // namespace ks::app
