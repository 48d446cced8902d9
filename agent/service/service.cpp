#include "agent/service/service.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "agent/log/log.h"
#include "agent/core/state/state.h"
#include "platform/event.h"
#include "platform/install_root.h"
#include "platform/service_dispatcher.h"
#include "platform/service_table.h"
#include "platform/thread.h"

namespace ks::service {
namespace {

using ks::platform::ServiceStatus;

// Raises priorities. The crash filter has no counterpart: a crash here ends the process
// without any dialog already.
int RaisePriorities() {
  ks::platform::RaiseProcessPriority();
  ks::platform::RaiseThreadPriority();
  return 0;
}

int ExitStep() { return Service_Exit(); }

// The service run: what the service main, the control handler and the step runner share.
struct ServiceRun {
  std::mutex mutex;
  ks::platform::ServiceContext* context = nullptr;  // null outside service mode
  ServiceStatus status;
  std::shared_ptr<ks::platform::Event> stopEvent;
  std::atomic<bool> stopping{false};
  const ServiceStep* stopTable = nullptr;
  const ServiceStep* shutdownTable = nullptr;
};

ServiceRun& Run() {
  static auto* run = new ServiceRun();  // used by the dispatcher's thread until exit
  return *run;
}

// Changes the status record (a negative field keeps its value) and reports it.
void Report(int state, int checkPoint, int waitHint) {
  ServiceRun& run = Run();
  std::lock_guard<std::mutex> lock(run.mutex);
  if (state >= 0) run.status.currentState = static_cast<uint32_t>(state);
  if (checkPoint >= 0) run.status.checkPoint = static_cast<uint32_t>(checkPoint);
  if (waitHint >= 0) run.status.waitHint = static_cast<uint32_t>(waitHint);
  if (run.context) run.context->ReportStatus(run.status);
}

void NextCheckPoint() {
  ServiceRun& run = Run();
  std::lock_guard<std::mutex> lock(run.mutex);
  ++run.status.checkPoint;
  if (run.context) run.context->ReportStatus(run.status);
}

// The stop sequence runs once, whoever asks first (a control or the stop flag): stop flag,
// STOP_PENDING, the table, and only then the stop event, on which the service main reports
// STOPPED, so STOPPED never comes before the table has run.
void RunStopSequence(const ServiceStep* table) {
  ServiceRun& run = Run();
  if (run.stopping.exchange(true)) return;
  std::shared_ptr<ks::platform::Event> event;
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    event = run.stopEvent;
  }
  ks::state::RequestStop();
  Report(ks::platform::kServiceStopPending, 0, 60000);
  RunSteps(table);
  if (event) event->Set();
}

}  // namespace

const ServiceStep kInitTable[] = {RaisePriorities, Service_InitProgram, nullptr};
const ServiceStep kStopTable[] = {ExitStep, nullptr};
const ServiceStep kShutdownTable[] = {ExitStep, nullptr};

int RunSteps(const ServiceStep* table) {
  for (const ServiceStep* step = table; step && *step; ++step) {
    NextCheckPoint();
    if ((*step)() != 0) return -1;
  }
  return 0;
}

uint32_t ControlHandler(uint32_t control) {
  ServiceRun& run = Run();
  if (control == ks::platform::kServiceControlStop) {
    RunStopSequence(run.stopTable);
  } else if (control == ks::platform::kServiceControlShutdown) {
    RunStopSequence(run.shutdownTable);
  }
  return 0;
}

