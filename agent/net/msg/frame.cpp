#include "agent/net/msg/frame.h"

#include <algorithm>
#include <cstring>

#include "agent/net/proto/proto.h"

namespace ks::net {

bool AcceptedOnLocalServer(uint16_t type) {
  return type == SRV_INTERLINE_REQ || type == SRV_RELAY_TO_PEER || IsRegistered(type);
}

bool FrameAssembler::Feed(const uint8_t* data, size_t length, const Sink& sink, size_t* consumed) {
  size_t pos = 0;
  bool ok = true;
  while (pos < length) {
    if (!inBody_) {
      size_t take = std::min(sizeof headBytes_ - headFill_, length - pos);
      std::memcpy(headBytes_ + headFill_, data + pos, take);
      headFill_ += take;
      pos += take;
      if (headFill_ < sizeof headBytes_) break;
      headFill_ = 0;
      current_ = Frame{DecodeMsgHead(headBytes_), {}};
      if (!accept_(current_.head.type)) {
        ok = false;
        break;
      }
      bodyFill_ = 0;
      if (current_.head.length > ks::proto::kMsgHeadSize) {
        current_.body.assign(current_.head.length - ks::proto::kMsgHeadSize + 1, 0);
        inBody_ = true;
        continue;
      }
    } else {
      size_t want = current_.body.size() - 1 - bodyFill_;
      size_t take = std::min(want, length - pos);
      std::memcpy(current_.body.data() + bodyFill_, data + pos, take);
      bodyFill_ += take;
      pos += take;
      if (take < want) break;
      inBody_ = false;
    }
    sink(std::move(current_));
    current_ = Frame{};
  }
  if (consumed) *consumed = pos;
  return ok;
}

}  // namespace ks::net
