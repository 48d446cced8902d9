// net: starting and stopping services of the service table (platform/service_table.h).
//
//   net start <name>   starts it and waits (at most 30 s) until it runs
//   net stop <name>    stops it and waits (at most 30 s) until it has stopped
//
// Success exits 0; every failure exits 2 with the message of the case.
#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "platform/elevation.h"
#include "platform/service_table.h"

using namespace ks::platform;

namespace {

int Fail(const std::string& text) {
  std::cout << text << "\n\n";
  return 2;
}

int HelpMessage(const std::string& text, int number) {
  return Fail(text + "\n\nMore help is available by typing NET HELPMSG " + std::to_string(number) + ".");
}

// Waits until the state is `want`, or no longer `pending`, for at most 30 s.
uint32_t WaitFor(const ServiceTable& table, const std::string& name, uint32_t want, uint32_t pending) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  ServiceStatus s;
  while (true) {
    if (table.QueryStatus(name, s) != kServiceOk) return kServiceStopped;
    if (s.currentState == want || s.currentState != pending) return s.currentState;
    if (std::chrono::steady_clock::now() >= deadline) return s.currentState;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cout << "The syntax of this command is:\n\nNET\n    [ START | STOP ] <service>\n";
    return 1;
  }
  std::string op = argv[1], name = argv[2];
  for (char& c : op) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (op != "start" && op != "stop") {
    std::cout << "The syntax of this command is:\n\nNET\n    [ START | STOP ] <service>\n";
    return 1;
  }
  ServiceTable table;
  ServiceConfig config;
  if (table.Open(name, &config) != kServiceOk) return HelpMessage("The service name is invalid.", 2185);
  std::string shown = config.displayName.empty() ? name : config.displayName;
  if (!IsProcessElevated()) return Fail("System error 5 has occurred.\n\nAccess is denied.");
  ServiceStatus s;
  table.QueryStatus(name, s);
  if (op == "start") {
    if (s.currentState != kServiceStopped) return HelpMessage("The requested service has already been started.", 2182);
    int rc = table.Start(name);
    if (rc == kServiceAlreadyRunning) return HelpMessage("The requested service has already been started.", 2182);
    if (rc != kServiceOk) return Fail("System error " + std::to_string(rc) + " has occurred.");
    std::cout << "The " << shown << " service is starting.\n";
    if (WaitFor(table, name, kServiceRunning, kServiceStartPending) != kServiceRunning) {
      return HelpMessage("The " + shown + " service could not be started.", 3521);
    }
    std::cout << "The " << shown << " service was started successfully.\n\n";
    return 0;
  }
  if (s.currentState == kServiceStopped) return HelpMessage("The " + shown + " service is not started.", 3521);
  int rc = table.Stop(name);
  if (rc == kServiceNotActive) return HelpMessage("The " + shown + " service is not started.", 3521);
  if (rc != kServiceOk) return Fail("System error " + std::to_string(rc) + " has occurred.");
  std::cout << "The " << shown << " service is stopping.\n";
  if (WaitFor(table, name, kServiceStopped, kServiceStopPending) != kServiceStopped) {
    return Fail("The " + shown + " service could not be stopped.");
  }
  std::cout << "The " << shown << " service was stopped successfully.\n\n";
  return 0;
}