void ServiceMainWithTables(ks::platform::ServiceContext& context, const ServiceStep* initTable,
                           const ServiceStep* stopTable, const ServiceStep* shutdownTable) {
  ServiceRun& run = Run();
  auto event = std::make_shared<ks::platform::Event>(/*manualReset=*/true, /*initiallySet=*/false);
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    run.context = &context;
    run.status = ServiceStatus();
    run.status.serviceType = ks::platform::kServiceOwnProcess;
    run.status.controlsAccepted = ks::platform::kServiceAcceptStop | ks::platform::kServiceAcceptShutdown;
    run.stopEvent = event;
    run.stopTable = stopTable;
    run.shutdownTable = shutdownTable;
    run.stopping.store(false);
  }
  context.SetControlHandler(ControlHandler);

  Report(ks::platform::kServiceStartPending, 0, 60000);
  if (RunSteps(initTable) == 0) {
    Report(ks::platform::kServiceRunning, 0, 0);
    // Waits with a time-out so that a stop flag raised from inside (a handler asking the
    // agent to end) also leads to the stop sequence.
    while (!event->Wait(500)) {
      if (ks::state::StopRequested()) RunStopSequence(stopTable);
    }
  } else {
    // Jobs a failed start-up had already started end with the process, as in the console.
    ks::state::RequestStop();
  }
  Report(ks::platform::kServiceStopped, 0, 0);

  context.SetControlHandler(nullptr);
  std::lock_guard<std::mutex> lock(run.mutex);
  run.context = nullptr;
  run.stopEvent.reset();
}

void ServiceMain(ks::platform::ServiceContext& context) {
  ServiceMainWithTables(context, kInitTable, kStopTable, kShutdownTable);
}

bool ServiceExists(const std::string& name) { return ks::platform::ServiceTable().Exists(name); }

bool ServiceInstall(const std::string& name) {
  std::string program = ks::platform::ProgramPath();
  if (program.empty()) return false;
  ks::platform::ServiceConfig config;
  config.displayName = name;
  config.command = {program, "-r", name};
  config.serviceType = ks::platform::kServiceOwnProcess | ks::platform::kServiceInteractiveProcess;
  config.startType = ks::platform::kServiceAutoStart;
  config.errorControl = 1;
  config.account = "LocalSystem";
  return ks::platform::ServiceTable().Create(name, config) == ks::platform::kServiceOk;
}

bool ServiceRemove(const std::string& name) {
  return ks::platform::ServiceTable().Delete(name) == ks::platform::kServiceOk;
}

namespace {

// Console mode. SIGINT and SIGTERM are taken by this thread alone (blocked before any
// other thread starts, so every thread inherits the mask) and raise the stop flag.
int RunConsole() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  if (Service_InitProgram() != 0) {
    // The reason is already on the console or in the log; a supervisor must see the failure.
    ks::state::RequestStop();
    return -1;
  }
  while (!ks::state::StopRequested()) {
    struct timespec second = {1, 0};
    int sig = sigtimedwait(&stopSignals, nullptr, &second);
    if (sig == SIGINT || sig == SIGTERM) ks::state::RequestStop();
  }
  Service_Exit();
  return 0;
}

}  // namespace

int AgentMain(int argc, char** argv) {
  // A send to a peer that has gone must fail, not kill the agent.
  ::signal(SIGPIPE, SIG_IGN);
  ks::state::SetInstallRoot(ks::platform::InstallRoot());

  if (argc <= 1) return RunConsole();
  if (argc == 2) return 0;
  const char* option = argv[1];
  const std::string name = argv[2];

  if (std::strcmp(option, "-i") == 0) {
    // The log is not open yet: these lines are dropped, only the result tells the caller.
    if (ServiceExists(name)) {
      KS_LOG_WARNING("CommLib", "Service %s exited!", name.c_str());
      return -1;
    }
    if (ServiceInstall(name)) {
      KS_LOG_INFO("CommLib", "Install service %s successful!", name.c_str());
      return 0;
    }
    KS_LOG_ERROR("CommLib", "Install service %s error!", name.c_str());
    return -1;
  }
  if (std::strcmp(option, "-u") == 0) {
    return ServiceExists(name) && ServiceRemove(name) ? 0 : -1;
  }
  if (std::strcmp(option, "-r") == 0) {
    return ks::platform::RunServiceDispatcher(name, ServiceMain) == ks::platform::kServiceOk ? 0 : -1;
  }
  return -1;
}

}  // namespace ks::service
