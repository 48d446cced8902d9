#include "agent/net/p2p/p2p_wire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <vector>

#include "agent/net/p2p/p2p_internal.h"

namespace ks::p2p {
namespace {

std::vector<uint8_t> Datagram(uint16_t type, size_t size) {
  std::vector<uint8_t> d(size, 0);
  if (size >= 6) {
    d[0] = uint8_t(size >> 8);
    d[1] = uint8_t(size);
    d[2] = 370 >> 8;
    d[3] = 370 & 0xFF;
    d[4] = uint8_t(type >> 8);
    d[5] = uint8_t(type);
  }
  return d;
}

TEST(P2PDatagram, ClassifiesByTypeAndLength) {
  struct Case {
    uint16_t type;
    size_t size;
    DatagramKind kind;
  } cases[] = {
      {3, 5, DatagramKind::kIgnored},     // shorter than the head
      {3, 31, DatagramKind::kShortPunch}, // one byte short
      {3, 32, DatagramKind::kPunch},
      {3, 40, DatagramKind::kPunch},      // extra bytes ignored
      {4, 19, DatagramKind::kShortAck},
      {4, 20, DatagramKind::kAck},
      {5, 150, DatagramKind::kIgnored},   // heartbeats are only sent
      {7, 64, DatagramKind::kIgnored},
  };
  for (const Case& c : cases) {
    const auto d = Datagram(c.type, c.size);
    EXPECT_EQ(ParseP2PDatagram(d.data(), d.size()).kind, c.kind) << "type " << c.type << " size " << c.size;
  }
  EXPECT_EQ(ParseP2PDatagram(nullptr, 40).kind, DatagramKind::kIgnored);
}

TEST(P2PDatagram, PunchFieldsDecodeAndServerAnswerSwapsPairs) {
  auto d = Datagram(3, 32);
  const uint8_t body[26] = {0, 1,            // kind 1: from the server
                            10, 0, 0, 1,     // address 1
                            0x13, 0x88,      // port 1 = 5000
                            192, 168, 1, 2,  // address 2
                            0x1F, 0x90,      // port 2 = 8080
                            1, 2, 3, 4,      // opaque
                            0, 5, 0, 6, 0, 7, 0xAB, 0xCD};
  std::copy(body, body + 26, d.begin() + 6);
  const ParsedDatagram p = ParseP2PDatagram(d.data(), d.size());
  ASSERT_EQ(p.kind, DatagramKind::kPunch);
  EXPECT_EQ(p.punch.kind, 1);
  EXPECT_EQ(p.punch.port1, 5000);
  EXPECT_EQ(p.punch.port2, 8080);
  EXPECT_EQ(p.punch.addr1, inet_addr("10.0.0.1"));
  EXPECT_EQ(p.punch.addr2, inet_addr("192.168.1.2"));
  EXPECT_EQ(p.punch.opaque16[3], 0xABCD);

  const auto a = BuildServerPunchAnswer(p.punch);
  const uint8_t expected[32] = {0, 32, 0x01, 0x72, 0, 3,  // head {32, 370, 3}
                                0, 0,                    // kind 0
                                192, 168, 1, 2, 0x1F, 0x90,
                                10, 0, 0, 1, 0x13, 0x88,
                                1, 2, 3, 4, 0, 5, 0, 6, 0, 7, 0xAB, 0xCD};
  EXPECT_EQ(std::vector<uint8_t>(a.begin(), a.end()), std::vector<uint8_t>(expected, expected + 32));

  const auto c = BuildClientPunchAnswer(p.punch, 5000);
  const uint8_t expectedClient[20] = {0, 20, 0x01, 0x72, 0, 3, 0, 0,
                                      192, 168, 1, 2, 0x1F, 0x90,  // address 2, port 2
                                      10, 0, 0, 1,                 // address 1
                                      0x13, 0x88};                 // the sender's port
  EXPECT_EQ(std::vector<uint8_t>(c.begin(), c.end()), std::vector<uint8_t>(expectedClient, expectedClient + 20));
}

TEST(P2PDatagram, AckFieldsDecode) {
  auto d = Datagram(4, 20);
  d[6] = 0;
  d[7] = 2;
  d[12] = 0x12;
  d[13] = 0x34;
  const ParsedDatagram p = ParseP2PDatagram(d.data(), d.size());
  ASSERT_EQ(p.kind, DatagramKind::kAck);
  EXPECT_EQ(p.ack.kind, 2);
  EXPECT_EQ(p.ack.port1, 0x1234);
}

TEST(P2PHeartBeat, LayoutAndTextLimits) {
  const std::array<uint8_t, 6> mac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  const std::string longName(40, 'h');
  auto b = BuildHeartBeat(longName, mac, "owner@example.com");
  EXPECT_EQ(b[0] << 8 | b[1], 150);
  EXPECT_EQ(b[2] << 8 | b[3], 370);
  EXPECT_EQ(b[4] << 8 | b[5], 5);
  for (size_t i = 6; i < 22; ++i) EXPECT_EQ(b[i], 0) << i;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[22])), std::string(31, 'h'));
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 54, b.begin() + 60), std::vector<uint8_t>(mac.begin(), mac.end()));
  for (size_t i = 60; i < 86; ++i) EXPECT_EQ(b[i], 0) << i;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[86])), "owner@example.com");
  for (size_t i = 118; i < 150; ++i) EXPECT_EQ(b[i], 0) << i;

  PutHeartBeatEmail(&b, "x");  // a shorter address leaves nothing of the old one
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[86])), "x");
  for (size_t i = 88; i < 118; ++i) EXPECT_EQ(b[i], 0) << i;
}

