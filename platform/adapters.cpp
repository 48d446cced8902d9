#include "platform/adapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <new>

namespace ks::platform {

namespace {

// IFF_DORMANT lives in <linux/if.h>, which clashes with <net/if.h>.
constexpr unsigned kIffDormant = 1u << 17;

std::mutex g_sourceMutex;
AdapterSource g_source;  // empty: the system's

OperStatus StatusFromFlags(unsigned flags) {
  if (!(flags & IFF_UP)) return OperStatus::kNonOperational;
  if (flags & IFF_RUNNING) return OperStatus::kOperational;
  if (flags & kIffDormant) return OperStatus::kConnecting;
  return OperStatus::kDisconnected;
}

bool HasDevice(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
    return false;
  return ::access(("/sys/class/net/" + name + "/device").c_str(), F_OK) == 0;
}

}  // namespace

std::vector<Adapter> AdaptersFromIfaddrs(const ifaddrs* list,
                                         const std::function<bool(const std::string&)>& isPhysical) {
  std::vector<Adapter> adapters;
  auto find = [&adapters](const std::string& name) -> Adapter& {
    for (Adapter& a : adapters)
      if (a.name == name) return a;
    adapters.emplace_back();
    adapters.back().name = name;
    return adapters.back();
  };
  for (const ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
    if (!ifa->ifa_name || (ifa->ifa_flags & IFF_LOOPBACK)) continue;
    std::string name = ifa->ifa_name;
    // Old-style alias labels ("eth0:1") carry extra addresses of the base interface.
    if (size_t colon = name.find(':'); colon != std::string::npos) name.resize(colon);
    if (name.empty()) continue;
    const sockaddr* sa = ifa->ifa_addr;
    int family = sa ? sa->sa_family : AF_UNSPEC;
    if (family != AF_PACKET && family != AF_INET) continue;
    Adapter& a = find(name);
    a.status = StatusFromFlags(ifa->ifa_flags);
    if (family == AF_PACKET) {
      const auto* ll = reinterpret_cast<const sockaddr_ll*>(sa);
      a.index = static_cast<unsigned>(ll->sll_ifindex);
      if (ll->sll_halen == a.mac.size()) std::copy_n(ll->sll_addr, a.mac.size(), a.mac.begin());
    } else {
      const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
      char text[INET_ADDRSTRLEN] = {};
      if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) a.ipv4.emplace_back(text);
    }
  }
  for (Adapter& a : adapters) {
    if (a.index == 0) a.index = ::if_nametoindex(a.name.c_str());
    a.physical = isPhysical && isPhysical(a.name);
  }
  return adapters;
}

void SortAdapters(std::vector<Adapter>& adapters) {
  std::stable_sort(adapters.begin(), adapters.end(), [](const Adapter& x, const Adapter& y) {
    if (x.physical != y.physical) return x.physical;
    if (x.index != y.index) return x.index < y.index;
    return x.name < y.name;
  });
}

int ReadSystemAdapters(std::vector<Adapter>& out) {
  out.clear();
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return errno ? errno : EIO;
  int rc = 0;
  try {
    out = AdaptersFromIfaddrs(list, HasDevice);
    SortAdapters(out);
  } catch (const std::bad_alloc&) {
    out.clear();
    rc = ENOMEM;
  }
  ::freeifaddrs(list);
  return rc;
}

int ReadAdapters(std::vector<Adapter>& out) {
  AdapterSource source;
  {
    std::lock_guard<std::mutex> lock(g_sourceMutex);
    source = g_source;
  }
  if (!source) return ReadSystemAdapters(out);
  out.clear();
  return source(out);
}

void SetAdapterSource(AdapterSource source) {
  std::lock_guard<std::mutex> lock(g_sourceMutex);
  g_source = std::move(source);
}

}  // namespace ks::platform
