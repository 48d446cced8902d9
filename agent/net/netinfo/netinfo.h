// Small queries of the machine made at start-up and when the agent announces itself: the
// local IPv4 address, the addresses of the connected adapters, the MAC addresses as text
// and the Windows version name that peers expect.
//
// Adapters come from ks::platform::ReadAdapters (loopback never included, physical
// interfaces first). Windows version names are a pure function of a Windows version
// record; this machine yields a record with no Windows version, which names "unknown".
// Logs under "CommLib". Thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ks::net {

// "%02X-%02X-%02X-%02X-%02X-%02X": 17 characters.
std::string FormatMac(const std::array<uint8_t, 6>& mac);

// 0 and the first IPv4 address of the host name as dotted text; -1 on failure. When the
// host name resolves to a loopback address (usual on Linux) the first address of the
// connected adapters is taken instead, when there is one.
int GetLoaclIp(std::string& ip);
// 0 and GetLoaclIp's address in network byte order; -1 when that fails.
int GetLocalIpAddr(uint32_t& addr);

// 0 and the IPv4 texts of the adapters whose status is 3, 4 or 5. An adapter whose first
// address is "127.0.0.1" or "0.0.0.0" (or that has none) adds nothing; otherwise its
// addresses are added in order, those two skipped. 273 when memory runs out; the adapter
// source's error otherwise. The list is cleared first.
int GetLocalIpList(std::vector<std::string>& ips);

// 0 and one MAC text per adapter, zero addresses included; codes as GetLocalIpList.
int GetMacList(std::vector<std::string>& macs);

// The first MAC text of GetMacList that is neither empty nor "00-00-00-00-00-00"; "" when
// there is none or the list fails.
std::string GetMacAddr();

// What the agent knows of a Windows version (OSVERSIONINFOEX, SYSTEM_INFO and SM_SERVERR2).
struct WindowsVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t platformId = 0;             // 1 Windows 9x, 2 NT
  uint8_t productType = 0;             // 1 workstation
  uint16_t processorArchitecture = 0;  // 9 x64
  int serverR2 = 0;                    // SM_SERVERR2
};

// Display name of a version record: "Windows 7", ...; "unknown" for a major version other
// than 4, 5 and 6; "" for a known major version whose minor version is not named.
std::string WindowsVersionName(const WindowsVersion& v);
// This machine's record. Not Windows: major version 0.
WindowsVersion QueryWindowsVersion();
// WindowsVersionName(QueryWindowsVersion()).
std::string GetOSVersionName();
// Stores GetOSVersionName as the process's Windows name and sets the system type to 2.
void InitOSInfo();

}  // namespace ks::net
