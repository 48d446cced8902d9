// The signalling side: the UDP socket, its receive loop, hole-punch answers and the
// heartbeat to the rendezvous server.
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "agent/log/log.h"
#include "agent/net/p2p/p2p.h"
#include "agent/net/p2p/p2p_internal.h"
#include "agent/net/p2p/p2p_links.h"
#include "agent/core/state/state.h"
#include "agent/util/settings/settings.h"

namespace ks::p2p {
namespace detail {
namespace {

std::mutex g_socketMutex;
std::shared_ptr<UdpSocket> g_socket;
std::atomic<uint16_t> g_port{0};
std::atomic<bool> g_clientRunning{false};

std::mutex g_jobsMutex;
std::condition_variable& g_jobsCv = *new std::condition_variable;  // never destroyed: jobs may wait on it at exit
int g_jobs = 0;

std::mutex g_eventMutex;
std::condition_variable& g_eventCv = *new std::condition_variable;  // never destroyed, as above
bool g_event = false;

void JobStarted() {
  std::lock_guard<std::mutex> lock(g_jobsMutex);
  ++g_jobs;
}
void JobEnded() {
  std::lock_guard<std::mutex> lock(g_jobsMutex);
  if (--g_jobs == 0) g_jobsCv.notify_all();
}

void SetSignalSocket(std::shared_ptr<UdpSocket> s, uint16_t port) {
  std::lock_guard<std::mutex> lock(g_socketMutex);
  g_socket = std::move(s);
  g_port.store(port);
}

bool Resolve(const std::string& host, uint16_t port, sockaddr_in* out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
  *out = *reinterpret_cast<const sockaddr_in*>(res->ai_addr);
  out->sin_port = htons(port);
  ::freeaddrinfo(res);
  return true;
}

bool SetTimeouts(int fd, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == 0 &&
         ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0;
}

}  // namespace

void HandleSignalDatagram(const uint8_t* data, size_t length, const sockaddr_in& sender) {
  const ParsedDatagram d = ParseP2PDatagram(data, length);
  switch (d.kind) {
    case DatagramKind::kShortPunch:
      KS_LOG_DEBUG("CommLib", "hole punch msg lens error: %d", static_cast<int>(length));
      break;
    case DatagramKind::kPunch:
      P2PHolePunch(d.punch, sender);
      break;
    case DatagramKind::kShortAck:
      KS_LOG_DEBUG("CommLib", "ack msg lens error: %d", static_cast<int>(length));
      break;
    case DatagramKind::kAck:
      P2PHoleACK(d.ack, sender);
      break;
    case DatagramKind::kIgnored:
      break;
  }
}

UdpSocket::~UdpSocket() {
  if (fd >= 0) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }
}

std::shared_ptr<UdpSocket> SignalSocket() {
  std::lock_guard<std::mutex> lock(g_socketMutex);
  return g_socket;
}
uint16_t SignalPort() { return g_port.load(); }
bool ClientRunning() { return g_clientRunning.load(); }

JobScope::JobScope() { JobStarted(); }
JobScope::~JobScope() { JobEnded(); }

bool StartTrackedJob(std::function<void()> job) {
  JobStarted();
  const bool ok = links::StartJob([job = std::move(job)] {
    struct End {
      ~End() { JobEnded(); }
    } end;  // also when the job throws (the pool catches it)
    job();
  });
  if (!ok) JobEnded();
  return ok;
}

bool DestinationAllowed(uint32_t addr) {
  return !settings::Loopback() || (ntohl(addr) >> 24) == 127;
}

bool SendDatagram(int fd, const void* data, size_t length, const sockaddr_in& to) {
  if (!DestinationAllowed(to.sin_addr.s_addr)) {
    KS_LOG_DEBUG("CommLib", "loopback mode: datagram to %s not sent",
                 AddrText(to.sin_addr.s_addr).c_str());
    return false;
  }
  ssize_t n;
  do {
    n = ::sendto(fd, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(length);
}

std::string AddrText(uint32_t addr) {
  uint8_t b[4];
  std::memcpy(b, &addr, 4);
  char text[64];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

void SetTransEvent() {
  {
    std::lock_guard<std::mutex> lock(g_eventMutex);
    g_event = true;
  }
  g_eventCv.notify_all();
}

bool WaitTransEvent(int ms) {
  std::unique_lock<std::mutex> lock(g_eventMutex);
  if (!g_eventCv.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_event; })) return false;
  g_event = false;
  return true;
}

void ResetTransEvent() {
  std::lock_guard<std::mutex> lock(g_eventMutex);
  g_event = false;
}

}  // namespace detail

using namespace detail;

int CreateP2PUdpSocket() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  auto sock = std::make_shared<UdpSocket>(fd);
  const int one = 1;
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = 0;
  // SO_REUSEADDR only once bound: set before a bind to port 0, it lets the system hand out a
  // port that another SO_REUSEADDR socket already holds, which would then take our datagrams.
  // The peers' sockets need it to share the port later.
  if (!SetTimeouts(fd, kSignalTimeoutMs) ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof(any)) != 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
    return -1;  // `sock` closes it
  }
  SetSignalSocket(std::move(sock), 0);
  return 0;
}

int P2PSendToHost(uint16_t port, const void* data, size_t count, const std::string& host) {
  auto sock = SignalSocket();
  if (!sock || !data) return -1;
  sockaddr_in to{};
  if (!Resolve(host, port, &to)) return -1;
  if (count == 0) return 0;
  return SendDatagram(sock->fd, data, count, to) ? 0 : -1;
}

