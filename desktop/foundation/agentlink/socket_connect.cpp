#include "desktop/foundation/agentlink/socket_connect.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "common/wire/types.h"
#include "common/wire/wire.h"
#include "common/wire/desktop/desktop_wire.h"
#include "desktop/foundation/log/ks_log.h"

namespace ks::desktop {

namespace {

namespace wire = ks::wire;

uint16_t PortFromEnv(const char* name, uint16_t fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  long n = std::strtol(v, &end, 10);
  if (*end != '\0' || n <= 0 || n > 65535) return fallback;
  return static_cast<uint16_t>(n);
}

void SetTimeout(int fd, int option, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// A TCP socket with the 500 ms send and 1000 ms receive time-outs; -1 when none.
int CreateSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  SetTimeout(fd, SO_SNDTIMEO, CSocketConnect::kSendTimeoutMs);
  SetTimeout(fd, SO_RCVTIMEO, CSocketConnect::kRecvTimeoutMs);
  return fd;
}

void CloseSocket(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Only IPv4 loopback texts are hosts; everything else counts as no host.
bool LoopbackAddress(const std::string& host, in_addr* out) {
  if (host.empty() || host.size() > 15) return false;
  if (::inet_pton(AF_INET, host.c_str(), out) != 1) return false;
  return (ntohl(out->s_addr) >> 24) == 127;
}

int Connect(int fd, const std::string& host, uint16_t port) {
  in_addr a{};
  if (port == 0 || !LoopbackAddress(host, &a)) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = a;
  int r;
  do {
    r = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } while (r < 0 && errno == EINTR);
  return r == 0 ? 0 : -1;
}

int SendAll(int fd, const uint8_t* data, size_t length) {
  if (data == nullptr) return -1;
  size_t sent = 0;
  while (sent < length) {
    ssize_t n = ::send(fd, data + sent, length - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    sent += static_cast<size_t>(n);
  }
  return 0;
}

// Exactly `length` bytes: 0; the connection closed first: 1; an error: -1 (errno kept).
int RecvAll(int fd, uint8_t* data, size_t length) {
  size_t got = 0;
  while (got < length) {
    ssize_t n = ::recv(fd, data + got, length - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return 1;
    got += static_cast<size_t>(n);
  }
  return 0;
}

// A request is a whole message: a head whose length is the message's size.
bool WholeMessage(const std::vector<uint8_t>& m) {
  if (m.size() < wire::kMsgHeadSize || m.size() > wire::kMaxMessageLength) return false;
  return wire::GetU16(m.data()) == m.size();
}

bool NoReplyType(uint16_t type) {
  return type == MSG_SHOW_SET_AUTO_TIDING || type == MSG_SHOW_EXEC;
}

// Reads one message (head, then the rest) into `out`: 0; -3 / 10060 no head; -1 short body.
int ReadMessage(int fd, std::vector<uint8_t>* out) {
  uint8_t head[wire::kMsgHeadSize];
  int r = RecvAll(fd, head, sizeof head);
  if (r != 0) {
    bool timedOut = r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    return timedOut ? CSocketConnect::kTimedOut : CSocketConnect::kNoReplyHead;
  }
  size_t total = wire::GetU16(head);
  if (total < wire::kMsgHeadSize) return CSocketConnect::kNoReplyHead;
  out->assign(total, 0);
  std::memcpy(out->data(), head, sizeof head);
  if (total > sizeof head && RecvAll(fd, out->data() + sizeof head, total - sizeof head) != 0) {
    out->clear();
    return -1;
  }
  return 0;
}

}  // namespace

uint16_t AgentPort() { return PortFromEnv("KESTYL_AGENT_PORT", 15002); }
uint16_t DesktopPort() { return PortFromEnv("KESTYL_DESKTOP_PORT", 15003); }

CSocketConnect::CSocketConnect(uint16_t agentPort, uint16_t listenPort)
    : agentPort_(agentPort != 0 ? agentPort : AgentPort()),
      listenPort_(listenPort != 0 ? listenPort : DesktopPort()) {
  m_hRecvThread = std::thread([this] { RecvThread(); });
}

CSocketConnect::~CSocketConnect() {
  {
    std::lock_guard<std::mutex> lock(m_lcQueue);
    m_bStop = true;
    if (m_sSocket >= 0) ::shutdown(m_sSocket, SHUT_RDWR);
  }
  m_queueEvent.notify_all();
  if (m_hRecvThread.joinable()) m_hRecvThread.join();
  m_lstRequest.clear();

  std::map<std::thread::id, std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(listenMutex_);
    listenStop_ = true;
    if (m_sListenSocket >= 0) ::shutdown(m_sListenSocket, SHUT_RDWR);
    for (int fd : openPushFds_) ::shutdown(fd, SHUT_RDWR);
  }
  if (m_hListenThread.joinable()) m_hListenThread.join();
  {
    std::lock_guard<std::mutex> lock(listenMutex_);
    threads.swap(connectionThreads_);
    CloseSocket(m_sListenSocket);
  }
  for (auto& [id, t] : threads) t.join();

  std::lock_guard<std::mutex> lock(m_lcConnect);
  for (auto& [id, info] : m_mapConnect) CloseSocket(info.sSocket);
  m_mapConnect.clear();
}

void CSocketConnect::SetCallback(ISocketConnectCallback* callback) {
  std::unique_lock<std::mutex> lock(callbackMutex_);
  if (callback == nullptr) callbackIdle_.wait(lock, [this] { return callsInFlight_ == 0; });
  m_pCallback = callback;
}

template <typename Fn>
bool CSocketConnect::WithCallback(Fn fn) {
  ISocketConnectCallback* cb;
  {
    std::lock_guard<std::mutex> lock(callbackMutex_);
    cb = m_pCallback;
    if (cb == nullptr) return false;
    ++callsInFlight_;
  }
  fn(cb);
  std::lock_guard<std::mutex> lock(callbackMutex_);
  if (--callsInFlight_ == 0) callbackIdle_.notify_all();
  return true;
}

int CSocketConnect::SendRequest(const std::string& host, const std::vector<uint8_t>& message,
                                std::vector<uint8_t>* reply) const {
  return SendRequestTo(host, agentPort_, message, reply);
}

int CSocketConnect::SendRequestTo(const std::string& host, uint16_t port, const std::vector<uint8_t>& message,
                                  std::vector<uint8_t>* reply) {
  if (reply != nullptr) reply->clear();
  in_addr a{};
  if (!LoopbackAddress(host, &a)) return kNoConnection;
  if (!WholeMessage(message)) return -1;
  int fd = CreateSocket();
  if (fd < 0 || Connect(fd, host, port) != 0) {
    CloseSocket(fd);
    return kNoConnection;
  }
  int result = SendAll(fd, message.data(), message.size());
  if (result == 0 && !NoReplyType(wire::GetU16(message.data() + 2))) {
    std::vector<uint8_t> in;
    result = ReadMessage(fd, &in);
    if (result == 0 && reply != nullptr) reply->swap(in);
  }
  CloseSocket(fd);
  return result;
}

int CSocketConnect::PostRequest(const std::string& host, const std::vector<uint8_t>& message) {
  if (host.empty() || !WholeMessage(message)) {
    if (message.size() >= wire::kMsgHeadSize) {
      uint16_t type = wire::GetU16(message.data() + 2);
      WithCallback([&](ISocketConnectCallback* cb) { cb->OnError(type, 1); });
    }
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(m_lcQueue);
    m_lstRequest.push_back(RequestItem{host, agentPort_, message});
  }
  m_queueEvent.notify_one();
  return 0;
}

void CSocketConnect::RecvThread() {
  for (;;) {
    RequestItem item;
    int fd = CreateSocket();
    {
      std::unique_lock<std::mutex> lock(m_lcQueue);
      m_queueEvent.wait(lock, [this] { return m_bStop || !m_lstRequest.empty(); });
      if (m_bStop) {
        CloseSocket(fd);
        return;
      }
      item = std::move(m_lstRequest.front());
      m_lstRequest.pop_front();
      m_sSocket = fd;
      workerBusy_ = true;
    }
    uint16_t type = wire::GetU16(item.message.data() + 2);
    int error = 0;
    std::vector<uint8_t> in;
    if (fd < 0 || Connect(fd, item.host, item.port) != 0) {
      error = 1;
    } else if (SendAll(fd, item.message.data(), item.message.size()) != 0) {
      error = 2;
    } else if (!NoReplyType(type) && ReadMessage(fd, &in) != 0) {
      error = 3;
    }
    {
      std::lock_guard<std::mutex> lock(m_lcQueue);
      m_sSocket = -1;
    }
    CloseSocket(fd);
    if (error != 0) {
      WithCallback([&](ISocketConnectCallback* cb) { cb->OnError(type, error); });
    } else if (in.size() <= wire::kMsgHeadSize) {
      if (!NoReplyType(type)) {
        KS_DESKTOP_LOG("CSocketConnect::RecvThread", "received iMessageLength = %i",
                       static_cast<int>(in.size()) - static_cast<int>(wire::kMsgHeadSize));
      }
    } else {
      WithCallback([&](ISocketConnectCallback* cb) { cb->OnReceive(in.data(), in.size()); });
    }
    {
      std::lock_guard<std::mutex> lock(m_lcQueue);
      workerBusy_ = false;
    }
    queueIdle_.notify_all();
  }
}

bool CSocketConnect::WaitForQueue(int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_lcQueue);
  return queueIdle_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return m_bStop || (m_lstRequest.empty() && !workerBusy_); });
}

