// The agent's entry: console mode, service install/remove, the service main with its
// control handler, the step tables, start-up (Service_InitProgram) and exit (Service_Exit).
//
// Command line (AgentMain):
//   no argument      console mode: start-up, then run until the stop flag is raised (also
//                    by SIGINT/SIGTERM); then Service_Exit and 0. A failed start-up
//                    returns -1 at once.
//   one argument     nothing; 0
//   -i <name>        install the service <name> (runs "<program>" "-r" "<name>"); 0 or -1
//                    (-1 also when it is installed already: the table stays as it was)
//   -u <name>        remove it; -1 when it is not installed
//   -r <name>        run as the service <name> under the service dispatcher; 0 or -1
//   anything else    -1
//
// Service mode: START_PENDING (check point counting the init steps), RUNNING, then on the
// stop or shutdown control, or when the stop flag is raised from inside: STOP_PENDING, the
// stop (or shutdown) table, and STOPPED, reported once. A failed start-up goes from
// START_PENDING straight to STOPPED and raises the stop flag (jobs it started end).
#pragma once

#include <cstdint>
#include <string>

namespace ks::platform {
class ServiceContext;
}

namespace ks::service {

// Handed to the control-handler registration; an own-process service ignores it, its
// status goes to the entry the dispatcher runs.
inline constexpr const char* kServiceName = "KestylClient";
// The single-instance lock's name (a lock file in <root>/run).
inline constexpr const char* kInstanceName = "19501312-11b4-4fa5-a340-61cd60e8b711";

// A step: 0 = success. Tables end with a null entry.
using ServiceStep = int (*)();
extern const ServiceStep kInitTable[];      // raise priorities; Service_InitProgram
extern const ServiceStep kStopTable[];      // Service_Exit
extern const ServiceStep kShutdownTable[];  // Service_Exit

int AgentMain(int argc, char** argv);

bool ServiceExists(const std::string& name);
bool ServiceInstall(const std::string& name);
bool ServiceRemove(const std::string& name);

// Step runner: before each step the check point goes up by one and the status is reported
// (state unchanged; nothing is reported outside service mode). 0 when every step returned
// 0, -1 at the first failing step.
int RunSteps(const ServiceStep* table);

// The service main with the tables above, and with given tables (tests).
void ServiceMain(ks::platform::ServiceContext& context);
void ServiceMainWithTables(ks::platform::ServiceContext& context, const ServiceStep* initTable,
                           const ServiceStep* stopTable, const ServiceStep* shutdownTable);
// Control 1 (stop) runs the stop sequence with the stop table, 5 (shutdown) with the
// shutdown table; others are ignored. Always 0.
uint32_t ControlHandler(uint32_t control);

}  // namespace ks::service

// Brings the whole agent up: 0, or 4124 (another instance runs: "server exits."), 4125
// (no install root, or the database cannot be opened: "open database error."), 4126 (the
// log file cannot be opened: "open log file exits."), -1 (no MAC address), or the code of
// the server-list table, the communication start, a handler registration or a job dispatch.
int Service_InitProgram();
// Logs out at the server, closes the database, logs "exit server.", stops the
// communication layer, then waits up to 5 s for the pool jobs to return (the process's
// globals are destroyed once it ends). Always 0. Not for a pool job: it would wait for
// itself.
int Service_Exit();
