#include "agent/net/msg/msg.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>

#include "agent/log/log.h"
#include "agent/util/codes.h"

namespace ks::net {

namespace {

// One slot per u16 type: registration never moves anything, so every thread may read the
// table without a lock, and a late registration is still race-free.
std::atomic<Handler> g_handlers[65536];

std::atomic<uint64_t> g_nextChannelId{1};

std::mutex& ListenerMutex() {
  static std::mutex& m = *new std::mutex();
  return m;
}
std::vector<std::function<void(uint64_t)>>& Listeners() {
  static auto& v = *new std::vector<std::function<void(uint64_t)>>();
  return v;
}

}  // namespace

const char* OriginName(Origin o) {
  switch (o) {
    case Origin::kLocal: return "local";
    case Origin::kLan: return "lan";
    case Origin::kRelay: return "relay";
    case Origin::kRelayPoll: return "relay poll";
    case Origin::kP2P: return "p2p";
  }
  return "unknown";
}

uint64_t NextChannelId() { return g_nextChannelId.fetch_add(1, std::memory_order_relaxed); }

bool Channel::WriteParts(const iovec* parts, size_t count) {
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += parts[i].iov_len;
  std::vector<uint8_t> joined;
  joined.reserve(total);
  for (size_t i = 0; i < count; ++i) {
    const auto* p = static_cast<const uint8_t*>(parts[i].iov_base);
    joined.insert(joined.end(), p, p + parts[i].iov_len);
  }
  return Write(joined.data(), joined.size());
}

void OnChannelClosed(std::function<void(uint64_t)> listener) {
  if (!listener) return;
  std::lock_guard<std::mutex> lock(ListenerMutex());
  Listeners().push_back(std::move(listener));
}

void NotifyChannelClosed(uint64_t channelId) {
  std::vector<std::function<void(uint64_t)>> copy;
  {
    std::lock_guard<std::mutex> lock(ListenerMutex());
    copy = Listeners();
  }
  for (auto& l : copy) {
    try {
      l(channelId);
    } catch (...) {
      KS_LOG_ERROR("CommLib", "Channel close listener exception.");
    }
  }
}

int OS_RegFunction(uint16_t opcode, Handler handler) {
  if (!handler) {
    KS_LOG_ERROR("CommLib", " regFun is NULL.");
    return KS_REGISTER_REFUSED;
  }
  Handler expected = nullptr;
  if (!g_handlers[opcode].compare_exchange_strong(expected, handler, std::memory_order_acq_rel)) {
    KS_LOG_ERROR("CommLib", "Opcode(%d) already registered.", int(opcode));
    return KS_REGISTER_REFUSED;
  }
  return 0;
}

bool IsRegistered(uint16_t opcode) {
  return g_handlers[opcode].load(std::memory_order_acquire) != nullptr;
}

bool IsDesktopOpcode(uint16_t opcode) { return opcode >= 0x5000 && opcode <= 0x5015; }

int RegisterHandlers(const Registration* table, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    int rc = OS_RegFunction(table[i].opcode, table[i].handler);
    if (rc != 0) {
      KS_LOG_INFO("KestylClient", "Reg %s function error.", table[i].name ? table[i].name : "");
      return rc;
    }
  }
  return 0;
}

int Dispatch(const MsgHead& head, const uint8_t* body, size_t bodyLength, Channel* conn,
             std::vector<uint8_t>* reply, int udtSocket, int direct, Origin origin) {
  Handler handler = g_handlers[head.type].load(std::memory_order_acquire);
  if (!handler) {
    KS_LOG_ERROR("CommLib", "Type(%d) not registe.", int(head.type));
    return KS_NOT_REGISTERED;
  }
  // Desktop requests (MSG_SHOW_EXEC among them) act with the agent's rights: only the
  // desktop program on this machine may send them.
  if (IsDesktopOpcode(head.type) && origin != Origin::kLocal) {
    KS_LOG_WARNING("CommLib", "Type(%d) refused from %s origin.", int(head.type), OriginName(origin));
    return KS_NOT_REGISTERED;
  }
  std::optional<NullChannel> none;
  if (!conn) conn = &none.emplace(origin);
  std::vector<uint8_t> scratch;
  if (!reply) reply = &scratch;
  if (bodyLength == 0) body = nullptr;
  try {
    return handler(body, bodyLength, &head, conn, reply, &udtSocket, &direct);
  } catch (...) {
    KS_LOG_ERROR("CommLib", "Do request exception.");
    return KS_HANDLER_EXCEPTION;
  }
}

}  // namespace ks::net
