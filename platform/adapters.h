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
// default it is read with getifaddrs, and the made-up adapters of the file
// <PlatformDir()>/adapters (if any) are appended after the real ones, in file order. One
// adapter per line, fields "key=value" separated by blanks (a value runs to the next known
// key, so a description may hold blanks):
//   index=<n> type=ethernet|wifi|tap desc=<text> mac=<aa:bb:cc:dd:ee:ff> ipv4=<a.b.c.d>[,...]
// Such an adapter is up (kOperational) and physical unless it is a tap; lines without
// "index=" or with a malformed MAC or address are skipped. A real interface's kind is wifi
// when /sys/class/net/<name>/wireless exists, tap when tun_flags exists, else ethernet.
// Thread-safe.
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

enum class AdapterKind { kEthernet, kWifi, kTap };

struct Adapter {
  std::string name;
  AdapterKind kind = AdapterKind::kEthernet;
  std::string description;  // made-up adapters only; "" for real ones
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

// The system's source: getifaddrs, sorted as described above, then the made-up adapters.
int ReadSystemAdapters(std::vector<Adapter>& out);
// The made-up adapters of the text of an adapters file (see above).
std::vector<Adapter> ParseAdapterFile(const std::string& text);
// Path of the adapters file of PlatformDir().
std::string AdapterFilePath();

// Builds the records from a getifaddrs chain (not sorted). `isPhysical` tells whether an
// interface is backed by a device.
std::vector<Adapter> AdaptersFromIfaddrs(const ifaddrs* list,
                                         const std::function<bool(const std::string&)>& isPhysical);
// Physical interfaces first, then by index, then by name; stable.
void SortAdapters(std::vector<Adapter>& adapters);

}  // namespace ks::platform
