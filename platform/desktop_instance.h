// One desktop program per user and installation, and the way a second copy (or an
// elevated relaunch) wakes the first.
//
// The lock: InstanceLock (instance_lock.h) on DesktopRunFolder() with DesktopLockName(),
// i.e. the file <PlatformDir()>/run/Kestyl-<uid>.lock of the real user id.
// The wake endpoint: a local stream socket at <PlatformDir()>/run/Kestyl-<uid>.sock that the
// first copy listens on (mode 0600; the listening side belongs to the desktop program).
// Each connection carries frames of 12 bytes: u32 message, u32 wparam, u32 lparam, each
// little-endian. SendWakeFrame connects, writes one frame and closes.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace ks::platform {

struct WakeFrame {
  uint32_t message = 0;
  uint32_t wparam = 0;
  uint32_t lparam = 0;
};
constexpr size_t kWakeFrameSize = 12;

std::string DesktopRunFolder();  // <PlatformDir()>/run
std::string DesktopLockName();   // "Kestyl-<uid>"
std::string WakeEndpointPath();  // <PlatformDir()>/run/Kestyl-<uid>.sock

std::array<uint8_t, kWakeFrameSize> EncodeWakeFrame(const WakeFrame& frame);
// False when fewer than 12 bytes are given.
bool DecodeWakeFrame(const uint8_t* data, size_t size, WakeFrame& frame);

// 0, or an errno value (ENOENT / ECONNREFUSED when nobody listens; ENAMETOOLONG when the
// path does not fit a socket address).
int SendWakeFrame(const WakeFrame& frame, const std::string& path = WakeEndpointPath());

}  // namespace ks::platform
