#include "platform/registry.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/fakes/test_support.h"

namespace {

using namespace ks::platform;
using ks::test::TempDir;

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("KESTYL_PLATFORM_DIR", dir.path().c_str(), 1);
    ::unsetenv("KESTYL_UAC");
    ::unsetenv("KESTYL_ELEVATED");
  }
  TempDir dir;
};

std::string Sz(HKEY root, const std::string& path, const std::string& name) {
  std::string v;
  LSTATUS rc = RegGetString(root, path, name, v);
  return rc == ERROR_SUCCESS ? v : "<" + std::to_string(rc) + ">";
}

TEST_F(Registry, FirstQueryCreatesAndSeedsTheFile) {
  ASSERT_FALSE(std::filesystem::exists(RegistryPath()));
  uint32_t lua = 7;
  EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System\\",
                        "EnableLUA", lua),
            ERROR_SUCCESS);
  EXPECT_EQ(lua, 1u);
  EXPECT_TRUE(std::filesystem::exists(RegistryPath()));
  for (const char* path : {"SOFTWARE\\Kestyl", "SOFTWARE\\Classes", "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"}) {
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &k), ERROR_SUCCESS) << path;
    RegCloseKey(k);
  }
  ::setenv("KESTYL_ELEVATED", "1", 1);
  HKEY users = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_USERS, "S-1-5-19", 0, KEY_READ, &users), ERROR_SUCCESS);
  std::vector<std::string> subKeys;
  ASSERT_EQ(RegListSubKeys(users, subKeys), ERROR_SUCCESS);
  EXPECT_EQ(subKeys, (std::vector<std::string>{"Environment", "Software"}));
  RegCloseKey(users);
}

TEST_F(Registry, PolicySeedFollowsTheEnvironmentOnlyWhenTheFileIsNew) {
  ::setenv("KESTYL_UAC", "0", 1);
  uint32_t lua = 7;
  const std::string policy = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
  ASSERT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, policy, "EnableLUA", lua), ERROR_SUCCESS);
  EXPECT_EQ(lua, 0u);
  ::setenv("KESTYL_UAC", "1", 1);
  ASSERT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, policy, "EnableLUA", lua), ERROR_SUCCESS);
  EXPECT_EQ(lua, 0u);
}

TEST_F(Registry, NamesCompareWithoutCaseAndKeepTheFirstSpelling) {
  ASSERT_EQ(RegSetDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl\\Sub", "UpdateFinish", 0x2A), ERROR_SUCCESS);
  uint32_t v = 0;
  EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, "software\\KESTYL\\sub", "updatefinish", v), ERROR_SUCCESS);
  EXPECT_EQ(v, 0x2Au);
  ASSERT_EQ(RegSetDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\KESTYL\\SUB", "UPDATEFINISH", 3), ERROR_SUCCESS);

  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\kestyl\\SUB", 0, KEY_READ, &k), ERROR_SUCCESS);
  EXPECT_EQ(RegKeyName(k), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestyl\\Sub");
  std::vector<RegValue> values;
  ASSERT_EQ(RegListValues(k, values), ERROR_SUCCESS);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "UpdateFinish");
  EXPECT_EQ(values[0].data, std::string("\x03\x00\x00\x00", 4));
  RegCloseKey(k);
}

TEST_F(Registry, ClassesRootIsTheClassesKeyOfTheMachine) {
  ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, "CLSID\\{X}\\Instance", "CLSID", "{0AFACED1}"), ERROR_SUCCESS);
  EXPECT_EQ(Sz(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\clsid\\{x}\\Instance", "CLSID"), "{0AFACED1}");
  ASSERT_EQ(RegSetString(HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID\\{X}\\Instance\\InitPropertyBag", "Target",
                         "/data/x"),
            ERROR_SUCCESS);
  EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, "CLSID\\{X}\\Instance\\InitPropertyBag", "Target"), "/data/x");
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CLASSES_ROOT, "clsid", 0, KEY_READ, &k), ERROR_SUCCESS);
  EXPECT_EQ(RegKeyName(k), "HKEY_CLASSES_ROOT\\CLSID");
  RegCloseKey(k);
}

