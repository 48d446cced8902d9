// The session's process-wide values (session.h). Each is read and written under its own
// mutex, held only for a copy or an assignment.
#include <atomic>
#include <cstdlib>
#include <mutex>

#include "agent/net/session/session.h"
#include "agent/net/socket/comm.h"
#include "agent/util/settings/settings.h"

namespace ks::session {
namespace {

// Never destroyed: jobs may still read them while the process exits.
struct Values {
  std::mutex serverMutex;
  ServerRecord server;
  uint32_t logOnResult = 4127;  // nobody logged on yet
  std::optional<std::time_t> lastMobileHeartBeat;
  std::mutex hookMutex;
  std::function<void()> relayExitHook;
};
Values& V() {
  static Values* v = new Values();
  return *v;
}

std::atomic<uint16_t> g_upnpPort{0};

}  // namespace

ServerRecord CurrentServer() {
  std::lock_guard<std::mutex> lock(V().serverMutex);
  return V().server;
}

void SetCurrentServer(const ServerRecord& server) {
  std::lock_guard<std::mutex> lock(V().serverMutex);
  V().server = server;
}

ServerRecord VendorServer() {
  ServerRecord r;
  r.host = ks::settings::VendorHost();
  r.port = ks::settings::VendorPort();
  return r;
}

bool ShouldSwitchToVendor(int logOnCode, bool mobileRecent, const ServerRecord& current,
                          const ServerRecord& vendor) {
  if (logOnCode == 0 || mobileRecent) return false;
  return current.host != vendor.host || current.port != vendor.port;
}

uint32_t LogOnResult() {
  std::lock_guard<std::recursive_mutex> lock(ks::net::g_MutexLogOnRtn());
  return V().logOnResult;
}

void SetLogOnResult(int code) {
  std::lock_guard<std::recursive_mutex> lock(ks::net::g_MutexLogOnRtn());
  V().logOnResult = static_cast<uint32_t>(code);
}

uint16_t UpnpPort() { return g_upnpPort.load(); }
void SetUpnpPort(uint16_t port) { g_upnpPort.store(port); }

void RecordMobileHeartBeat() { SetLastMobileHeartBeat(std::time(nullptr)); }

void SetLastMobileHeartBeat(std::time_t when) {
  std::lock_guard<std::recursive_mutex> lock(ks::net::g_MutexLastHBTime());
  V().lastMobileHeartBeat = when;
}

void ClearLastMobileHeartBeat() {
  std::lock_guard<std::recursive_mutex> lock(ks::net::g_MutexLastHBTime());
  V().lastMobileHeartBeat.reset();
}

std::optional<std::time_t> LastMobileHeartBeat() {
  std::lock_guard<std::recursive_mutex> lock(ks::net::g_MutexLastHBTime());
  return V().lastMobileHeartBeat;
}

bool MobileHeartBeatRecentAt(std::time_t heartBeat, std::time_t now) {
  std::time_t diff = now > heartBeat ? now - heartBeat : heartBeat - now;
  return diff <= 60;
}

bool CheckMobileHeartBeatRecent() {
  std::optional<std::time_t> last = LastMobileHeartBeat();
  return last && MobileHeartBeatRecentAt(*last, std::time(nullptr));
}

void SetRelayExitHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(V().hookMutex);
  V().relayExitHook = std::move(hook);
}

void TellRelayToExit() {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(V().hookMutex);
    hook = V().relayExitHook;
  }
  if (hook) hook();  // outside the lock: the hook writes to a socket
}

}  // namespace ks::session