void P2PHolePunch(const HolePunchInfo& info, const sockaddr_in& sender) {
  KS_LOG_DEBUG("CommLib", "recv hole punch msg.");
  auto sock = SignalSocket();
  if (!sock) return;
  if (info.kind != 0) {
    KS_LOG_DEBUG("CommLib", "recv p2p hole punch msg from p2p server.");
    const auto answer = BuildServerPunchAnswer(info);
    const std::string first = AddrText(info.addr1);
    for (int i = 0; i < 3; ++i) {
      P2PSendToHost(info.port1, answer.data(), answer.size(), first);
      SendDatagram(sock->fd, answer.data(), answer.size(), sender);
    }
    return;
  }
  KS_LOG_DEBUG("CommLib", "recv p2p hole punch msg from client.");
  const auto answer = BuildClientPunchAnswer(info, ntohs(sender.sin_port));
  for (int i = 0; i < 3; ++i) SendDatagram(sock->fd, answer.data(), answer.size(), sender);
  StartConnect(sender, false);
}

void P2PHoleACK(const HolePunchAck& ack, const sockaddr_in& sender) {
  KS_LOG_DEBUG("CommLib", "recv ack msg ip %s(%u), port %d", AddrText(sender.sin_addr.s_addr).c_str(),
               sender.sin_addr.s_addr, ntohs(sender.sin_port));
  if (ack.kind == 0) StartConnect(sender, true);
}

void SendP2PHearBeat() {
  JobScope scope;
  std::string host;
  uint16_t port = 0;
  links::RendezvousServer(&host, &port);
  std::array<uint8_t, 6> mac{};
  MacTextToBytes(links::MacText(), mac.data());
  auto beat = BuildHeartBeat(links::HostNameUtf8(), mac, std::string());
  const long seconds = settings::Number("KESTYL_P2P_HEARTBEAT_S", kDefaultHeartBeatSeconds);
  const int intervalMs = static_cast<int>(seconds >= 1 && seconds <= 86400 ? seconds : kDefaultHeartBeatSeconds) * 1000;
  KS_LOG_INFO("CommLib", "p2p heart beat started.");

  sockaddr_in to{};
  while (!state::StopRequested()) {
    if (Resolve(host, port, &to)) break;
    KS_LOG_WARNING("CommLib", "gethostbyname error host %s", host.c_str());
    state::SleepUnlessStopped(kResolveRetryMs);
  }
  if (!state::StopRequested() && !DestinationAllowed(to.sin_addr.s_addr)) {
    KS_LOG_WARNING("CommLib", "loopback mode: p2p heart beat to %s not sent", host.c_str());
  }
  while (!state::StopRequested() && ClientRunning()) {
    PutHeartBeatEmail(&beat, links::AccountEmail());
    if (auto sock = SignalSocket()) SendDatagram(sock->fd, beat.data(), beat.size(), to);
    state::SleepUnlessStopped(intervalMs);
  }
}

void StartP2PClient() {
  JobScope scope;
  ResetTransEvent();
  ClearP2PPeerList();
  ResetPeers();
  g_clientRunning.store(true);
  // Ends P2PTrans and the heartbeat whichever way this job leaves.
  struct Ending {
    ~Ending() {
      g_clientRunning.store(false);
      SetTransEvent();
      SetSignalSocket(nullptr, 0);
    }
  } ending;

  if (!StartTrackedJob(P2PTrans)) return;
  if (CreateP2PUdpSocket() != 0) {
    KS_LOG_ERROR("CommLib", "init udp socket error");
    return;
  }
  if (!UdtStartup()) {
    KS_LOG_ERROR("CommLib", "bind udt to udp socket error");
    return;
  }
  auto sock = SignalSocket();
  sockaddr_in bound{};
  socklen_t len = sizeof(bound);
  if (::getsockname(sock->fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
    KS_LOG_ERROR("CommLib", "get udp bind port error");
    return;
  }
  SetSignalSocket(sock, ntohs(bound.sin_port));
  if (!StartTrackedJob(SendP2PHearBeat)) return;
  KS_LOG_INFO("CommLib", "p2p client started.");

  uint8_t buf[kMaxDatagram];
  while (!state::StopRequested()) {
    // Short polls so that the stop flag is seen well within the socket's 5 s time-out.
    pollfd p{sock->fd, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    sockaddr_in from{};
    socklen_t fromLen = sizeof(from);
    const ssize_t n = ::recvfrom(sock->fd, buf, sizeof(buf), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0 || from.sin_family != AF_INET) continue;
    HandleSignalDatagram(buf, static_cast<size_t>(n), from);
  }
  KS_LOG_DEBUG("CommLib", "p2p --- exit loop singnal.");
}

uint16_t P2PUdpPort() { return SignalPort(); }

int P2PUdpSocket() {
  auto s = SignalSocket();
  return s ? s->fd : -1;
}

int P2PJobsRunning() {
  std::lock_guard<std::mutex> lock(g_jobsMutex);
  return g_jobs;
}

bool WaitP2PJobsEnded(int timeoutMs) {
  std::unique_lock<std::mutex> lock(g_jobsMutex);
  return g_jobsCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return g_jobs == 0; });
}

}  // namespace ks::p2p
