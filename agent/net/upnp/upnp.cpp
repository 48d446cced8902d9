#include "agent/net/upnp/upnp.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <cstdio>
#include <memory>

#include "agent/util/settings/settings.h"

namespace ks::net {

namespace {

constexpr int kDiscoverMs = 1000;
constexpr unsigned char kDiscoverTtl = 2;
constexpr int kLanAddressSize = 64;
constexpr uint16_t kMessagePortBase = 61616;
constexpr uint16_t kHttpPortBase = 62616;
constexpr char kDescription[] = "Kestyl";
constexpr char kPermanentLease[] = "0";

struct DevlistDeleter {
  void operator()(UPNPDev* d) const { freeUPNPDevlist(d); }
};
using Devlist = std::unique_ptr<UPNPDev, DevlistDeleter>;

// Owns the URLs that UPNP_GetValidIGD filled.
struct IgdUrls {
  UPNPUrls urls{};
  bool filled = false;
  ~IgdUrls() {
    if (filled) FreeUPNPUrls(&urls);
  }
};

// The last part of a dotted address as 0..255; -1 when there is none.
int LastOctet(const std::string& address, size_t& dot) {
  dot = address.rfind('.');
  if (dot == std::string::npos) return -1;
  std::string tail = address.substr(dot + 1);
  if (tail.empty() || tail.size() > 3) return -1;
  int k = 0;
  for (char c : tail) {
    if (c < '0' || c > '9') return -1;
    k = k * 10 + (c - '0');
  }
  return k <= 255 ? k : -1;
}

}  // namespace

const char* NormalizeProtocol(const char* protocol) {
  if (!protocol) return nullptr;
  auto matches = [protocol](const char* name) {
    for (int i = 0; i < 3; ++i)
      if (protocol[i] != name[i] && protocol[i] != (name[i] | 0x20)) return false;
    return protocol[3] == '\0' || protocol[3] == ' ';
  };
  if (matches("TCP")) return "TCP";
  if (matches("UDP")) return "UDP";
  return nullptr;
}

int RemovePortMapping(const char* protocol, const char* externalPort, const UPNPUrls* urls,
                      const IGDdatas* data) {
  if (!protocol || !externalPort || !urls || !data) {
    std::printf("invalid arguments\n");
    return 1;
  }
  const char* proto = NormalizeProtocol(protocol);
  if (!proto) {
    std::printf("protocol invalid\n");
    return 2;
  }
  int r = UPNP_DeletePortMapping(urls->controlURL, data->first.servicetype, externalPort, proto,
                                 nullptr);
  std::printf("UPNP_DeletePortMapping() returned : %d\n", r);
  return 0;
}

int AddAndCheckPortMapping(const UPNPUrls* urls, const IGDdatas* data, const char* internalPort,
                           const char* externalPort, const char* internalClient,
                           const char* protocol) {
  if (!urls || !data || !internalPort || !externalPort || !internalClient || !protocol) {
    std::printf("invalid arguments\n");
    return 1;
  }
  const char* proto = NormalizeProtocol(protocol);
  if (!proto) {
    std::printf("invalid protocol\n");
    return 2;
  }
  const char* control = urls->controlURL;
  const char* service = data->first.servicetype;

  // Zeroed: a failed call may leave them untouched and they are printed below.
  char externalIp[40] = {};
  UPNP_GetExternalIPAddress(control, service, externalIp);
  if (externalIp[0])
    std::printf("ExternalIPAddress = %s\n", externalIp);
  else
    std::printf("GetExternalIPAddress failed.\n");

  int r = UPNP_AddPortMapping(control, service, externalPort, internalPort, internalClient,
                              kDescription, proto, nullptr, kPermanentLease);
  if (r != UPNPCOMMAND_SUCCESS)
    std::printf("AddPortMapping(%s, %s, %s) failed with code %d (%s)\n", externalPort,
                internalPort, internalClient, r, strupnperror(r));

  char client[40] = {};
  char port[6] = {};
  char desc[80] = {};
  char enabled[4] = {};
  char duration[16] = {};
  r = UPNP_GetSpecificPortMappingEntry(control, service, externalPort, proto, nullptr, client,
                                       port, desc, enabled, duration);
  if (r != UPNPCOMMAND_SUCCESS)
    std::printf("GetSpecificPortMappingEntry() failed with code %d (%s)\n", r, strupnperror(r));
  if (client[0]) {
    std::printf("InternalIP:Port = %s:%s\n", client, port);
    std::printf("external %s:%s %s is redirected to internal %s:%s (duration=%s)\n", externalIp,
                externalPort, proto, client, port, duration);
  }
  return 0;
}

std::optional<UpnpMapping> PlanUpnpMapping(const std::string& lanAddress, uint16_t internalPort,
                                           bool tcp, bool http) {
  size_t dot = 0;
  int k = LastOctet(lanAddress, dot);
  if (k < 0) return std::nullopt;
  UpnpMapping m;
  m.reportedPort = static_cast<uint16_t>((http ? kHttpPortBase : kMessagePortBase) + k);
  m.internalPort = std::to_string(internalPort);
  m.protocol = tcp ? "TCP" : "UDP";
  if (tcp) {
    m.externalPort = std::to_string(m.reportedPort);
    m.internalClient = lanAddress;
  } else {
    // The UDP port is forwarded as is, to the whole LAN (wake-up packets from outside).
    m.externalPort = m.internalPort;
    m.internalClient = lanAddress.substr(0, dot + 1) + "255";
  }
  return m;
}

int MapUpnpPort(uint16_t internalPort, uint16_t& externalPort, bool tcp, bool http) {
  if (internalPort == 0) return -1;
  // Loopback mode must not send anything beyond the machine, SSDP multicast included.
  if (ks::settings::Loopback()) return 1;

  int error = 0;
  Devlist devices(upnpDiscover(kDiscoverMs, nullptr, nullptr, 0, 0, kDiscoverTtl, &error));
  if (!devices) {
    std::printf("No IGD UPnP Device found on the network !\n");
    return 1;
  }

  IgdUrls igd;
  IGDdatas data{};
  char lanAddress[kLanAddressSize] = {};
  int valid = UPNP_GetValidIGD(devices.get(), &igd.urls, &data, lanAddress, sizeof lanAddress);
  if (valid <= 0) {
    std::printf("No valid UPNP Internet Gateway Device found.\n");
    return 1;
  }
  igd.filled = true;

  std::optional<UpnpMapping> m = PlanUpnpMapping(lanAddress, internalPort, tcp, http);
  if (!m) return 0;
  externalPort = m->reportedPort;

  RemovePortMapping(m->protocol, m->externalPort.c_str(), &igd.urls, &data);
  AddAndCheckPortMapping(&igd.urls, &data, m->internalPort.c_str(), m->externalPort.c_str(),
                         m->internalClient.c_str(), m->protocol);
  std::fflush(stdout);
  return 0;
}

}  // namespace ks::net