TEST_F(Registry, QueryValueReportsSizesLikeTheSystemCalls) {
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, "A", "text", "h\xC3\xA9llo \"q\""), ERROR_SUCCESS);
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "A", 0, KEY_READ, &k), ERROR_SUCCESS);
  uint32_t type = 0, size = 0;
  ASSERT_EQ(RegQueryValueEx(k, "TEXT", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 11u);  // 10 bytes of UTF-8 and the NUL
  uint8_t small[4];
  uint32_t smallSize = sizeof small;
  EXPECT_EQ(RegQueryValueEx(k, "text", nullptr, nullptr, small, &smallSize), ERROR_MORE_DATA);
  EXPECT_EQ(smallSize, 11u);
  uint8_t buf[32];
  uint32_t bufSize = sizeof buf;
  ASSERT_EQ(RegQueryValueEx(k, "text", nullptr, nullptr, buf, &bufSize), ERROR_SUCCESS);
  EXPECT_EQ(bufSize, 11u);
  EXPECT_STREQ(reinterpret_cast<char*>(buf), "h\xC3\xA9llo \"q\"");
  EXPECT_EQ(RegQueryValueEx(k, "missing", nullptr, nullptr, buf, &bufSize), ERROR_FILE_NOT_FOUND);

  // The UTF-16 forms see the same rows.
  uint8_t wide[64];
  uint32_t wideSize = sizeof wide;
  ASSERT_EQ(RegQueryValueExW(k, u"Text", nullptr, &type, wide, &wideSize), ERROR_SUCCESS);
  EXPECT_EQ(wideSize, 20u);  // 9 units and the NUL
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(wide)), u"h\u00e9llo \"q\"");
  const char16_t target[] = u"C:\\\u6587\u4EF6";
  ASSERT_EQ(RegSetValueExW(k, u"Wide", 0, REG_SZ, reinterpret_cast<const uint8_t*>(target), sizeof target),
            ERROR_SUCCESS);
  EXPECT_EQ(Sz(HKEY_CURRENT_USER, "a", "wide"), "C:\\\xE6\x96\x87\xE4\xBB\xB6");
  EXPECT_EQ(RegSetValueEx(k, "d", 0, REG_DWORD, buf, 3), ERROR_INVALID_PARAMETER);
  RegCloseKey(k);
}

