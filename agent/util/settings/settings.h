// Settings that tests and machines that must not send beyond themselves can override.
//
// Every endpoint and interval the agent uses outside its database is read here once, from
// environment variables named KESTYL_*, with the product's values as defaults. Loopback
// mode (KESTYL_LOOPBACK=1) sends everything that would leave the machine to a loopback
// address instead and skips UPnP.
//
//   KESTYL_LOOPBACK        unset    loopback mode when "1"
//   KESTYL_PLATFORM_DIR    (system) folder of the platform stand-in's state (service table)
//   KESTYL_VENDOR_HOST     vendor's server host; 127.0.0.1 in loopback mode
//   KESTYL_VENDOR_PORT     15000
//   KESTYL_DESKTOP_PORT    15003    port of the desktop program's confirmation listener
//   KESTYL_HTTP_PORT       15008
//   KESTYL_DISCOVERY_PORT  61617
//   KESTYL_WAKEUP_PORT     60000
//   KESTYL_HEARTBEAT_S     60
//   KESTYL_RELAY_RETRY_S   30       relay job's retry and keep-alive
//   KESTYL_POLL_S          5        relay poll's sleep
//   KESTYL_CONFIRM_S       30       the owner's time to decide a device log-in
//   KESTYL_POWER_CMD       the system's hibernate command
//   KESTYL_TEXT_ENCODING   the agent's text encoding ("en", "gb2312", "big5"); "en" on Linux
//   KESTYL_LOCAL_ADDR      0.0.0.0  address the message server listens on
//   KESTYL_IDLE_S          600      idle message-server connections are closed after it
//   KESTYL_P2P_HEARTBEAT_S 10       rendezvous heartbeat interval
//   KESTYL_TIDY_S          60       photo tidying round interval
//   KESTYL_HTTP_TIMEOUT_MS 30000    HTTP receive/send time-out
//   KESTYL_HTTP_MAX_CONNECTIONS, KESTYL_HTTP_MAX_ACTIVE   HTTP connection caps
//   KESTYL_FREE_KB         (unset)  free space reported for uploads (tests)
#pragma once

#include <cstdint>
#include <string>

namespace ks::settings {

bool Loopback();
std::string VendorHost();
uint16_t VendorPort();
uint16_t DesktopPort();
uint16_t HttpPort();
uint16_t DiscoveryPort();
uint16_t WakeupPort();
int HeartbeatSeconds();
int RelayRetrySeconds();
int PollSeconds();
int ConfirmSeconds();
std::string PowerCommand();
// Empty when not set: the caller applies its own default.
std::string TextEncodingOverride();
// Where datagrams meant for the whole LAN go: 255.255.255.255, or 127.255.255.255 in
// loopback mode.
std::string BroadcastAddress();

// Generic accessors for names added later; `fallback` when unset or not a number.
std::string Text(const char* name, const std::string& fallback);
long Number(const char* name, long fallback);

}  // namespace ks::settings
