// The service dispatcher: runs a program's service main the way a service control manager
// would, for one own-process service of the service table (service_table.h).
//
// RunServiceDispatcher blocks SIGTERM and SIGINT for the whole process (threads started
// later inherit the mask), runs the service main on a thread of its own and turns each
// SIGTERM or SIGINT into the stop control (1) for the registered control handler, which
// runs on the dispatcher's (calling) thread. A control is delivered only while the
// service reports RUNNING and accepts stop; a signal that comes earlier waits for that, one
// that comes once it is stopping or stopped is dropped. Every status the service reports is
// written to the table (status file and history). The dispatcher returns once the service
// main has returned; a service that returned without reporting STOPPED is reported STOPPED
// with exit code 1067.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/service_table.h"

namespace ks::platform {

class ServiceContext {
 public:
  using ControlHandler = std::function<uint32_t(uint32_t control)>;

  ServiceContext(std::string name, ServiceTable table);
  ServiceContext(const ServiceContext&) = delete;
  ServiceContext& operator=(const ServiceContext&) = delete;

  const std::string& Name() const { return name_; }
  // RegisterServiceCtrlHandlerEx: replaces the handler; null removes it.
  void SetControlHandler(ControlHandler handler);
  // SetServiceStatus: remembered, and written to the table; false when the write failed
  // (the service goes on either way).
  bool ReportStatus(const ServiceStatus& status);
  ServiceStatus LastStatus() const;

  // For the dispatcher: runs the handler, if any, for one control.
  void Deliver(uint32_t control);

 private:
  const std::string name_;
  ServiceTable table_;
  mutable std::mutex mutex_;
  ControlHandler handler_;
  ServiceStatus last_;
  bool reported_ = false;
};

// StartServiceCtrlDispatcher for the service `name`: 0 once the service main has returned;
// kServiceInvalidName or kServiceDoesNotExist (not installed: nothing runs).
int RunServiceDispatcher(const std::string& name, const std::function<void(ServiceContext&)>& serviceMain,
                         const ServiceTable& table = ServiceTable());

}  // namespace ks::platform
