// The UDT side: per-peer sockets, rendezvous connects, the peer list and the receive jobs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <udt/udt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "agent/log/log.h"
#include "agent/net/p2p/p2p.h"
#include "agent/net/p2p/p2p_internal.h"
#include "agent/net/p2p/p2p_links.h"
#include "agent/net/p2p/udt_channel.h"
#include "agent/net/proto/proto.h"
#include "agent/core/state/state.h"

namespace ks::p2p {
namespace detail {
namespace {

// UDT's codes for "no data available" and "time-out": the peer is still there.
constexpr int kUdtNoData = 6002;
constexpr int kUdtTimeout = 6003;

std::mutex g_peerMutex;
std::vector<P2PPeer> g_peers;
std::set<std::pair<uint32_t, uint16_t>> g_connecting;  // connects under way, by address

bool SamePeer(const P2PPeer& p, uint32_t addr, uint16_t port) { return p.addr == addr && p.port == port; }

// The local address the system sends from to reach `peer` (what the signalling socket's
// datagrams to it carry).
bool SourceAddressFor(const sockaddr_in& peer, in_addr* out) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in local{};
  socklen_t len = sizeof(local);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0;
  ::close(fd);
  if (ok) *out = local.sin_addr;
  return ok;
}

void SetUdtOption(int u, UDTOpt opt, const void* value, int size) {
  UDT::setsockopt(u, 0, opt, value, size);
}

void ConnectJob(sockaddr_in peer, bool viaAck) {
  const uint32_t addr = peer.sin_addr.s_addr;
  const uint16_t port = ntohs(peer.sin_port);
  int u = -1;
  const int rc = ConnectUdtOnUdp(&u, peer);
  if (rc == 0) {
    KS_LOG_DEBUG("CommLib", viaAck ? "recv ack, init udt ok." : "recv p2p hole punch msg from client, init udt ok.");
  } else {
    KS_LOG_DEBUG("CommLib", viaAck ? "recv ack, init udt error." : "recv p2p hole punch msg from client, init udt error.");
  }
  bool added = false;
  {
    std::lock_guard<std::mutex> lock(g_peerMutex);
    g_connecting.erase({addr, port});
    // After the stop flag P2PTrans no longer empties the list: add nothing then.
    if (rc == 0 && !state::StopRequested() && ClientRunning()) {
      g_peers.push_back(P2PPeer{0, addr, port, u});
      added = true;
      SetTransEvent();
      KS_LOG_DEBUG("CommLib", "p2p --- init udt ok singnal.");
    }
  }
  if (rc == 0 && !added) UDT::close(u);
}

// Between its bind and its connect a peer's socket, bound more precisely than the
// signalling socket, is where the system delivers any datagram for the port. Those are the
// signalling socket's: pass them on. (The peer's own early UDT handshakes go too; UDT
// repeats them.)
void HandOverEarlyDatagrams(int fd) {
  uint8_t buf[kMaxDatagram];
  for (;;) {
    sockaddr_in from{};
    socklen_t len = sizeof(from);
    const ssize_t n = ::recvfrom(fd, buf, sizeof(buf), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (from.sin_family == AF_INET) HandleSignalDatagram(buf, static_cast<size_t>(n), from);
  }
}

// UDT closes a peer's UDP descriptor before it stops the thread that reads it, and that
// thread goes on reading the number until it sees the stop (its owner holds UDT's global
// lock meanwhile). A socket the process opens in that gap gets the same number: the stale
// reader takes its datagrams and, on a socket with no receive time-out, blocks for good,
// and with it every later UDT call. So a peer's socket lives at a number above those the
// rest of the process is handed (the lowest free), and it carries a receive time-out before
// the number exists, so that a stale reader of an earlier peer there returns.
constexpr int kStaleReadTimeoutMs = 100;

int MoveAboveCommonDescriptors(int fd) {
  static const int base = [] {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 512;
    return static_cast<int>(std::min<rlim_t>(limit.rlim_cur / 2, 512));
  }();
  if (fd >= base) return fd;
  const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, base);
  if (high < 0) return fd;  // too many open: keep the number it has
  ::close(fd);
  return high;
}

}  // namespace

namespace {
std::mutex g_udtMutex;
bool g_udtUp = false;
}  // namespace

bool UdtStartup() {
  std::lock_guard<std::mutex> lock(g_udtMutex);
  if (!g_udtUp) g_udtUp = UDT::startup() == 0;
  return g_udtUp;
}

void StartConnect(const sockaddr_in& peer, bool viaAck) {
  const uint32_t addr = peer.sin_addr.s_addr;
  const uint16_t port = ntohs(peer.sin_port);
  if (!DestinationAllowed(addr)) {
    KS_LOG_DEBUG("CommLib", "loopback mode: no udt connect to %s", AddrText(addr).c_str());
    return;
  }
  {
    std::lock_guard<std::mutex> lock(g_peerMutex);
    if (state::StopRequested()) return;
    // The client punches and acknowledges several times: one connection per address, as a
    // second UDP socket connected to the same address would split its datagrams.
    if (g_connecting.count({addr, port}) ||
        std::any_of(g_peers.begin(), g_peers.end(), [&](const P2PPeer& p) { return SamePeer(p, addr, port); })) {
      return;
    }
    if (g_connecting.size() >= kMaxPendingConnects) {
      KS_LOG_DEBUG("CommLib", "udt connects all busy, %s:%d dropped", AddrText(addr).c_str(), port);
      return;
    }
    g_connecting.insert({addr, port});
  }
  if (!StartTrackedJob([peer, viaAck] { ConnectJob(peer, viaAck); })) {
    std::lock_guard<std::mutex> lock(g_peerMutex);
    g_connecting.erase({addr, port});
  }
}

void ResetPeers() {
  std::lock_guard<std::mutex> lock(g_peerMutex);
  g_connecting.clear();
}

}  // namespace detail

