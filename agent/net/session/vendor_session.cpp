// Exchanges with the vendor's server and the two jobs that drive them (session.h).
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "agent/log/log.h"
#include "agent/net/proto/proto.h"
#include "agent/net/session/session.h"
#include "agent/net/session/wire_text.h"
#include "agent/net/socket/socket.h"
#include "agent/net/upnp/upnp.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"
#include "agent/util/settings/settings.h"
#include "agent/util/util.h"

namespace ks::session {
namespace {

constexpr uint16_t kUpnpUdpPort = 12345;

// One request and its reply; 0 with the reply head filled, or 4122 (logged).
template <typename Target>
int Exchange(uint16_t opcode, const Target& target, const std::vector<uint8_t>& body,
             ks::net::ServerReplyHead* reply) {
  ks::net::ServerHead head = ks::net::ServerHead::Make(opcode, body.size(), ks::state::DeviceId());
  std::vector<uint8_t> replyBody;
  if (ks::net::OS_SendRequest(head, target, body.empty() ? nullptr : body.data(), body.size(),
                              reply, &replyBody) != 0) {
    KS_LOG_WARNING("CommLib", "connect net work error.");
    return KS_NETWORK_ERROR;
  }
  return KS_OK;
}

ks::net::ServerAddr ToAddr(const ServerRecord& server) {
  ks::net::ServerAddr addr;
  addr.host = server.host;
  addr.port = server.port;
  return addr;
}

UserRecord StoredUser() {
  UserRecord user;
  GetUsernfo(user);  // on a database error the record stays empty: "no account"
  return user;
}

template <typename Target>
int LogOnTo(const Target& target) {
  UserRecord user = StoredUser();
  if (user.email.empty() || user.psw.empty()) return KS_EMPTY_ACCOUNT;
  std::string id = ks::state::DeviceId();
  g_Log.Print("KestylClient", LOG_LEVEL_INFO, "LogOn", __LINE__, "LogOn() UUID=%s", id.c_str());
  LogOnFields f;
  f.account = user.email;
  f.password = user.psw;
  f.systemType = ks::state::SystemType();
  f.osName = ks::state::OsName();
  f.mac = ks::state::MacText();
  ks::net::ServerReplyHead reply;
  int rc = Exchange(SRV_LOGON, target, BuildLogOnBody(f), &reply);
  return rc != KS_OK ? rc : reply.status;
}

// "" when the host name cannot be read; at most 63 characters.
std::string ReadHostName() {
  std::string name;
  if (GetHostName(name) != 0) return std::string();
  return name.substr(0, kMaxDeviceIdLength);
}

template <typename Target>
int SetSVInfoTo(const Target& target, const std::string& hostName) {
  if (hostName.empty()) return -1;
  SvInfoFields f;
  f.localIp = ks::state::LocalIp();
  f.upnpPort = UpnpPort();
  f.messagePort = ks::state::LocalBindPort();
  f.systemType = ks::state::SystemType();
  f.account = StoredUser().email;
  f.hostNameUtf8 = ToWireUtf8(hostName);
  ks::net::ServerReplyHead reply;
  int rc = Exchange(SRV_SET_SV_INFO, target, BuildSvInfoBody(f), &reply);
  return rc != KS_OK ? rc : reply.status;
}

}  // namespace

std::optional<sockaddr_in> ResolveServer(const std::string& host, uint16_t port) {
  if (host.empty()) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return std::nullopt;
  sockaddr_in addr{};
  std::memcpy(&addr, list->ai_addr, std::min<size_t>(sizeof addr, list->ai_addrlen));
  ::freeaddrinfo(list);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  return addr;
}

int LogOn(const ServerRecord& server) { return LogOnTo(ToAddr(server)); }
int LogOn(const sockaddr_in& server) { return LogOnTo(server); }

int LogOut(const ServerRecord& server) {
  UserRecord user = StoredUser();
  if (user.email.empty() || user.psw.empty()) return KS_EMPTY_ACCOUNT;
  ks::net::ServerReplyHead reply;
  int rc = Exchange(SRV_LOGOUT, ToAddr(server), BuildLogOutBody(user.email, user.psw), &reply);
  return rc != KS_OK ? rc : reply.status;
}

int SetSVInfo() { return SetSVInfoTo(ToAddr(CurrentServer()), ReadHostName()); }

int SetSVInfo(const sockaddr_in& server, const std::string& hostName) {
  return SetSVInfoTo(server, hostName);
}

void SetPowerOnInfo() {
  PowerOnFields f;
  f.systemType = ks::state::SystemType();
  f.account = StoredUser().email;
  f.mac = ks::state::MacText();
  f.hostNameUtf8 = ToWireUtf8(ReadHostName());
  ks::net::ServerReplyHead reply;
  Exchange(SRV_SET_POWER_ON_INFO, ToAddr(VendorServer()), BuildPowerOnBody(f), &reply);
}

void UserOp(void*) {
  // The first two calls report the same external port: the one the server is told.
  uint16_t upnpPort = 0;
  uint16_t httpExternal = 0;
  ks::net::MapUpnpPort(ks::state::LocalBindPort(), upnpPort, true);
  ks::net::MapUpnpPort(kUpnpUdpPort, upnpPort, false);
  ks::net::MapUpnpPort(ks::settings::HttpPort(), httpExternal, true, true);
  SetUpnpPort(upnpPort);
  KS_LOG_DEBUG("CommLib", "upnp port %d", upnpPort);

  ServerRecord vendor = VendorServer();
  SetCurrentServer(vendor);
  KS_LOG_INFO("CommLib", "login on server :%s", vendor.host.c_str());

  std::string id = LoadDeviceUuid();
  if (id.empty()) id = ks::state::MacText();
  id = id.substr(0, kMaxDeviceIdLength);
  ks::state::SetDeviceId(id);
  KS_LOG_INFO("CommLib", "UUID:%s", id.c_str());

  KS_LOG_INFO("CommLib", "start log in.");
  int rc = LogOn(vendor);
  SetLogOnResult(rc);
  if (rc != KS_OK) {
    KS_LOG_WARNING("CommLib", "log on return code %d", rc);
    return;
  }
  KS_LOG_INFO("CommLib", "log on successfully.");
  if (SetSVInfo() != KS_OK) {
    KS_LOG_WARNING("CommLib", "set server info error.");
    return;
  }
  SetPowerOnInfo();
}

void HeartBeatPass(HeartBeatState& st) {
  if (st.svInfoCode) {
    KS_LOG_INFO("CommLib", "SetSVInfo return code %d", *st.svInfoCode);
    st.svInfoCode.reset();
  }
  UserRecord user = StoredUser();
  if (user.email.empty() || user.psw.empty()) {
    SetLogOnResult(KS_EMPTY_ACCOUNT);
    return;
  }
  if (!st.server) {
    ServerRecord current = CurrentServer();
    st.server = ResolveServer(current.host, current.port);
    if (!st.server) {
      SetLogOnResult(KS_NETWORK_ERROR);
      KS_LOG_WARNING("CommLib", "getConnAddr error.");
      return;
    }
  }
  int rc = LogOn(*st.server);
  SetLogOnResult(rc);
  KS_LOG_INFO("CommLib", "relogin , return code %d", rc);

  ServerRecord vendor = VendorServer();
  if (ShouldSwitchToVendor(rc, CheckMobileHeartBeatRecent(), CurrentServer(), vendor)) {
    SetCurrentServer(vendor);
    TellRelayToExit();
    st.server = ResolveServer(vendor.host, vendor.port);
    if (!st.server) {
      KS_LOG_WARNING("CommLib", "getConnAddr error.");
      return;
    }
    rc = LogOn(*st.server);
    SetLogOnResult(rc);
    KS_LOG_INFO("CommLib", "relogin , return code %d", rc);
    KS_LOG_INFO("CommLib", "login on server :%s", vendor.host.c_str());
  }
  if (rc == KS_NETWORK_ERROR) {
    st.server.reset();  // the name may point elsewhere by the next pass
    return;
  }
  int sv = SetSVInfo(*st.server, st.hostName);
  st.svInfoCode = sv;
  if (sv == KS_NETWORK_ERROR) st.server.reset();
}

void HeartBeat(void*) {
  HeartBeatState st;
  st.hostName = ReadHostName();
  KS_LOG_INFO("CommLib", "host name %s", st.hostName.c_str());
  for (;;) {
    int seconds = std::max(1, ks::settings::HeartbeatSeconds());
    if (ks::state::SleepUnlessStopped(seconds * 1000)) return;
    HeartBeatPass(st);
  }
}

int LogOutAtExit() { return LogOut(CurrentServer()); }

}  // namespace ks::session
