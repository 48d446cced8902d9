// Fuzzes the relay connection's frame assembler and the relay poll's body check.
//
// The input is read as a script: a header byte (piece sizes), then records that each
// become an acknowledgement, a relayed request (inner length right or off by the record's
// choice), a frame of another opcode, or raw bytes. The stream is fed whole and in pieces
// of input-chosen sizes: both must report the same events, and every request must satisfy
// the framing's promises (body = id A + inner message whose length matches, one NUL after
// it). The raw input is also fed unmodified and given to the poll's body check.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/net/msg/msg.h"
#include "agent/net/relay/relay_frame.h"

using namespace ks::relay;
using ks::net::GetU16;
using ks::net::PutU16;

namespace {

#define CHECK(c)            \
  do {                      \
    if (!(c)) std::abort(); \
  } while (0)

struct Events {
  std::vector<std::string> log;
  RelayFrameAssembler::Sink Sink() {
    RelayFrameAssembler::Sink s;
    s.ack = [this](const RelayAck& a) {
      log.push_back("a" + std::to_string(a.length) + "/" + std::to_string(a.opcode) + "/" + std::to_string(a.status));
    };
    s.dropped = [this](DropReason r, uint16_t op, uint16_t len) {
      log.push_back("d" + std::to_string(int(r)) + "/" + std::to_string(op) + "/" + std::to_string(len));
    };
    s.request = [this](RelayedRequest&& r) {
      const size_t n = r.BodyLength();
      CHECK(n + kServerHeadSize == r.frameLength);
      CHECK(n >= kMinRelayedBody);
      CHECK(r.body.size() == n + 1 && r.body[n] == 0);
      CHECK(r.inner.length == n - kIdSize);
      CHECK(GetU16(r.Body() + kIdSize) == r.inner.length);
      CHECK(std::memcmp(r.Body(), r.idA.data(), kIdSize) == 0);
      log.push_back("r" + std::to_string(r.inner.type) + "/" + std::to_string(n) + "/" +
                    std::string(reinterpret_cast<const char*>(r.idB.data()), kIdSize) +
                    std::string(reinterpret_cast<const char*>(r.Body()) + kIdSize, n - kIdSize));
    };
    return s;
  }
};

std::vector<uint8_t> BuildStream(const uint8_t* data, size_t size) {
  std::vector<uint8_t> s;
  size_t pos = 0;
  while (pos + 4 <= size && s.size() < (1 << 20)) {
    const uint8_t kind = data[pos] % 5, a = data[pos + 1], b = data[pos + 2], c = data[pos + 3];
    pos += 4;
    const size_t take = std::min<size_t>(size_t(a) * ((b & 1) ? 37 : 1), size - pos);
    switch (kind) {
      case 0: {  // acknowledgement
        uint8_t ack[8] = {0, uint8_t(a % 70), 0, 0, 0x10, uint8_t(8 + b % 8), 0, c};
        s.insert(s.end(), ack, ack + 8);
        break;
      }
      case 1:
      case 2: {  // relayed request; kind 2 may get its inner length wrong
        size_t body = kMinRelayedBody + take;
        std::vector<uint8_t> f(kServerHeadSize + body, 0);
        PutU16(f.data(), uint16_t(f.size()));
        PutU16(f.data() + 2, 370);
        PutU16(f.data() + 4, 0x1009);
        f[6] = 'A', f[7] = b;
        f[kServerHeadSize] = 'B', f[kServerHeadSize + 1] = c;
        uint16_t inner = uint16_t(body - kIdSize + (kind == 2 ? int8_t(c) : 0));
        PutU16(f.data() + kServerHeadSize + kIdSize, inner);
        PutU16(f.data() + kServerHeadSize + kIdSize + 2, uint16_t(a << 8 | b));
        std::memcpy(f.data() + kServerHeadSize + kMinRelayedBody, data + pos, take);
        pos += take;
        s.insert(s.end(), f.begin(), f.end());
        break;
      }
      case 3: {  // a frame of another opcode, or a short relayed one
        std::vector<uint8_t> f(kServerHeadSize + take, b);
        PutU16(f.data(), uint16_t(f.size()));
        PutU16(f.data() + 4, uint16_t((c & 1) ? 0x1009 : 0x1000 + c));
        pos += take;
        s.insert(s.end(), f.begin(), f.end());
        break;
      }
      default:  // raw bytes
        s.insert(s.end(), data + pos, data + pos + take);
        pos += take;
        break;
    }
  }
  return s;
}

std::vector<std::string> FeedPieces(const std::vector<uint8_t>& s, uint8_t seed) {
  Events e;
  RelayFrameAssembler a;
  auto sink = e.Sink();
  size_t piece = 1 + seed % 71;
  for (size_t at = 0; at < s.size(); at += piece, piece = 1 + (piece * 13 + seed) % 157)
    a.Feed(s.data() + at, std::min(piece, s.size() - at), sink);
  return e.log;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::vector<uint8_t> stream = BuildStream(data + 1, size - 1);
  Events whole;
  RelayFrameAssembler a;
  a.Feed(stream.data(), stream.size(), whole.Sink());
  CHECK(FeedPieces(stream, data[0]) == whole.log);

  std::vector<uint8_t> raw(data, data + size);
  Events rawWhole;
  RelayFrameAssembler b;
  b.Feed(raw.data(), raw.size(), rawWhole.Sink());
  CHECK(FeedPieces(raw, data[0]) == rawWhole.log);

  ks::net::MsgHead h;
  const uint8_t* payload = nullptr;
  size_t n = 0;
  if (ParsePollBody(data, size, &h, &payload, &n)) {
    CHECK(h.length == size && n + 8 == size);
    CHECK(n == 0 ? payload == nullptr : payload == data + 8);
  }
  return 0;
}
