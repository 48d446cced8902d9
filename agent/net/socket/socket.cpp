#include "agent/net/socket/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "agent/log/log.h"
#include "agent/net/msg/msg.h"
#include "agent/net/proto/proto.h"

namespace ks::net {

ServerHead ServerHead::Make(uint16_t opcode, size_t bodyLength, const std::string& deviceId) {
  ServerHead h;
  h.length = static_cast<uint16_t>(kSize + bodyLength);
  h.version = ks::proto::kProtocolVersion;
  h.opcode = opcode;
  PutFieldText(reinterpret_cast<uint8_t*>(h.deviceId), kDeviceIdSize, deviceId);
  return h;
}

void ServerHead::Encode(uint8_t* out) const {
  PutU16(out, length);
  PutU16(out + 2, version);
  PutU16(out + 4, opcode);
  std::memcpy(out + 6, deviceId, kDeviceIdSize);
}

ServerHead ServerHead::Decode(const uint8_t* in) {
  ServerHead h;
  h.length = GetU16(in);
  h.version = GetU16(in + 2);
  h.opcode = GetU16(in + 4);
  std::memcpy(h.deviceId, in + 6, kDeviceIdSize);
  return h;
}

std::string ServerHead::DeviceIdText() const {
  return FieldText(reinterpret_cast<const uint8_t*>(deviceId), kDeviceIdSize);
}

void ServerReplyHead::Encode(uint8_t* out) const {
  PutU16(out, length);
  PutU16(out + 2, reserved1);
  PutU16(out + 4, reserved2);
  PutU16(out + 6, status);
}

ServerReplyHead ServerReplyHead::Decode(const uint8_t* in) {
  return ServerReplyHead{GetU16(in), GetU16(in + 2), GetU16(in + 4), GetU16(in + 6)};
}

int OS_SockCreateTcp() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

namespace {

// Waits for a non-blocking connect to finish; 0 when connected.
int FinishConnect(int fd, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    if (left < 0) left = 0;
    pollfd p{fd, POLLOUT, 0};
    int rc = ::poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) {
      if (rc == 0) errno = ETIMEDOUT;
      return -1;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
    if (err != 0) {
      errno = err;
      return -1;
    }
    return 0;
  }
}

}  // namespace

int OS_SockConnectAddr(int* sock, const sockaddr_in& addr, int timeoutMs) {
  if (!sock || *sock == -1) return -1;
  int fd = *sock;
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
  int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (rc != 0) rc = (errno == EINPROGRESS || errno == EINTR) ? FinishConnect(fd, timeoutMs) : -1;
  int saved = errno;
  ::fcntl(fd, F_SETFL, flags);
  errno = saved;
  return rc == 0 ? 0 : -1;
}

int OS_SockConnect(int* sock, uint16_t port, const char* host, int timeoutMs) {
  if (!sock || *sock == -1 || !host || port == 65535) return -1;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return -1;
  sockaddr_in addr{};
  std::memcpy(&addr, res->ai_addr, sizeof addr);
  ::freeaddrinfo(res);
  addr.sin_port = htons(port);
  return OS_SockConnectAddr(sock, addr, timeoutMs);
}

