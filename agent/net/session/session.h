// The vendor server session: keeps the owner's PC known to the vendor's server.
//
// Every exchange is one request on a fresh TCP connection (ks::net::OS_SendRequest): the
// 70-byte ServerHead {u16 70 + body, u16 370, u16 opcode, char[64] device id} and a body,
// answered by an 8-byte reply head whose u16 at offset 6 is the status (0 = success).
//
//   SRV_LOGON 0x1001          132 bytes: char[32] account, char[32] password, u16 system
//                             type, u16 0, char[32] Windows name, char[32] MAC text
//   SRV_LOGOUT 0x1002         64 bytes: char[32] account, char[32] password
//   SRV_SET_SV_INFO 0x1004    212 bytes, see BuildSvInfoBody
//   SRV_GET_UUID 0x1006       no body; the reply's first 64 bytes hold the device id
//   SRV_SET_POWER_ON_INFO     162 bytes, see BuildPowerOnBody; the reply is not used
// Numbers are big-endian except the power-on body's system type (little-endian).
//
// Result codes: 0; 273 out of memory; 4122 ("connect net work error.") when connecting,
// sending or receiving fails; 4127 when the stored account or password is empty; any other
// value is the server's status, passed on unchanged.
//
// Process-wide values, each guarded and handed out as a copy:
// - the current server (host, port): UserOp sets the vendor's server (ks::settings
//   VendorHost/VendorPort); the desktop log-in fills it when empty; HeartBeat switches back
//   to the vendor's server when another one stops answering;
// - the log-on result (behind g_MutexLogOnRtn), read by the desktop status request;
// - the time of the last mobile heart-beat, a time value (never re-parsed from text);
// - the device id lives in ks::state (DeviceId/SetDeviceId), fixed once UserOp set it;
//   its file is <root>/bin/.uuid (the text without terminator; the leading dot hides it).
// The relay module installs a hook with SetRelayExitHook; HeartBeat calls it when it
// switches servers so that the relay reconnects to the new one.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agent/db/local_db.h"

