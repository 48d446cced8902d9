// The relay poll: fetches relayed upload traffic while transfer sessions are open.
#include <chrono>
#include <vector>

#include "agent/core/transfer/transfer.h"
#include "agent/log/log.h"
#include "agent/net/msg/msg.h"
#include "agent/net/proto/proto.h"
#include "agent/net/relay/relay.h"
#include "agent/net/relay/relay_frame.h"
#include "agent/net/relay/relay_internal.h"
#include "agent/net/socket/socket.h"
#include "agent/core/state/state.h"

namespace ks::relay {

namespace {

const char kModule[] = "Intranet tran";

bool SessionsOpen(const RelayTimings& t) {
  auto& table = ks::transfer::SessionTable::Global();
  table.ExpireIdle(std::chrono::seconds(t.sessionIdleSeconds));
  return table.Size() > 0;
}

void DispatchPollMessage(const std::vector<uint8_t>& body, size_t length) {
  ks::net::MsgHead head;
  const uint8_t* payload = nullptr;
  size_t payloadLength = 0;
  if (!ParsePollBody(body.data(), length, &head, &payload, &payloadLength)) {
    KS_LOG_WARNING(kModule, "relay poll message of %zu bytes dropped: inner length %d.", length,
                   length >= 2 ? int(ks::net::GetU16(body.data())) : -1);
    return;
  }
  ks::net::NullChannel nobody(ks::net::Origin::kRelayPoll);
  std::vector<uint8_t> reply;  // nobody to send it to
  ks::net::Dispatch(head, payload, payloadLength, &nobody, &reply, -1, 1, ks::net::Origin::kRelayPoll);
}

// Polls on one connection until it fails, the sessions are gone or the back-off runs out.
// *delay is the back-off pause, kept across connections.
void PollConnection(int* sock, int* delay) {
  // Built per connection: the device id may still change while the log-on job runs.
  uint8_t request[kServerHeadSize];
  ks::net::ServerHead::Make(SRV_RELAY_POLL, 0, ks::state::DeviceId()).Encode(request);
  while (!ks::state::StopRequested()) {
    const RelayTimings t = Timings();
    ks::net::ServerReplyHead reply;
    if (ks::net::OS_SockSend(sock, kServerHeadSize, request) != 0 || ks::net::OS_SockRecv(sock, &reply) != 0) return;
    if (reply.status != 0) {
      // A refusal that carries a body: read past it so the next answer starts in step.
      if (reply.length > ks::net::ServerReplyHead::kSize) {
        std::vector<uint8_t> rest(reply.length - ks::net::ServerReplyHead::kSize);
        if (ks::net::OS_SockRecv(sock, rest.size(), rest.data()) != 0) return;
      }
      if (!SessionsOpen(t)) return;
      if (PollPause(*delay)) return;
      *delay *= 2;
      if (*delay > t.backoffLimitMs) {
        *delay = t.backoffStartMs;
        return;
      }
      continue;
    }
    *delay = t.backoffStartMs;
    if (reply.length <= ks::net::ServerReplyHead::kSize) {
      // Nothing to relay right now: pause instead of asking again at once.
      if (!SessionsOpen(t) || PollPause(t.backoffStartMs)) return;
      continue;
    }
    const size_t length = reply.length - ks::net::ServerReplyHead::kSize;
    std::vector<uint8_t> body(length + 1, 0);  // one NUL after the message
    if (ks::net::OS_SockRecv(sock, length, body.data()) != 0) return;
    DispatchPollMessage(body, length);
  }
}

}  // namespace

void InterLineUpLoadFile(void*) {
  int delay = Timings().backoffStartMs;
  while (!ks::state::StopRequested()) {
    const RelayTimings t = Timings();
    if (PollPause(t.pollMs)) break;
    if (!SessionsOpen(t) || CurrentServer().host.empty()) continue;
    int sock = -1;
    if (ConnectCurrentServer(&sock) != 0) continue;
    PollConnection(&sock, &delay);
    ks::net::OS_SockClose(&sock);
  }
}

}  // namespace ks::relay
