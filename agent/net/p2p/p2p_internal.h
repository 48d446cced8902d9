// Shared state of the P2P module's own files; not for other modules.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ks::p2p::detail {

// The signalling socket; closed when the last holder lets go, so that a job that still
// holds it never sends on a descriptor number reused by someone else.
struct UdpSocket {
  explicit UdpSocket(int f) : fd(f) {}
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;
  int fd;
};
std::shared_ptr<UdpSocket> SignalSocket();
uint16_t SignalPort();
bool ClientRunning();

// Starts `job` on the pool and counts it among the P2P jobs; false when it did not start.
bool StartTrackedJob(std::function<void()> job);
// Counts the calling job among the P2P jobs for the life of the object.
class JobScope {
 public:
  JobScope();
  ~JobScope();
  JobScope(const JobScope&) = delete;
  JobScope& operator=(const JobScope&) = delete;
};

// False in loopback mode for addresses outside 127.0.0.0/8 (network order).
bool DestinationAllowed(uint32_t addr);
// One datagram to `to`; false when refused or not sent whole.
bool SendDatagram(int fd, const void* data, size_t length, const sockaddr_in& to);
// "%u.%u.%u.%u" of the address bytes in memory order.
std::string AddrText(uint32_t addr);

// Acts on one datagram that arrived for the signalling socket.
void HandleSignalDatagram(const uint8_t* data, size_t length, const sockaddr_in& sender);

// The auto-reset event that wakes P2PTrans.
void SetTransEvent();
// Waits up to `ms` for the event; true (and reset) when it was set.
bool WaitTransEvent(int ms);
void ResetTransEvent();

// Starts a UDT connection job to a client; `viaAck` picks the log texts.
void StartConnect(const sockaddr_in& peer, bool viaAck);
// Called by the client at start and end.
void ResetPeers();

bool UdtStartup();

}  // namespace ks::p2p::detail