int CSocketConnect::StartListening() {
  std::lock_guard<std::mutex> lock(listenMutex_);
  if (m_sListenSocket >= 0) return 0;
  if (listenStop_) return -1;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(listenPort_);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    CloseSocket(fd);
    return -1;
  }
  SetTimeout(fd, SO_SNDTIMEO, kPushTimeoutMs);
  SetTimeout(fd, SO_RCVTIMEO, kPushTimeoutMs);
  m_sListenSocket = fd;
  m_hListenThread = std::thread([this] { ListenThread(); });
  return 0;
}

void CSocketConnect::ListenThread() {
  int listenFd;
  {
    std::lock_guard<std::mutex> lock(listenMutex_);
    listenFd = m_sListenSocket;
  }
  for (;;) {
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    std::vector<std::thread> finished;
    std::lock_guard<std::mutex> lock(listenMutex_);
    if (listenStop_) {
      if (fd >= 0) ::close(fd);
      return;
    }
    for (auto id : finishedThreads_) {
      auto it = connectionThreads_.find(id);
      if (it != connectionThreads_.end()) {
        it->second.join();
        connectionThreads_.erase(it);
      }
    }
    finishedThreads_.clear();
    if (fd < 0) {
      if (errno == EINVAL) return;  // shut down
      continue;
    }
    // Only the agent on this PC pushes: anything not from 127.0.0.1 is closed unread.
    if (peer.sin_family != AF_INET || ntohl(peer.sin_addr.s_addr) != INADDR_LOOPBACK) {
      ::close(fd);
      continue;
    }
    SetTimeout(fd, SO_SNDTIMEO, kPushTimeoutMs);
    SetTimeout(fd, SO_RCVTIMEO, kPushTimeoutMs);
    openPushFds_.insert(fd);
    std::thread t([this, fd] { ConnectionThread(fd); });
    connectionThreads_.emplace(t.get_id(), std::move(t));
  }
}

