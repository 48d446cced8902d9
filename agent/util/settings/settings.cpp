#include "agent/util/settings/settings.h"

#include <cerrno>
#include <cstdlib>

namespace ks::settings {

std::string Text(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : fallback;
}

long Number(const char* name, long fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  errno = 0;
  char* end = nullptr;
  long n = std::strtol(v, &end, 10);
  if (errno != 0 || end == v || *end != '\0') return fallback;
  return n;
}

static uint16_t Port(const char* name, uint16_t fallback) {
  long n = Number(name, fallback);
  return (n > 0 && n < 65536) ? static_cast<uint16_t>(n) : fallback;
}

static int Seconds(const char* name, int fallback) {
  long n = Number(name, fallback);
  return (n >= 0 && n < 86400) ? static_cast<int>(n) : fallback;
}

bool Loopback() { return Text("KESTYL_LOOPBACK", "") == "1"; }

std::string VendorHost() {
  // The real host is a deployment setting; the default name never resolves.
  return Text("KESTYL_VENDOR_HOST", Loopback() ? "127.0.0.1" : "server.kestyl.invalid");
}

uint16_t VendorPort() { return Port("KESTYL_VENDOR_PORT", 15000); }
uint16_t DesktopPort() { return Port("KESTYL_DESKTOP_PORT", 15003); }
uint16_t HttpPort() { return Port("KESTYL_HTTP_PORT", 15008); }
uint16_t DiscoveryPort() { return Port("KESTYL_DISCOVERY_PORT", 61617); }
uint16_t WakeupPort() { return Port("KESTYL_WAKEUP_PORT", 60000); }
int HeartbeatSeconds() { return Seconds("KESTYL_HEARTBEAT_S", 60); }
int RelayRetrySeconds() { return Seconds("KESTYL_RELAY_RETRY_S", 30); }
int PollSeconds() { return Seconds("KESTYL_POLL_S", 5); }
int ConfirmSeconds() { return Seconds("KESTYL_CONFIRM_S", 30); }
std::string PowerCommand() { return Text("KESTYL_POWER_CMD", "systemctl hibernate"); }
std::string TextEncodingOverride() { return Text("KESTYL_TEXT_ENCODING", ""); }
std::string BroadcastAddress() { return Loopback() ? "127.255.255.255" : "255.255.255.255"; }

}  // namespace ks::settings
