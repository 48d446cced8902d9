#include "agent/net/netinfo/netinfo.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "agent/log/log.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"
#include "platform/adapters.h"

namespace ks::net {

namespace {

constexpr char kZeroMac[] = "00-00-00-00-00-00";
constexpr uint16_t kSystemTypeWindows = 2;

// Reads the adapter list; the error is the source's, ENOMEM becoming 273.
int LoadAdapters(std::vector<platform::Adapter>& adapters) {
  int rc = platform::ReadAdapters(adapters);
  if (rc == ENOMEM) return KS_OUT_OF_MEMORY;
  return rc;
}

bool IsUsable(platform::OperStatus s) {
  return s == platform::OperStatus::kConnecting || s == platform::OperStatus::kConnected ||
         s == platform::OperStatus::kOperational;
}

bool IsPlaceholder(const std::string& ip) { return ip == "127.0.0.1" || ip == "0.0.0.0"; }

// The first IPv4 address of the host name (dotted text); -1 on failure.
int HostNameAddress(std::string& ip) {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) {
    KS_LOG_ERROR("CommLib", "get gethostname error return code %d.", errno);
    return -1;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) {
    KS_LOG_ERROR("CommLib", "%s", "get gethostbyname error.");
    return -1;
  }
  int rc = -1;
  if (res->ai_family == AF_INET && res->ai_addr) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(res->ai_addr);
    const auto* b = reinterpret_cast<const uint8_t*>(&in->sin_addr);
    char text[30] = {};
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    ip = text;
    rc = 0;
  }
  ::freeaddrinfo(res);
  return rc;
}

}  // namespace

std::string FormatMac(const std::array<uint8_t, 6>& m) {
  char text[18] = {};
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4],
                m[5]);
  return text;
}

int GetLoaclIp(std::string& ip) {
  ip.clear();
  std::string found;
  if (HostNameAddress(found) != 0) return -1;
  // Linux machines commonly map their own name to 127.0.x.x; peers need a LAN address.
  if (found.rfind("127.", 0) == 0) {
    std::vector<std::string> ips;
    if (GetLocalIpList(ips) == 0 && !ips.empty()) found = ips.front();
  }
  ip = found;
  return 0;
}

int GetLocalIpAddr(uint32_t& addr) {
  std::string ip;
  if (GetLoaclIp(ip) != 0) return -1;
  addr = ::inet_addr(ip.c_str());
  return 0;
}

int GetLocalIpList(std::vector<std::string>& ips) {
  ips.clear();
  try {
    std::vector<platform::Adapter> adapters;
    if (int rc = LoadAdapters(adapters); rc != 0) return rc;
    for (const platform::Adapter& a : adapters) {
      if (!IsUsable(a.status) || a.ipv4.empty() || IsPlaceholder(a.ipv4.front())) continue;
      for (const std::string& ip : a.ipv4)
        if (!IsPlaceholder(ip)) ips.push_back(ip);
    }
  } catch (const std::bad_alloc&) {
    ips.clear();
    return KS_OUT_OF_MEMORY;
  }
  return 0;
}

int GetMacList(std::vector<std::string>& macs) {
  macs.clear();
  try {
    std::vector<platform::Adapter> adapters;
    if (int rc = LoadAdapters(adapters); rc != 0) return rc;
    for (const platform::Adapter& a : adapters) macs.push_back(FormatMac(a.mac));
  } catch (const std::bad_alloc&) {
    macs.clear();
    return KS_OUT_OF_MEMORY;
  }
  return 0;
}

std::string GetMacAddr() {
  std::vector<std::string> macs;
  if (GetMacList(macs) != 0) return "";
  for (const std::string& m : macs)
    if (!m.empty() && m != kZeroMac) return m;
  return "";
}

std::string WindowsVersionName(const WindowsVersion& v) {
  constexpr uint8_t kWorkstation = 1;
  constexpr uint16_t kArchX64 = 9;
  const bool workstation = v.productType == kWorkstation;
  switch (v.major) {
    case 4:
      if (v.minor == 0 && v.platformId == 2) return "Windows NT 4.0";
      if (v.minor == 0 && v.platformId == 1) return "Windows 95";
      if (v.minor == 10) return "Windows 98";
      if (v.minor == 90) return "Windows Me";
      return "";
    case 5:
      if (v.minor == 0) return "Windows 2000";
      if (v.minor == 1) return "Windows XP";
      if (v.minor == 2) {
        if (workstation && v.processorArchitecture == kArchX64)
          return "Windows XP Professional x64 Edition";
        return v.serverR2 == 0 ? "Windows Server 2003" : "Windows Server 2003 R2";
      }
      return "";
    case 6:
      if (v.minor == 0) return workstation ? "Windows Vista" : "Windows Server 2008";
      if (v.minor == 1) return workstation ? "Windows 7" : "Windows Server 2008 R2";
      if (v.minor == 2) return "Windows 8";
      return "";
    default:
      return "unknown";
  }
}

WindowsVersion QueryWindowsVersion() {
  // Not Windows: the record names no Windows version (major 0); the kernel's own version
  // numbers mean nothing in the Windows table.
  WindowsVersion v;
  v.productType = 1;
  utsname u{};
  if (::uname(&u) == 0) {
    if (std::strcmp(u.machine, "x86_64") == 0) v.processorArchitecture = 9;
    else if (std::strcmp(u.machine, "aarch64") == 0) v.processorArchitecture = 12;
  }
  return v;
}

std::string GetOSVersionName() { return WindowsVersionName(QueryWindowsVersion()); }

void InitOSInfo() {
  ks::state::SetOsName(GetOSVersionName());
  ks::state::SetSystemType(kSystemTypeWindows);
}

}  // namespace ks::net
