// Parsing of desktop request bodies and framing of replies, without a server.
#include <gtest/gtest.h>

#include <string>

#include "common/wire/desktop/desktop_wire.h"

namespace {

using namespace ks::wire::desktop;

const uint8_t* U(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(DesktopParse, LogOnFieldsStopAtTheBytesReceived) {
  std::string account = "owner@example.com" + std::string(15, '\0');  // 32
  struct Case {
    std::string body;
    std::string account, password;
  } cases[] = {
      {account + std::string(31, 'p'), "owner@example.com", std::string(31, 'p')},  // 63 bytes
      {account + std::string(32, 'p'), "owner@example.com", std::string(32, 'p')},  // 64, no NUL
      {account + std::string(40, 'p'), "owner@example.com", std::string(32, 'p')},  // longer body
      {std::string(32, 'a') + "pw", std::string(32, 'a'), "pw"},  // account without NUL
      {"abc", "abc", ""},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    LogOnRequest r = ParseLogOnBody(U(c.body), c.body.size());
    EXPECT_EQ(r.account, c.account) << c.body.size();
    EXPECT_EQ(r.password, c.password) << c.body.size();
  }
}

TEST(DesktopParse, DefShareBlockFieldsAreBoundedAndPadded) {
  std::string block(1560, '\0');
  block.replace(0, 2, "/a");
  block.replace(260, 260, std::string(260, 'b'));  // fills its field: no NUL
  std::vector<std::string> d = ParseDefShareBlock(U(block), block.size());
  ASSERT_EQ(d.size(), 6u);
  EXPECT_EQ(d[0], "/a");
  EXPECT_EQ(d[1], std::string(260, 'b'));
  EXPECT_EQ(d[2], "");
  d = ParseDefShareBlock(U(block), 300);
  EXPECT_EQ(d[1], std::string(40, 'b'));
  EXPECT_EQ(d[5], "");
}

TEST(DesktopParse, ShareTextDropsEmptyPiecesAndStopsAtNul) {
  std::string text = "\r\n/a\r\n\r\n/b\r\n/c";
  EXPECT_EQ(SplitShareText(U(text), text.size()), (std::vector<std::string>{"/a", "/b", "/c"}));
  std::string nul = std::string("/a\r\n/b\0/hidden\r\n", 16);
  EXPECT_EQ(SplitShareText(U(nul), nul.size()), (std::vector<std::string>{"/a", "/b"}));
  EXPECT_TRUE(SplitShareText(nullptr, 0).empty());
  std::string lone = "\r";
  EXPECT_EQ(SplitShareText(U(lone), 1), (std::vector<std::string>{"\r"}));
}

TEST(DesktopParse, CapKeepsWholeLines) {
  bool cut = true;
  EXPECT_EQ(CapAtLineBoundary("a\r\nb\r\n", 6, &cut), "a\r\nb\r\n");
  EXPECT_FALSE(cut);
  EXPECT_EQ(CapAtLineBoundary("a\r\nb\r\n", 5, &cut), "a\r\n");
  EXPECT_TRUE(cut);
  EXPECT_EQ(CapAtLineBoundary("a\r\nb\r\n", 3, &cut), "a\r\n");
  EXPECT_EQ(CapAtLineBoundary("a\r\nb\r\n", 2, &cut), "");
  EXPECT_EQ(CapAtLineBoundary("abcdef", 4, &cut), "");
  EXPECT_TRUE(cut);
  EXPECT_EQ(CapAtLineBoundary("abc\r\ndef", 7, &cut), "abc\r\n");
}

TEST(DesktopParse, ExecNeedsTheSessionIdAndReadsTheCommandWithinTheBody) {
  ExecRequest r;
  std::string body = std::string("\x00\x00\x03\xE8", 4) + "cmd --x";
  ASSERT_TRUE(ParseExecBody(U(body), body.size(), &r));
  EXPECT_EQ(r.session, 1000u);
  EXPECT_EQ(r.command, "cmd --x");
  body = std::string("\x00\x00\x00\x05", 4) + std::string("a\0b", 3);
  ASSERT_TRUE(ParseExecBody(U(body), body.size(), &r));
  EXPECT_EQ(r.command, "a");
  ASSERT_TRUE(ParseExecBody(U(body), 4, &r));
  EXPECT_EQ(r.command, "");
  EXPECT_FALSE(ParseExecBody(U(body), 3, &r));
  EXPECT_FALSE(ParseExecBody(nullptr, 0, &r));
}

TEST(DesktopParse, RepliesEchoTypeAndWord) {
  ks::wire::MsgHead req{8, 0x5001, 0xA1B2C3D4};
  std::vector<uint8_t> r = MakeResultReply(req, 4127);
  ASSERT_EQ(r.size(), 12u);
  ks::wire::MsgHead h = ks::wire::DecodeMsgHead(r.data());
  EXPECT_EQ(h.length, 12);
  EXPECT_EQ(h.type, 0x5001);
  EXPECT_EQ(h.sequence, 0xA1B2C3D4u);
  EXPECT_EQ(ks::wire::GetU32(r.data() + 8), 4127u);
}

}  // namespace