void CSocketConnect::ConnectionThread(int fd) {
  std::vector<uint8_t> message;
  bool kept = false;
  if (ReadMessage(fd, &message) == 0 && message.size() > wire::kMsgHeadSize) {
    uint32_t requestId;
    std::memcpy(&requestId, message.data() + 4, sizeof requestId);
    bool stopping;
    {
      std::lock_guard<std::mutex> lock(listenMutex_);
      stopping = listenStop_;
    }
    bool inserted = false;
    if (!stopping) {
      std::lock_guard<std::mutex> lock(callbackMutex_);
      if (m_pCallback != nullptr) {
        std::lock_guard<std::mutex> mapLock(m_lcConnect);
        inserted = m_mapConnect.emplace(requestId, ConnectInfo{fd, requestId}).second;
      }
    }
    if (!stopping) {
      bool called = WithCallback([&](ISocketConnectCallback* cb) { cb->OnReceive(message.data(), message.size()); });
      kept = inserted;
      if (inserted && !called) {
        // The callback was cleared in between: nobody will answer.
        std::lock_guard<std::mutex> mapLock(m_lcConnect);
        auto it = m_mapConnect.find(requestId);
        if (it != m_mapConnect.end() && it->second.sSocket == fd) {
          m_mapConnect.erase(it);
          kept = false;
        }
      }
    }
  }
  std::lock_guard<std::mutex> lock(listenMutex_);
  openPushFds_.erase(fd);
  if (!kept) ::close(fd);
  finishedThreads_.push_back(std::this_thread::get_id());
}

int CSocketConnect::SendPushReply(uint32_t requestId, uint32_t verdict) {
  std::lock_guard<std::mutex> lock(m_lcConnect);
  auto it = m_mapConnect.find(requestId);
  if (it == m_mapConnect.end()) return -1;
  int fd = it->second.sSocket;
  m_mapConnect.erase(it);
  // The word goes back as the four bytes that arrived.
  std::vector<uint8_t> answer = wire::desktop::MakeDeviceLoginAnswer(0, verdict);
  std::memcpy(answer.data() + 4, &requestId, sizeof requestId);
  int result = SendAll(fd, answer.data(), answer.size());
  CloseSocket(fd);
  return result;
}

size_t CSocketConnect::KeptPushCount() {
  std::lock_guard<std::mutex> lock(m_lcConnect);
  return m_mapConnect.size();
}

}  // namespace ks::desktop
