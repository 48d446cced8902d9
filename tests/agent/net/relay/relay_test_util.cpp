#include "tests/agent/net/relay/relay_test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "agent/net/proto/proto.h"
#include "agent/net/relay/relay_frame.h"
#include "agent/core/state/state.h"

namespace relay_test {

namespace {

std::atomic<uint16_t> g_port{0};
std::atomic<uint32_t> g_logOn{0};

ServerRecord Server() { return ServerRecord{g_port.load(), "127.0.0.1"}; }
uint32_t LogOn() { return g_logOn.load(); }

void Record(const uint8_t* body, size_t len, const ks::net::MsgHead* head, ks::net::Channel* conn, int* udt,
            int* direct) {
  Call c;
  c.type = head->type;
  c.word = head->sequence;
  c.length = head->length;
  if (body) c.body.assign(body, body + len);
  c.udtSocket = udt ? *udt : -2;
  c.direct = direct ? *direct : -2;
  c.origin = conn->origin();
  c.channelOpen = conn->IsOpen();
  Recorded().Add(std::move(c));
}

int Echo(const uint8_t* body, size_t len, const ks::net::MsgHead* head, ks::net::Channel* conn,
         std::vector<uint8_t>* reply, int* udt, int* direct) {
  Record(body, len, head, conn, udt, direct);
  // The client's payload: after the id and the client's MsgHead when relayed.
  size_t skip = (*direct == 0 && len >= ks::relay::kMinRelayedBody) ? ks::relay::kMinRelayedBody : 0;
  reply->resize(8 + len - skip);
  ks::net::EncodeMsgHead(ks::net::MsgHead{uint16_t(reply->size()), head->type, head->sequence}, reply->data());
  if (len > skip) std::memcpy(reply->data() + 8, body + skip, len - skip);
  return 0;
}

int NoReply(const uint8_t* body, size_t len, const ks::net::MsgHead* head, ks::net::Channel* conn,
            std::vector<uint8_t>*, int* udt, int* direct) {
  Record(body, len, head, conn, udt, direct);
  return 0;
}

// Shaped like the device log-in: account at +72, password at +104 of a relayed body;
// answers through the reply.
int Login(const uint8_t* body, size_t len, const ks::net::MsgHead* head, ks::net::Channel* conn,
          std::vector<uint8_t>* reply, int* udt, int* direct) {
  Record(body, len, head, conn, udt, direct);
  auto fields = ks::net::FixedBody<72 + 64>(body, len);
  std::string account = ks::net::FieldText(fields.data() + 72, 32);
  std::string password = ks::net::FieldText(fields.data() + 104, 32);
  uint16_t verdict = (account == "owner@example" && password == "secret") ? 0 : 1;
  reply->assign(12, 0);
  ks::net::EncodeMsgHead(ks::net::MsgHead{12, MSG_REQ_DEVICE_LOGIN, 0}, reply->data());
  ks::net::PutU16(reply->data() + 8, verdict);
  return 0;
}

// Shaped like the folder listing: three packages streamed on the channel, each wrapped
// with the id in front of the body as peer id.
int Listing(const uint8_t* body, size_t len, const ks::net::MsgHead* head, ks::net::Channel* conn,
            std::vector<uint8_t>*, int* udt, int* direct) {
  Record(body, len, head, conn, udt, direct);
  for (uint8_t i = 0; i < 3; ++i) {
    std::vector<uint8_t> package(20 + 1, 0);
    ks::net::EncodeMsgHead(ks::net::MsgHead{uint16_t(package.size()), MSG_GET_ALL_SUB_FILE, head->sequence},
                           package.data());
    package[20] = uint8_t('a' + i);
    std::vector<uint8_t> wrapped = ks::relay::WrapRelayed(SRV_RELAY_TO_PEER, ks::state::DeviceId(), body,
                                                          package.data(), package.size());
    if (!conn->Write(wrapped.data(), wrapped.size())) return -1;
  }
  return 0;
}

// Shaped like the relayed allow-download: offset at +72, the id in front as the client's.
int Allow(const uint8_t* body, size_t len, const ks::net::MsgHead* head, ks::net::Channel* conn,
          std::vector<uint8_t>*, int* udt, int* direct) {
  Record(body, len, head, conn, udt, direct);
  auto fields = ks::net::FixedBody<76>(body, len);
  return ks::relay::StartRelayedDownload(head->sequence, ks::net::GetU32(fields.data() + 72), fields.data());
}

int Stream(const uint8_t* body, size_t len, const ks::net::MsgHead* head, ks::net::Channel* conn,
           std::vector<uint8_t>*, int* udt, int* direct) {
  Record(body, len, head, conn, udt, direct);
  auto fields = ks::net::FixedBody<76>(body, len);
  const uint16_t count = ks::net::GetU16(fields.data() + 72), size = ks::net::GetU16(fields.data() + 74);
  for (uint16_t i = 0; i < count; ++i) {
    std::vector<uint8_t> m(8 + size, uint8_t(i));
    ks::net::EncodeMsgHead(ks::net::MsgHead{uint16_t(m.size()), kStreamType, i}, m.data());
    std::vector<uint8_t> wrapped =
        ks::relay::WrapRelayed(SRV_RELAY_TO_PEER, ks::state::DeviceId(), body, m.data(), m.size());
    if (!conn->Write(wrapped.data(), wrapped.size())) return -1;
  }
  return 0;
}

std::mutex g_blockMutex;
std::condition_variable g_blockCv;
bool g_released = false;

int Blocking(const uint8_t* body, size_t len, const ks::net::MsgHead* head, ks::net::Channel* conn,
             std::vector<uint8_t>*, int* udt, int* direct) {
  Record(body, len, head, conn, udt, direct);
  std::unique_lock<std::mutex> l(g_blockMutex);
  g_blockCv.wait_for(l, std::chrono::seconds(5), [] { return g_released; });
  return 0;
}

}  // namespace

void ReleaseBlocked() {
  std::lock_guard<std::mutex> l(g_blockMutex);
  g_released = true;
  g_blockCv.notify_all();
}

void ResetBlocked() {
  std::lock_guard<std::mutex> l(g_blockMutex);
  g_released = false;
}

void UseServer(uint16_t port, uint32_t logOnResult) {
  g_port = port;
  g_logOn = logOnResult;
  ks::relay::SetServerSource(&Server, &LogOn);
  ks::state::SetDeviceId(kDeviceId);
}

uint16_t DeadPort() {
  static int fd = -1;
  static uint16_t port = 0;
  if (fd < 0) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t l = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);  // bound, never listening
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
    port = ntohs(a.sin_port);
  }
  return port;
}