namespace ks::session {

// ---- wire bodies (pure) -------------------------------------------------------------------

constexpr size_t kLogOnBodySize = 132;
constexpr size_t kLogOutBodySize = 64;
constexpr size_t kSvInfoBodySize = 212;
constexpr size_t kPowerOnBodySize = 162;
constexpr size_t kMaxDeviceIdLength = 63;

struct LogOnFields {
  std::string account;
  std::string password;
  uint16_t systemType = 0;
  std::string osName;  // Windows version name
  std::string mac;     // MAC address text
};
std::vector<uint8_t> BuildLogOnBody(const LogOnFields& f);
std::vector<uint8_t> BuildLogOutBody(const std::string& account, const std::string& password);

// SRV_SET_SV_INFO body (212 bytes): 0 u32 0 | 4 u32 reserved | 8 local IPv4 in network
// order (0 when the text is no IPv4 address) | 12 u16 UPnP external port | 14 u16 reserved |
// 16 u16 message-server port | 18 u16 system type | 20 char[32] account | 52 32 reserved |
// 84 char[64] host name (UTF-8) | 148 64 reserved.
struct SvInfoFields {
  std::string localIp;
  uint16_t upnpPort = 0;
  uint16_t messagePort = 0;
  uint16_t systemType = 0;
  std::string account;
  std::string hostNameUtf8;
};
std::vector<uint8_t> BuildSvInfoBody(const SvInfoFields& f);

// SRV_SET_POWER_ON_INFO body (162 bytes): 0 u16 system type little-endian | 2 char[32]
// account | 34 char[32] MAC text | 66 32 zero | 98 char[64] host name (UTF-8).
struct PowerOnFields {
  uint16_t systemType = 0;
  std::string account;
  std::string mac;
  std::string hostNameUtf8;
};
std::vector<uint8_t> BuildPowerOnBody(const PowerOnFields& f);

// The device id in a GET_UUID reply body: the text of its first 64 bytes (or of all of a
// shorter body) up to the first NUL, at most 63 characters.
std::string DeviceIdFromReply(const uint8_t* body, size_t length);

// ---- process-wide values ------------------------------------------------------------------

ServerRecord CurrentServer();
void SetCurrentServer(const ServerRecord& server);
// The vendor's server from the settings.
ServerRecord VendorServer();

uint32_t LogOnResult();
void SetLogOnResult(int code);

// UPnP external port found by UserOp (0 until then), reported in the server information.
uint16_t UpnpPort();
void SetUpnpPort(uint16_t port);

// Mobile heart-beats (recorded by the mobile-client heart-beat handler).
void RecordMobileHeartBeat();                 // now
void SetLastMobileHeartBeat(std::time_t when);
void ClearLastMobileHeartBeat();              // tests only: nothing received yet
std::optional<std::time_t> LastMobileHeartBeat();
// True when a mobile heart-beat is recorded and lies at most 60 s from now (either way).
bool CheckMobileHeartBeatRecent();
bool MobileHeartBeatRecentAt(std::time_t heartBeat, std::time_t now);

// "Tell the relay to exit": the relay module sets it (null clears it).
void SetRelayExitHook(std::function<void()> hook);
void TellRelayToExit();

// ---- device id ----------------------------------------------------------------------------

// <root>/bin/.uuid
std::string DeviceIdFilePath();
// Up to 63 bytes of the file, up to the first NUL; "" when it is missing or unreadable.
std::string ReadDeviceIdFile(const std::string& path);
// Writes the text (at most 63 characters, no terminator) through a temporary file renamed
// over the old one, so readers never see half an id. 0 or -1.
int WriteDeviceIdFile(const std::string& path, const std::string& id);
// The id from the file; when there is none, asks the current server (SRV_GET_UUID) and,
// when it gives one, writes the file. "" when neither has one.
std::string LoadDeviceUuid();

// ---- exchanges ----------------------------------------------------------------------------

// A 16-byte IPv4 socket address of the host's first address; nothing when it does not
// resolve.
std::optional<sockaddr_in> ResolveServer(const std::string& host, uint16_t port);

// Account and password from ks_user. Logs "LogOn() UUID=%s" before sending.
int LogOn(const ServerRecord& server);
int LogOn(const sockaddr_in& server);
// SRV_LOGOUT with the stored account: 4127 without sending when it is empty.
int LogOut(const ServerRecord& server);
// Server information to the current server; the second form to a resolved address with a
// given host name. -1 when the host name cannot be read.
int SetSVInfo();
int SetSVInfo(const sockaddr_in& server, const std::string& hostName);
// Power-on information, always to the vendor's server; failures are only logged.
void SetPowerOnInfo();

// ---- jobs ---------------------------------------------------------------------------------

// Pool job, once at start-up: UPnP mappings, device id, log-on, server and power-on
// information.
void UserOp(void* arg);

// The server switch rule of the heart-beat: after a failed re-log-on with no mobile
// heart-beat in the last 60 s, a current server other than the vendor's (host or port
// differing) is given up for the vendor's.
bool ShouldSwitchToVendor(int logOnCode, bool mobileRecent, const ServerRecord& current,
                          const ServerRecord& vendor);

// What the heart-beat keeps from one pass to the next.
struct HeartBeatState {
  std::string hostName;               // this PC's name (at most 63 characters)
  std::optional<sockaddr_in> server;  // the held server address; resolved when absent
  std::optional<int> svInfoCode;      // SetSVInfo's code of the last pass, logged next pass
};
// One pass after the wait: re-log-on, the switch rule, the server information.
void HeartBeatPass(HeartBeatState& state);
// Pool job for the agent's life: every ks::settings::HeartbeatSeconds() (at least 1) a
// pass, until the stop flag.
void HeartBeat(void* arg);

// Service exit: SRV_LOGOUT to a copy of the current server. Its code.
int LogOutAtExit();

}  // namespace ks::session
