// Every desktop request and its reply, encoded by one end and parsed by the other: the
// programs' Make<Name>Request against the agent's Parse<Name>Body, the agent's
// Make<Name>Reply against the programs' Parse<Name>Reply. Then the edges: bodies shorter than
// their layout, texts that fill their field, replies cut at the u16 limit.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "common/wire/desktop/desktop_wire.h"

namespace {

using namespace ks::wire::desktop;
using ks::wire::DecodeMsgHead;
using ks::wire::MsgHead;

constexpr uint32_t kWord = 0xA1B2C3D4;

// A whole message split into its head (checked against the buffer) and body.
struct Message {
  MsgHead head;
  std::vector<uint8_t> body;
  const uint8_t* Body() const { return body.empty() ? nullptr : body.data(); }
};

Message Split(const std::vector<uint8_t>& m) {
  EXPECT_GE(m.size(), 8u);
  Message out{DecodeMsgHead(m.data()), std::vector<uint8_t>(m.begin() + 8, m.end())};
  EXPECT_EQ(out.head.length, m.size()) << "head length is the whole message";
  return out;
}

// The reply to a request of `type` with the test's word, as the agent's handler gets it.
MsgHead Req(uint16_t type) { return MsgHead{8, type, kWord}; }

// The reply's head echoes the request's type and word; its body is returned.
Message Reply(const std::vector<uint8_t>& m, uint16_t type) {
  Message r = Split(m);
  EXPECT_EQ(r.head.type, type);
  EXPECT_EQ(r.head.sequence, kWord);
  return r;
}

const std::string kChinese = "\xE7\x85\xA7\xE7\x89\x87";  // two 3-byte characters

// ---- requests: program -> agent -------------------------------------------------------------

TEST(DesktopRoundTrip, BodilessRequestsAreAHeadOnly) {
  for (uint16_t type : std::initializer_list<uint16_t>{MSG_SHOW_GET_LOGON_INFO, MSG_SHOW_LOGON_STATUS, MSG_SHOW_GET_DEF_SHARE,
                        MSG_SHOW_GET_SHARE, MSG_SHOW_GET_TRANS_LOG, MSG_SHOW_GET_IS_TRANSFERRING,
                        MSG_SHOW_GET_IS_MOBILE_LINKED, MSG_SHOW_GET_SYS_TYPE, MSG_SHOW_LOGOUT,
                        MSG_SHOW_CLEAR_LOG, MSG_SHOW_GET_PWD, MSG_SHOW_GET_MAC,
                        MSG_SHOW_GET_AUTO_TIDING, MSG_GET_VER_AND_TYPE}) {
    Message m = Split(MakeRequest(type, kWord));
    EXPECT_EQ(m.head.type, type);
    EXPECT_EQ(m.head.sequence, kWord);
    EXPECT_TRUE(m.body.empty());
  }
}

TEST(DesktopRoundTrip, LogOnRequest) {
  struct Case {
    LogOnRequest sent, read;
  } cases[] = {
      {{"owner@example.com", "secret"}, {"owner@example.com", "secret"}},
      {{"", ""}, {"", ""}},
      // 31 bytes fill a 32-byte field; a longer text is cut to 31.
      {{std::string(31, 'a'), std::string(40, 'p')}, {std::string(31, 'a'), std::string(31, 'p')}},
      // Never half a character: 10 x 3 bytes fit 31, the 11th does not.
      {{std::string(30, 'x') + kChinese, ""}, {std::string(30, 'x'), ""}},
  };
  for (const Case& c : cases) {
    Message m = Split(MakeLogOnRequest(kWord, c.sent));
    EXPECT_EQ(m.head.type, MSG_SHOW_LOGON);
    ASSERT_EQ(m.body.size(), kLogOnBodySize);
    LogOnRequest r = ParseLogOnBody(m.Body(), m.body.size());
    EXPECT_EQ(r.account, c.read.account);
    EXPECT_EQ(r.password, c.read.password);
  }
}

TEST(DesktopRoundTrip, SetDefShareRequest) {
  std::vector<std::string> folders = {"/home/o/Kestyl", "/home/o/Kestyl/" + kChinese, "", "/v",
                                      std::string(259, 'd'), std::string(300, 'e')};
  Message m = Split(MakeSetDefShareRequest(kWord, folders));
  EXPECT_EQ(m.head.type, MSG_SHOW_SET_DEF_SHARE);
  ASSERT_EQ(m.body.size(), kDefShareBlockSize);
  std::vector<std::string> read = ParseDefShareBlock(m.Body(), m.body.size());
  ASSERT_EQ(read.size(), 6u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(read[i], folders[i]) << i;
  EXPECT_EQ(read[5], std::string(259, 'e'));

  // Fewer folders than six: the rest are sent empty.
  m = Split(MakeSetDefShareRequest(kWord, {"/only"}));
  read = ParseDefShareBlock(m.Body(), m.body.size());
  EXPECT_EQ(read, (std::vector<std::string>{"/only", "", "", "", "", ""}));
}

TEST(DesktopRoundTrip, SetShareRequest) {
  std::vector<uint8_t> out;
  std::vector<std::string> folders = {"/a", "/b/" + kChinese, "/c d"};
  ASSERT_TRUE(MakeSetShareRequest(kWord, folders, &out));
  Message m = Split(out);
  EXPECT_EQ(m.head.type, MSG_SHOW_SET_SHARE);
  EXPECT_EQ(SplitShareText(m.Body(), m.body.size()), folders);

  ASSERT_TRUE(MakeSetShareRequest(kWord, {}, &out));
  m = Split(out);
  EXPECT_TRUE(SplitShareText(m.Body(), m.body.size()).empty());

  // A list whose text fills the u16 length exactly is sent; one byte more is not.
  std::string longName(ks::wire::kMaxBodyLength - 2, 'f');
  ASSERT_TRUE(MakeSetShareRequest(kWord, {longName}, &out));
  EXPECT_EQ(out.size(), ks::wire::kMaxMessageLength);
  EXPECT_EQ(SplitShareText(out.data() + 8, out.size() - 8), std::vector<std::string>{longName});
  out.clear();
  EXPECT_FALSE(MakeSetShareRequest(kWord, {longName + "f"}, &out));
  EXPECT_TRUE(out.empty());
}

TEST(DesktopRoundTrip, GetPathRequest) {
  struct Case {
    std::string folder;
    bool made;
  } cases[] = {{"", true}, {"/home/o", true}, {std::string(259, 'p'), true}, {std::string(260, 'p'), false}};
  for (const Case& c : cases) {
    std::vector<uint8_t> out;
    ASSERT_EQ(MakeGetPathRequest(kWord, c.folder, &out), c.made) << c.folder.size();
    if (!c.made) continue;
    Message m = Split(out);
    EXPECT_EQ(m.head.type, MSG_SHOW_GET_PATH);
    EXPECT_EQ(m.body.empty(), c.folder.empty());
    bool tooLong = true;
    EXPECT_EQ(ParseGetPathBody(m.Body(), m.body.size(), &tooLong), c.folder);
    EXPECT_FALSE(tooLong);
  }
  // The agent refuses a longer path that another sender made.
  std::string body(260, 'p');
  bool tooLong = false;
  EXPECT_EQ(ParseGetPathBody(reinterpret_cast<const uint8_t*>(body.data()), body.size(), &tooLong), "");
  EXPECT_TRUE(tooLong);
}

TEST(DesktopRoundTrip, SetPwdRequest) {
  for (const std::string& pw : {std::string("1234"), std::string(31, 'z'), std::string(32, 'z')}) {
    Message m = Split(MakeSetPwdRequest(kWord, pw));
    EXPECT_EQ(m.head.type, MSG_SHOW_SET_PWD);
    ASSERT_EQ(m.body.size(), kTextFieldSize);
    EXPECT_EQ(ParseSetPwdBody(m.Body(), m.body.size()), pw.substr(0, 31));
  }
}

TEST(DesktopRoundTrip, SetAutoTidyingRequest) {
  for (bool on : {false, true}) {
    Message m = Split(MakeSetAutoTidyingRequest(kWord, on));
    EXPECT_EQ(m.head.type, MSG_SHOW_SET_AUTO_TIDING);
    ASSERT_EQ(m.body.size(), 1u);
    EXPECT_EQ(m.body[0], on ? '1' : '0');
  }
}

TEST(DesktopRoundTrip, ExecRequest) {
  std::vector<uint8_t> out;
  ASSERT_TRUE(MakeExecRequest(kWord, 7, "/opt/kestyl/bin/Kestyl --show", &out));
  Message m = Split(out);
  EXPECT_EQ(m.head.type, MSG_SHOW_EXEC);
  ExecRequest r;
  ASSERT_TRUE(ParseExecBody(m.Body(), m.body.size(), &r));
  EXPECT_EQ(r.session, 7u);
  EXPECT_EQ(r.command, "/opt/kestyl/bin/Kestyl --show");
  // Session id, command and its NUL fill the u16 length at most.
  EXPECT_TRUE(MakeExecRequest(kWord, 1, std::string(ks::wire::kMaxBodyLength - 5, 'c'), &out));
  EXPECT_FALSE(MakeExecRequest(kWord, 1, std::string(ks::wire::kMaxBodyLength - 4, 'c'), &out));
}

// ---- replies: agent -> program --------------------------------------------------------------

TEST(DesktopRoundTrip, ResultReplies) {
  for (uint16_t type : std::initializer_list<uint16_t>{MSG_SHOW_LOGON_STATUS, MSG_SHOW_LOGON, MSG_SHOW_SET_DEF_SHARE,
                        MSG_SHOW_SET_SHARE, MSG_SHOW_GET_IS_MOBILE_LINKED, MSG_SHOW_GET_SYS_TYPE,
                        MSG_SHOW_LOGOUT, MSG_SHOW_CLEAR_LOG, MSG_SHOW_SET_PWD}) {
    for (uint32_t result : {0u, 1u, 4127u, 0xFFFFFFFFu}) {
      Message m = Reply(MakeResultReply(Req(type), result), type);
      uint32_t read = 0;
      ASSERT_TRUE(ParseResultReply(m.Body(), m.body.size(), &read));
      EXPECT_EQ(read, result);
      EXPECT_FALSE(ParseResultReply(m.Body(), 3, &read));
    }
  }
}

TEST(DesktopRoundTrip, GetLogOnInfoReply) {
  LogOnInfo sent{std::string(31, 'a'), "pw"};
  Message m = Reply(MakeGetLogOnInfoReply(Req(MSG_SHOW_GET_LOGON_INFO), sent), MSG_SHOW_GET_LOGON_INFO);
  LogOnInfo read;
  ASSERT_TRUE(ParseGetLogOnInfoReply(m.Body(), m.body.size(), &read));
  EXPECT_EQ(read.account, sent.account);
  EXPECT_EQ(read.password, sent.password);
  EXPECT_FALSE(ParseGetLogOnInfoReply(m.Body(), kLogOnBodySize - 1, &read));
}

TEST(DesktopRoundTrip, GetDefShareReply) {
  std::vector<std::string> sent = {"/d", "/d/p", "/d/m", "/d/v", std::string(30, 'x') + kChinese, ""};
  Message m = Reply(MakeGetDefShareReply(Req(MSG_SHOW_GET_DEF_SHARE), sent), MSG_SHOW_GET_DEF_SHARE);
  std::vector<std::string> read;
  ASSERT_TRUE(ParseGetDefShareReply(m.Body(), m.body.size(), &read));
  EXPECT_EQ(read, sent);
  // A folder longer than its field is cut before the character that would not fit.
  sent[5] = std::string(257, 'y') + kChinese;
  m = Reply(MakeGetDefShareReply(Req(MSG_SHOW_GET_DEF_SHARE), sent), MSG_SHOW_GET_DEF_SHARE);
  ASSERT_TRUE(ParseGetDefShareReply(m.Body(), m.body.size(), &read));
  EXPECT_EQ(read[5], std::string(257, 'y'));
  EXPECT_FALSE(ParseGetDefShareReply(m.Body(), kDefShareBlockSize - 1, &read));
}

TEST(DesktopRoundTrip, LinesReplies) {
  for (uint16_t type : std::initializer_list<uint16_t>{MSG_SHOW_GET_SHARE, MSG_SHOW_GET_PATH}) {
    bool cut = true;
    Message m = Reply(MakeLinesReply(Req(type), "/a\r\n/b/" + kChinese + "\r\n", &cut), type);
    EXPECT_FALSE(cut);
    EXPECT_EQ(ParseLinesReply(m.Body(), m.body.size()), (std::vector<std::string>{"/a", "/b/" + kChinese}));
    m = Reply(MakeLinesReply(Req(type), "", &cut), type);
    EXPECT_TRUE(m.body.empty());
    EXPECT_TRUE(ParseLinesReply(m.Body(), m.body.size()).empty());
  }
}

TEST(DesktopRoundTrip, LinesReplyCutAtTheU16LimitOnALineBoundary) {
  // Lines of 100 bytes ("9x...x\r\n"), more than fit: the reply keeps whole lines only.
  std::string line = std::string(98, 'x') + "\r\n";
  std::string text;
  size_t lines = 700;  // 70000 bytes
  for (size_t i = 0; i < lines; ++i) text += line;
  bool cut = false;
  std::vector<uint8_t> r = MakeLinesReply(Req(MSG_SHOW_GET_SHARE), text, &cut);
  EXPECT_TRUE(cut);
  ASSERT_LE(r.size(), ks::wire::kMaxMessageLength);
  Message m = Reply(r, MSG_SHOW_GET_SHARE);
  EXPECT_EQ(m.body.size(), (ks::wire::kMaxBodyLength / line.size()) * line.size());
  std::vector<std::string> read = ParseLinesReply(m.Body(), m.body.size());
  EXPECT_EQ(read.size(), ks::wire::kMaxBodyLength / line.size());
  for (const std::string& s : read) ASSERT_EQ(s, line.substr(0, 98));

  // A text that fills the body exactly is not cut.
  std::string exact(ks::wire::kMaxBodyLength - 2, 'y');
  exact += "\r\n";
  r = MakeLinesReply(Req(MSG_SHOW_GET_PATH), exact, &cut);
  EXPECT_FALSE(cut);
  EXPECT_EQ(r.size(), ks::wire::kMaxMessageLength);
}

TEST(DesktopRoundTrip, GetTransLogReply) {
  std::vector<TransLogEntry> sent = {
      {0, 1, 123456, "2024-05-01 10:11:12", "/home/o/Kestyl/" + kChinese + ".jpg"},
      {1, 0, 0xFFFFFFFFu, std::string(29, '9'), std::string(259, 'f')},
      {0, 0, 0, "", ""},
  };
  bool cut = true;
  Message m = Reply(MakeGetTransLogReply(Req(MSG_SHOW_GET_TRANS_LOG), sent, &cut), MSG_SHOW_GET_TRANS_LOG);
  EXPECT_FALSE(cut);
  ASSERT_EQ(m.body.size(), 3 * kTransLogRecordSize);
  std::vector<TransLogEntry> read;
  ASSERT_TRUE(ParseGetTransLogReply(m.Body(), m.body.size(), &read));
  ASSERT_EQ(read.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(read[i].type, sent[i].type);
    EXPECT_EQ(read[i].status, sent[i].status);
    EXPECT_EQ(read[i].size, sent[i].size);
    EXPECT_EQ(read[i].time, sent[i].time);
    EXPECT_EQ(read[i].file, sent[i].file);
  }
  // A body that is not whole records is refused.
  EXPECT_FALSE(ParseGetTransLogReply(m.Body(), m.body.size() - 1, &read));
  EXPECT_FALSE(ParseGetTransLogReply(m.Body(), kTransLogRecordSize + 1, &read));
  ASSERT_TRUE(ParseGetTransLogReply(nullptr, 0, &read));
  EXPECT_TRUE(read.empty());
}

TEST(DesktopRoundTrip, GetTransLogReplyCutAtTheU16LimitOnARecordBoundary) {
  std::vector<TransLogEntry> sent(kMaxTransLogRecords + 5);
  for (size_t i = 0; i < sent.size(); ++i) sent[i].size = static_cast<uint32_t>(i);
  bool cut = false;
  std::vector<uint8_t> r = MakeGetTransLogReply(Req(MSG_SHOW_GET_TRANS_LOG), sent, &cut);
  EXPECT_TRUE(cut);
  ASSERT_LE(r.size(), ks::wire::kMaxMessageLength);
  Message m = Reply(r, MSG_SHOW_GET_TRANS_LOG);
  std::vector<TransLogEntry> read;
  ASSERT_TRUE(ParseGetTransLogReply(m.Body(), m.body.size(), &read));
  ASSERT_EQ(read.size(), kMaxTransLogRecords);
  EXPECT_EQ(read.back().size, kMaxTransLogRecords - 1);  // the first ones are kept

  sent.resize(kMaxTransLogRecords);
  MakeGetTransLogReply(Req(MSG_SHOW_GET_TRANS_LOG), sent, &cut);
  EXPECT_FALSE(cut);
}

TEST(DesktopRoundTrip, GetIsTransferringReply) {
  Message m = Reply(MakeGetIsTransferringReply(Req(MSG_SHOW_GET_IS_TRANSFERRING), {3, 0xFFFF}),
                    MSG_SHOW_GET_IS_TRANSFERRING);
  Transferring t;
  ASSERT_TRUE(ParseGetIsTransferringReply(m.Body(), m.body.size(), &t));
  EXPECT_EQ(t.sessions, 3);
  EXPECT_EQ(t.downloads, 0xFFFF);
  EXPECT_FALSE(ParseGetIsTransferringReply(m.Body(), 3, &t));
}

TEST(DesktopRoundTrip, TextFieldReplies) {
  for (uint16_t type : std::initializer_list<uint16_t>{MSG_SHOW_GET_PWD, MSG_SHOW_GET_MAC}) {
    for (const std::string& text : {std::string("02-00-00-00-00-01"), std::string(31, 'k'), std::string()}) {
      Message m = Reply(MakeTextFieldReply(Req(type), text), type);
      ASSERT_EQ(m.body.size(), kTextFieldSize);
      std::string read = "unset";
      ASSERT_TRUE(ParseTextFieldReply(m.Body(), m.body.size(), &read));
      EXPECT_EQ(read, text);
      EXPECT_FALSE(ParseTextFieldReply(m.Body(), kTextFieldSize - 1, &read));
    }
  }
}

TEST(DesktopRoundTrip, GetAutoTidyingReply) {
  struct Case {
    uint8_t stored;
    bool parsed, on;
  } cases[] = {{'1', true, true}, {'0', true, false}, {0, true, false}, {'x', false, false}};
  for (const Case& c : cases) {
    Message m = Reply(MakeGetAutoTidyingReply(Req(MSG_SHOW_GET_AUTO_TIDING), c.stored), MSG_SHOW_GET_AUTO_TIDING);
    bool on = !c.on;
    ASSERT_EQ(ParseGetAutoTidyingReply(m.Body(), m.body.size(), &on), c.parsed) << int(c.stored);
    if (c.parsed) {
      EXPECT_EQ(on, c.on);
    }
    EXPECT_FALSE(ParseGetAutoTidyingReply(m.Body(), 0, &on));
  }
}

TEST(DesktopRoundTrip, GetVerAndTypeReply) {
  VerAndType sent{ks::wire::kSystemType, ks::wire::kProtocolVersion, std::string(63, 'D'),
                  std::string(61, 'h') + kChinese};
  Message m = Reply(MakeGetVerAndTypeReply(Req(MSG_GET_VER_AND_TYPE), sent), MSG_GET_VER_AND_TYPE);
  ASSERT_EQ(m.body.size(), kVerAndTypeSize);
  VerAndType read;
  ASSERT_TRUE(ParseGetVerAndTypeReply(m.Body(), m.body.size(), &read));
  EXPECT_EQ(read.systemType, 2);
  EXPECT_EQ(read.version, 370);
  EXPECT_EQ(read.deviceId, sent.deviceId);
  EXPECT_EQ(read.hostName, std::string(61, 'h'));  // the 3-byte character would pass 63 bytes
  EXPECT_FALSE(ParseGetVerAndTypeReply(m.Body(), kVerAndTypeSize - 1, &read));
}

TEST(DesktopRoundTrip, DeviceLoginAskAndAnswer) {
  std::string login = std::string("phone@example.com") + std::string(15, '\0') + "pin" + std::string(29, '\0') +
                      std::string(300, 'r');  // longer than the 256 bytes the ask carries
  Message ask = Split(MakeDeviceLoginAsk(kWord, reinterpret_cast<const uint8_t*>(login.data()), login.size()));
  EXPECT_EQ(ask.head.type, MSG_SHOW_DEVICE_LOGIN_ASK);
  EXPECT_EQ(ask.head.length, kLoginAskSize);
  LogOnRequest client;
  ASSERT_TRUE(ParseDeviceLoginAsk(ask.Body(), ask.body.size(), &client));
  EXPECT_EQ(client.account, "phone@example.com");
  EXPECT_EQ(client.password, "pin");
  EXPECT_FALSE(ParseDeviceLoginAsk(ask.Body(), kLogOnBodySize - 1, &client));

  // A short log-in body is sent zero-padded.
  ask = Split(MakeDeviceLoginAsk(kWord, reinterpret_cast<const uint8_t*>("ab"), 2));
  ASSERT_EQ(ask.body.size(), kLoginAskBodySize);
  ASSERT_TRUE(ParseDeviceLoginAsk(ask.Body(), ask.body.size(), &client));
  EXPECT_EQ(client.account, "ab");
  EXPECT_EQ(client.password, "");

  struct Case {
    uint32_t verdict;
    bool accepted;
  } cases[] = {{0, true}, {1, false}, {0x10000, false}, {0xFFFFFFFFu, false}};
  for (const Case& c : cases) {
    std::vector<uint8_t> a = MakeDeviceLoginAnswer(ask.head.sequence, c.verdict);
    ASSERT_EQ(a.size(), kLoginAnswerSize);
    EXPECT_EQ(DeviceLoginAccepted(a.data(), a.size()), c.accepted) << c.verdict;
  }
  std::vector<uint8_t> a = MakeDeviceLoginAnswer(1, 0);
  EXPECT_FALSE(DeviceLoginAccepted(a.data(), a.size() - 1));
  ks::wire::PutU16(a.data() + 2, MSG_SHOW_LOGON);  // another type
  EXPECT_FALSE(DeviceLoginAccepted(a.data(), a.size()));
}

}  // namespace