ks::relay::RelayTimings FastTimings() {
  ks::relay::RelayTimings t;
  t.retryMs = 100;
  t.keepAliveMs = 30000;
  // Time-outs that no test here means to reach: on a loaded machine a reply can take
  // seconds. Tests of the time-outs set their own.
  t.connectTimeoutMs = 20000;
  t.ioTimeoutMs = 20000;
  t.pollMs = 20;
  t.reconnectPauseMs = 50;
  t.reconnectLimitMs = 2000;
  t.cacheFullPauseMs = 20;
  t.cacheFullLimitMs = 2000;
  return t;
}

void ResetTimings() {
  ks::relay::SetRelayTimings(ks::relay::RelayTimings::FromSettings());
  ks::relay::SetPollSleepForTest(nullptr);
}

void Recorder::Add(Call c) {
  std::lock_guard<std::mutex> l(m_);
  calls_.push_back(std::move(c));
  cv_.notify_all();
}

std::vector<Call> Recorder::Calls() {
  std::lock_guard<std::mutex> l(m_);
  return calls_;
}

bool Recorder::WaitForCalls(size_t n, int timeoutMs) {
  std::unique_lock<std::mutex> l(m_);
  return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return calls_.size() >= n; });
}

void Recorder::Clear() {
  std::lock_guard<std::mutex> l(m_);
  calls_.clear();
}

Recorder& Recorded() {
  static Recorder r;
  return r;
}

void RegisterTestHandlers() {
  static bool done = false;
  if (done) return;
  done = true;
  const ks::net::Registration table[] = {
      {kEchoType, Echo, "Echo"},
      {kNoReplyType, NoReply, "NoReply"},
      {MSG_REQ_DEVICE_LOGIN, Login, "LoginShaped"},
      {MSG_GET_ALL_SUB_FILE, Listing, "ListingShaped"},
      {MSG_ALLOW_DOWNLOAD_FILE, Allow, "AllowShaped"},
      {MSG_SHOW_GET_PWD, NoReply, "DesktopShaped"},
      {kStreamType, Stream, "Stream"},
      {kBlockingType, Blocking, "Blocking"},
  };
  ks::net::RegisterHandlers(table, std::size(table));
}

RelaySessionThread::RelaySessionThread(uint16_t port) {
  thread_ = std::thread([this, port] {
    result_ = ks::relay::OS_RunEventClient("127.0.0.1", port);
    done_ = true;
  });
}

void RelaySessionThread::Stop() {
  if (!thread_.joinable()) return;
  while (!done_) {
    ks::relay::RequestRelayExit();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  thread_.join();
}

bool RelaySessionThread::WaitEnded(int timeoutMs) const {
  return Eventually([this] { return done_.load(); }, timeoutMs);
}

bool Eventually(const std::function<bool()>& pred, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace relay_test
