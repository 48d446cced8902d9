// What the relay tests share: the fake server as the current server, short intervals,
// handler recordings, a relay session run on its own thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/net/msg/msg.h"
#include "agent/net/relay/relay.h"
#include "tests/fakes/relay/fake_relay_server.h"

namespace relay_test {

using ks::fake::Bytes;

constexpr char kDeviceId[] = "PC-0001-RELAY-TEST";

// Points the relay at 127.0.0.1:port with the given log-on result.
void UseServer(uint16_t port, uint32_t logOnResult = 0);
// A port on which nothing listens (kept reserved for the test's life).
uint16_t DeadPort();
// Short intervals for tests; restored by ResetTimings.
ks::relay::RelayTimings FastTimings();
void ResetTimings();

// One handler call as the handler saw it.
struct Call {
  uint16_t type = 0;
  uint32_t word = 0;
  uint16_t length = 0;
  Bytes body;
  int udtSocket = 0;
  int direct = 0;
  ks::net::Origin origin = ks::net::Origin::kLocal;
  bool channelOpen = false;
};

class Recorder {
 public:
  void Add(Call c);
  std::vector<Call> Calls();
  bool WaitForCalls(size_t n, int timeoutMs);
  void Clear();

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Call> calls_;
};
Recorder& Recorded();

// Test handlers, registered once per process.
enum : uint16_t {
  kEchoType = 0x7201,     // reply: MsgHead {8 + n, 0x7201, word} + the client's payload
  kNoReplyType = 0x7202,  // records only
  kStreamType = 0x7203,     // streams u16 count messages of u16 size payload bytes to id A
  kBlockingType = 0x7204,   // records, then waits until ReleaseBlocked() (at most 5 s)
  kUnregisteredType = 0x7777,
};
void ReleaseBlocked();
void ResetBlocked();
void RegisterTestHandlers();

// A relay session (OS_RunEventClient) on its own thread until Stop().
class RelaySessionThread {
 public:
  explicit RelaySessionThread(uint16_t port);
  ~RelaySessionThread() { Stop(); }
  void Stop();
  bool Ended() const { return done_; }
  bool WaitEnded(int timeoutMs) const;
  int result() const { return result_; }

 private:
  std::atomic<bool> done_{false};
  int result_ = 0;
  std::thread thread_;
};

// Waits for a condition, polling.
bool Eventually(const std::function<bool()>& pred, int timeoutMs = 20000);

}  // namespace relay_test
