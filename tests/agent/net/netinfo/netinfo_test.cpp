#include "agent/net/netinfo/netinfo.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "agent/core/state/state.h"
#include "platform/adapters.h"

namespace {

using ks::platform::Adapter;
using ks::platform::OperStatus;

Adapter Make(const char* name, OperStatus status, std::vector<std::string> ipv4,
             std::array<uint8_t, 6> mac = {}) {
  Adapter a;
  a.name = name;
  a.status = status;
  a.ipv4 = std::move(ipv4);
  a.mac = mac;
  return a;
}

// Feeds a made-up adapter list (or an error) to the module for one test.
class FakeAdapters : public ::testing::Test {
 protected:
  void Use(std::vector<Adapter> adapters, int rc = 0) {
    ks::platform::SetAdapterSource([adapters, rc](std::vector<Adapter>& out) {
      if (rc == 0) out = adapters;
      return rc;
    });
  }
  void TearDown() override { ks::platform::SetAdapterSource(nullptr); }
};

TEST(MacText, UpperCaseHexWithDashes) {
  EXPECT_EQ(ks::net::FormatMac({0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xff}), "00-1A-2B-C3-D4-FF");
  EXPECT_EQ(ks::net::FormatMac({}), "00-00-00-00-00-00");
}

TEST_F(FakeAdapters, LocalIpListTakesConnectedAdaptersOnly) {
  Use({
      Make("down0", OperStatus::kNonOperational, {"10.1.0.1"}),
      Make("unreach", OperStatus::kUnreachable, {"10.2.0.1"}),
      Make("nocarrier", OperStatus::kDisconnected, {"10.3.0.1"}),
      Make("connecting", OperStatus::kConnecting, {"10.4.0.1"}),
      Make("connected", OperStatus::kConnected, {"10.5.0.1"}),
      Make("eth0", OperStatus::kOperational, {"192.168.1.5", "0.0.0.0", "127.0.0.1", "10.0.0.7"}),
      Make("unset", OperStatus::kOperational, {"0.0.0.0", "172.16.0.9"}),
      Make("loopish", OperStatus::kOperational, {"127.0.0.1", "172.16.0.10"}),
      Make("noaddr", OperStatus::kOperational, {}),
  });
  std::vector<std::string> ips{"stale"};
  ASSERT_EQ(ks::net::GetLocalIpList(ips), 0);
  EXPECT_EQ(ips, (std::vector<std::string>{"10.4.0.1", "10.5.0.1", "192.168.1.5", "10.0.0.7"}));
}

TEST_F(FakeAdapters, MacListKeepsEveryAdapterAndMacAddrSkipsZeros) {
  Use({
      Make("a", OperStatus::kNonOperational, {}, {}),
      Make("b", OperStatus::kOperational, {}, {0x02, 0, 0, 0, 0, 0x01}),
      Make("c", OperStatus::kOperational, {}, {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}),
  });
  std::vector<std::string> macs;
  ASSERT_EQ(ks::net::GetMacList(macs), 0);
  EXPECT_EQ(macs, (std::vector<std::string>{"00-00-00-00-00-00", "02-00-00-00-00-01",
                                            "AA-BB-CC-DD-EE-FF"}));
  EXPECT_EQ(ks::net::GetMacAddr(), "02-00-00-00-00-01");
}

TEST_F(FakeAdapters, MacAddrIsEmptyWithOnlyZeroMacsOrNoAdapters) {
  Use({Make("zero", OperStatus::kOperational, {"192.168.1.5"}, {})});
  EXPECT_EQ(ks::net::GetMacAddr(), "");
  Use({});
  EXPECT_EQ(ks::net::GetMacAddr(), "");
}

TEST_F(FakeAdapters, ListErrorsAreReturnedWithEmptyLists) {
  Use({}, ENOMEM);
  std::vector<std::string> out{"stale"};
  EXPECT_EQ(ks::net::GetLocalIpList(out), 273);
  EXPECT_TRUE(out.empty());
  out = {"stale"};
  EXPECT_EQ(ks::net::GetMacList(out), 273);
  EXPECT_TRUE(out.empty());

  Use({}, EIO);
  EXPECT_EQ(ks::net::GetMacList(out), EIO);
  EXPECT_EQ(ks::net::GetLocalIpList(out), EIO);
  EXPECT_EQ(ks::net::GetMacAddr(), "");
}

// The host name's own address, or the first connected adapter's when that is loopback.
TEST_F(FakeAdapters, LocalIpFallsBackFromLoopbackHostAddress) {
  Use({Make("down", OperStatus::kNonOperational, {"10.9.9.9"}, {1, 2, 3, 4, 5, 6}),
       Make("eth0", OperStatus::kOperational, {"0.0.0.0"}),
       Make("eth1", OperStatus::kOperational, {"192.168.7.42", "10.0.0.7"})});

  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &res) != 0) {
    std::string ip = "stale";
    EXPECT_EQ(ks::net::GetLoaclIp(ip), -1);
    EXPECT_EQ(ip, "");
    uint32_t addr = 7;
    EXPECT_EQ(ks::net::GetLocalIpAddr(addr), -1);
    EXPECT_EQ(addr, 7u);
    return;
  }
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr, text, sizeof text);
  ::freeaddrinfo(res);
  std::string expected = std::string(text).rfind("127.", 0) == 0 ? "192.168.7.42" : text;

  std::string ip;
  ASSERT_EQ(ks::net::GetLoaclIp(ip), 0);
  EXPECT_EQ(ip, expected);
  uint32_t addr = 0;
  ASSERT_EQ(ks::net::GetLocalIpAddr(addr), 0);
  EXPECT_EQ(addr, ::inet_addr(expected.c_str()));

  // No connected adapter to fall back on: the host name's address stands.
  Use({Make("down", OperStatus::kDisconnected, {"10.9.9.9"})});
  ASSERT_EQ(ks::net::GetLoaclIp(ip), 0);
  EXPECT_EQ(ip, text);
}

