#include "agent/util/settings/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace {

struct EnvGuard {
  explicit EnvGuard(const char* n) : name(n) {}
  ~EnvGuard() { ::unsetenv(name); }
  const char* name;
};

TEST(Settings, DefaultsAndOverrides) {
  EnvGuard a("KESTYL_VENDOR_PORT"), b("KESTYL_LOOPBACK"), c("KESTYL_VENDOR_HOST");
  ::unsetenv("KESTYL_VENDOR_PORT");
  ::unsetenv("KESTYL_LOOPBACK");
  ::unsetenv("KESTYL_VENDOR_HOST");
  EXPECT_EQ(ks::settings::VendorPort(), 15000);
  EXPECT_EQ(ks::settings::BroadcastAddress(), "255.255.255.255");
  EXPECT_NE(ks::settings::VendorHost(), "127.0.0.1");

  ::setenv("KESTYL_LOOPBACK", "1", 1);
  EXPECT_EQ(ks::settings::VendorHost(), "127.0.0.1");
  EXPECT_EQ(ks::settings::BroadcastAddress(), "127.255.255.255");

  // Bad numbers fall back to the default instead of becoming port 0.
  for (const char* bad : {"0", "70000", "12x", "-1"}) {
    ::setenv("KESTYL_VENDOR_PORT", bad, 1);
    EXPECT_EQ(ks::settings::VendorPort(), 15000) << bad;
  }
  ::setenv("KESTYL_VENDOR_PORT", "2345", 1);
  EXPECT_EQ(ks::settings::VendorPort(), 2345);
}

}  // namespace
