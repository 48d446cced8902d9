// LAN discovery: the datagram layout, the UDP socket and the listener (broadcast.h).
#include "agent/net/broadcast/broadcast.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "agent/db/local_db.h"
#include "agent/log/log.h"
#include "agent/net/broadcast/device_id.h"
#include "agent/net/netinfo/netinfo.h"
#include "agent/net/socket/socket.h"
#include "agent/core/state/state.h"
#include "agent/util/settings/settings.h"
#include "agent/util/util.h"

namespace ks::net {
namespace {

constexpr char kCommLib[] = "CommLib";
constexpr int kUdpTimeoutMs = 5000;
constexpr int kStopCheckMs = 200;

// Field offsets and sizes of BroadcastMsg.
constexpr size_t kTagOff = 0, kVersionOff = 2, kTypeOff = 4, kEmailOff = 6, kPswOff = 38;
constexpr size_t kPortOff = 74, kReservedOff = 76, kHostOff = 78, kDeviceIdOff = 142;
constexpr size_t kShortText = 32, kLongText = 64;

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void PutText(uint8_t* p, size_t field, const std::string& text) {
  std::memcpy(p, text.data(), std::min(text.size(), field - 1));
}

std::string GetText(const uint8_t* p, size_t field) {
  const auto* c = reinterpret_cast<const char*>(p);
  return std::string(c, ::strnlen(c, field));
}

bool NonEnglish(const std::string& encoding) { return !encoding.empty() && encoding != "en"; }

// The dotted text up to its last ".": the first three octets.
std::string NetworkPart(const std::string& ip) { return ip.substr(0, ip.rfind('.')); }

}  // namespace

void EncodeBroadcastMsg(const BroadcastMsg& msg, uint8_t* out) {
  std::memset(out, 0, kBroadcastMsgSize);
  std::memcpy(out + kTagOff, msg.tag.data(), std::min<size_t>(msg.tag.size(), 2));
  PutU16(out + kVersionOff, msg.version);
  PutU16(out + kTypeOff, msg.type);
  PutText(out + kEmailOff, kShortText, msg.email);
  PutText(out + kPswOff, kShortText, msg.psw);
  std::memcpy(out + kBroadcastAddrOffset, &msg.addr, 4);
  PutU16(out + kPortOff, msg.port);
  PutU16(out + kReservedOff, msg.reserved);
  PutText(out + kHostOff, kLongText, msg.hostName);
  PutText(out + kDeviceIdOff, kLongText, msg.deviceId);
}

int ParseBroadcastMsg(const uint8_t* data, size_t length, BroadcastMsg* out) {
  if (!data || !out) return -1;
  // A short datagram reads as if zero-padded; nothing past its end is ever touched.
  uint8_t m[kBroadcastMsgSize] = {};
  std::memcpy(m, data, std::min(length, kBroadcastMsgSize));
  out->tag = std::string(reinterpret_cast<const char*>(m), 2);
  out->version = GetU16(m + kVersionOff);
  out->type = GetU16(m + kTypeOff);
  out->email = GetText(m + kEmailOff, kShortText);
  out->psw = GetText(m + kPswOff, kShortText);
  std::memcpy(&out->addr, m + kBroadcastAddrOffset, 4);
  out->port = GetU16(m + kPortOff);
  out->reserved = GetU16(m + kReservedOff);
  out->hostName = GetText(m + kHostOff, kLongText);
  out->deviceId = GetText(m + kDeviceIdOff, kLongText);
  std::string encoding = ks::state::TextEncoding();
  if (NonEnglish(encoding))
    out->hostName = ConvertCode("utf-8", (encoding + "//IGNORE").c_str(), out->hostName);
  return 0;
}

bool IsDiscoveryRequest(const BroadcastMsg& msg) {
  return msg.tag == "ks" && (msg.type == 4 || msg.type == 5);
}

BroadcastMsg BuildBroadcastAnswer() {
  BroadcastMsg a;
  a.tag = "ks";
  a.version = kBroadcastVersion;
  a.type = ks::state::SystemType();
  UserRecord user;
  GetUsernfo(user);
  a.email = user.email;
  a.psw = user.psw;
  a.port = ks::state::LocalBindPort();
  GetHostName(a.hostName);
  std::string encoding = ks::state::TextEncoding();
  if (NonEnglish(encoding)) a.hostName = ConvertCode((encoding + "//IGNORE").c_str(), "utf-8", a.hostName);
  a.deviceId = KnownDeviceId();
  return a;
}

int InitUdpSock(const std::string& address, int* sock, uint16_t port) {
  *sock = -1;
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    KS_LOG_ERROR(kCommLib, "init BROADPORT creat sock error.");
    return -1;
  }
  int one = 1;  // an int: a one-byte value is refused on Linux
  if (::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
    int e = errno;
    KS_LOG_ERROR(kCommLib, "Got an error %d (%s) on init BROADPORT sock.", e, std::strerror(e));
    ::close(s);
    return -1;
  }
  OS_SockSetTimeouts(s, kUdpTimeoutMs, kUdpTimeoutMs);
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if ((!address.empty() && ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) ||
      ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    KS_LOG_ERROR(kCommLib, "init BROADPORT bind %s,%d error", address.c_str(), int(port));
    ::close(s);
    return -1;
  }
  *sock = s;
  return 0;
}

