#include "platform/service_dispatcher.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <thread>

namespace ks::platform {

ServiceContext::ServiceContext(std::string name, ServiceTable table)
    : name_(std::move(name)), table_(std::move(table)) {}

void ServiceContext::SetControlHandler(ControlHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

bool ServiceContext::ReportStatus(const ServiceStatus& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  last_ = status;
  reported_ = true;
  return table_.ReportStatus(name_, status) == kServiceOk;
}

ServiceStatus ServiceContext::LastStatus() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!reported_) {
    ServiceStatus s;
    s.currentState = kServiceStartPending;  // the service main has not reported yet
    return s;
  }
  return last_;
}

void ServiceContext::Deliver(uint32_t control) {
  ControlHandler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handler = handler_;
  }
  if (handler) handler(control);  // outside the lock: the handler reports statuses
}

int RunServiceDispatcher(const std::string& name, const std::function<void(ServiceContext&)>& serviceMain,
                         const ServiceTable& table) {
  if (!ServiceTable::ValidName(name)) return kServiceInvalidName;
  if (!table.Exists(name)) return kServiceDoesNotExist;

  sigset_t stopSignals, previous;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);

  ServiceContext context(name, table);
  std::atomic<bool> finished{false};
  std::thread service([&] {
    serviceMain(context);
    finished.store(true);
  });

  bool stopWanted = false;
  while (!finished.load()) {
    struct timespec slice = {0, 100 * 1000 * 1000};
    int sig = sigtimedwait(&stopSignals, nullptr, &slice);
    if (sig == SIGTERM || sig == SIGINT) stopWanted = true;
    if (!stopWanted) continue;
    ServiceStatus s = context.LastStatus();
    if (s.currentState == kServiceRunning && (s.controlsAccepted & kServiceAcceptStop)) {
      stopWanted = false;
      context.Deliver(kServiceControlStop);
    } else if (s.currentState == kServiceStopped || s.currentState == kServiceStopPending) {
      stopWanted = false;
    }
  }
  service.join();

  if (context.LastStatus().currentState != kServiceStopped) {
    ServiceStatus s;
    s.exitCode = kServiceProcessAborted;
    context.ReportStatus(s);
  }
  // Drop stop signals that came too late, so that unblocking does not kill the process.
  struct timespec none = {0, 0};
  while (sigtimedwait(&stopSignals, nullptr, &none) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return kServiceOk;
}

}  // namespace ks::platform
