#include "agent/net/msg/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace ks::net;

bool AcceptAllBut0x7777(uint16_t t) { return t != 0x7777; }

std::vector<uint8_t> Msg(uint16_t length, uint16_t type, uint32_t seq, const std::string& body) {
  std::vector<uint8_t> m(8 + body.size());
  EncodeMsgHead(MsgHead{length, type, seq}, m.data());
  if (!body.empty()) std::memcpy(m.data() + 8, body.data(), body.size());
  return m;
}

struct Seen {
  MsgHead head;
  bool nullBody;
  std::string body;
  bool nulAfter;
};

std::vector<Seen> FeedInPieces(FrameAssembler& a, const std::vector<uint8_t>& stream, size_t piece,
                               bool* ok) {
  std::vector<Seen> seen;
  *ok = true;
  for (size_t pos = 0; pos < stream.size() && *ok; pos += piece) {
    size_t n = std::min(piece, stream.size() - pos);
    *ok = a.Feed(stream.data() + pos, n, [&](Frame&& f) {
      seen.push_back({f.head, f.Body() == nullptr,
                      f.Body() ? std::string(reinterpret_cast<const char*>(f.Body()), f.BodyLength()) : "",
                      f.Body() ? f.Body()[f.BodyLength()] == 0 : true});
    });
  }
  return seen;
}

TEST(FrameAssembler, SameMessagesWhateverThePieceSize) {
  std::vector<uint8_t> stream;
  for (auto m : {Msg(8 + 5, 0x7001, 1, "hello"), Msg(8, 0x7001, 2, ""), Msg(3, 0x7001, 3, ""),
                 Msg(8 + 1000, 0x2003, 0xFFFFFFFF, std::string(1000, 'z')), Msg(0, 0x7001, 5, "")})
    stream.insert(stream.end(), m.begin(), m.end());

  for (size_t piece = 1; piece <= stream.size(); ++piece) {
    SCOPED_TRACE(piece);
    FrameAssembler a(&AcceptAllBut0x7777);
    bool ok;
    auto seen = FeedInPieces(a, stream, piece, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].head.length, 13);
    EXPECT_EQ(seen[0].body, "hello");
    EXPECT_TRUE(seen[0].nulAfter);
    // Length 8, below 8, and 0: no body, and the next message starts after the 8 bytes.
    for (int i : {1, 2, 4}) {
      EXPECT_TRUE(seen[i].nullBody) << i;
      EXPECT_EQ(seen[i].head.sequence, uint32_t(i + 1));
    }
    EXPECT_EQ(seen[3].head.type, 0x2003);
    EXPECT_EQ(seen[3].head.sequence, 0xFFFFFFFFu);
    EXPECT_EQ(seen[3].body, std::string(1000, 'z'));
    EXPECT_TRUE(a.Idle());
  }
}

TEST(FrameAssembler, RefusedTypeStopsTheStreamAtItsHead) {
  std::vector<uint8_t> stream = Msg(8 + 2, 0x7001, 1, "ok");
  auto bad = Msg(8 + 3, 0x7777, 2, "bad");
  auto after = Msg(8, 0x7001, 3, "");
  stream.insert(stream.end(), bad.begin(), bad.end());
  stream.insert(stream.end(), after.begin(), after.end());

  FrameAssembler a(&AcceptAllBut0x7777);
  std::vector<uint16_t> types;
  size_t used = 0;
  EXPECT_FALSE(a.Feed(stream.data(), stream.size(), [&](Frame&& f) { types.push_back(f.head.type); }, &used));
  EXPECT_EQ(types, std::vector<uint16_t>{0x7001});
  EXPECT_EQ(used, 10u + 8u);  // the good message and the refused head, nothing more
}

TEST(FrameAssembler, LocalServerRuleAcceptsRelayTypesUnregistered) {
  EXPECT_FALSE(IsRegistered(0x1008));
  EXPECT_TRUE(AcceptedOnLocalServer(0x1008));
  EXPECT_TRUE(AcceptedOnLocalServer(0x1009));
  EXPECT_FALSE(AcceptedOnLocalServer(0x100A));
}

TEST(FrameAssembler, LargestBodyIsHeldWhole) {
  auto m = Msg(65535, 0x7001, 9, std::string(65535 - 8, 'q'));
  FrameAssembler a(&AcceptAllBut0x7777);
  bool ok;
  auto seen = FeedInPieces(a, m, 4096, &ok);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body.size(), 65527u);
  EXPECT_TRUE(seen[0].nulAfter);
}

}  // namespace