TEST(P2PMacText, HexDigitsToBytes) {
  struct Case {
    const char* text;
    std::array<uint8_t, 6> bytes;
  } cases[] = {
      {"00-1A-2B-3C-4D-5E", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
      {"00-1a-2b-3c-4d-5e", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
      {"001A2B3C4D5E77", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},  // 12 digits at most
      {"AB-CD", {0xAB, 0xCD, 0, 0, 0, 0}},
      {"ABC", {0xAB, 0xC0, 0, 0, 0, 0}},                         // an odd digit is a high nibble
      {"G0-Z1", {0x01, 0, 0, 0, 0, 0}},                          // non-hex skipped
      {"", {0, 0, 0, 0, 0, 0}},
      // Only the first 31 characters are read.
      {"------------------------------1-2", {0x10, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    uint8_t out[6];
    std::fill(out, out + 6, 0xEE);
    MacTextToBytes(c.text, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), std::vector<uint8_t>(c.bytes.begin(), c.bytes.end())) << c.text;
  }
}

TEST(P2PUdtMessage, LengthIsCheckedAgainstWhatArrived) {
  struct Case {
    size_t received;
    uint16_t length;
    UdtMessageCheck result;
    size_t bodyLength;
  } cases[] = {
      {7, 7, UdtMessageCheck::kShort, 0},
      {8, 8, UdtMessageCheck::kOk, 0},
      {8, 3, UdtMessageCheck::kOk, 0},           // below 8: no body
      {20, 12, UdtMessageCheck::kOk, 4},         // extra bytes ignored
      {20, 21, UdtMessageCheck::kTruncated, 0},
      {2048, 2048, UdtMessageCheck::kOk, 2040},
      {2048, 2049, UdtMessageCheck::kTooLong, 0},
      {2048, 0xFFFF, UdtMessageCheck::kTooLong, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> m(c.received, 0x55);
    if (c.received >= 2) {
      m[0] = uint8_t(c.length >> 8);
      m[1] = uint8_t(c.length);
    }
    net::MsgHead head;
    const uint8_t* body = reinterpret_cast<const uint8_t*>(1);
    size_t bodyLength = 99;
    const auto r = CheckUdtMessage(m.data(), m.size(), &head, &body, &bodyLength);
    EXPECT_EQ(r, c.result) << c.received << "/" << c.length;
    if (r != UdtMessageCheck::kShort) {
      EXPECT_EQ(head.length, c.length);
    }
    if (r == UdtMessageCheck::kOk) {
      EXPECT_EQ(bodyLength, c.bodyLength);
      EXPECT_EQ(body, c.bodyLength ? m.data() + 8 : nullptr);
    }
  }
}

TEST(P2PLoopbackMode, OnlyLoopbackDestinations) {
  ::setenv("KESTYL_LOOPBACK", "1", 1);
  EXPECT_TRUE(detail::DestinationAllowed(inet_addr("127.0.0.1")));
  EXPECT_TRUE(detail::DestinationAllowed(inet_addr("127.1.2.3")));
  EXPECT_FALSE(detail::DestinationAllowed(inet_addr("192.0.2.1")));
  EXPECT_FALSE(detail::DestinationAllowed(inet_addr("128.0.0.1")));
  ::setenv("KESTYL_LOOPBACK", "0", 1);
  EXPECT_TRUE(detail::DestinationAllowed(inet_addr("192.0.2.1")));
  ::setenv("KESTYL_LOOPBACK", "1", 1);
}

}  // namespace
}  // namespace ks::p2p
