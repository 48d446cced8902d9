#include "agent/net/socket/comm.h"

#include <csignal>

#include "agent/log/log.h"
#include "agent/net/msg/local_server.h"
#include "agent/net/msg/msg.h"
#include "agent/net/pool/thread_pool.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"

namespace ks::net {

namespace {
std::recursive_mutex& Forever() { return *new std::recursive_mutex(); }
}  // namespace

std::recursive_mutex& g_MutexLogOnRtn() { static std::recursive_mutex& m = Forever(); return m; }
std::recursive_mutex& g_MutexRunFile() { static std::recursive_mutex& m = Forever(); return m; }
std::recursive_mutex& g_MutexDownLoadCount() { static std::recursive_mutex& m = Forever(); return m; }
std::recursive_mutex& g_MutexLastHBTime() { static std::recursive_mutex& m = Forever(); return m; }
std::recursive_mutex& g_MutexUserInfo() { static std::recursive_mutex& m = Forever(); return m; }
std::recursive_mutex& g_StopDownLoadMutex() { static std::recursive_mutex& m = Forever(); return m; }

int OS_Init(int (*fillRegistry)()) {
  // A peer that closes while we send must not end the agent.
  std::signal(SIGPIPE, SIG_IGN);
  if (!GlobalPool()) return KS_POOL_NOT_CREATED;

  // Created in their established order; function-local statics cannot fail to exist.
  g_MutexLogOnRtn();
  g_MutexRunFile();
  g_MutexDownLoadCount();
  g_MutexLastHBTime();
  g_MutexUserInfo();
  g_StopDownLoadMutex();

  // The registry is complete before the server accepts its first connection.
  int rc = fillRegistry ? fillRegistry() : 0;
  if (rc != 0) return rc;

  ProcessLocalServer().Configure(LocalServerOptions::FromSettings());
  rc = ProcessLocalServer().Start(ks::state::LocalBindPort());
  if (rc == KS_SERVER_NOT_STARTED) {
    KS_LOG_ERROR("CommLib", "%s", "Init communication server error.");
    return rc;
  }
  if (rc != 0) {
    KS_LOG_ERROR("CommLib", "%s", "get local bind port error.");
    return KS_LOCAL_PORT_UNKNOWN;
  }
  ks::state::SetLocalBindPort(ProcessLocalServer().Port());
  return 0;
}

int OS_Exit() {
  ks::state::RequestStop();
  ProcessLocalServer().Stop();
  return 0;
}

}  // namespace ks::net
