// CSocketConnect: the desktop program's one network path to the agent on the same PC, over
// loopback TCP framed with MsgHead (common/wire/wire.h). No Qt.
//
// Three kinds of traffic:
//   - SendRequest: synchronous; a new connection to 127.0.0.1:<agent port> per request
//     (KESTYL_AGENT_PORT, default 15002), one request out, one reply back. Results: 0 and the
//     whole reply (head included); -2 no connection; -3 no reply head (or a head whose length
//     is below 8); 10060 the agent accepted but sent no head within 1000 ms; -1 the send
//     failed, the body came short, or the request itself is not a whole message that fits
//     the u16 length (then nothing is sent). MSG_SHOW_SET_AUTO_TIDING and MSG_SHOW_EXEC are
//     never answered by the agent: they are sent whole, the connection closed, 0 when sent.
//   - PostRequest: queued, first in first out, sent by one worker thread; the reply reaches
//     ISocketConnectCallback::OnReceive, a failure OnError(type, 1 connect / 2 send / 3 receive).
//     A reply without body is dropped (INFO log line, no callback).
//   - The agent's push MSG_SHOW_DEVICE_LOGIN_ASK: StartListening binds 127.0.0.1:<desktop port>
//     (KESTYL_DESKTOP_PORT, default 15003) only; connections from any other address are
//     closed. One thread per accepted connection reads one message (10 s time-outs). A whole
//     message with a callback set is handed to OnReceive; its connection is kept in
//     m_mapConnect under the message's request word until SendPushReply answers it (12 bytes)
//     and closes it. A duplicate word still reaches the callback and the first entry stays,
//     but the duplicate's own connection is closed (it could never be answered). A push that
//     is short, has no callback to go to, or has a head length below 8 is closed at once,
//     which the agent reads as a refusal.
//
// Guarantees: sockets use MSG_NOSIGNAL (no SIGPIPE); -1 means "no socket" everywhere.
// SetCallback(nullptr) returns only after every callback call in flight has returned (so a
// callback must not clear the callback itself). The destructor stops the worker (requests
// still queued are dropped unsent), shuts the listener and every kept or half-read push
// connection down, waits for every thread it started, and closes every socket: it returns
// without waiting for any time-out.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace ks::desktop {

class ISocketConnectCallback {
 public:
  virtual ~ISocketConnectCallback() = default;
  // A whole message, head included (head fields in network order); valid during the call.
  virtual void OnReceive(const uint8_t* message, size_t length) = 0;
  // A queued request failed: its type (host order); 1 connect, 2 send, 3 receive.
  virtual void OnError(uint16_t messageType, int code) = 0;
};

// The ports from the environment (KESTYL_AGENT_PORT / KESTYL_DESKTOP_PORT), else the defaults.
uint16_t AgentPort();
uint16_t DesktopPort();

class CSocketConnect {
 public:
  static constexpr int kNoConnection = -2;
  static constexpr int kNoReplyHead = -3;
  static constexpr int kTimedOut = 10060;
  static constexpr int kSendTimeoutMs = 500;
  static constexpr int kRecvTimeoutMs = 1000;
  static constexpr int kPushTimeoutMs = 10000;

  // agentPort 0 / listenPort 0 take AgentPort() / DesktopPort().
  explicit CSocketConnect(uint16_t agentPort = 0, uint16_t listenPort = 0);
  ~CSocketConnect();
  CSocketConnect(const CSocketConnect&) = delete;
  CSocketConnect& operator=(const CSocketConnect&) = delete;

  // Thread-safe; uses no member but the agent port. `host` must be an IPv4 text in
  // 127.0.0.0/8 (anything else: -2, nothing sent).
  int SendRequest(const std::string& host, const std::vector<uint8_t>& message, std::vector<uint8_t>* reply) const;
  static int SendRequestTo(const std::string& host, uint16_t port, const std::vector<uint8_t>& message,
                           std::vector<uint8_t>* reply);

  // 0 when queued; -1 (and OnError(type, 1) when a callback is set and the message has a
  // head) for an empty host or a message that is not whole.
  int PostRequest(const std::string& host, const std::vector<uint8_t>& message);

  // Waits until no queued request is left and the worker is done with the last one (its
  // callback returned): true, or false when that did not happen within timeoutMs.
  bool WaitForQueue(int timeoutMs);

  // Binds and starts the listener thread: 0, or -1 when the port cannot be bound (the
  // listener is not started). A second call while listening returns 0.
  int StartListening();
  uint16_t listen_port() const { return listenPort_; }

  // Answers the kept push with this request word (the four bytes as received) and closes
  // its connection: 0 when all 12 bytes were sent, -1 when the send failed or no such push
  // is kept. The entry is removed either way.
  int SendPushReply(uint32_t requestId, uint32_t verdict);
  size_t KeptPushCount();

  void SetCallback(ISocketConnectCallback* callback);

 private:
  struct RequestItem {
    std::string host;
    uint16_t port = 0;
    std::vector<uint8_t> message;
  };
  struct ConnectInfo {
    int sSocket = -1;
    uint32_t requestId = 0;
  };

  void RecvThread();
  void ListenThread();
  void ConnectionThread(int fd);
  // Calls fn(callback) when a callback is set; false when none was.
  template <typename Fn>
  bool WithCallback(Fn fn);

  uint16_t agentPort_;
  uint16_t listenPort_;

  std::mutex m_lcQueue;
  std::condition_variable m_queueEvent;
  std::deque<RequestItem> m_lstRequest;
  bool m_bStop = false;
  int m_sSocket = -1;  // the worker's request socket while it runs; guarded by m_lcQueue
  bool workerBusy_ = false;  // a request taken from the queue is not finished; guarded by m_lcQueue
  std::condition_variable queueIdle_;
  std::thread m_hRecvThread;

  std::mutex m_lcConnect;
  std::map<uint32_t, ConnectInfo> m_mapConnect;

  std::mutex listenMutex_;
  int m_sListenSocket = -1;
  bool listenStop_ = false;
  std::thread m_hListenThread;
  std::set<int> openPushFds_;  // connections being read; guarded by listenMutex_
  std::map<std::thread::id, std::thread> connectionThreads_;  // guarded by listenMutex_
  std::vector<std::thread::id> finishedThreads_;              // guarded by listenMutex_

  std::mutex callbackMutex_;
  std::condition_variable callbackIdle_;
  ISocketConnectCallback* m_pCallback = nullptr;
  int callsInFlight_ = 0;
};

}  // namespace ks::desktop
