// The service table: a small file-backed stand-in for a service control manager.
//
// One folder, <PlatformDir()>/services, holds per service:
//   <name>.conf     its configuration ("key value" lines; one "arg" line per argument of
//                   the command that runs it)
//   <name>.status   its current status; the first line is the state number and name, e.g.
//                   "4 RUNNING", then "key value" lines (pid, check_point, wait_hint, ...)
//   <name>.history  every status report, one line each:
//                   "<epoch ms> <pid> <state> <STATE NAME> <check point> <wait hint> <exit code>
//                   <controls accepted>"
// Files are replaced atomically (write aside, rename), so a reader never sees half a file.
// Changes take a lock on the table (<dir>/services/.lock), so the service program itself,
// the agent's -i/-u, a command-line tool and the desktop program may all use one table.
//
// A service "exists" while its .conf exists. Start runs the configured command as a
// detached process (new session, standard streams on /dev/null); the program is expected to
// run its service main under RunServiceDispatcher (service_dispatcher.h), which reports its
// states here. Stop sends the stop control (SIGTERM, which the dispatcher turns into
// control 1). A status whose process has died without reporting STOPPED is read as STOPPED
// with exit code 1067. The start type is kept for queries only: nothing starts services at
// boot.
//
// Results are 0 or a ServiceError; the numbers are the ones Windows uses for the same
// conditions, so tools can show familiar codes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ks::platform {

enum ServiceState : uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
};
// "STOPPED", "START_PENDING", "STOP_PENDING", "RUNNING"; "UNKNOWN" for other numbers.
const char* ServiceStateName(uint32_t state);

enum ServiceStartType : uint32_t {
  kServiceAutoStart = 2,
  kServiceDemandStart = 3,
  kServiceDisabled = 4,
};
// "AUTO_START", "DEMAND_START", "DISABLED"; "UNKNOWN" for other numbers.
const char* ServiceStartTypeName(uint32_t startType);

enum ServiceControl : uint32_t {
  kServiceControlStop = 1,
  kServiceControlShutdown = 5,
};
constexpr uint32_t kServiceAcceptStop = 1;
constexpr uint32_t kServiceAcceptShutdown = 4;
constexpr uint32_t kServiceOwnProcess = 0x10;
constexpr uint32_t kServiceInteractiveProcess = 0x100;

enum ServiceError : int {
  kServiceOk = 0,
  kServiceProgramMissing = 2,        // the command cannot be executed
  kServiceIoError = 29,              // the table cannot be read or written
  kServiceInvalidParameter = 87,     // a text holds a line break, or the command is empty
  kServiceInvalidName = 123,         // empty, too long, or holds "/", "\\" or a control character
  kServiceAlreadyRunning = 1056,
  kServiceIsDisabled = 1058,
  kServiceDoesNotExist = 1060,
  kServiceCannotAcceptControl = 1061,
  kServiceNotActive = 1062,
  kServiceProcessAborted = 1067,     // exit code of a service that died without STOPPED
  kServiceExists = 1073,
};

struct ServiceStatus {
  uint32_t serviceType = kServiceOwnProcess;
  uint32_t currentState = kServiceStopped;
  uint32_t controlsAccepted = 0;
  uint32_t exitCode = 0;
  uint32_t serviceExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
  int pid = 0;  // the service's process; filled in by ReportStatus
};

struct ServiceConfig {
  std::string displayName;
  std::vector<std::string> command;  // program path, then its arguments
  uint32_t serviceType = kServiceOwnProcess;
  uint32_t startType = kServiceDemandStart;
  uint32_t errorControl = 1;
  std::string account = "LocalSystem";
  std::string description;
};

// Every argument in double quotes, separated by blanks: "\"/x/prog\" \"-r\" \"name\"".
std::string CommandLineText(const std::vector<std::string>& command);

// KESTYL_PLATFORM_DIR when set; else /var/lib/kestyl-platform for root, else
// $XDG_STATE_HOME/kestyl-platform or ~/.local/state/kestyl-platform.
std::string PlatformDir();

class ServiceTable {
 public:
  explicit ServiceTable(std::string platformDir = PlatformDir());

  const std::string& PlatformFolder() const { return platformDir_; }
  const std::string& Folder() const { return folder_; }  // <platformDir>/services
  std::string ConfigPath(const std::string& name) const;
  std::string StatusPath(const std::string& name) const;
  std::string HistoryPath(const std::string& name) const;

  static bool ValidName(const std::string& name);

  // CreateService: kServiceExists when the name is taken (the table is not changed).
  int Create(const std::string& name, const ServiceConfig& config);
  // OpenService (+ QueryServiceConfig when `config` is given): kServiceDoesNotExist.
  int Open(const std::string& name, ServiceConfig* config = nullptr) const;
  bool Exists(const std::string& name) const { return Open(name) == kServiceOk; }
  // DeleteService: removes the configuration and the status. A running service keeps
  // running but can no longer report, nor be stopped through the table (stop it first).
  int Delete(const std::string& name);
  // ChangeServiceConfig: replaces the whole configuration.
  int ChangeConfig(const std::string& name, const ServiceConfig& config);
  int SetStartType(const std::string& name, uint32_t startType);
  int QueryStartType(const std::string& name, uint32_t& startType) const;

  // StartService: runs the command detached, with KESTYL_PLATFORM_DIR naming this table's
  // folder, and records START_PENDING with its pid.
  int Start(const std::string& name);
  // ControlService(stop): kServiceNotActive when stopped, kServiceCannotAcceptControl when
  // the service does not accept it (yet).
  int Stop(const std::string& name);
  // QueryServiceStatus: STOPPED for an installed service that never ran.
  int QueryStatus(const std::string& name, ServiceStatus& status) const;

  // SetServiceStatus, for the dispatcher: writes the status (with the caller's pid) and
  // appends it to the history. kServiceDoesNotExist once the service was deleted.
  int ReportStatus(const std::string& name, const ServiceStatus& status);
  // The reports so far, oldest first (every field but the service exit code).
  int ReadHistory(const std::string& name, std::vector<ServiceStatus>& reports) const;

 private:
  int WriteStatusLocked(const std::string& name, const ServiceStatus& status, uint64_t startTicks);
  std::string platformDir_;
  std::string folder_;
};

}  // namespace ks::platform
