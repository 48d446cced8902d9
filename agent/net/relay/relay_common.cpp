// What the relay's three jobs share: the server source, the intervals, the connect step.
#include <algorithm>
#include <atomic>
#include <mutex>

#include "agent/net/relay/relay.h"
#include "agent/net/relay/relay_internal.h"
#include "agent/net/socket/socket.h"
#include "agent/core/state/state.h"
#include "agent/util/settings/settings.h"

namespace ks::relay {

namespace {

std::atomic<ServerRecord (*)()> g_currentServer{nullptr};
std::atomic<uint32_t (*)()> g_logOnResult{nullptr};

std::mutex g_timingsMutex;
RelayTimings* g_timings = nullptr;  // null: from the settings
PollSleep* g_pollSleep = nullptr;

// A zero or negative interval would make a loop spin.
int AtLeast(int ms, int floor) { return std::max(ms, floor); }

}  // namespace

void SetServerSource(ServerRecord (*currentServer)(), uint32_t (*logOnResult)()) {
  g_currentServer.store(currentServer);
  g_logOnResult.store(logOnResult);
}

ServerRecord CurrentServer() {
  auto f = g_currentServer.load();
  return f ? f() : ServerRecord{};
}

uint32_t LogOnResult() {
  auto f = g_logOnResult.load();
  return f ? f() : uint32_t(-1);
}

RelayTimings RelayTimings::FromSettings() {
  RelayTimings t;
  t.retryMs = AtLeast(ks::settings::RelayRetrySeconds() * 1000, 100);
  t.keepAliveMs = t.retryMs;
  t.pollMs = AtLeast(ks::settings::PollSeconds() * 1000, 100);
  return t;
}

RelayTimings Timings() {
  std::lock_guard<std::mutex> g(g_timingsMutex);
  return g_timings ? *g_timings : RelayTimings::FromSettings();
}

void SetRelayTimings(const RelayTimings& t) {
  std::lock_guard<std::mutex> g(g_timingsMutex);
  delete g_timings;
  g_timings = new RelayTimings(t);
}

void SetPollSleepForTest(PollSleep sleep) {
  std::lock_guard<std::mutex> g(g_timingsMutex);
  delete g_pollSleep;
  g_pollSleep = sleep ? new PollSleep(std::move(sleep)) : nullptr;
}

// Used by the poll (relay_poll.cpp).
bool PollPause(int ms) {
  PollSleep sleep;
  {
    std::lock_guard<std::mutex> g(g_timingsMutex);
    if (g_pollSleep) sleep = *g_pollSleep;
  }
  return sleep ? sleep(ms) : ks::state::SleepUnlessStopped(ms);
}

int ConnectCurrentServer(int* sock) {
  *sock = -1;
  ServerRecord server = CurrentServer();
  if (server.host.empty()) return -1;
  int s = ks::net::OS_SockCreateTcp();
  if (s < 0) return -1;
  const RelayTimings t = Timings();
  if (ks::net::OS_SockConnect(&s, server.port, server.host.c_str(), t.connectTimeoutMs) != 0 ||
      ks::net::OS_SockSetTimeouts(s, t.ioTimeoutMs, t.ioTimeoutMs) != 0) {
    ks::net::OS_SockClose(&s);
    return -1;
  }
  *sock = s;
  return 0;
}

}  // namespace ks::relay
