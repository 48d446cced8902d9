// Bindings of start-up to the other modules (startup_links.h).
//
// Until a module lands, its function here is a minimal stand-in that lets the agent start
// and stop for real; each says what it stands in for.
#include "agent/service/startup_links.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/utsname.h>

#include <mutex>
#include <thread>

#include "agent/service/state.h"
#include "agent/util/settings/settings.h"

namespace ks::service {
namespace {

std::mutex g_dbMutex;
sqlite3* g_db = nullptr;  // stand-in for the database module's process-wide database

// First column of the first row of `sql`; `fallback` when there is no row or the query
// fails; a NULL value reads as 0.
int QueryInt(const char* sql, int fallback) {
  std::lock_guard<std::mutex> lock(g_dbMutex);
  if (!g_db) return fallback;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(g_db, sql, -1, &stmt, nullptr) != SQLITE_OK) return fallback;
  int value = fallback;
  if (sqlite3_step(stmt) == SQLITE_ROW) value = sqlite3_column_int(stmt, 0);
  sqlite3_finalize(stmt);
  return value;
}

// Stand-in for every pool job that has not landed yet: it only waits for the stop flag.
void WaitForStop(void*) {
  while (!ks::state::SleepUnlessStopped(60 * 1000)) {
  }
}

// Stand-in for the thread pool: one thread per job, joined by StopCommunication. Never
// freed, so that threads still running at exit do not meet a destroyed vector.
std::mutex g_jobsMutex;
std::vector<std::thread>& Jobs() {
  static auto* jobs = new std::vector<std::thread>();
  return *jobs;
}

}  // namespace

int OpenDatabase(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_dbMutex);
  if (g_db) return 0;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  // Opening is lazy: read the schema once, so that a file that is no database fails here.
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, "select count(*) from sqlite_master;", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(db);
    return rc;
  }
  sqlite3_busy_timeout(db, 60000);
  g_db = db;
  return 0;
}

void CloseDatabase() {
  std::lock_guard<std::mutex> lock(g_dbMutex);
  if (g_db) sqlite3_close_v2(g_db);
  g_db = nullptr;
}

void ReadLogConf(int& echo, unsigned& threshold) {
  echo = QueryInt("select log_console from ks_conf limit 1;", 0);
  threshold = static_cast<unsigned>(QueryInt("select log_priority from ks_conf limit 1;", 600));
}

// Stand-in: the server list is written by the database module.
int CreateServerListTable() { return 0; }

// Stand-in: a fixed, locally administered address until the network identity lands.
std::string FirstMacAddress() { return "02-00-00-00-00-01"; }

// Stand-in: the shares module removes the left-overs.
void RemoveUploadLeftovers() {}

int ReadLocalPort() { return QueryInt("select localport from ks_conf limit 1;", 0); }

// Stand-in: the system's name from uname; the type keeps its default.
void InitOsInfo() {
  struct utsname u {};
  if (::uname(&u) == 0) ks::state::SetOsName(std::string(u.sysname) + " " + u.release);
}

// File names are UTF-8 on Linux: no conversion unless the setting asks for one.
std::string DefaultTextEncoding() {
  std::string e = ks::settings::TextEncodingOverride();
  return e.empty() ? "en" : e;
}

// Stand-in: the first IPv4 address of an interface that is up and not the loopback.
int LocalIpText(std::string& ip) {
  ip.clear();
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return -1;
  for (struct ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    if (!(a->ifa_flags & IFF_UP) || (a->ifa_flags & IFF_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN] = {};
    auto* sin = reinterpret_cast<struct sockaddr_in*>(a->ifa_addr);
    if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) {
      ip = text;
      break;
    }
  }
  ::freeifaddrs(list);
  return ip.empty() ? -1 : 0;
}

// Stand-in: the communication layer starts nothing yet.
int StartCommunication() { return 0; }

// Stand-in: no handler is registered yet.
int RegisterHandlers() { return 0; }

// Stand-in: nobody is logged on yet.
void LogOutAtServer() {}

void StopCommunication() {
  ks::state::RequestStop();
  std::vector<std::thread> jobs;
  {
    std::lock_guard<std::mutex> lock(g_jobsMutex);
    jobs.swap(Jobs());
  }
  for (std::thread& t : jobs) t.join();
}

const std::vector<StartupJob>& StartupJobs() {
  static const std::vector<StartupJob> jobs = {
      {"UserOp", WaitForStop, nullptr, false},
      {"HeartBeat", WaitForStop, "Add HeartBeat to thread error.", true},
      {"StartRecvInterLine", WaitForStop, "Add StartRecvInterLine to thread error.", true},
      {"InterLineUpLoadFile", WaitForStop, "Add InterLineUpLoadFile to thread error.", true},
      {"StartP2PClient", WaitForStop, "Add StartP2PClient to thread error.", true},
      {"StartBroadcastServer", WaitForStop, "Add StartBroadcastServer to thread error.", true},
      {"TimingBroadcastWakeup", WaitForStop, "Add TimingBroadcastWakeup to thread error.", false},
      {"StartHttpServer", WaitForStop, "StartHttpServer thread error.", true},
      {"StartAutoTiding", WaitForStop, "StartAutoTiding thread error.", true},
  };
  return jobs;
}

int DispatchJob(const StartupJob& job) {
  try {
    std::lock_guard<std::mutex> lock(g_jobsMutex);
    Jobs().emplace_back(job.run, nullptr);
    return 0;
  } catch (...) {
    return -1;
  }
}

}  // namespace ks::service
