// What start-up and exit need of the agent's other modules, one small function each.
//
// Service_InitProgram and Service_Exit (service.h) reach the database, the network
// identity, the shares, the communication layer, the handler registry and the pool jobs
// only through these functions, so each can be bound to its module in this one place.
#pragma once

#include <string>
#include <vector>

namespace ks::service {

// Opens the agent's database at `path` and keeps it as the process-wide database.
// 0 on success; anything else makes start-up fail with "open database error." (4125).
int OpenDatabase(const std::string& path);
// Closes the process-wide database; a failure to close is swallowed.
void CloseDatabase();
// Console echo flag and level threshold from ks_conf (ParseLogConf): 0 and 600 by default.
void ReadLogConf(int& echo, unsigned& threshold);
// CreateSVListTable: 0, or the SQLite error code that start-up returns.
int CreateServerListTable();
// GetMacAddr: the first adapter's MAC address text; "" when there is none.
std::string FirstMacAddress();
// ClearDefaultDirTmp: removes left-over temporary upload files from the default folders.
void RemoveUploadLeftovers();
// ParseLocalPort: the message server's port from ks_conf (0 = any free port).
int ReadLocalPort();
// Stores the system's name and type in the agent's state (state.h).
void InitOsInfo();
// GetDefLangEncode: "gb2312", "big5" or "en".
std::string DefaultTextEncoding();
// GetLoaclIp: 0 and the local address text, or non-zero.
int LocalIpText(std::string& ip);
// OS_Init: the shared mutexes, the thread pool and the local message server; 0 or its code.
int StartCommunication();
// RegBusinessFun (with RegShowFun): 0 or the code of the registration that failed.
int RegisterHandlers();
// LogOut at the vendor's server with the current server host and port.
void LogOutAtServer();
// OS_Exit: raises the stop flag and releases the communication layer.
void StopCommunication();
// Waits until every pool job has returned (each ends by itself once the stop flag is up),
// at most `timeoutMs`; the number of jobs still running then (0 when all returned, and then
// UDT's own threads are ended too, before the process's globals go).
int WaitForJobsToEnd(int timeoutMs);

// A long-lived pool job that start-up dispatches, in order.
struct StartupJob {
  const char* name;
  void (*run)(void* arg);
  // Logged (module "KestylClient", ERROR) when the job cannot be dispatched, and the start-up
  // then fails with the dispatch result; null: the dispatch result is not checked.
  const char* failureMessage;
  bool closesDatabaseOnFailure;
};
// UserOp, HeartBeat, StartRecvInterLine, InterLineUpLoadFile, StartP2PClient,
// StartBroadcastServer, TimingBroadcastWakeup, StartHttpServer, StartAutoTiding.
const std::vector<StartupJob>& StartupJobs();
// DispatchThreadPool(job.run, null): 0 or -1.
int DispatchJob(const StartupJob& job);

}  // namespace ks::service
