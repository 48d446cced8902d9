// Wake-on-LAN set-up over the installation's registry: the value each adapter sub-key gets,
// that a second run writes nothing, and how the class key is filled from the adapters.
#include "desktop/app/connect/wake_on_lan.h"
#include "platform/adapters.h"
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>

#include "tests/desktop/foundation/env_guard.h"
#include "tests/fakes/test_support.h"

namespace {

using namespace ks::desktop;
namespace pf = ks::platform;
using ks::test::EnvGuard;
using ks::test::TempDir;

class WakeOnLan : public ::testing::Test {
 protected:
  void TearDown() override { pf::SetAdapterSource({}); }

  // Creates class-key sub-key `name`, with "PnPCapabilities" = `value` unless it is negative.
  void AddAdapter(const std::string& name, long long value, const char* id = nullptr) {
    pf::HKEY key = nullptr;
    const std::string path = std::string(kAdapterClassKey) + "\\" + name;
    ASSERT_EQ(pf::ERROR_SUCCESS, pf::RegCreateKeyEx(pf::HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                                    pf::KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (value >= 0) {
      const uint32_t v = static_cast<uint32_t>(value);
      ASSERT_EQ(pf::ERROR_SUCCESS, pf::RegSetValueEx(key, kPnPCapabilitiesValue, 0, pf::REG_DWORD,
                                                     reinterpret_cast<const uint8_t*>(&v), 4));
    }
    if (id)
      pf::RegSetValueEx(key, kNetCfgInstanceIdValue, 0, pf::REG_SZ, reinterpret_cast<const uint8_t*>(id),
                        static_cast<uint32_t>(strlen(id) + 1));
    pf::RegCloseKey(key);
  }

  // name -> (type, dword) of "PnPCapabilities"; type 0 when missing.
  std::map<std::string, std::pair<uint32_t, uint32_t>> Values() {
    std::map<std::string, std::pair<uint32_t, uint32_t>> out;
    pf::HKEY cls = nullptr;
    if (pf::RegOpenKeyEx(pf::HKEY_LOCAL_MACHINE, kAdapterClassKey, 0, pf::KEY_READ, &cls) != pf::ERROR_SUCCESS)
      return out;
    for (uint32_t i = 0;; ++i) {
      char name[256];
      uint32_t size = sizeof name;
      if (pf::RegEnumKeyEx(cls, i, name, &size, nullptr, nullptr, nullptr, nullptr) != pf::ERROR_SUCCESS) break;
      pf::HKEY sub = nullptr;
      pf::RegOpenKeyEx(cls, name, 0, pf::KEY_READ, &sub);
      uint32_t type = 0, value = 0, vsize = 4;
      if (pf::RegQueryValueEx(sub, kPnPCapabilitiesValue, nullptr, &type, reinterpret_cast<uint8_t*>(&value),
                              &vsize) != pf::ERROR_SUCCESS)
        type = 0;
      out[name] = {type, value};
      pf::RegCloseKey(sub);
    }
    pf::RegCloseKey(cls);
    return out;
  }

  // NetCfgInstanceId of each sub-key.
  std::map<std::string, std::string> Ids() {
    std::map<std::string, std::string> out;
    pf::HKEY cls = nullptr;
    if (pf::RegOpenKeyEx(pf::HKEY_LOCAL_MACHINE, kAdapterClassKey, 0, pf::KEY_READ, &cls) != pf::ERROR_SUCCESS)
      return out;
    for (uint32_t i = 0;; ++i) {
      char name[256];
      uint32_t size = sizeof name;
      if (pf::RegEnumKeyEx(cls, i, name, &size, nullptr, nullptr, nullptr, nullptr) != pf::ERROR_SUCCESS) break;
      pf::HKEY sub = nullptr;
      pf::RegOpenKeyEx(cls, name, 0, pf::KEY_READ, &sub);
      char id[256] = {};
      uint32_t isize = sizeof id;
      pf::RegQueryValueEx(sub, kNetCfgInstanceIdValue, nullptr, nullptr, reinterpret_cast<uint8_t*>(id), &isize);
      out[name] = id;
      pf::RegCloseKey(sub);
    }
    pf::RegCloseKey(cls);
    return out;
  }

  struct timespec DbTime() {
    struct stat st{};
    ::stat((dir_ / "registry.db").c_str(), &st);
    return st.st_mtim;
  }

  TempDir dir_;
  EnvGuard platform_{"KESTYL_PLATFORM_DIR", dir_.path().c_str()};
  EnvGuard winver_{"KESTYL_WINVER", nullptr};
};

TEST_F(WakeOnLan, EverySubKeyGetsTheValueOfItsSystemVersion) {
  struct Case {
    const char* winver;
    uint32_t wanted;
  } cases[] = {{"6.1", 256}, {"10.0", 256}, {"5.1", 32}, {"", 256}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.winver);
    TempDir dir;
    EnvGuard platform("KESTYL_PLATFORM_DIR", dir.path().c_str());
    EnvGuard winver("KESTYL_WINVER", c.winver);
    AddAdapter("0000", -1);   // missing
    AddAdapter("0001", 256);
    AddAdapter("0002", 24);
    AddAdapter("0003", 32);
    EXPECT_TRUE(EnableWakeOnLan());
    for (const auto& [name, value] : Values()) {
      EXPECT_EQ(pf::REG_DWORD, value.first) << name;
      EXPECT_EQ(c.wanted, value.second) << name;
    }
  }
}

TEST_F(WakeOnLan, ASecondRunLeavesTheRegistryFileAlone) {
  AddAdapter("0000", 24);
  AddAdapter("0001", -1);
  ASSERT_TRUE(EnableWakeOnLan());
  const auto before = DbTime();
  const auto values = Values();
  EXPECT_TRUE(EnableWakeOnLan());
  const auto after = DbTime();
  EXPECT_EQ(before.tv_sec, after.tv_sec);
  EXPECT_EQ(before.tv_nsec, after.tv_nsec);
  EXPECT_EQ(values, Values());
}

TEST_F(WakeOnLan, WithoutTheClassKeyNothingIsWritten) {
  EXPECT_FALSE(EnableWakeOnLan());
  EXPECT_TRUE(Values().empty());
  pf::HKEY cls = nullptr;
  EXPECT_EQ(pf::ERROR_FILE_NOT_FOUND,
            pf::RegOpenKeyEx(pf::HKEY_LOCAL_MACHINE, kAdapterClassKey, 0, pf::KEY_READ, &cls));
}

TEST_F(WakeOnLan, SeedingAddsOneSubKeyPerAdapterOnce) {
  pf::SetAdapterSource([](std::vector<pf::Adapter>& out) {
    out.clear();
    pf::Adapter eth;
    eth.name = "eth0";
    eth.physical = true;
    pf::Adapter bridge;
    bridge.name = "br0";  // no device behind it: not an adapter of the machine
    out = {eth, bridge};
    return 0;
  });
  ks::test::WriteFile(dir_ / "adapters",
                      "index=7 type=ethernet desc=Made Up NIC mac=00:11:22:33:44:55 ipv4=10.0.0.2\n"
                      "index=9 type=wifi desc=Made Up Wi-Fi mac=00:11:22:33:44:66 ipv4=10.0.1.2\n");
  // An adapter already known keeps its sub-key; "0001" is taken by something else.
  AddAdapter("0000", -1, "eth0");
  AddAdapter("0001", -1, "other");

  EXPECT_EQ(2, SeedAdapterClassKeys());
  const std::map<std::string, std::string> expected = {
      {"0000", "eth0"}, {"0001", "other"}, {"0002", "fake7"}, {"0003", "fake9"}};
  EXPECT_EQ(expected, Ids());

  const auto before = DbTime();
  EXPECT_EQ(0, SeedAdapterClassKeys());
  EXPECT_EQ(before.tv_nsec, DbTime().tv_nsec);
  EXPECT_EQ(expected, Ids());

  // The seeded keys are what the wake-up button walks over.
  EXPECT_TRUE(EnableWakeOnLan());
  for (const auto& [name, value] : Values()) EXPECT_EQ(256u, value.second) << name;
}

}  // namespace