struct VersionCase {
  ks::net::WindowsVersion v;
  const char* name;
};

TEST(WindowsVersionName, Table) {
  // {major, minor, platform id, product type, architecture, SM_SERVERR2}
  const VersionCase cases[] = {
      {{4, 0, 2, 1, 0, 0}, "Windows NT 4.0"},
      {{4, 0, 1, 0, 0, 0}, "Windows 95"},
      {{4, 0, 0, 0, 0, 0}, ""},
      {{4, 10, 1, 0, 0, 0}, "Windows 98"},
      {{4, 90, 1, 0, 0, 0}, "Windows Me"},
      {{4, 3, 2, 1, 0, 0}, ""},
      {{5, 0, 2, 1, 0, 0}, "Windows 2000"},
      {{5, 1, 2, 1, 0, 0}, "Windows XP"},
      {{5, 2, 2, 1, 9, 0}, "Windows XP Professional x64 Edition"},
      {{5, 2, 2, 1, 0, 0}, "Windows Server 2003"},  // workstation but x86
      {{5, 2, 2, 3, 9, 0}, "Windows Server 2003"},  // server on x64
      {{5, 2, 2, 3, 0, 1}, "Windows Server 2003 R2"},
      {{5, 3, 2, 1, 0, 0}, ""},
      {{6, 0, 2, 1, 9, 0}, "Windows Vista"},
      {{6, 0, 2, 3, 9, 0}, "Windows Server 2008"},
      {{6, 1, 2, 1, 9, 0}, "Windows 7"},
      {{6, 1, 2, 2, 9, 0}, "Windows Server 2008 R2"},
      {{6, 2, 2, 1, 9, 0}, "Windows 8"},
      {{6, 2, 2, 3, 9, 0}, "Windows 8"},
      {{6, 3, 2, 1, 9, 0}, ""},
      {{10, 0, 2, 1, 9, 0}, "unknown"},
      {{3, 51, 2, 1, 0, 0}, "unknown"},
      {{0, 0, 0, 1, 9, 0}, "unknown"},
  };
  for (const VersionCase& c : cases)
    EXPECT_EQ(ks::net::WindowsVersionName(c.v), c.name)
        << c.v.major << "." << c.v.minor << " platform " << c.v.platformId << " type "
        << int(c.v.productType) << " arch " << c.v.processorArchitecture << " r2 " << c.v.serverR2;
}

TEST(WindowsVersionName, ThisMachineIsUnknownAndInitStoresIt) {
  EXPECT_EQ(ks::net::QueryWindowsVersion().major, 0u);
  EXPECT_EQ(ks::net::GetOSVersionName(), "unknown");
  ks::state::SetOsName("");
  ks::state::SetSystemType(0);
  ks::net::InitOSInfo();
  EXPECT_EQ(ks::state::OsName(), "unknown");
  EXPECT_EQ(ks::state::SystemType(), 2);
}

}  // namespace
