// Blocking TCP and UDP helpers over BSD sockets, and the one-shot request to the vendor's
// server (OS_SendRequest).
//
// A socket is an int, -1 meaning none; functions take a pointer to the variable holding it
// so that OS_SockClose can reset it to -1. IPv4 only; ports are in host order. All return
// 0 on success and -1 on failure and never throw. Sends use MSG_NOSIGNAL, every call is
// retried on EINTR, sockets are created close-on-exec, host names are resolved with
// getaddrinfo.
//
// Vendor server heads (all numbers big-endian on the wire):
//   ServerHead (70 bytes): u16 total length (70 + body), u16 version (370), u16 opcode,
//     char[64] device id, NUL-padded (at most 63 characters).
//   ServerReplyHead (8 bytes): u16 total length (head included), u16, u16 (not used),
//     u16 status at offset 6 (0 = success). Length 8 means no body.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ks::net {

struct ServerHead {
  static constexpr size_t kSize = 70;
  static constexpr size_t kDeviceIdSize = 64;
  uint16_t length = 0;
  uint16_t version = 0;
  uint16_t opcode = 0;
  char deviceId[kDeviceIdSize] = {};

  // {70 + bodyLength, 370, opcode, deviceId cut to 63 characters}.
  static ServerHead Make(uint16_t opcode, size_t bodyLength, const std::string& deviceId);
  void Encode(uint8_t* out) const;  // out: 70 bytes
  static ServerHead Decode(const uint8_t* in);  // in: 70 bytes
  std::string DeviceIdText() const;  // up to the first NUL, at most 64 characters
};

struct ServerReplyHead {
  static constexpr size_t kSize = 8;
  uint16_t length = 0;
  uint16_t reserved1 = 0;
  uint16_t reserved2 = 0;
  uint16_t status = 0;

  void Encode(uint8_t* out) const;  // out: 8 bytes
  static ServerReplyHead Decode(const uint8_t* in);  // in: 8 bytes, each u16 big-endian
};

// Where OS_SendRequest connects: host name (or dotted address) and port.
struct ServerAddr {
  uint16_t port = 0;
  std::string host;
};

constexpr int kConnectTimeoutMs = 5000;

// A TCP socket (close-on-exec); -1 on failure.
int OS_SockCreateTcp();
// -1 when *sock is -1, host is null, port is 65535 or the host does not resolve (the socket
// is then left as it is). Connects to the host's first IPv4 address, giving up after
// timeoutMs (a black-holed server must not hang the caller).
int OS_SockConnect(int* sock, uint16_t port, const char* host, int timeoutMs = kConnectTimeoutMs);
int OS_SockConnectAddr(int* sock, const sockaddr_in& addr, int timeoutMs = kConnectTimeoutMs);
// -1 when *sock is -1 or port is outside 1..65534. SO_REUSEADDR, bind INADDR_ANY:port,
// listen with backlog 32.
int OS_SockBindListen(uint16_t port, int* sock);
// Receives exactly count bytes; an error or the peer's close logs
// "recv error, code %d msg %s" (ERROR) and gives -1. count 0 gives 0 at once.
int OS_SockRecv(int* sock, size_t count, void* buffer);
// Receives the 8-byte reply head and converts it to host order.
int OS_SockRecv(int* sock, ServerReplyHead* head);
// Sends all count bytes; -1 when *sock is -1, data is null, or at the first send error.
int OS_SockSend(int* sock, size_t count, const void* data);
int OS_SockSendTo(int* sock, size_t count, const void* data, const sockaddr_in& to);
// -1 when *sock is -1; otherwise shutdown both ways, close, *sock = -1, close's result.
int OS_SockClose(int* sock);
// "%u.%u.%u.%u" of four address bytes in memory order.
std::string OS_AddrToString(const uint8_t* addr4);
std::string OS_AddrToString(const in_addr& addr);
// Send and receive time-outs (SO_SNDTIMEO / SO_RCVTIMEO); 0 or -1.
int OS_SockSetTimeouts(int sock, int sendMs, int recvMs);

// One request and reply on a fresh connection: connect (5 s time-out), send and receive
// time-outs 5 s, send the encoded head then the body, read the reply head and then
// length - 8 body bytes. 0 on success: *replyHead is set and *replyBody holds the body
// (empty when the length is 8). -1 on any failure, a reply length below 8 included
// (*replyBody then empty), and for a body longer than 65535 - 70 bytes, which the head's
// length cannot describe (refused before connecting, ERROR logged). The socket is closed
// on every path; head is not modified.
int OS_SendRequest(const ServerHead& head, const ServerAddr& server, const uint8_t* body,
                   size_t bodyLength, ServerReplyHead* replyHead, std::vector<uint8_t>* replyBody);
// The same to an already resolved address.
int OS_SendRequest(const ServerHead& head, const sockaddr_in& server, const uint8_t* body,
                   size_t bodyLength, ServerReplyHead* replyHead, std::vector<uint8_t>* replyBody);

}  // namespace ks::net
