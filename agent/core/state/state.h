// The agent's process-wide state: the stop flag every loop polls, the install root and the
// values gathered at start-up (device id, MAC text, local address, text encoding, Windows
// name, system type, message-server port). Every accessor is thread-safe; texts are
// returned as copies.
#pragma once

#include <cstdint>
#include <string>

namespace ks::state {

// Stop flag: 0 while the agent runs; once raised every loop ends by itself.
bool StopRequested();
void RequestStop();
void ClearStop();
// Sleeps up to `ms`, waking early when the stop flag is raised; true when it was raised.
bool SleepUnlessStopped(int ms);

std::string InstallRoot();
void SetInstallRoot(const std::string& root);
// <root>/etc/Kestyl.db
std::string DatabasePath();

// Device id text (at most 63 characters): the MAC text until the server gives one.
std::string DeviceId();
void SetDeviceId(const std::string& id);

std::string MacText();
void SetMacText(const std::string& mac);

std::string LocalIp();
void SetLocalIp(const std::string& ip);

// "gb2312", "big5" or "en" ("en": no conversion of wire texts).
std::string TextEncoding();
void SetTextEncoding(const std::string& encoding);

std::string OsName();
void SetOsName(const std::string& name);
uint16_t SystemType();  // 2
void SetSystemType(uint16_t type);

// Port of the local message server (0 until it listens).
uint16_t LocalBindPort();
void SetLocalBindPort(uint16_t port);

}  // namespace ks::state
