#include "platform/adapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <set>

namespace {

using ks::platform::Adapter;
using ks::platform::OperStatus;

constexpr unsigned kUpRunning = IFF_UP | IFF_RUNNING;

// A getifaddrs chain built by hand; entries keep the order they were added in.
class FakeIfaddrs {
 public:
  void Link(const char* name, int index, unsigned flags, std::initializer_list<uint8_t> mac) {
    sockaddr_ll& ll = links_.emplace_back();
    ll.sll_family = AF_PACKET;
    ll.sll_ifindex = index;
    ll.sll_halen = static_cast<uint8_t>(mac.size());
    std::copy(mac.begin(), mac.end(), ll.sll_addr);
    Add(name, flags, reinterpret_cast<sockaddr*>(&ll));
  }
  void Inet(const char* name, unsigned flags, const char* ip) {
    sockaddr_in& in = inets_.emplace_back();
    in.sin_family = AF_INET;
    ::inet_pton(AF_INET, ip, &in.sin_addr);
    Add(name, flags, reinterpret_cast<sockaddr*>(&in));
  }
  void Inet6(const char* name, unsigned flags) {
    sockaddr_in6& in6 = inet6s_.emplace_back();
    in6.sin6_family = AF_INET6;
    Add(name, flags, reinterpret_cast<sockaddr*>(&in6));
  }
  const ifaddrs* head() {
    for (size_t i = 0; i + 1 < nodes_.size(); ++i) nodes_[i].ifa_next = &nodes_[i + 1];
    return nodes_.empty() ? nullptr : &nodes_.front();
  }

 private:
  void Add(const char* name, unsigned flags, sockaddr* addr) {
    ifaddrs& n = nodes_.emplace_back();
    std::memset(&n, 0, sizeof n);
    n.ifa_name = const_cast<char*>(names_.emplace_back(name).c_str());
    n.ifa_flags = flags;
    n.ifa_addr = addr;
  }
  std::deque<ifaddrs> nodes_;
  std::deque<std::string> names_;
  std::deque<sockaddr_ll> links_;
  std::deque<sockaddr_in> inets_;
  std::deque<sockaddr_in6> inet6s_;
};

std::vector<std::string> Names(const std::vector<Adapter>& adapters) {
  std::vector<std::string> names;
  for (const Adapter& a : adapters) names.push_back(a.name);
  return names;
}

TEST(Adapters, BuildsRecordsFromIfaddrs) {
  FakeIfaddrs f;
  f.Link("lo", 1, IFF_UP | IFF_RUNNING | IFF_LOOPBACK, {0, 0, 0, 0, 0, 0});
  f.Link("eth0", 2, kUpRunning, {0x02, 0xab, 0xcd, 0x00, 0x11, 0xfe});
  f.Link("tun0", 5, kUpRunning, {});  // no hardware address
  f.Link("wlan0", 3, IFF_UP | (1u << 17), {1, 2, 3, 4, 5, 6});  // dormant
  f.Link("eth1", 4, IFF_UP, {7, 8, 9, 10, 11, 12});             // no carrier
  f.Link("br0", 6, 0, {9, 9, 9, 9, 9, 9});                      // down
  f.Inet("lo", IFF_UP | IFF_LOOPBACK, "127.0.0.1");
  f.Inet("eth0", kUpRunning, "192.168.1.5");
  f.Inet6("eth0", kUpRunning);
  f.Inet("eth0:1", kUpRunning, "10.0.0.7");  // alias label of eth0
  f.Inet("tun0", kUpRunning, "10.8.0.2");

  std::vector<Adapter> a = ks::platform::AdaptersFromIfaddrs(
      f.head(), [](const std::string& n) { return n.rfind("eth", 0) == 0; });

  ASSERT_EQ(Names(a), (std::vector<std::string>{"eth0", "tun0", "wlan0", "eth1", "br0"}));
  EXPECT_EQ(a[0].index, 2u);
  EXPECT_EQ(a[0].mac, (std::array<uint8_t, 6>{0x02, 0xab, 0xcd, 0x00, 0x11, 0xfe}));
  EXPECT_EQ(a[0].ipv4, (std::vector<std::string>{"192.168.1.5", "10.0.0.7"}));
  EXPECT_TRUE(a[0].physical);
  EXPECT_EQ(a[0].status, OperStatus::kOperational);
  EXPECT_EQ(a[1].mac, (std::array<uint8_t, 6>{}));
  EXPECT_FALSE(a[1].physical);
  EXPECT_EQ(a[2].status, OperStatus::kConnecting);
  EXPECT_EQ(a[3].status, OperStatus::kDisconnected);
  EXPECT_EQ(a[4].status, OperStatus::kNonOperational);
  EXPECT_TRUE(a[4].ipv4.empty());
}

TEST(Adapters, SortsPhysicalFirstThenByIndex) {
  std::vector<Adapter> a(5);
  const char* names[] = {"virbr0", "eth1", "docker0", "eth0", "wlan0"};
  unsigned idx[] = {3, 7, 2, 9, 4};
  bool phys[] = {false, true, false, true, true};
  for (int i = 0; i < 5; ++i) {
    a[i].name = names[i];
    a[i].index = idx[i];
    a[i].physical = phys[i];
  }
  ks::platform::SortAdapters(a);
  EXPECT_EQ(Names(a), (std::vector<std::string>{"wlan0", "eth1", "eth0", "docker0", "virbr0"}));
}

TEST(Adapters, SystemListHasNoLoopbackAndIsOrdered) {
  std::vector<Adapter> a;
  ASSERT_EQ(ks::platform::ReadSystemAdapters(a), 0);
  std::set<std::string> seen;
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_NE(a[i].name, "lo");
    EXPECT_TRUE(seen.insert(a[i].name).second) << "duplicate " << a[i].name;
    EXPECT_NE(a[i].index, 0u) << a[i].name;
    for (const std::string& ip : a[i].ipv4) {
      in_addr tmp{};
      EXPECT_EQ(::inet_pton(AF_INET, ip.c_str(), &tmp), 1) << ip;
      EXPECT_NE(ip.rfind("127.", 0), 0u) << a[i].name << " " << ip;
    }
    if (i > 0) {
      EXPECT_TRUE(a[i - 1].physical >= a[i].physical);
      if (a[i - 1].physical == a[i].physical) {
        EXPECT_LT(a[i - 1].index, a[i].index);
      }
    }
  }
}

TEST(Adapters, InjectedSourceReplacesTheSystem) {
  ks::platform::SetAdapterSource([](std::vector<Adapter>& out) {
    Adapter fake;
    fake.name = "fake0";
    fake.index = 42;
    out.push_back(fake);
    return 0;
  });
  std::vector<Adapter> a(1);
  a[0].name = "stale";
  EXPECT_EQ(ks::platform::ReadAdapters(a), 0);
  EXPECT_EQ(Names(a), std::vector<std::string>{"fake0"});

  ks::platform::SetAdapterSource([](std::vector<Adapter>&) { return EIO; });
  EXPECT_EQ(ks::platform::ReadAdapters(a), EIO);

  ks::platform::SetAdapterSource(nullptr);
  std::vector<Adapter> system;
  ASSERT_EQ(ks::platform::ReadSystemAdapters(system), 0);
  EXPECT_EQ(ks::platform::ReadAdapters(a), 0);
  EXPECT_EQ(Names(a), Names(system));
}

}  // namespace
