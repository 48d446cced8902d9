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
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <sstream>

#include "platform/service_table.h"

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

AdapterKind KindOf(const std::string& name) {
  if (!HasDevice(name) && ::access(("/sys/class/net/" + name + "/tun_flags").c_str(), F_OK) == 0) {
    return AdapterKind::kTap;
  }
  if (name.find('/') == std::string::npos &&
      ::access(("/sys/class/net/" + name + "/wireless").c_str(), F_OK) == 0) {
    return AdapterKind::kWifi;
  }
  return AdapterKind::kEthernet;
}

bool ParseMac(const std::string& text, std::array<uint8_t, 6>& mac) {
  unsigned v[6];
  char tail;
  if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) != 6) {
    return false;
  }
  for (int i = 0; i < 6; ++i) mac[static_cast<size_t>(i)] = static_cast<uint8_t>(v[i]);
  return true;
}

}  // namespace

std::string AdapterFilePath() { return PlatformDir() + "/adapters"; }

std::vector<Adapter> ParseAdapterFile(const std::string& text) {
  static const char* const kKeys[] = {"index=", "type=", "desc=", "mac=", "ipv4="};
  std::vector<Adapter> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Split into key=value fields: a blank followed by a known key starts the next one.
    std::map<std::string, std::string> fields;
    std::string key;
    size_t i = 0;
    while (i < line.size()) {
      bool atKey = (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t');
      std::string found;
      if (atKey) {
        for (const char* k : kKeys) {
          if (line.compare(i, std::strlen(k), k) == 0) found = k;
        }
      }
      if (!found.empty()) {
        key = found.substr(0, found.size() - 1);
        fields[key];
        i += found.size();
        continue;
      }
      if (!key.empty()) fields[key] += line[i];
      ++i;
    }
    for (auto& [k, v] : fields) {
      while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.pop_back();
    }
    if (!fields.count("index")) continue;
    Adapter a;
    char* end = nullptr;
    unsigned long index = std::strtoul(fields["index"].c_str(), &end, 10);
    if (!end || *end || fields["index"].empty()) continue;
    a.index = static_cast<unsigned>(index);
    const std::string& type = fields["type"];
    a.kind = type == "wifi" ? AdapterKind::kWifi : type == "tap" ? AdapterKind::kTap : AdapterKind::kEthernet;
    a.description = fields["desc"];
    a.name = "fake" + std::to_string(a.index);
    if (fields.count("mac") && !fields["mac"].empty() && !ParseMac(fields["mac"], a.mac)) continue;
    bool good = true;
    std::istringstream addrs(fields["ipv4"]);
    std::string addr;
    while (std::getline(addrs, addr, ',')) {
      in_addr parsed{};
      if (addr.empty()) continue;
      if (::inet_pton(AF_INET, addr.c_str(), &parsed) != 1) good = false;
      a.ipv4.push_back(addr);
    }
    if (!good) continue;
    a.status = OperStatus::kOperational;
    a.physical = a.kind != AdapterKind::kTap;
    out.push_back(std::move(a));
  }
  return out;
}

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
    for (Adapter& a : out) a.kind = KindOf(a.name);
    std::ifstream file(AdapterFilePath());
    if (file) {
      std::stringstream text;
      text << file.rdbuf();
      for (Adapter& a : ParseAdapterFile(text.str())) out.push_back(std::move(a));
    }
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
