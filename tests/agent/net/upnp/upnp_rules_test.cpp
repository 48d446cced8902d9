// Parts of the UPnP wrapper that need no router: the port rule, protocol texts and
// argument checks. Nothing here sends a packet.
#include <miniupnpc/miniupnpc.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/net/upnp/upnp.h"

namespace {

struct PlanCase {
  const char* lan;
  uint16_t internalPort;
  bool tcp;
  bool http;
  uint16_t reported;
  const char* externalPort;
  const char* client;
  const char* protocol;
};

TEST(UpnpPlan, ExternalPortRule) {
  const PlanCase cases[] = {
      {"192.168.1.100", 15001, true, false, 61716, "61716", "192.168.1.100", "TCP"},
      {"192.168.1.100", 12345, false, false, 61716, "12345", "192.168.1.255", "UDP"},
      {"192.168.1.100", 15008, true, true, 62716, "62716", "192.168.1.100", "TCP"},
      {"10.0.0.0", 15001, true, false, 61616, "61616", "10.0.0.0", "TCP"},
      {"10.0.0.255", 15001, true, false, 61871, "61871", "10.0.0.255", "TCP"},
      {"10.0.0.255", 15008, true, true, 62871, "62871", "10.0.0.255", "TCP"},
      {"172.16.5.7", 12345, false, false, 61623, "12345", "172.16.5.255", "UDP"},
  };
  for (const PlanCase& c : cases) {
    SCOPED_TRACE(std::string(c.lan) + " port " + std::to_string(c.internalPort));
    auto m = ks::net::PlanUpnpMapping(c.lan, c.internalPort, c.tcp, c.http);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->reportedPort, c.reported);
    EXPECT_EQ(m->externalPort, c.externalPort);
    EXPECT_EQ(m->internalPort, std::to_string(c.internalPort));
    EXPECT_EQ(m->internalClient, c.client);
    EXPECT_STREQ(m->protocol, c.protocol);
  }
}

TEST(UpnpPlan, AddressWithoutUsableLastOctetMapsNothing) {
  for (const char* lan : {"", "localhost", "10.0.0.", "10.0.0.256", "10.0.0.1000", "10.0.0.x1"})
    EXPECT_FALSE(ks::net::PlanUpnpMapping(lan, 15001, true, false)) << lan;
}

TEST(UpnpProtocol, Normalize) {
  const std::pair<const char*, const char*> cases[] = {
      {"tcp", "TCP"}, {"TCP", "TCP"}, {"tCp", "TCP"}, {"tcp ", "TCP"}, {"TCP now", "TCP"},
      {"udp", "UDP"}, {"Udp", "UDP"}, {"UDP ", "UDP"},
      {"tcpx", nullptr}, {"tcp\t", nullptr}, {"tc", nullptr}, {"t", nullptr}, {"", nullptr},
      {" tcp", nullptr}, {"sctp", nullptr}, {"ud", nullptr},
  };
  for (const auto& [in, out] : cases) {
    const char* got = ks::net::NormalizeProtocol(in);
    if (out)
      EXPECT_STREQ(got, out) << '"' << in << '"';
    else
      EXPECT_EQ(got, nullptr) << '"' << in << '"';
  }
  EXPECT_EQ(ks::net::NormalizeProtocol(nullptr), nullptr);
}

TEST(UpnpArguments, MissingOrBadArgumentsAreRefusedBeforeAnyRequest) {
  UPNPUrls urls{};
  IGDdatas data{};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ks::net::RemovePortMapping(nullptr, "61716", &urls, &data), 1);
  EXPECT_EQ(ks::net::RemovePortMapping("TCP", nullptr, &urls, &data), 1);
  EXPECT_EQ(ks::net::RemovePortMapping("icmp", "61716", &urls, &data), 2);
  EXPECT_EQ(ks::net::AddAndCheckPortMapping(&urls, &data, nullptr, "61716", "10.0.0.2", "TCP"), 1);
  EXPECT_EQ(ks::net::AddAndCheckPortMapping(&urls, &data, "15001", "61716", nullptr, "TCP"), 1);
  EXPECT_EQ(ks::net::AddAndCheckPortMapping(&urls, &data, "15001", "61716", "10.0.0.2", nullptr), 1);
  EXPECT_EQ(ks::net::AddAndCheckPortMapping(&urls, &data, "15001", "61716", "10.0.0.2", "tcpx"), 2);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_THAT(out, ::testing::HasSubstr("invalid arguments\n"));
  EXPECT_THAT(out, ::testing::HasSubstr("protocol invalid\n"));
  EXPECT_THAT(out, ::testing::HasSubstr("invalid protocol\n"));
}

TEST(UpnpMap, InternalPortZeroIsRefused) {
  uint16_t external = 7;
  EXPECT_EQ(ks::net::MapUpnpPort(0, external, true), -1);
  EXPECT_EQ(external, 7);
}

}  // namespace
