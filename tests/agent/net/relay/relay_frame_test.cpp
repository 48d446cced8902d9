// The relay stream's framing, fed without sockets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "agent/net/proto/proto.h"
#include "agent/net/relay/relay_frame.h"
#include "tests/fakes/relay/fake_relay_server.h"

namespace {

using namespace ks::relay;
using ks::fake::Bytes;
namespace wire = ks::fake::relaywire;

// Everything the assembler reported, as text, in order.
struct Seen {
  std::vector<std::string> events;
  std::vector<RelayedRequest> requests;
  RelayFrameAssembler::Sink Sink() {
    RelayFrameAssembler::Sink s;
    s.ack = [this](const RelayAck& a) { events.push_back("ack " + std::to_string(a.opcode)); };
    s.request = [this](RelayedRequest&& r) {
      events.push_back("request " + std::to_string(r.inner.type));
      requests.push_back(std::move(r));
    };
    s.dropped = [this](DropReason why, uint16_t, uint16_t) { events.push_back(std::string("drop ") + DropReasonText(why)); };
    s.lost = [this](uint16_t, uint16_t version, uint16_t opcode) {
      events.push_back("lost " + std::to_string(version) + " " + std::to_string(opcode));
    };
    return s;
  }
};

Seen FeedInPieces(const Bytes& stream, size_t piece) {
  Seen seen;
  RelayFrameAssembler a;
  auto sink = seen.Sink();
  for (size_t at = 0; at < stream.size(); at += piece) a.Feed(stream.data() + at, std::min(piece, stream.size() - at), sink);
  EXPECT_TRUE(a.Idle());
  return seen;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Request(uint16_t type, uint32_t word, const Bytes& payload, const std::string& a = "ID-A", const std::string& b = "ID-B") {
  return wire::RelayedRequestFrame(wire::Message(type, word, payload), a, b);
}

// A ServerHead frame of any opcode with `bodyLength` bytes of body.
Bytes Frame(uint16_t opcode, size_t bodyLength) {
  Bytes f(70 + bodyLength, 0x5a);
  wire::Put16(f.data(), uint16_t(f.size()));
  wire::Put16(f.data() + 2, 370);
  wire::Put16(f.data() + 4, opcode);
  return f;
}

TEST(RelayFrames, RequestCarriesIdAInFrontAndKeepsIdB) {
  Bytes payload = {1, 2, 3, 4, 5};
  Seen seen = FeedInPieces(Request(0x2003, 0xA1B2C3D4, payload), 1000);
  ASSERT_EQ(seen.requests.size(), 1u);
  const RelayedRequest& r = seen.requests[0];
  EXPECT_EQ(r.inner.type, 0x2003);
  EXPECT_EQ(r.inner.sequence, 0xA1B2C3D4u);
  EXPECT_EQ(r.inner.length, 13);
  ASSERT_EQ(r.BodyLength(), 64u + 8 + 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.Body())), "ID-A");     // A in front of the body
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.idB.data())), "ID-B");  // B kept for the reply
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.idA.data())), "ID-A");
  EXPECT_EQ(wire::Get16(r.Body() + 64), 13);  // the client's MsgHead as it came
  EXPECT_EQ(0, std::memcmp(r.Body() + 72, payload.data(), payload.size()));
  EXPECT_EQ(r.Body()[r.BodyLength()], 0);
}

TEST(RelayFrames, StreamsCutAnywhereGiveTheSameEvents) {
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"request alone", Request(7, 1, {9, 9}), {"request 7"}},
      {"ack alone", wire::Ack(0x1008, 0), {"ack 4104"}},
      {"ack coalesced with a request", Cat({wire::Ack(0x1008, 0), Request(7, 1, {})}), {"ack 4104", "request 7"}},
      // The server's ack of a relayed answer carries the relayed-request opcode.
      {"ack of 0x1009 then a request", Cat({wire::Ack(0x1009, 0), Request(7, 1, {1})}), {"ack 4105", "request 7"}},
      {"ack with a short length field", Cat({wire::Ack(0x100B, 3, 0), Request(7, 2, {})}), {"ack 4107", "request 7"}},
      {"two requests back to back", Cat({Request(7, 1, {1}), Request(8, 2, Bytes(300, 7))}), {"request 7", "request 8"}},
      {"body of 71 bytes dropped", Cat({Frame(0x1009, 71), Request(7, 1, {})}), {"drop body too short", "request 7"}},
      {"bare head of 70 bytes dropped", Cat({Frame(0x1009, 0), Request(7, 1, {})}), {"drop body too short", "request 7"}},
      {"poll head on the relay dropped", Cat({Frame(0x100C, 0), Request(7, 1, {})}), {"drop not a relayed request", "request 7"}},
      {"other frame skipped whole", Cat({Frame(0x100B, 500), Request(7, 1, {})}), {"drop not a relayed request", "request 7"}},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t(1), size_t(3), size_t(8), size_t(69), size_t(70), size_t(71), size_t(4096)}) {
      Seen seen = FeedInPieces(c.stream, piece);
      EXPECT_EQ(seen.events, c.events) << c.name << ", pieces of " << piece;
    }
  }
}

