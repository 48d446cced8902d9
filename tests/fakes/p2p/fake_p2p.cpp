#include "tests/fakes/p2p/fake_p2p.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <udt/udt.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace ks::test::p2p {
namespace {

void Put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
  v[at] = uint8_t(x >> 8);
  v[at + 1] = uint8_t(x);
}
void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = uint8_t(x >> (24 - 8 * i));
}
void PutAddr(std::vector<uint8_t>& v, size_t at, const std::string& text) {
  in_addr a{};
  ::inet_pton(AF_INET, text.c_str(), &a);
  std::memcpy(&v[at], &a, 4);
}

constexpr int kSendTimeoutMs = 15000;
constexpr int kLingerSeconds = 3;  // a close waits this long at most for its data's acknowledgement

void UdtOnce() {
  static std::once_flag once;
  std::call_once(once, [] { UDT::startup(); });
}

}  // namespace

uint16_t BigU16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
uint32_t BigU32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
std::string AddrAt(const uint8_t* p) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, p, text, sizeof(text));
  return text;
}

namespace {

// UDT closes the UDP descriptor of a UDT socket before it stops the thread reading it; a
// socket opened in that gap under the same number is read by that thread, which, on a socket
// with no receive time-out, blocks for good while holding up every UDT call. An endpoint
// (which UDT may later run on) therefore carries a receive time-out from its first moment
// and lives above the low numbers that other descriptors of the process are handed.
int EndpointSocket() {
  const int low = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (low < 0) return -1;
  const timeval staleRead{0, 100000};
  ::setsockopt(low, SOL_SOCKET, SO_RCVTIMEO, &staleRead, sizeof(staleRead));
  rlimit limit{};
  const int base = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                       ? static_cast<int>(std::min<rlim_t>(limit.rlim_cur / 2, 384))
                       : 384;
  const int high = low >= base ? -1 : ::fcntl(low, F_DUPFD_CLOEXEC, base);
  if (high < 0) return low;
  ::close(low);
  return high;
}

}  // namespace

UdpEndpoint::UdpEndpoint() {
  fd_ = EndpointSocket();
  const int one = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

UdpEndpoint::~UdpEndpoint() {
  if (fd_ >= 0) ::close(fd_);
}

int UdpEndpoint::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

bool UdpEndpoint::SendTo(uint16_t port, const std::vector<uint8_t>& bytes, const char* addr) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  ::inet_pton(AF_INET, addr, &to.sin_addr);
  return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) ==
         static_cast<ssize_t>(bytes.size());
}

std::optional<Datagram> UdpEndpoint::Receive(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  if (fd_ < 0 || ::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
  Datagram d;
  d.bytes.resize(65536);
  iovec iov{d.bytes.data(), d.bytes.size()};
  alignas(cmsghdr) char control[256];
  msghdr m{};
  m.msg_name = &d.from;
  m.msg_namelen = sizeof(d.from);
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof(control);
  const ssize_t n = ::recvmsg(fd_, &m, MSG_DONTWAIT);
  if (n < 0) return std::nullopt;
  d.bytes.resize(static_cast<size_t>(n));
  for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec ts;
      std::memcpy(&ts, CMSG_DATA(c), sizeof(ts));
      d.stampNs = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }
  }
  return d;
}

std::vector<Datagram> UdpEndpoint::Drain() {
  std::vector<Datagram> out;
  while (auto d = Receive(0)) out.push_back(std::move(*d));
  return out;
}

std::vector<uint8_t> HolePunchDatagram(const PunchFields& f, size_t size) {
  std::vector<uint8_t> d(32);
  Put16(d, 0, static_cast<uint16_t>(size));
  Put16(d, 2, kVersion);
  Put16(d, 4, 3);
  Put16(d, 6, f.kind);
  PutAddr(d, 8, f.addr1);
  Put16(d, 12, f.port1);
  PutAddr(d, 14, f.addr2);
  Put16(d, 18, f.port2);
  std::memcpy(&d[20], f.opaque.data(), 4);
  for (size_t k = 0; k < 4; ++k) Put16(d, 24 + 2 * k, f.opaque16[k]);
  d.resize(size);
  return d;
}

std::vector<uint8_t> HoleAckDatagram(uint16_t kind, size_t size) {
  std::vector<uint8_t> d(20);
  Put16(d, 0, static_cast<uint16_t>(size));
  Put16(d, 2, kVersion);
  Put16(d, 4, 4);
  Put16(d, 6, kind);
  PutAddr(d, 8, "127.0.0.1");
  PutAddr(d, 14, "127.0.0.1");
  d.resize(size);
  return d;
}

std::optional<PunchFields> DecodePunch(const std::vector<uint8_t>& d) {
  if (d.size() < 32 || BigU16(&d[4]) != 3) return std::nullopt;
  PunchFields f;
  f.kind = BigU16(&d[6]);
  f.addr1 = AddrAt(&d[8]);
  f.port1 = BigU16(&d[12]);
  f.addr2 = AddrAt(&d[14]);
  f.port2 = BigU16(&d[18]);
  std::memcpy(f.opaque.data(), &d[20], 4);
  for (size_t k = 0; k < 4; ++k) f.opaque16[k] = BigU16(&d[24 + 2 * k]);
  return f;
}

