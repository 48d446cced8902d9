// Wake-up announcements: the WakeupMsg and its timer (broadcast.h).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "agent/log/log.h"
#include "agent/net/broadcast/broadcast.h"
#include "agent/net/broadcast/device_id.h"
#include "agent/net/netinfo/netinfo.h"
#include "agent/core/state/state.h"
#include "agent/util/settings/settings.h"

namespace ks::net {
namespace {

constexpr char kCommLib[] = "CommLib";
constexpr char kModule[] = "KestylClient";
constexpr size_t kDeviceIdField = 64;

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

bool Stopped(const std::atomic<bool>* stop) {
  return ks::state::StopRequested() || (stop && stop->load());
}

// Sleeps up to ms; true when a stop came meanwhile.
bool Pause(int ms, const std::atomic<bool>* stop) {
  while (ms > 0) {
    if (Stopped(stop)) return true;
    int step = std::min(ms, 100);
    if (ks::state::SleepUnlessStopped(step)) return true;
    ms -= step;
  }
  return Stopped(stop);
}

std::string FirstRealMac(const std::vector<std::string>& macs) {
  for (const std::string& m : macs)
    if (!m.empty() && m != "00-00-00-00-00-00") return m;
  return std::string();
}

}  // namespace

std::vector<uint8_t> BuildWakeupMsg(const std::string& deviceId, const std::vector<std::string>& macs) {
  size_t n = std::min<size_t>(macs.size(), (0xFFFF - kWakeupHeadSize) / kWakeupMacSize);
  std::vector<uint8_t> msg(kWakeupHeadSize + kWakeupMacSize * n, 0);
  PutU16(&msg[0], static_cast<uint16_t>(msg.size()));
  PutU16(&msg[4], kWakeupType);
  std::memcpy(&msg[6], deviceId.data(), std::min(deviceId.size(), kDeviceIdField - 1));
  PutU16(&msg[70], static_cast<uint16_t>(n));
  for (size_t i = 0; i < n; ++i)
    std::memcpy(&msg[kWakeupHeadSize + i * kWakeupMacSize], macs[i].data(),
                std::min(macs[i].size(), kWakeupMacSize - 1));
  return msg;
}

WakeupOptions WakeupOptions::FromSettings() {
  WakeupOptions o;
  o.broadcastAddress = ks::settings::BroadcastAddress();
  o.port = ks::settings::WakeupPort();
  return o;
}

int RunWakeupAnnouncer(const WakeupOptions& options, const std::atomic<bool>* stop) {
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    KS_LOG_ERROR(kCommLib, "init BROADPORT creat sock error.");
    return -1;
  }
  int one = 1;  // an int: a one-byte value is refused on Linux
  if (::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
    int e = errno;
    KS_LOG_ERROR(kCommLib, "Got an error %d (%s) on init BROADPORT sock.", e, std::strerror(e));
    ::close(s);
    return -1;
  }
  std::vector<std::string> macs;
  if (GetMacList(macs) != 0) {
    ::close(s);
    return -1;
  }

  // Wait for a device id from the server: the local one is looked at every poll, the
  // server asked only every serverAskEvery polls.
  const std::string mac = FirstRealMac(macs);
  std::string id;
  for (int round = 0;; ++round) {
    bool ask = options.serverAskEvery <= 1 || round % options.serverAskEvery == 0;
    id = ask ? FetchDeviceId() : KnownDeviceId();
    if (!id.empty() && id != mac) break;
    if (ask) KS_LOG_INFO(kModule, "TimingBroadcastWakeup() UUID=%s, invalid", id.c_str());
    if (Pause(options.deviceIdPollMs, stop)) {
      ::close(s);
      return 0;
    }
  }
  KS_LOG_INFO(kModule, "TimingBroadcastWakeup() UUID=%s, ok, start broadcast to wakeup", id.c_str());

  const std::vector<uint8_t> msg = BuildWakeupMsg(id, macs);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(options.port);
  ::inet_pton(AF_INET, options.broadcastAddress.c_str(), &to.sin_addr);
  do {
    ssize_t r = ::sendto(s, msg.data(), msg.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
    KS_LOG_DEBUG(kModule, "%d", static_cast<int>(r));
  } while (!Pause(options.intervalMs, stop));
  ::close(s);
  return 0;
}

void TimingBroadcastWakeup(void*) { RunWakeupAnnouncer(WakeupOptions::FromSettings()); }

}  // namespace ks::net