int OS_SockBindListen(uint16_t port, int* sock) {
  if (!sock || *sock == -1 || port == 0 || port == 65535) return -1;
  int on = 1;
  if (::setsockopt(*sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (::bind(*sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  return ::listen(*sock, 32) == 0 ? 0 : -1;
}

int OS_SockRecv(int* sock, size_t count, void* buffer) {
  if (count == 0) return 0;
  if (!sock || *sock == -1 || !buffer) return -1;
  auto* p = static_cast<uint8_t*>(buffer);
  size_t got = 0;
  while (got < count) {
    ssize_t n = ::recv(*sock, p + got, count - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int code = n == 0 ? 0 : errno;  // 0: the peer closed
      KS_LOG_ERROR("CommLib", "recv error, code %d msg %s", code, std::strerror(code));
      return -1;
    }
    got += static_cast<size_t>(n);
  }
  return 0;
}

int OS_SockRecv(int* sock, ServerReplyHead* head) {
  if (!sock || *sock == -1 || !head) return -1;
  uint8_t raw[ServerReplyHead::kSize];
  if (OS_SockRecv(sock, sizeof raw, raw) != 0) return -1;
  *head = ServerReplyHead::Decode(raw);
  return 0;
}

int OS_SockSend(int* sock, size_t count, const void* data) {
  if (!sock || *sock == -1 || !data) return -1;
  auto* p = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  while (sent < count) {
    ssize_t n = ::send(*sock, p + sent, count - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    sent += static_cast<size_t>(n);
  }
  return 0;
}

int OS_SockSendTo(int* sock, size_t count, const void* data, const sockaddr_in& to) {
  if (!sock || *sock == -1 || !data) return -1;
  auto* p = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  while (sent < count) {
    ssize_t n = ::sendto(*sock, p + sent, count - sent, MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    sent += static_cast<size_t>(n);
  }
  return 0;
}

int OS_SockClose(int* sock) {
  if (!sock || *sock == -1) return -1;
  ::shutdown(*sock, SHUT_RDWR);
  int rc = ::close(*sock);
  *sock = -1;
  return rc;
}

std::string OS_AddrToString(const uint8_t* a) {
  char text[64];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
  return text;
}

std::string OS_AddrToString(const in_addr& addr) {
  return OS_AddrToString(reinterpret_cast<const uint8_t*>(&addr.s_addr));
}

int OS_SockSetTimeouts(int sock, int sendMs, int recvMs) {
  timeval s{sendMs / 1000, (sendMs % 1000) * 1000};
  timeval r{recvMs / 1000, (recvMs % 1000) * 1000};
  if (::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &s, sizeof s) != 0) return -1;
  return ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &r, sizeof r) == 0 ? 0 : -1;
}

namespace {

constexpr int kRequestTimeoutMs = 5000;

// Closes the socket whichever way the exchange ends.
struct SocketGuard {
  int fd = -1;
  ~SocketGuard() {
    if (fd != -1) OS_SockClose(&fd);
  }
};

// The head's u16 length must describe the whole request: a longer one would go out with a
// wrapped length, and the server would read the rest of it as further requests.
bool FitsOneRequest(const ServerHead& head, size_t bodyLength) {
  if (bodyLength <= kMaxMessageLength - ServerHead::kSize) return true;
  KS_LOG_ERROR("CommLib", "Request of opcode %u with a body of %zu bytes refused: too long for its head.",
               unsigned(head.opcode), bodyLength);
  return false;
}

// The exchange after connecting; the caller's guard closes the socket.
int Exchange(int* fd, const ServerHead& head, const uint8_t* body, size_t bodyLength,
             ServerReplyHead* replyHead, std::vector<uint8_t>* replyBody) {
  if (OS_SockSetTimeouts(*fd, kRequestTimeoutMs, kRequestTimeoutMs) != 0) return -1;
  if (bodyLength > 0 && !body) return -1;
  std::vector<uint8_t> request(ServerHead::kSize + bodyLength, 0);
  head.Encode(request.data());
  if (bodyLength) std::memcpy(request.data() + ServerHead::kSize, body, bodyLength);
  if (OS_SockSend(fd, request.size(), request.data()) != 0) return -1;

  ServerReplyHead reply;
  if (OS_SockRecv(fd, &reply) != 0) return -1;
  if (reply.length < ServerReplyHead::kSize) {
    KS_LOG_ERROR("CommLib", "Reply length %u of opcode %u is below the head size.",
                 unsigned(reply.length), unsigned(head.opcode));
    return -1;
  }
  std::vector<uint8_t> data(reply.length - ServerReplyHead::kSize);
  if (OS_SockRecv(fd, data.size(), data.data()) != 0) return -1;
  if (replyHead) *replyHead = reply;
  if (replyBody) *replyBody = std::move(data);
  return 0;
}

}  // namespace

int OS_SendRequest(const ServerHead& head, const sockaddr_in& server, const uint8_t* body,
                   size_t bodyLength, ServerReplyHead* replyHead, std::vector<uint8_t>* replyBody) {
  if (replyBody) replyBody->clear();
  if (!FitsOneRequest(head, bodyLength)) return -1;
  SocketGuard s;
  s.fd = OS_SockCreateTcp();
  if (s.fd == -1 || OS_SockConnectAddr(&s.fd, server) != 0) return -1;
  return Exchange(&s.fd, head, body, bodyLength, replyHead, replyBody);
}

int OS_SendRequest(const ServerHead& head, const ServerAddr& server, const uint8_t* body,
                   size_t bodyLength, ServerReplyHead* replyHead, std::vector<uint8_t>* replyBody) {
  if (replyBody) replyBody->clear();
  if (!FitsOneRequest(head, bodyLength)) return -1;
  SocketGuard s;
  s.fd = OS_SockCreateTcp();
  if (s.fd == -1 || OS_SockConnect(&s.fd, server.port, server.host.c_str()) != 0) return -1;
  return Exchange(&s.fd, head, body, bodyLength, replyHead, replyBody);
}

}  // namespace ks::net
