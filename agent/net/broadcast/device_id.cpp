// The device-id lookups of discovery and wake-up (device_id.h).
//
// The vendor-session module owns the id (its .uuid file and LoadDeviceUuid); until it is
// linked here both lookups read the id start-up keeps in the agent's state. Once it is:
//   KnownDeviceId: ks::session::ReadDeviceIdFile(ks::session::DeviceIdFilePath())
//   FetchDeviceId: ks::session::LoadDeviceUuid()
#include "agent/net/broadcast/device_id.h"

#include <mutex>

#include "agent/core/state/state.h"

namespace ks::net {
namespace {

std::mutex g_lookupMutex;
std::function<std::string(bool)> g_lookup;

std::string Lookup(bool askServer) {
  std::function<std::string(bool)> lookup;
  {
    std::lock_guard<std::mutex> lock(g_lookupMutex);
    lookup = g_lookup;
  }
  if (lookup) return lookup(askServer);
  return ks::state::DeviceId();
}

}  // namespace

std::string KnownDeviceId() { return Lookup(false); }
std::string FetchDeviceId() { return Lookup(true); }

void SetDeviceIdLookup(std::function<std::string(bool askServer)> lookup) {
  std::lock_guard<std::mutex> lock(g_lookupMutex);
  g_lookup = std::move(lookup);
}

}  // namespace ks::net