std::vector<uint8_t> Message(uint16_t type, uint32_t word, const std::vector<uint8_t>& body,
                             int lengthOverride) {
  std::vector<uint8_t> m(8 + body.size());
  Put16(m, 0, static_cast<uint16_t>(lengthOverride >= 0 ? lengthOverride : int(m.size())));
  Put16(m, 2, type);
  Put32(m, 4, word);
  if (!body.empty()) std::memcpy(&m[8], body.data(), body.size());
  return m;
}

FakeUdtPeer::FakeUdtPeer() { UdtOnce(); }

FakeUdtPeer::~FakeUdtPeer() { Close(); }

std::vector<Datagram> FakeUdtPeer::Punch(uint16_t agentPort, const PunchFields& f, size_t expect,
                                         int timeoutMs) {
  std::vector<Datagram> got;
  udp_.SendTo(agentPort, HolePunchDatagram(f));
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got.size() < expect) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    auto d = udp_.Receive(static_cast<int>(left.count()));
    if (d) got.push_back(std::move(*d));
  }
  return got;
}

bool FakeUdtPeer::Ack(uint16_t agentPort) { return udp_.SendTo(agentPort, HoleAckDatagram(0)); }

bool FakeUdtPeer::Connect(uint16_t agentPort, int timeoutMs) {
  udp_.Drain();  // answers left over must not reach UDT
  const UDTSOCKET u = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  const bool yes = true, no = false;
  UDT::setsockopt(u, 0, UDT_RENDEZVOUS, &yes, sizeof(yes));
  UDT::setsockopt(u, 0, UDT_RCVSYN, &no, sizeof(no));
  UDT::setsockopt(u, 0, UDT_REUSEADDR, &no, sizeof(no));  // run on this very UDP socket
  // Sends and closes never wait without a bound. UDT's default linger holds a close for up
  // to 180 s while sent data waits for an acknowledgement, and its default send time-out
  // waits for ever for room in the send buffer: a test would hang instead of failing.
  const linger shortLinger{1, kLingerSeconds};
  UDT::setsockopt(u, 0, UDT_LINGER, &shortLinger, sizeof(shortLinger));
  const int sendTimeoutMs = kSendTimeoutMs;
  UDT::setsockopt(u, 0, UDT_SNDTIMEO, &sendTimeoutMs, sizeof(sendTimeoutMs));
  if (UDT::bind2(u, udp_.fd()) == UDT::ERROR) {
    UDT::close(u);
    return false;
  }
  udp_.Release();  // UDT closes it with the UDT socket
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(agentPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = UDT::connect(u, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != UDT::ERROR;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (ok && UDT::getsockstate(u) != CONNECTED) {
    if (UDT::getsockstate(u) != CONNECTING || std::chrono::steady_clock::now() > end) ok = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!ok) {
    UDT::close(u);
    return false;
  }
  // Receives stay non-blocking: UDT 4.11's timed recvmsg waits out its time-out before
  // reading a queued message. An epoll does the waiting.
  udt_ = u;
  poll_ = UDT::epoll_create();
  const int events = UDT_EPOLL_IN | UDT_EPOLL_ERR;
  UDT::epoll_add_usock(poll_, u, &events);
  return true;
}

bool FakeUdtPeer::Send(const std::vector<uint8_t>& message) {
  return udt_ >= 0 && UDT::sendmsg(udt_, reinterpret_cast<const char*>(message.data()),
                                   static_cast<int>(message.size()), -1, true) ==
                          static_cast<int>(message.size());
}

std::optional<std::vector<uint8_t>> FakeUdtPeer::Receive(int timeoutMs) {
  if (udt_ < 0) return std::nullopt;
  std::vector<uint8_t> buf(65536);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const int events = UDT_EPOLL_IN | UDT_EPOLL_ERR;
  bool rearmed = false;
  for (;;) {
    const int n = UDT::recvmsg(udt_, reinterpret_cast<char*>(buf.data()), static_cast<int>(buf.size()));
    if (n > 0) {
      buf.resize(static_cast<size_t>(n));
      return buf;
    }
    if (n == UDT::ERROR && UDT::getlasterror_code() != 6002) return std::nullopt;
    if (!rearmed) {  // the epoll's "readable" mark outlives the data: clear it, read again
      UDT::epoll_remove_usock(poll_, udt_);
      UDT::epoll_add_usock(poll_, udt_, &events);
      rearmed = true;
      continue;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    std::set<UDTSOCKET> readable;
    UDT::epoll_wait(poll_, &readable, nullptr, left.count());
    rearmed = false;
  }
}

void FakeUdtPeer::Close() {
  if (poll_ >= 0) UDT::epoll_release(poll_);
  if (udt_ >= 0) UDT::close(udt_);
  udt_ = -1;
  poll_ = -1;
}

}  // namespace ks::test::p2p
