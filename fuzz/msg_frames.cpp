// Fuzzes the local server's frame assembler and Dispatch.
//
// The input is read as a script: a header byte (origin, piece sizes), then records that
// each become one message whose length field is regenerated from the body actually taken,
// so that most inputs reach the handlers instead of stalling in a half-read body. The
// stream is fed in pieces of input-chosen sizes; every message must come out exactly once,
// in order, with its body followed by a NUL, and must stop at the first refused type. The
// raw input is also fed unmodified.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/net/msg/frame.h"
#include "agent/net/msg/msg.h"
#include "agent/util/codes.h"

using namespace ks::net;

namespace {

constexpr uint16_t kFixed = 0x7101, kText = 0x7102, kThrows = 0x7103, kDesktop = 0x5005;
const uint16_t kTypes[] = {kFixed, kText, kThrows, kDesktop, 0x1008, 0x1009, 0x1013, 0x7777, 0x5015, 0};

Origin g_origin = Origin::kLocal;

#define CHECK(c) \
  do {           \
    if (!(c)) std::abort(); \
  } while (0)

int Fixed(const uint8_t* body, size_t len, const MsgHead* h, Channel*, std::vector<uint8_t>* reply, int*, int*) {
  CHECK(len + 8 == h->length || (h->length <= 8 && len == 0));
  auto fixed = FixedBody<356>(body, len);
  reply->assign(fixed.begin(), fixed.begin() + 12);
  return fixed[0];
}
int Text(const uint8_t* body, size_t len, const MsgHead*, Channel* c, std::vector<uint8_t>*, int*, int*) {
  if (len < 64) return KS_NULL_INPUT;
  std::string account = FieldText(body, 32), password = FieldText(body + 32, 32);
  CHECK(account.size() < 33 && password.size() < 33);
  return c->Write(account.data(), account.size()) ? 1 : 0;
}
int Throws(const uint8_t*, size_t len, const MsgHead*, Channel*, std::vector<uint8_t>*, int*, int*) {
  if (len % 2) throw std::runtime_error("odd");
  return 0;
}
int Desktop(const uint8_t*, size_t, const MsgHead*, Channel* c, std::vector<uint8_t>*, int*, int*) {
  CHECK(g_origin == Origin::kLocal);  // the origin gate let a foreign request through
  CHECK(c != nullptr);
  return 0;
}

void RegisterOnce() {
  static bool done = false;
  if (done) return;
  done = true;
  const Registration table[] = {
      {kFixed, Fixed, "Fixed"}, {kText, Text, "Text"}, {kThrows, Throws, "Throws"}, {kDesktop, Desktop, "Desktop"}};
  CHECK(RegisterHandlers(table, 4) == 0);
}

struct Expected {
  MsgHead head;
  std::vector<uint8_t> body;
};

void DispatchFrame(const Frame& f) {
  if (f.Body()) CHECK(f.Body()[f.BodyLength()] == 0);
  std::vector<uint8_t> reply;
  NullChannel channel(g_origin);
  int rc = Dispatch(f.head, f.Body(), f.BodyLength(), &channel, &reply, -1, 1, g_origin);
  if (!IsRegistered(f.head.type)) CHECK(rc == KS_NOT_REGISTERED);
  if (IsDesktopOpcode(f.head.type) && g_origin != Origin::kLocal) CHECK(rc == KS_NOT_REGISTERED && reply.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RegisterOnce();
  if (size < 2) return 0;
  const Origin origins[] = {Origin::kLocal, Origin::kLan, Origin::kRelay, Origin::kRelayPoll, Origin::kP2P};
  g_origin = origins[data[0] % 5];
  const uint8_t pieceSeed = data[1];
  size_t pos = 2;

  // Build the stream and what must come out of it.
  std::vector<uint8_t> stream;
  std::vector<Expected> expected;
  bool refusedSeen = false;
  while (pos + 4 <= size && stream.size() < (1 << 20)) {
    uint8_t kind = data[pos];
    uint16_t type = (kind & 0x80) ? GetU16(data + pos + 1) : kTypes[data[pos + 1] % std::size(kTypes)];
    size_t want = size_t(data[pos + 3]) * ((kind & 0x40) ? 257 : 1);
    pos += 4;
    MsgHead h{0, type, uint32_t(pos)};
    std::vector<uint8_t> body;
    if (kind & 0x20) {
      h.length = uint16_t(kind & 7);  // a head below 8 bytes: no body
    } else {
      size_t take = std::min({want, size - pos, size_t(65535 - 8)});
      body.assign(data + pos, data + pos + take);
      pos += take;
      h.length = uint16_t(8 + take);
    }
    uint8_t raw[8];
    EncodeMsgHead(h, raw);
    stream.insert(stream.end(), raw, raw + 8);
    stream.insert(stream.end(), body.begin(), body.end());
    if (!refusedSeen) {
      if (AcceptedOnLocalServer(type))
        expected.push_back({h, body});
      else
        refusedSeen = true;
    }
  }

  FrameAssembler assembler;
  size_t got = 0;
  bool open = true;
  size_t piece = 1 + pieceSeed % 61;
  for (size_t at = 0; at < stream.size() && open; at += piece, piece = 1 + (piece * 7 + pieceSeed) % 97) {
    size_t n = std::min(piece, stream.size() - at);
    open = assembler.Feed(stream.data() + at, n, [&](Frame&& f) {
      CHECK(got < expected.size());
      const Expected& e = expected[got++];
      CHECK(f.head.length == e.head.length && f.head.type == e.head.type && f.head.sequence == e.head.sequence);
      CHECK(f.BodyLength() == e.body.size());
      CHECK(e.body.empty() ? f.Body() == nullptr : std::memcmp(f.Body(), e.body.data(), e.body.size()) == 0);
      DispatchFrame(f);
    });
  }
  CHECK(got == expected.size());
  CHECK(open == !refusedSeen);

  // The raw bytes as they came, in one piece.
  FrameAssembler raw;
  raw.Feed(data, size, [](Frame&& f) { DispatchFrame(f); });
  return 0;
}
