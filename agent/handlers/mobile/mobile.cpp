#include "agent/handlers/mobile/mobile.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>

#include "agent/db/local_db.h"
#include "agent/handlers/mobile/client_request.h"
#include "agent/log/log.h"
#include "agent/net/proto/proto.h"
#include "agent/net/session/session.h"
#include "agent/core/state/state.h"
#include "agent/util/codes.h"
#include "agent/util/settings/settings.h"
#include "common/wire/desktop/desktop_wire.h"
#include "platform/power_control.h"

namespace ks::mobile {

namespace {

constexpr const char* kModule = "Intranet tran";
using Clock = std::chrono::steady_clock;

// Waits until the socket is ready for `events`, in short slices so the stop flag ends it.
// 1 ready, 0 deadline passed or stop raised, -1 error.
int WaitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    if (ks::state::StopRequested()) return 0;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, static_cast<int>(left < 200 ? left : 200));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r > 0) return (p.revents & (POLLERR | POLLNVAL)) && !(p.revents & events) ? -1 : 1;
  }
}

bool SendAll(int fd, const uint8_t* data, size_t length, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < length) {
    ssize_t n = ::send(fd, data + sent, length - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitReady(fd, POLLOUT, deadline) == 1) continue;
    return false;
  }
  return true;
}

bool RecvAll(int fd, uint8_t* data, size_t length, Clock::time_point deadline) {
  size_t got = 0;
  while (got < length) {
    ssize_t n = ::recv(fd, data + got, length - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitReady(fd, POLLIN, deadline) == 1) continue;
    return false;
  }
  return true;
}

bool Connect(int fd, uint16_t port, Clock::time_point deadline) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;
  if (WaitReady(fd, POLLOUT, deadline) != 1) return false;
  int err = 0;
  socklen_t len = sizeof err;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

// The owner's verdict on a log-in through the desktop program; refused on any failure.
uint16_t AskOwner(const uint8_t* loginBody) {
  std::vector<uint8_t> ask = ks::wire::desktop::MakeDeviceLoginAsk(NextLoginAskWord(), loginBody, kLoginBodySize);
  uint8_t answer[kDesktopAnswerSize] = {};
  if (AskDesktopLogin(ask.data(), ask.size(), answer, sizeof answer) != 0) return kVerdictRefused;
  // Only 0 lets the client in: a larger word must not pass as 0 once cut to 16 bits.
  return ks::wire::desktop::DeviceLoginAccepted(answer, sizeof answer) ? kVerdictAccepted : kVerdictRefused;
}

}  // namespace

uint32_t NextLoginAskWord() {
  static std::atomic<uint32_t> last{0};
  uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  uint32_t prev = last.load();
  uint32_t next;
  do {
    next = now > prev ? now : prev + 1;
  } while (!last.compare_exchange_weak(prev, next));
  return next;
}

int AskDesktopLogin(const uint8_t* message, size_t length, uint8_t* answer, size_t answerLength) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  Clock::time_point start = Clock::now();
  bool ok = Connect(fd, ks::settings::DesktopPort(), start + std::chrono::seconds(1)) &&
            SendAll(fd, message, length, start + std::chrono::seconds(1)) &&
            RecvAll(fd, answer, answerLength, Clock::now() + std::chrono::seconds(ks::settings::ConfirmSeconds()));
  ::close(fd);
  return ok ? 0 : -1;
}

int ReqDeviceLogin(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                   ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct) {
  (void)head;
  if (!body) {
    KS_LOG_ERROR(kModule, "Input msg buffer pointer is null.");
    return -1;
  }
  ClientRequest req = ReadClientRequest(body, bodyLength, conn, udtSocket ? *udtSocket : -1, direct ? *direct : 1);
  auto login = ks::net::FixedBody<kLoginBodySize>(req.payload, req.payloadLength);
  std::string account = ks::net::FieldText(login.data(), kLoginAccountSize);
  std::string password = ks::net::FieldText(login.data() + kLoginAccountSize, kLoginAccountSize);

  UserRecord stored;
  GetUsernfo(stored);
  uint16_t verdict = kVerdictRefused;
  if (!stored.email.empty() && !stored.psw.empty() && stored.email == account && stored.psw == password) {
    verdict = kVerdictAccepted;
  } else {
    verdict = AskOwner(login.data());
  }
  KS_LOG_INFO(kModule, "device login %s, verdict %d.", account.c_str(), verdict);

  std::vector<uint8_t> answer = MakeMessage(MSG_REQ_DEVICE_LOGIN, 0, kLoginAnswerSize - 8);
  ks::net::PutU16(answer.data() + 8, verdict);
  if (req.relayed) {
    *reply = std::move(answer);
  } else if (!conn->Write(answer.data(), answer.size())) {
    KS_LOG_WARNING(kModule, "device login answer not sent: connection closed.");
  }
  return 0;
}

int ReqDeviceHeartBeat(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                       ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct) {
  (void)bodyLength, (void)conn, (void)udtSocket, (void)direct;
  if (!body) {
    KS_LOG_ERROR(kModule, "Input msg buffer pointer is null.");
    return KS_NULL_INPUT;
  }
  *reply = MakeMessage(MSG_REQ_DEVICE_HEARTBEAT, head->sequence, 4);
  ks::net::PutU16(reply->data() + 10, ks::proto::kProtocolVersion);
  ks::session::RecordMobileHeartBeat();
  return KS_OK;
}

int ReqShutDownSystem(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                      ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct) {
  (void)bodyLength, (void)head, (void)conn, (void)reply, (void)udtSocket, (void)direct;
  if (!body) {
    KS_LOG_ERROR(kModule, "Input msg buffer pointer is null.");
    return -1;
  }
  bool ok;
  if (ks::platform::PowerControl* installed = ks::platform::InstalledPowerControl()) {
    ok = installed->Hibernate();
  } else {
    ks::platform::CommandPowerControl system(ks::settings::PowerCommand());
    ok = system.Hibernate();
  }
  if (!ok) {
    KS_LOG_WARNING(kModule, "shutdown error.");
    return -1;
  }
  ks::session::LogOut(ks::session::CurrentServer());
  ks::state::RequestStop();
  return KS_OK;
}

}  // namespace ks::mobile
