// The machine's network adapters, as the agent's network queries see them.
//
// One record per interface, loopback never included, in a fixed order: interfaces backed
// by a device (/sys/class/net/<name>/device) first, then the others, each group by
// interface index. Each record carries the 6-byte hardware address (all zero when the
// interface has none of that size), an operational status on the 0..5 scale the agent's
// callers test, and the IPv4 addresses in the order the system lists them (alias labels
// such as "eth0:1" are folded into their interface).
//
// The list comes from a replaceable source so tests can feed a made-up machine; by
// default it is read with getifaddrs. Thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct ifaddrs;

namespace ks::platform {

// Interface operational status; callers treat 3, 4 and 5 as usable.
enum class OperStatus : int {
  kNonOperational = 0,  // administratively down
  kUnreachable = 1,
  kDisconnected = 2,    // up, but no carrier
  kConnecting = 3,      // up, dormant
  kConnected = 4,
  kOperational = 5,     // up and running
};

struct Adapter {
  std::string name;
  unsigned index = 0;
  std::array<uint8_t, 6> mac{};
  OperStatus status = OperStatus::kNonOperational;
  bool physical = false;
  std::vector<std::string> ipv4;  // dotted texts
};

// Fills `out` (cleared first). 0, or an errno value; ENOMEM when memory ran out.
using AdapterSource = std::function<int(std::vector<Adapter>& out)>;

// Reads the adapters from the current source.
int ReadAdapters(std::vector<Adapter>& out);
// Replaces the source; an empty function restores the system's.
void SetAdapterSource(AdapterSource source);

// The system's source: getifaddrs, sorted as described above.
int ReadSystemAdapters(std::vector<Adapter>& out);

// Builds the records from a getifaddrs chain (not sorted). `isPhysical` tells whether an
// interface is backed by a device.
std::vector<Adapter> AdaptersFromIfaddrs(const ifaddrs* list,
                                         const std::function<bool(const std::string&)>& isPhysical);
// Physical interfaces first, then by index, then by name; stable.
void SortAdapters(std::vector<Adapter>& adapters);

}  // namespace ks::platform
