// Bindings of start-up to the other modules (startup_links.h).
#include "agent/service/startup_links.h"

#include <chrono>
#include <thread>

#include "agent/db/local_db.h"
#include "agent/handlers/download/download.h"
#include "agent/core/shares/folders.h"
#include "agent/core/state/install.h"
#include "agent/core/transfer/transfer.h"
#include "agent/log/log.h"
#include "agent/media/tidying/tidying.h"
#include "agent/net/broadcast/broadcast.h"
#include "agent/net/http/http_server.h"
#include "agent/net/msg/msg.h"
#include "agent/net/netinfo/netinfo.h"
#include "agent/net/p2p/p2p.h"
#include "agent/net/relay/relay.h"
#include "agent/net/session/session.h"
#include "agent/net/pool/thread_pool.h"
#include "agent/net/socket/comm.h"
#include "agent/service/handler_tables.h"
#include "agent/core/state/state.h"

namespace ks::service {
namespace {

void AutoTidingJob(void*) { StartAutoTiding(); }
void P2PClientJob(void*) { ks::p2p::StartP2PClient(); }

}  // namespace

int OpenDatabase(const std::string& path) {
  try {
    GlobalDb().open(path.c_str());
    // Opening is lazy: read the schema once so that a file that is no database fails here.
    GlobalDb().execScalar("select count(*) from sqlite_master;");
    return 0;
  } catch (CppSQLite3Exception& e) {
    try {
      GlobalDb().close();
    } catch (CppSQLite3Exception&) {
    }
    return e.errorCode() ? e.errorCode() : -1;
  }
}

void CloseDatabase() {
  try {
    GlobalDb().close();
  } catch (CppSQLite3Exception&) {
    // "Unable to close database": ignored at exit, as before.
  }
}

void ReadLogConf(int& echo, unsigned& threshold) {
  int console = 0, priority = 600;
  ParseLogConf(console, priority);
  echo = console;
  threshold = priority < 0 ? 0u : static_cast<unsigned>(priority);
}

int CreateServerListTable() { return CreateSVListTable(); }

std::string FirstMacAddress() { return ks::net::GetMacAddr(); }

void RemoveUploadLeftovers() { ClearDefaultDirTmp(); }

int ReadLocalPort() { return ParseLocalPort(); }

void InitOsInfo() { ks::net::InitOSInfo(); }

std::string DefaultTextEncoding() { return GetDefLangEncode(); }

int LocalIpText(std::string& ip) { return ks::net::GetLoaclIp(ip); }

int StartCommunication() {
  // Transfer sessions bound to a connection go with it (registered before anything accepts).
  static bool once = [] {
    ks::net::OnChannelClosed([](uint64_t id) { ks::transfer::SessionTable::Global().DropOwner(id); });
    return true;
  }();
  (void)once;
  return ks::net::OS_Init(&ks::service::RegBusinessFun);
}

int RegisterHandlers() {
  // The relay follows the vendor session: its server, its log-on result, and "exit " when
  // the heart-beat switches servers.
  ks::relay::SetServerSource(&ks::session::CurrentServer, &ks::session::LogOnResult);
  ks::session::SetRelayExitHook([] { ks::relay::RequestRelayExit(); });
  ks::download::SetRelayedDownloadStarter([](const ks::download::RelayedDownloadJob& j) {
    return ks::relay::StartRelayedDownload(j.sessionId, j.startOffset, j.peerId);
  });
  return ks::service::RegBusinessFun();
}

void LogOutAtServer() { ks::session::LogOutAtExit(); }

void StopCommunication() { ks::net::OS_Exit(); }

int WaitForJobsToEnd(int timeoutMs) {
  ks::net::ThreadPool* pool = ks::net::GlobalPool();
  if (!pool) return 0;
  auto busy = [pool] { return pool->LiveCount() - pool->IdleCount(); };
  for (int waited = 0; busy() > 0 && waited < timeoutMs; waited += 20)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const int left = busy() > 0 ? busy() : 0;
  // With no job left nobody uses UDT: its threads end here, before the globals they read.
  if (left == 0) ks::p2p::StopUdt();
  return left;
}

const std::vector<StartupJob>& StartupJobs() {
  static const std::vector<StartupJob> jobs = {
      {"UserOp", ks::session::UserOp, nullptr, false},
      {"HeartBeat", ks::session::HeartBeat, "Add HeartBeat to thread error.", true},
      {"StartRecvInterLine", ks::relay::StartRecvInterLine, "Add StartRecvInterLine to thread error.", true},
      {"InterLineUpLoadFile", ks::relay::InterLineUpLoadFile, "Add InterLineUpLoadFile to thread error.", true},
      {"StartP2PClient", P2PClientJob, "Add StartP2PClient to thread error.", true},
      {"StartBroadcastServer", ks::net::StartBroadcastServer, "Add StartBroadcastServer to thread error.", true},
      {"TimingBroadcastWakeup", ks::net::TimingBroadcastWakeup, "Add TimingBroadcastWakeup to thread error.", false},
      {"StartHttpServer", ks::net::StartHttpServer, "StartHttpServer thread error.", true},
      {"StartAutoTiding", AutoTidingJob, "StartAutoTiding thread error.", true},
  };
  return jobs;
}

int DispatchJob(const StartupJob& job) {
  return ks::net::DispatchThreadPool(ks::net::GlobalPool(), job.run, nullptr);
}

}  // namespace ks::service
