// Service_InitProgram and Service_Exit (service.h).
#include <sys/stat.h>

#include <cstdio>

#include "agent/log/log.h"
#include "agent/service/service.h"
#include "agent/service/startup_links.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"
#include "agent/util/util.h"
#include "platform/instance_lock.h"

namespace {

// How long the exit waits for the pool jobs: each looks at the stop flag at least once a
// second.
constexpr int kExitJobWaitMs = 5000;

// Printed on the console: the log is not open at these points.
void ConsoleLine(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

// Held until the process ends; the kernel drops it however the process ends.
ks::platform::InstanceLock& InstanceLock() {
  static auto* lock = new ks::platform::InstanceLock();
  return *lock;
}

}  // namespace

int Service_InitProgram() {
  using namespace ks::service;
  ks::state::ClearStop();

  // Without an install root every path below would be relative to "/" (as root: the
  // system's own /etc).
  const std::string root = ks::state::InstallRoot();
  if (root.empty()) {
    ConsoleLine("open database error.");
    return KS_DB_OPEN_FAILED;
  }

  // Only "held by another" refuses, as with the named mutex; a lock that cannot be made
  // at all lets start-up go on.
  if (InstanceLock().Acquire(root + "/run", kInstanceName) == ks::platform::InstanceLock::Result::kHeldElsewhere) {
    ConsoleLine("server exits.");
    return KS_ALREADY_RUNNING;
  }

  if (OpenDatabase(ks::state::DatabasePath()) != 0) {
    ConsoleLine("open database error.");
    return KS_DB_OPEN_FAILED;
  }

  int echo = 0;
  unsigned threshold = LOG_LEVEL_INFO;
  ReadLogConf(echo, threshold);

  std::string logDir = root + "/log";
  if (CheckPathExist(logDir) != 0 && !logDir.empty()) ::mkdir(logDir.c_str(), 0755);
  if (!g_Log.Open(logDir + "/Log.txt", threshold, echo != 0)) {
    ConsoleLine("open log file exits.");
    CloseDatabase();
    return KS_LOG_OPEN_FAILED;
  }

  if (int rc = CreateServerListTable(); rc != 0) {
    CloseDatabase();
    return rc;
  }

  std::string mac = FirstMacAddress();
  ks::state::SetMacText(mac);
  if (mac.empty()) {
    KS_LOG_ERROR("CommLib", "Get mac addr error.");
    CloseDatabase();
    return -1;
  }
  ks::state::SetDeviceId(mac);
  KS_LOG_DEBUG("CommLib", "Mac:%s", mac.c_str());

  RemoveUploadLeftovers();

  ks::state::SetLocalBindPort(static_cast<uint16_t>(ReadLocalPort()));
  KS_LOG_DEBUG("CommLib", "local bind port %d.", ks::state::LocalBindPort());

  InitOsInfo();
  KS_LOG_DEBUG("CommLib", "os %s, type %d.", ks::state::OsName().c_str(), ks::state::SystemType());

  ks::state::SetTextEncoding(DefaultTextEncoding());
  KS_LOG_DEBUG("CommLib", "def language encode is %s.", ks::state::TextEncoding().c_str());

  std::string ip;
  if (LocalIpText(ip) != 0) {
    KS_LOG_WARNING("CommLib", "get local ip error %s.", ip.c_str());
  } else {
    ks::state::SetLocalIp(ip);
  }

  if (int rc = StartCommunication(); rc != 0) {
    KS_LOG_ERROR("CommLib", "os init error.");
    CloseDatabase();
    return rc;
  }

  if (int rc = RegisterHandlers(); rc != 0) {
    KS_LOG_INFO("KestylClient", "Regester function error, return code(%d).", rc);
    CloseDatabase();
    return rc;
  }

  // Jobs already started keep running when a later one fails; the stop flag ends them.
  for (const StartupJob& job : StartupJobs()) {
    int rc = DispatchJob(job);
    if (rc == 0 || !job.failureMessage) continue;
    KS_LOG_ERROR("KestylClient", "%s", job.failureMessage);
    if (job.closesDatabaseOnFailure) CloseDatabase();
    return rc;
  }

  KS_LOG_INFO("KestylClient", "Start service successful!");
  return 0;
}

int Service_Exit() {
  using namespace ks::service;
  LogOutAtServer();
  CloseDatabase();
  KS_LOG_DEBUG("KestylClient", "%s", "exit server.");
  StopCommunication();
  // The process ends once this returns, and its globals go with it: no job may still be
  // using them then.
  if (int left = WaitForJobsToEnd(kExitJobWaitMs))
    KS_LOG_WARNING("KestylClient", "%d jobs still running at exit.", left);
  return 0;
}
