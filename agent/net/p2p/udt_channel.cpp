#include "agent/net/p2p/udt_channel.h"

#include <udt/udt.h>

#include <climits>

#include "agent/net/p2p/p2p_links.h"
#include "agent/core/state/state.h"

namespace ks::p2p {

namespace {
constexpr int kUdtTimeout = 6003;
}

UdtChannel::UdtChannel(int udtSocket) : socket_(udtSocket), id_(links::NewChannelId()) {}

bool UdtChannel::Write(const void* data, size_t length) {
  if (!data || length == 0 || length > INT_MAX) return false;
  while (!closed_.load() && !state::StopRequested()) {
    const int n = UDT::sendmsg(socket_, static_cast<const char*>(data), static_cast<int>(length), -1, true);
    if (n == static_cast<int>(length)) return true;
    // 0 or a time-out: the send buffer stayed full for the send time-out; look again.
    if (n == 0 || (n == UDT::ERROR && UDT::getlasterror_code() == kUdtTimeout)) continue;
    closed_.store(true);
    return false;
  }
  return false;
}

bool UdtChannel::IsOpen() const {
  return !closed_.load() && UDT::getsockstate(socket_) == CONNECTED;
}

}  // namespace ks::p2p