TEST_F(Registry, BadPathsAreRefused) {
  struct Case {
    std::string path;
    LSTATUS create;
  } cases[] = {
      {"A\\\\B", ERROR_INVALID_PARAMETER},
      {"\\A", ERROR_INVALID_PARAMETER},
      {"\\", ERROR_INVALID_PARAMETER},
      {std::string(256, 'x'), ERROR_INVALID_PARAMETER},
      {std::string(255, 'x'), ERROR_SUCCESS},
      {"A\\B\\", ERROR_SUCCESS},
      {"../../etc/passwd", ERROR_SUCCESS},  // only ever a name
  };
  for (const auto& c : cases) {
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, c.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              c.create)
        << c.path;
    if (k) RegCloseKey(k);
  }
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) files.push_back(e.path().filename());
  EXPECT_EQ(files, std::vector<std::string>{"registry.db"});
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, DeletingKeysAndValues) {
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, "T\\A\\B", "v", "1"), ERROR_SUCCESS);
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, "T\\A", "v", "1"), ERROR_SUCCESS);
  HKEY b = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "T\\A\\B", 0, KEY_READ, &b), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteKey(HKEY_CURRENT_USER, "T\\A"), ERROR_ACCESS_DENIED);  // has a sub-key
  EXPECT_EQ(RegDeleteKey(HKEY_CURRENT_USER, "T\\A\\B"), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueEx(b, "v", nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegSetValueEx(b, "v", 0, REG_SZ, nullptr, 0), ERROR_KEY_DELETED);
  RegCloseKey(b);
  EXPECT_EQ(RegDeleteKey(HKEY_CURRENT_USER, "T\\A\\B"), ERROR_FILE_NOT_FOUND);

  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, "T\\A\\B\\C", "v", "1"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTree(HKEY_CURRENT_USER, "t\\a"), ERROR_SUCCESS);
  HKEY t = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "T", 0, KEY_READ, &t), ERROR_SUCCESS);
  uint32_t subKeys = 9, values = 9;
  ASSERT_EQ(RegQueryInfoKey(t, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr,
                            nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(values, 0u);
  EXPECT_EQ(RegDeleteValue(t, "v"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(t);
  EXPECT_EQ(RegDeleteKey(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);  // a root stays
}

TEST_F(Registry, EnumerationOrderAndBufferSizes) {
  for (const char* name : {"beta", "Alpha", "gamma"}) {
    ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, std::string("E\\") + name, "", "x"), ERROR_SUCCESS);
  }
  for (const char* name : {"z", "a", "m"}) ASSERT_EQ(RegSetDword(HKEY_CURRENT_USER, "E", name, 1), ERROR_SUCCESS);
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "E", 0, KEY_READ, &k), ERROR_SUCCESS);
  std::vector<std::string> names;
  char name[16];
  for (uint32_t i = 0;; ++i) {
    uint32_t size = sizeof name;
    LSTATUS rc = RegEnumKeyEx(k, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(size, std::strlen(name));
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma"}));
  uint32_t tiny = 5;  // "Alpha" needs 6 with its NUL
  EXPECT_EQ(RegEnumKeyEx(k, 0, name, &tiny, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  std::vector<RegValue> values;
  ASSERT_EQ(RegListValues(k, values), ERROR_SUCCESS);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].name + values[1].name + values[2].name, "zam");  // creation order
  uint32_t type = 0, dataSize = 4;
  uint8_t data[4];
  uint32_t nameSize = sizeof name;
  ASSERT_EQ(RegEnumValue(k, 2, name, &nameSize, nullptr, &type, data, &dataSize), ERROR_SUCCESS);
  EXPECT_STREQ(name, "m");
  EXPECT_EQ(type, REG_DWORD);
  RegCloseKey(k);
}

TEST_F(Registry, TheLocalServiceUserOpensOnlyForAnElevatedProcess) {
  ::setenv("KESTYL_ELEVATED", "1", 1);
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_USERS, "s-1-5-19\\software", 0, KEY_READ, &k), ERROR_SUCCESS);
  RegCloseKey(k);
  ::unsetenv("KESTYL_ELEVATED");
  ::chmod(dir.path().c_str(), 0755);  // the other user may read the registry
  // A non-root process without the variable is refused, whatever it asks for below the key.
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)) {
      ::_exit(100);
    }
    HKEY users = nullptr, sub = nullptr;
    int fails = 0;
    if (RegOpenKeyEx(HKEY_USERS, "S-1-5-19", 0, KEY_READ, &sub) != ERROR_ACCESS_DENIED) fails |= 1;
    if (RegOpenKeyEx(HKEY_USERS, nullptr, 0, KEY_READ, &users) != ERROR_SUCCESS) fails |= 2;
    if (RegCreateKeyEx(users, "S-1-5-19\\X", 0, nullptr, 0, 0, nullptr, &sub, nullptr) != ERROR_ACCESS_DENIED) {
      fails |= 4;
    }
    if (RegDeleteTree(HKEY_USERS, "S-1-5-19") != ERROR_ACCESS_DENIED) fails |= 8;
    ::_exit(fails);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Registry, EachPlatformFolderHasItsOwnRegistry) {
  ASSERT_EQ(RegSetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl", "where", "first"), ERROR_SUCCESS);
  HKEY first = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl", 0, KEY_READ, &first), ERROR_SUCCESS);
  TempDir other;
  ::setenv("KESTYL_PLATFORM_DIR", other.path().c_str(), 1);
  EXPECT_EQ(Sz(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl", "where"), "<2>");
  ASSERT_EQ(RegSetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl", "where", "second"), ERROR_SUCCESS);
  // An opened handle stays on the file it was opened on.
  char buf[16];
  uint32_t size = sizeof buf;
  ASSERT_EQ(RegQueryValueEx(first, "where", nullptr, nullptr, reinterpret_cast<uint8_t*>(buf), &size), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "first");
  RegCloseKey(first);
  ::setenv("KESTYL_PLATFORM_DIR", dir.path().c_str(), 1);
  EXPECT_EQ(Sz(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl", "where"), "first");
}

TEST_F(Registry, ConcurrentWritersFromThreadsAndProcessesAllLand) {
  constexpr int kThreads = 4, kProcesses = 4, kEach = 10;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    if (pid == 0) {
      int bad = 0;
      for (int i = 0; i < kEach; ++i) {
        std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
        if (RegSetDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl\\Load", name, i) != ERROR_SUCCESS) ++bad;
      }
      ::_exit(bad);
    }
    children.push_back(pid);
  }
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &bad] {
      for (int i = 0; i < kEach; ++i) {
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        if (RegSetDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl\\Load", name, i) != ERROR_SUCCESS) ++bad;
      }
    });
  }
  for (auto& t : threads) t.join();
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(bad.load(), 0);
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl\\Load", 0, KEY_READ, &k), ERROR_SUCCESS);
  std::vector<RegValue> values;
  ASSERT_EQ(RegListValues(k, values), ERROR_SUCCESS);
  EXPECT_EQ(values.size(), static_cast<size_t>((kThreads + kProcesses) * kEach));
  RegCloseKey(k);
}

}  // namespace
