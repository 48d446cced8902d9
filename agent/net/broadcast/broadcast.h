// LAN discovery and wake-up announcements.
//
// Discovery: a mobile client broadcasts a BroadcastMsg of type 4 or 5 to UDP port 61617;
// the agent answers with a broadcast BroadcastMsg sent from each local address that shares
// the client's /24 (the first three octets of the dotted texts), carrying that address at
// offset 70. Wake-up: every 10 s, once a real device id exists, the agent broadcasts a
// WakeupMsg with the MAC texts of all its adapters to UDP port 60000.
//
// BroadcastMsg, 206 bytes, u16 big-endian, texts NUL-padded (at most size - 1 characters):
//   0 char[2] "ks" | 2 u16 version 370 | 4 u16 type (4/5 request, 2 answer) |
//   6 char[32] account e-mail | 38 char[32] stored password value | 70 u32 IPv4 address of
//   the answering adapter, network order (0 from the listening socket) | 74 u16 message
//   server port | 76 u16 0 | 78 char[64] host name, UTF-8 | 142 char[64] device id
// WakeupMsg, 72 + 18 n bytes, u16 big-endian:
//   0 u16 total length | 2 u16 0 | 4 u16 0x3101 | 6 char[64] device id | 70 u16 n |
//   72 n x char[18] MAC text "%02X-%02X-%02X-%02X-%02X-%02X" and a NUL
//
// The answer carries the account and its stored password value: peers rely on it.
// Datagrams go to ks::settings::BroadcastAddress() (127.255.255.255 in loopback mode).
// Ports: ks::settings DiscoveryPort (61617) and WakeupPort (60000). Socket errors log under
// "CommLib", device-id lines under "KestylClient".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ks::net {

constexpr size_t kBroadcastMsgSize = 206;
constexpr size_t kBroadcastReceiveSize = 513;
constexpr uint16_t kBroadcastVersion = 370;
constexpr size_t kBroadcastAddrOffset = 70;
constexpr uint16_t kWakeupType = 0x3101;
constexpr size_t kWakeupHeadSize = 72;
constexpr size_t kWakeupMacSize = 18;
constexpr int kWakeupIntervalMs = 10 * 1000;

struct BroadcastMsg {
  std::string tag;        // the first two bytes
  uint16_t version = 0;
  uint16_t type = 0;
  std::string email;      // char[32]
  std::string psw;        // char[32]
  uint32_t addr = 0;      // network order, as on the wire
  uint16_t port = 0;
  uint16_t reserved = 0;
  std::string hostName;   // char[64]; UTF-8 on the wire
  std::string deviceId;   // char[64]
};

// out: kBroadcastMsgSize bytes. Texts are cut to their field less one byte.
void EncodeBroadcastMsg(const BroadcastMsg& msg, uint8_t* out);
// Reads a received datagram of `length` bytes (missing bytes count as zero, texts end at
// their field's end when no NUL comes). The host name is converted from UTF-8 to the
// agent's text encoding unless that is "en". 0, or -1 for a null buffer.
int ParseBroadcastMsg(const uint8_t* data, size_t length, BroadcastMsg* out);
// "ks" and type 4 or 5.
bool IsDiscoveryRequest(const BroadcastMsg& msg);
// The answer's fields: "ks", 370, the system type, the stored account, the message server
// port, the host name (UTF-8) and the locally known device id; address 0.
BroadcastMsg BuildBroadcastAnswer();

std::vector<uint8_t> BuildWakeupMsg(const std::string& deviceId, const std::vector<std::string>& macs);

// A broadcast-capable UDP socket (close-on-exec, SO_REUSEADDR, 5 s time-outs) bound to
// address:port ("" = every address). 0, or -1 (logged).
int InitUdpSock(const std::string& address, int* sock, uint16_t port);

// Local address map: address text -> that text and a socket slot.
struct LocalIpSlot {
  std::string ip;
  int sock = -1;
};
using LocalIpMap = std::map<std::string, LocalIpSlot>;
// Fills the map (cleared first) from GetLocalIpList; 0 or its code.
int BuildLocalIpMap(LocalIpMap& map);

// The discovery listener. Open, then Run on one thread until Stop or the stop flag.
class BroadcastServer {
 public:
  // port: where requests arrive and answers go; broadcastAddress: the answers' destination.
  BroadcastServer(uint16_t port, std::string broadcastAddress);
  ~BroadcastServer();
  BroadcastServer(const BroadcastServer&) = delete;
  BroadcastServer& operator=(const BroadcastServer&) = delete;

  int Open();  // InitUdpSock("", ...): 0 or -1
  // Answers requests until Stop or the stop flag (seen within 200 ms), then closes.
  void Run();
  void Stop() { stop_.store(true); }

  // Builds and broadcasts the answer to a request from `sender` (dotted text): once from
  // every local address in the map that shares the sender's first three octets (0 also
  // when none does); from the listening socket when the text is empty. 0, or -1 when the
  // listening socket is closed or a send failed ("send broadcast error").
  int RevAndSendBroadcastData(const std::string& sender);
  LocalIpMap& Map() { return map_; }

 private:
  uint16_t port_;
  std::string broadcastAddress_;
  int sock_ = -1;
  LocalIpMap map_;
  std::atomic<bool> stop_{false};
};

// Pool job: the listener on the settings' port until the stop flag.
void StartBroadcastServer(void* arg = nullptr);

struct WakeupOptions {
  std::string broadcastAddress = "255.255.255.255";
  uint16_t port = 60000;
  int intervalMs = kWakeupIntervalMs;
  int deviceIdPollMs = 1000;   // how often the locally known device id is looked at
  int serverAskEvery = 60;     // the vendor server is asked every that many looks
  static WakeupOptions FromSettings();
};
// The announcer: waits for a usable device id (not empty, not the first real MAC text),
// then sends the WakeupMsg every intervalMs until the stop flag or *stop. The first datagram
// goes at once. 0 when it ended by the stop; -1 when the socket or the MAC list failed.
int RunWakeupAnnouncer(const WakeupOptions& options, const std::atomic<bool>* stop = nullptr);
// Pool job: RunWakeupAnnouncer with the settings.
void TimingBroadcastWakeup(void* arg = nullptr);

}  // namespace ks::net