void StopUdt() {
  std::lock_guard<std::mutex> lock(detail::g_udtMutex);
  if (!detail::g_udtUp) return;
  // Joins UDT's collector, which closes what is left and ends every queue thread.
  UDT::cleanup();
  detail::g_udtUp = false;
}

using namespace detail;

int CreateUdtOnUdp(int* udtSocket, const sockaddr_in& peer) {
  *udtSocket = -1;
  if (!UdtStartup()) return -1;
  // Bound to the very address it will send from, not to the wildcard: connecting a
  // wildcard-bound socket moves it between the kernel's lookup chains, and a datagram for the
  // signalling socket looked up at that moment is lost.
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(SignalPort());
  if (SignalPort() == 0 || !SourceAddressFor(peer, &local.sin_addr)) return -1;
  const int low = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (low < 0) return -1;
  const timeval staleRead{0, kStaleReadTimeoutMs * 1000};
  if (::setsockopt(low, SOL_SOCKET, SO_RCVTIMEO, &staleRead, sizeof(staleRead)) != 0) {
    ::close(low);
    return -1;
  }
  const int fd = MoveAboveCommonDescriptors(low);
  const int one = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 ||
      ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0) {
    ::close(fd);
    return -1;
  }
  HandOverEarlyDatagrams(fd);
  const UDTSOCKET u = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  if (u == UDT::INVALID_SOCK) {
    ::close(fd);
    return -1;
  }
  const bool yes = true;
  const bool no = false;
  SetUdtOption(u, UDT_RENDEZVOUS, &yes, sizeof(yes));
  // Without this, bind2 ignores our UDP socket and joins any UDT multiplexer already on the
  // same port: that of an earlier peer, connected to that peer.
  SetUdtOption(u, UDT_REUSEADDR, &no, sizeof(no));
  // Connect without blocking so that the stop flag can cut a connect short.
  SetUdtOption(u, UDT_RCVSYN, &no, sizeof(no));
  if (UDT::bind2(u, fd) == UDT::ERROR) {
    UDT::close(u);
    ::close(fd);
    return -1;
  }
  // From here the UDP socket belongs to UDT, which closes it with the UDT socket.
  *udtSocket = u;
  return 0;
}