TEST(RelayFrames, InnerLengthMustMatchTheBody) {
  for (int delta : {-1, +1, -8}) {
    Bytes bad = Request(7, 1, {1, 2, 3});
    const size_t innerAt = 70 + 64;
    wire::Put16(bad.data() + innerAt, uint16_t(wire::Get16(bad.data() + innerAt) + delta));
    Seen seen = FeedInPieces(Cat({bad, Request(8, 2, {4})}), 5);
    EXPECT_EQ(seen.events, (std::vector<std::string>{"drop inner length mismatch", "request 8"})) << delta;
  }
}

TEST(RelayFrames, LargestFrame) {
  Bytes payload(65535 - 134 - 8, 0x11);
  Seen seen = FeedInPieces(Request(7, 1, payload), 1400);
  ASSERT_EQ(seen.requests.size(), 1u);
  EXPECT_EQ(seen.requests[0].BodyLength(), 65535u - 70);
}

// What no frame of the server's can be ends the reading: the stream is out of step.
TEST(RelayFrames, JunkIsReportedOnceAndNothingAfterIt) {
  const Bytes good = Request(0x7001, 1, {1});
  Bytes badVersion = Request(0x7001, 2, {2});
  wire::Put16(badVersion.data() + 2, 369);
  Bytes cutHead(good.begin(), good.begin() + 30);  // then the next frame runs into it
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<std::string> events;
  } cases[] = {
      {"head of another version", Cat({good, badVersion, good}), {"request 28673", "lost 369 4105"}},
      {"acknowledgement of no request", Cat({wire::Ack(0x1008, 0), wire::Ack(0x7777, 0), good}),
       {"ack 4104", "lost 0 30583"}},
      {"text", Cat({good, Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!'}, good}),
       {"request 28673", "lost 27756 28448"}},
      {"head cut short", Cat({cutHead, good, good}), {"drop inner length mismatch", "lost 0 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (size_t piece : {size_t(1), size_t(7), c.stream.size()}) {
      Seen seen;
      RelayFrameAssembler a;
      auto sink = seen.Sink();
      for (size_t at = 0; at < c.stream.size(); at += piece)
        a.Feed(c.stream.data() + at, std::min(piece, c.stream.size() - at), sink);
      EXPECT_TRUE(a.Lost());
      EXPECT_EQ(seen.events, c.events) << "pieces of " << piece;
    }
  }
}

TEST(RelayHeads, WrapsWithOwnIdAndPeer) {
  uint8_t peer[64] = "PEER";
  Bytes inner = wire::Message(0x8888, 5, {0, 0, 1, 0x72});
  std::vector<uint8_t> out = WrapRelayed(SRV_RELAY_TO_PEER, "MY-PC", peer, inner.data(), inner.size());
  ASSERT_EQ(out.size(), 134u + inner.size());
  EXPECT_EQ(wire::Get16(out.data()), 134 + inner.size());
  EXPECT_EQ(wire::Get16(out.data() + 2), 370);
  EXPECT_EQ(wire::Get16(out.data() + 4), 0x1009);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data() + 6)), "MY-PC");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data() + 70)), "PEER");
  EXPECT_EQ(0, std::memcmp(out.data() + 134, inner.data(), inner.size()));
  EXPECT_TRUE(WrapRelayed(SRV_RELAY_TO_PEER, "x", peer, inner.data(), 65535 - 133).empty());
  EXPECT_EQ(MakeRelayHead(SRV_RELAY_TO_PEER, "x", peer, 65535 - 134).size(), 134u);
}

TEST(RelayPollBody, IsOneWholeMessage) {
  ks::net::MsgHead h;
  const uint8_t* payload = nullptr;
  size_t n = 99;
  Bytes good = wire::Message(2, 42, {1, 2, 3});
  ASSERT_TRUE(ParsePollBody(good.data(), good.size(), &h, &payload, &n));
  EXPECT_EQ(h.type, 2);
  EXPECT_EQ(h.sequence, 42u);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(payload, good.data() + 8);
  Bytes bare = wire::Message(3, 1, {});
  ASSERT_TRUE(ParsePollBody(bare.data(), bare.size(), &h, &payload, &n));
  EXPECT_EQ(payload, nullptr);
  EXPECT_EQ(n, 0u);

  Bytes shortBody = {0, 5, 0, 2, 0};
  EXPECT_FALSE(ParsePollBody(shortBody.data(), shortBody.size(), &h, &payload, &n));
  Bytes longer = good;
  longer.push_back(0);
  EXPECT_FALSE(ParsePollBody(longer.data(), longer.size(), &h, &payload, &n));
  Bytes shorter(good.begin(), good.end() - 1);
  EXPECT_FALSE(ParsePollBody(shorter.data(), shorter.size(), &h, &payload, &n));
  EXPECT_FALSE(ParsePollBody(nullptr, 0, &h, &payload, &n));
}

}  // namespace