int BuildLocalIpMap(LocalIpMap& map) {
  map.clear();
  std::vector<std::string> ips;
  int rc = GetLocalIpList(ips);
  for (const std::string& ip : ips) map[ip] = LocalIpSlot{ip, -1};
  return rc;
}

BroadcastServer::BroadcastServer(uint16_t port, std::string broadcastAddress)
    : port_(port), broadcastAddress_(std::move(broadcastAddress)) {}

BroadcastServer::~BroadcastServer() {
  if (sock_ >= 0) ::close(sock_);
}

int BroadcastServer::Open() {
  if (sock_ >= 0) return 0;
  return InitUdpSock("", &sock_, port_);
}

int BroadcastServer::RevAndSendBroadcastData(const std::string& sender) {
  if (sock_ < 0) return -1;
  uint8_t msg[kBroadcastMsgSize];
  EncodeBroadcastMsg(BuildBroadcastAnswer(), msg);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port_);
  ::inet_pton(AF_INET, broadcastAddress_.c_str(), &to.sin_addr);

  if (sender.empty()) {
    if (OS_SockSendTo(&sock_, sizeof msg, msg, to) == 0) return 0;
    KS_LOG_DEBUG(kCommLib, "send broadcast error");
    return -1;
  }
  std::vector<std::string> ips;
  GetLocalIpList(ips);
  const std::string senderNet = NetworkPart(sender);
  for (const std::string& ip : ips) {
    if (NetworkPart(ip) != senderNet) continue;
    auto slot = map_.find(ip);
    if (slot == map_.end()) continue;
    in_addr local{};
    ::inet_pton(AF_INET, ip.c_str(), &local);
    std::memcpy(msg + kBroadcastAddrOffset, &local.s_addr, 4);
    // Sent from a socket bound to that address, so the datagram leaves through its adapter.
    int& s = slot->second.sock;
    bool ok = InitUdpSock(ip, &s, port_) == 0 && OS_SockSendTo(&s, sizeof msg, msg, to) == 0;
    if (s >= 0) ::close(s);
    s = -1;
    if (!ok) {
      KS_LOG_DEBUG(kCommLib, "send broadcast error");
      return -1;
    }
  }
  return 0;
}

void BroadcastServer::Run() {
  while (sock_ >= 0 && !stop_.load() && !ks::state::StopRequested()) {
    pollfd p{sock_, POLLIN, 0};
    int r = ::poll(&p, 1, kStopCheckMs);
    if (r <= 0) continue;
    // One byte more than is read, so the datagram is always NUL-bounded.
    uint8_t buf[kBroadcastReceiveSize + 1] = {};
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(sock_, buf, kBroadcastReceiveSize, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 6) continue;
    buf[n] = 0;
    BroadcastMsg request;
    ParseBroadcastMsg(buf, static_cast<size_t>(n), &request);
    if (IsDiscoveryRequest(request)) {
      BuildLocalIpMap(map_);
      RevAndSendBroadcastData(OS_AddrToString(from.sin_addr));
      map_.clear();
    }
    // Paces a flood of requests: each one costs an adapter scan and a socket.
    if (ks::state::SleepUnlessStopped(10)) break;
  }
  if (sock_ >= 0) OS_SockClose(&sock_);
}

void StartBroadcastServer(void*) {
  BroadcastServer server(ks::settings::DiscoveryPort(), ks::settings::BroadcastAddress());
  if (server.Open() != 0) {
    KS_LOG_ERROR(kCommLib, "init BROADPORT udp socket error");
    return;
  }
  server.Run();
}

}  // namespace ks::net
