// sc: service control over the service table (platform/service_table.h).
//
//   sc query <name>                 status
//   sc qc <name>                    configuration
//   sc config <name> [binPath= <command line>] [start= auto|demand|disabled]
//   sc description <name> <text>
//   sc start <name> / sc stop <name>   (waits up to 30 s for the state to settle)
//
// Failures print "[SC] <Call> FAILED <code>:", a blank line and the text; the exit code is
// the number when it fits in 8 bits, else 1. Changing commands need an elevated caller.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/elevation.h"
#include "platform/process.h"
#include "platform/service_table.h"

using namespace ks::platform;

namespace {

const char* ErrorText(int code) {
  switch (code) {
    case 5: return "Access is denied.";
    case 87: return "The parameter is incorrect.";
    case 1056: return "An instance of the service is already running.";
    case 1058: return "The service cannot be started, either because it is disabled or because it has no enabled devices associated with it.";
    case 1060: return "The specified service does not exist as an installed service.";
    case 1061: return "The service cannot accept control messages at this time.";
    case 1062: return "The service has not been started.";
    case 2: return "The system cannot find the file specified.";
    default: return "The service table cannot be read or written.";
  }
}

int Fail(const std::string& call, int code) {
  std::cout << "[SC] " << call << " FAILED " << code << ":\n\n" << ErrorText(code) << "\n\n";
  return code > 0 && code < 256 ? code : 1;
}

void PrintStatus(const std::string& name, const ServiceStatus& s) {
  std::cout << "\nSERVICE_NAME: " << name << "\n"
            << "        TYPE               : 10  WIN32_OWN_PROCESS\n"
            << "        STATE              : " << s.currentState << "  " << ServiceStateName(s.currentState) << "\n";
  std::string controls = (s.controlsAccepted & kServiceAcceptStop) ? "STOPPABLE" : "NOT_STOPPABLE";
  controls += ", NOT_PAUSABLE, ";
  controls += (s.controlsAccepted & kServiceAcceptShutdown) ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN";
  char hex[64];
  std::cout << "                                (" << controls << ")\n";
  std::snprintf(hex, sizeof hex, "%u  (0x%x)", s.exitCode, s.exitCode);
  std::cout << "        WIN32_EXIT_CODE    : " << hex << "\n";
  std::snprintf(hex, sizeof hex, "%u  (0x%x)", s.serviceExitCode, s.serviceExitCode);
  std::cout << "        SERVICE_EXIT_CODE  : " << hex << "\n";
  std::snprintf(hex, sizeof hex, "0x%x", s.checkPoint);
  std::cout << "        CHECKPOINT         : " << hex << "\n";
  std::snprintf(hex, sizeof hex, "0x%x", s.waitHint);
  std::cout << "        WAIT_HINT          : " << hex << "\n";
  if (s.pid > 0 && s.currentState != kServiceStopped) std::cout << "        PID                : " << s.pid << "\n";
}

// Polls the status until it settles (at most 30 s): after a start, until it is no longer
// START_PENDING; after a stop, until it is STOPPED.
ServiceStatus Settle(const ServiceTable& table, const std::string& name, bool stopping) {
  ServiceStatus s;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (true) {
    if (table.QueryStatus(name, s) != kServiceOk) break;
    if (stopping ? s.currentState == kServiceStopped : s.currentState != kServiceStartPending) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return s;
}

bool StartTypeFrom(const std::string& text, uint32_t& type) {
  if (text == "auto") type = kServiceAutoStart;
  else if (text == "demand") type = kServiceDemandStart;
  else if (text == "disabled") type = kServiceDisabled;
  else return false;
  return true;
}

int Config(ServiceTable& table, const std::string& name, const std::vector<std::string>& args) {
  ServiceConfig config;
  int rc = table.Open(name, &config);
  if (rc != kServiceOk) return Fail("OpenService", rc);
  for (size_t i = 0; i < args.size(); ++i) {
    std::string key = args[i], value;
    size_t eq = key.find('=');
    if (eq == std::string::npos) return Fail("ChangeServiceConfig", 87);
    value = key.substr(eq + 1);
    key = key.substr(0, eq);
    if (value.empty()) {
      if (i + 1 >= args.size()) return Fail("ChangeServiceConfig", 87);
      value = args[++i];
    }
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (key == "binpath") {
      config.command = SplitCommandLine(value);
      if (config.command.empty()) return Fail("ChangeServiceConfig", 87);
    } else if (key == "start") {
      if (!StartTypeFrom(value, config.startType)) return Fail("ChangeServiceConfig", 87);
    } else if (key == "displayname") {
      config.displayName = value;
    } else {
      return Fail("ChangeServiceConfig", 87);
    }
  }
  rc = table.ChangeConfig(name, config);
  if (rc != kServiceOk) return Fail("ChangeServiceConfig", rc);
  std::cout << "[SC] ChangeServiceConfig SUCCESS\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cout << "DESCRIPTION:\n        SC is a command line program used for communicating with the\n"
                 "        Service Control Manager and services.\nUSAGE:\n"
                 "        sc <command> [service name] <option1> <option2>...\n";
    return argc < 2 ? 0 : 1;
  }
  std::string op = argv[1], name = argv[2];
  for (char& c : op) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::vector<std::string> rest(argv + 3, argv + argc);
  ServiceTable table;
  bool changes = op == "config" || op == "description" || op == "start" || op == "stop";
  if (changes && !IsProcessElevated()) return Fail("OpenService", 5);
  ServiceConfig config;
  int rc = table.Open(name, &config);
  if (rc != kServiceOk) return Fail("OpenService", rc);

  if (op == "query") {
    ServiceStatus s;
    rc = table.QueryStatus(name, s);
    if (rc != kServiceOk) return Fail("QueryServiceStatus", rc);
    PrintStatus(name, s);
    return 0;
  }
  if (op == "qc") {
    std::cout << "[SC] QueryServiceConfig SUCCESS\n\nSERVICE_NAME: " << name << "\n"
              << "        TYPE               : 10  WIN32_OWN_PROCESS\n"
              << "        START_TYPE         : " << config.startType << "   " << ServiceStartTypeName(config.startType) << "\n"
              << "        ERROR_CONTROL      : " << config.errorControl << "   NORMAL\n"
              << "        BINARY_PATH_NAME   : " << JoinCommandLine(config.command) << "\n"
              << "        LOAD_ORDER_GROUP   :\n        TAG                : 0\n"
              << "        DISPLAY_NAME       : " << (config.displayName.empty() ? name : config.displayName) << "\n"
              << "        DEPENDENCIES       :\n"
              << "        SERVICE_START_NAME : " << config.account << "\n";
    return 0;
  }
  if (op == "config") return Config(table, name, rest);
  if (op == "description") {
    std::string text;
    for (size_t i = 0; i < rest.size(); ++i) text += (i ? " " : "") + rest[i];
    config.description = text;
    rc = table.ChangeConfig(name, config);
    if (rc != kServiceOk) return Fail("ChangeServiceConfig2", rc);
    std::cout << "[SC] ChangeServiceConfig2 SUCCESS\n";
    return 0;
  }
  if (op == "start" || op == "stop") {
    rc = op == "start" ? table.Start(name) : table.Stop(name);
    if (rc != kServiceOk) return Fail(op == "start" ? "StartService" : "ControlService", rc);
    PrintStatus(name, Settle(table, name, op == "stop"));
    return 0;
  }
  std::cout << "[SC] Unknown command: " << argv[1] << "\n";
  return 1;
}