int ConnectUdtOnUdp(int* udtSocket, const sockaddr_in& peer) {
  int u = -1;
  if (CreateUdtOnUdp(&u, peer) != 0) return -1;
  bool connected = false;
  if (UDT::connect(u, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != UDT::ERROR) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    while (!state::StopRequested() && std::chrono::steady_clock::now() < deadline) {
      const UDTSTATUS s = UDT::getsockstate(u);
      if (s == CONNECTED) {
        connected = true;
        break;
      }
      if (s != CONNECTING) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (!connected) {
    UDT::close(u);
    *udtSocket = -1;
    return -1;
  }
  // Receives stay non-blocking (see P2PTransThread); sends block, for at most a second at a
  // time so that a writer sees the stop flag.
  const int timeoutMs = kUdtReceiveTimeoutMs;
  SetUdtOption(u, UDT_SNDTIMEO, &timeoutMs, sizeof(timeoutMs));
  // A peer is closed only once it is gone or the agent stops: UDT's default linger would
  // hold that close for up to 180 s while unsent data waits for a client that reads none.
  const linger noLinger{0, 0};
  SetUdtOption(u, UDT_LINGER, &noLinger, sizeof(noLinger));
  *udtSocket = u;
  return 0;
}

void ClearP2PPeerList() {
  std::lock_guard<std::mutex> lock(g_peerMutex);
  for (const P2PPeer& p : g_peers) {
    if (!p.started) UDT::close(p.udtSocket);  // a running job closes its own
  }
  g_peers.clear();
}

size_t P2PPeerCount() {
  std::lock_guard<std::mutex> lock(g_peerMutex);
  return g_peers.size();
}

void P2PTrans() {
  JobScope scope;
  while (!state::StopRequested() && ClientRunning()) {
    if (!WaitTransEvent(250)) continue;
    if (state::StopRequested() || !ClientRunning()) break;
    std::lock_guard<std::mutex> lock(g_peerMutex);
    KS_LOG_DEBUG("CommLib", "p2p --- wait singnal ok.");
    for (auto it = g_peers.begin(); it != g_peers.end();) {
      if (it->started) {
        ++it;
        continue;
      }
      KS_LOG_DEBUG("CommLib", "add udt in thread");
      const P2PPeer copy = *it;
      if (StartTrackedJob([copy] { P2PTransThread(copy); })) {
        it->started = 1;
        ++it;
      } else {
        UDT::close(it->udtSocket);
        it = g_peers.erase(it);
      }
    }
  }
  ClearP2PPeerList();
}

void P2PTransThread(P2PPeer peer) {
  JobScope scope;
  UdtChannel channel(peer.udtSocket);
  // UDT 4.11's timed recvmsg waits out its whole time-out before reading a message that is
  // already queued, so the socket reads without blocking and a UDT epoll does the waiting
  // (at most kUdtReceiveTimeoutMs, to look at the stop flag). Its "readable" mark outlives
  // the data, so it is cleared (remove, add) and the socket read once more before each wait.
  const int poll = UDT::epoll_create();
  const int events = UDT_EPOLL_IN | UDT_EPOLL_ERR;
  UDT::epoll_add_usock(poll, peer.udtSocket, &events);
  bool rearmed = false;
  // One byte more than a message can hold: the body is always followed by a NUL.
  std::vector<uint8_t> buf(kMaxDatagram + 1);
  std::vector<uint8_t> reply;
  while (!state::StopRequested()) {
    std::fill(buf.begin(), buf.end(), 0);
    const int n = UDT::recvmsg(peer.udtSocket, reinterpret_cast<char*>(buf.data()), kMaxDatagram);
    if (n == UDT::ERROR) {
      const int code = UDT::getlasterror_code();
      if (code == kUdtNoData || code == kUdtTimeout) {
        if (!rearmed) {
          UDT::epoll_remove_usock(poll, peer.udtSocket);
          UDT::epoll_add_usock(poll, peer.udtSocket, &events);
          rearmed = true;
        } else {
          std::set<UDTSOCKET> readable;
          UDT::epoll_wait(poll, &readable, nullptr, kUdtReceiveTimeoutMs);
          rearmed = false;
        }
        continue;
      }
      KS_LOG_DEBUG("CommLib", "======udt recv: errno = %d, errinfo = %s======", code, UDT::getlasterror_desc());
      break;
    }
    rearmed = false;
    net::MsgHead head;
    const uint8_t* body = nullptr;
    size_t bodyLength = 0;
    switch (CheckUdtMessage(buf.data(), static_cast<size_t>(n), &head, &body, &bodyLength)) {
      case UdtMessageCheck::kShort:
        KS_LOG_DEBUG("CommLib", "udt ==== read lens eeror");
        continue;
      case UdtMessageCheck::kTooLong:
        KS_LOG_DEBUG("CommLib", "udu datasize more than 2048");
        continue;
      case UdtMessageCheck::kTruncated:
        KS_LOG_DEBUG("CommLib", "udt msg length %d beyond the %d bytes received", head.length, n);
        continue;
      case UdtMessageCheck::kOk:
        break;
    }
    buf[std::max<size_t>(head.length, proto::kMsgHeadSize)] = 0;
    reply.clear();
    links::DispatchP2P(head, body, bodyLength, &channel, &reply, peer.udtSocket);
    if (reply.empty()) continue;
    if (reply.size() > 0xFFFF) {
      KS_LOG_ERROR("CommLib", "reply of %zu bytes to type %d refused", reply.size(), head.type);
    } else if (!channel.Write(reply.data(), reply.size())) {
      KS_LOG_ERROR("CommLib", "Write return message error");
    }
  }
  UDT::epoll_release(poll);
  channel.MarkClosed();
  links::ChannelClosed(channel);
  {
    std::lock_guard<std::mutex> lock(g_peerMutex);
    g_peers.erase(std::remove_if(g_peers.begin(), g_peers.end(),
                                 [&](const P2PPeer& p) {
                                   return SamePeer(p, peer.addr, peer.port) && p.udtSocket == peer.udtSocket;
                                 }),
                  g_peers.end());
  }
  UDT::close(peer.udtSocket);
}

}  // namespace ks::p2p
