// Port mappings on the home router through UPnP IGD (miniupnpc).
//
// MapUpnpPort finds the router, derives the external port from the last octet k of the LAN
// address the router is reached from, deletes any mapping already on that external port
// and protocol, adds the new one and reads it back:
//
//   call            internal port   protocol  external port   internal client
//   message server  given           TCP       61616 + k       LAN address
//   UDP             given (12345)   UDP       = internal      LAN address with .255
//   HTTP            given (15008)   TCP       62616 + k       LAN address
//
// The port reported to the caller is 61616 + k for the first two, 62616 + k for HTTP.
// Every mapping has no remote host, description "Kestyl" and lease "0" (permanent).
// Progress and errors go to the console (stdout), not to the log. In loopback mode
// nothing is sent: MapUpnpPort answers 1 (no gateway) at once. Thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct UPNPUrls;
struct IGDdatas;

namespace ks::net {

// -1 for internal port 0; 1 when no gateway answered or none is valid (and in loopback
// mode); 0 otherwise, also when adding the mapping failed. `externalPort` is written once
// the LAN address is known, and left alone before that.
int MapUpnpPort(uint16_t internalPort, uint16_t& externalPort, bool tcp, bool http = false);

// "TCP" for "tcp" in any case followed by the end or a blank, "UDP" likewise; else null.
const char* NormalizeProtocol(const char* protocol);

// Deletes the mapping (external port, protocol) and prints miniupnpc's answer.
// 0; 1 for a missing argument ("invalid arguments"); 2 for a bad protocol.
int RemovePortMapping(const char* protocol, const char* externalPort, const UPNPUrls* urls,
                      const IGDdatas* data);

// Prints the external address, adds the mapping and prints what the router reports back
// for it. 0 (also when the router refused); 1 for a missing argument; 2 for a bad protocol.
int AddAndCheckPortMapping(const UPNPUrls* urls, const IGDdatas* data, const char* internalPort,
                           const char* externalPort, const char* internalClient,
                           const char* protocol);

// One mapping as MapUpnpPort asks for it.
struct UpnpMapping {
  uint16_t reportedPort = 0;   // what the caller is given
  std::string externalPort;    // decimal text sent to the router
  std::string internalPort;
  std::string internalClient;
  const char* protocol = "TCP";
};

// The mapping for a LAN address; nothing when the address has no "." or its last part is
// not a number 0..255.
std::optional<UpnpMapping> PlanUpnpMapping(const std::string& lanAddress, uint16_t internalPort,
                                           bool tcp, bool http);

}  // namespace ks::net
