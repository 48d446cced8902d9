// The smaller system pieces: crypt.dll, file attributes and attrib, netsh, made-up
// adapters, the session environment and the desktop program's wake endpoint.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/adapters.h"
#include "platform/desktop_instance.h"
#include "platform/file_attributes.h"
#include "platform/session_launcher.h"
#include "tests/fakes/test_support.h"
#include "tests/platform/run_program.h"

namespace {

using namespace ks::platform;
using ks::test::ProgramResult;
using ks::test::ReadFile;
using ks::test::RunOptions;
using ks::test::RunProgram;
using ks::test::TempDir;
using ks::test::WriteFile;

class SystemFacts : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("KESTYL_PLATFORM_DIR", dir.path().c_str(), 1);
    ::setenv("KESTYL_ELEVATED", "1", 1);
  }
  ProgramResult Tool(const std::string& tool, std::vector<std::string> args, RunOptions options = {}) {
    args.insert(args.begin(), ks::test::BinDir() + "/system/" + tool);
    return RunProgram(args, options);
  }
  TempDir dir;
};

TEST(CryptDll, HashesLikeTheSystemWithAResultPerThread) {
  void* lib = ::dlopen((ks::test::BinDir() + "/crypt.dll").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  using CryptFn = char* (*)(const char*, const char*);
  auto fn = reinterpret_cast<CryptFn>(::dlsym(lib, "crypt"));
  ASSERT_NE(fn, nullptr);
  EXPECT_STREQ(fn("secret12", "$1$qumvat$"), "$1$qumvat$iCYO4fCqcJRfKzs1FZsK6.");
  std::string other = fn("secret12", "$1$abcdef$");
  EXPECT_EQ(other.rfind("$1$abcdef$", 0), 0u);
  EXPECT_NE(other, "$1$qumvat$iCYO4fCqcJRfKzs1FZsK6.");
  EXPECT_EQ(fn(nullptr, "$1$x$"), nullptr);
  // Each thread keeps its own result while the other hashes.
  char* mine = fn("secret12", "$1$qumvat$");
  std::string theirs;
  std::thread([&] { theirs = fn("another", "$1$zzzzzz$"); }).join();
  EXPECT_STREQ(mine, "$1$qumvat$iCYO4fCqcJRfKzs1FZsK6.");
  EXPECT_NE(theirs, mine);
  ::dlclose(lib);
}

TEST_F(SystemFacts, AttribKeepsHiddenAndSystemForGetFileAttributes) {
  std::filesystem::create_directories(dir / "data/sub");
  WriteFile(dir / "data/file.txt", "x");
  EXPECT_EQ(GetFileAttributes(dir / "data/file.txt"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(GetFileAttributes(dir / "data/sub"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributes(dir / "data/missing"), INVALID_FILE_ATTRIBUTES);

  EXPECT_EQ(Tool("attrib", {"+h", "+s", dir / "data/sub"}).exitCode, 0);
  EXPECT_EQ(GetFileAttributes(dir / "data/sub/../sub/"),
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  std::filesystem::create_symlink(dir / "data/sub", dir / "link");
  EXPECT_EQ(GetFileAttributes(dir / "link") & FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(Tool("attrib", {"-H", "+r", dir / "link"}).exitCode, 0);
  EXPECT_EQ(GetFileAttributes(dir / "data/sub"),
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(Tool("attrib", {dir / "data/sub"}).output, "A    S R       " + (dir / "data/sub") + "\n");
  ProgramResult r = Tool("attrib", {"+h", dir / "data/missing"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "File not found - " + (dir / "data/missing") + "\n");
}

TEST_F(SystemFacts, HostedNetworkNeedsAWifiRecordAndRights) {
  auto show = [&] { return Tool("netsh", {"wlan", "show", "hostednetwork"}).output; };
  EXPECT_EQ(Tool("netsh", {"wlan", "set", "hostednetwork", "mode=allow", "ssid=kestyl", "key=58203746",
                           "keyUsage=persistent"})
                .exitCode,
            0);
  // Without a Wi-Fi adapter (this machine has none; the file adds none yet).
  WriteFile(dir / "adapters", "index=7 type=ethernet desc=Wired one mac=02:00:00:00:00:07 ipv4=10.0.0.7\n");
  ProgramResult r = Tool("netsh", {"wlan", "start", "hostednetwork"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(show().find("BSSID"), std::string::npos);

  WriteFile(dir / "adapters", "index=9 type=wifi desc=Wireless LAN adapter mac=02:11:22:33:44:55 ipv4=192.168.9.1\n");
  EXPECT_EQ(show().find("BSSID"), std::string::npos);  // not started yet
  EXPECT_NE(show().find("SSID name              : \"kestyl\""), std::string::npos);
  if (::geteuid() == 0) {
    ::chmod(dir.path().c_str(), 0755);
    RunOptions user;
    user.uid = 65534;
    user.unsetEnv = {"KESTYL_ELEVATED"};
    r = Tool("netsh", {"wlan", "start", "hostednetwork"}, user);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("requires elevation"), std::string::npos);
    EXPECT_EQ(show().find("BSSID"), std::string::npos);
  }
  r = Tool("netsh", {"wlan", "start", "hostednetwork"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(show().find("    BSSID                  : 02:11:22:33:44:55\n"), std::string::npos);
  EXPECT_EQ(Tool("netsh", {"wlan", "stop", "hostednetwork"}).exitCode, 0);
  EXPECT_EQ(show().find("BSSID"), std::string::npos);

  EXPECT_EQ(Tool("netsh", {"advfirewall", "firewall", "add", "rule", "name=Kestyl app", "dir=in", "action=allow"}).exitCode, 0);
  EXPECT_EQ(Tool("netsh", {"advfirewall", "firewall", "delete", "rule", "name=Kestyl app"}).exitCode, 0);
  EXPECT_EQ(Tool("netsh", {"advfirewall", "firewall", "delete", "rule", "name=Kestyl app"}).exitCode, 1);
  std::string calls = ReadFile(dir / "netsh/calls.log");
  EXPECT_NE(calls.find("wlan set hostednetwork mode=allow ssid=kestyl key=58203746 keyUsage=persistent\n"),
            std::string::npos);
  EXPECT_NE(calls.find("advfirewall firewall add rule \"name=Kestyl app\" dir=in action=allow\n"), std::string::npos);
}

TEST(Adapters, MadeUpRecordsFromTheAdaptersFile) {
  auto list = ParseAdapterFile(
      "index=3 type=wifi desc=Intel Wireless 7260 mac=02:aa:bb:cc:dd:ee ipv4=192.168.1.5,10.1.1.1\r\n"
      "index=4 type=tap desc=TAP adapter mac=02:00:00:00:00:04 ipv4=10.8.0.2\n"
      "index=5 type=ethernet mac=zz:00:00:00:00:05\n"     // bad MAC: skipped
      "index=6 type=ethernet ipv4=300.1.1.1\n"           // bad address: skipped
      "type=wifi desc=no index\n"                        // no index: skipped
      "\n"
      "index=8 desc=plain\n");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].index, 3u);
  EXPECT_EQ(list[0].kind, AdapterKind::kWifi);
  EXPECT_EQ(list[0].description, "Intel Wireless 7260");
  EXPECT_EQ(list[0].mac, (std::array<uint8_t, 6>{0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee}));
  EXPECT_EQ(list[0].ipv4, (std::vector<std::string>{"192.168.1.5", "10.1.1.1"}));
  EXPECT_EQ(list[0].status, OperStatus::kOperational);
  EXPECT_TRUE(list[0].physical);
  EXPECT_EQ(list[1].kind, AdapterKind::kTap);
  EXPECT_FALSE(list[1].physical);
  EXPECT_EQ(list[2].kind, AdapterKind::kEthernet);
  EXPECT_EQ(list[2].description, "plain");

  TempDir dir;
  ::setenv("KESTYL_PLATFORM_DIR", dir.path().c_str(), 1);
  std::vector<Adapter> real;
  ASSERT_EQ(ReadSystemAdapters(real), 0);
  WriteFile(dir / "adapters", "index=99 type=wifi desc=x mac=02:00:00:00:00:99\n");
  std::vector<Adapter> withFake;
  ASSERT_EQ(ReadSystemAdapters(withFake), 0);
  ASSERT_EQ(withFake.size(), real.size() + 1);
  EXPECT_EQ(withFake.back().index, 99u);  // after the real ones
}

TEST_F(SystemFacts, SessionEnvironmentKeepsOnlyTheDisplayVariables) {
  ::setenv("DISPLAY", ":5", 1);
  ::setenv("XAUTHORITY", "/home/u/.Xauthority", 1);
  ::unsetenv("WAYLAND_DISPLAY");
  ::setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  ASSERT_TRUE(WriteSessionEnv());
  EXPECT_EQ(ReadSessionEnv(::getuid()),
            (std::vector<std::pair<std::string, std::string>>{
                {"DISPLAY", ":5"}, {"XAUTHORITY", "/home/u/.Xauthority"}, {"XDG_RUNTIME_DIR", "/run/user/1000"}}));
  // A hand-made file: unknown names and control characters are dropped.
  const std::string other = SessionEnvPath(4321);
  WriteFile(other, "LD_PRELOAD=/tmp/evil.so\nDISPLAY=:1\nWAYLAND_DISPLAY=wl\x1b[0\nXAUTHORITY\n");
  EXPECT_EQ(ReadSessionEnv(4321), (std::vector<std::pair<std::string, std::string>>{{"DISPLAY", ":1"}}));
  if (::geteuid() == 0) {
    // Another user's file never speaks for this one.
    ASSERT_EQ(::chown(other.c_str(), 1234, 1234), 0);
    EXPECT_TRUE(ReadSessionEnv(4321).empty());
  }
}

TEST_F(SystemFacts, SessionLauncherHandsTheSessionVariablesOn) {
  if (::geteuid() != 0) GTEST_SKIP() << "starting a program for another user needs root";
  ::chmod(dir.path().c_str(), 0777);
  const uint32_t nobody = 65534;
  std::filesystem::create_directories(dir / "sessions");
  WriteFile(SessionEnvPath(nobody), "DISPLAY=:7\nXAUTHORITY=/x/auth\n");
  const std::string out = dir / "env.txt";
  std::string error;
  ASSERT_EQ(ProcessSessionLauncher().Launch(nobody,
                                            std::string(KS_TEST_CHILD) + " env " + out +
                                                " DISPLAY XAUTHORITY KESTYL_ELEVATED KESTYL_PLATFORM_DIR",
                                            &error),
            SessionLauncher::kStarted)
      << error;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ReadFile(out).find("KESTYL_PLATFORM_DIR") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(ReadFile(out), "DISPLAY=:7\nXAUTHORITY=/x/auth\nKESTYL_ELEVATED=1\nKESTYL_PLATFORM_DIR=" + dir.path() + "\n");
}

TEST_F(SystemFacts, WakeFramesReachTheEndpoint) {
  EXPECT_EQ(DesktopRunFolder(), dir / "run");
  EXPECT_EQ(WakeEndpointPath(), dir / ("run/Kestyl-" + std::to_string(::getuid()) + ".sock"));
  auto bytes = EncodeWakeFrame({0x604, 1, 0xA0B0C0D0});
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<uint8_t>{0x04, 0x06, 0, 0}));
  WakeFrame back;
  EXPECT_FALSE(DecodeWakeFrame(bytes.data(), 11, back));

  EXPECT_EQ(SendWakeFrame({0x604, 0, 0}), ENOENT);
  std::filesystem::create_directories(DesktopRunFolder());
  int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, WakeEndpointPath().c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(SendWakeFrame({0x604, 7, 0xA0B0C0D0}), 0);
  int conn = ::accept(listener, nullptr, nullptr);
  uint8_t got[kWakeFrameSize];
  size_t have = 0;
  while (have < sizeof got) {
    ssize_t n = ::read(conn, got + have, sizeof got - have);
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  ASSERT_TRUE(DecodeWakeFrame(got, have, back));
  EXPECT_EQ(back.message, 0x604u);
  EXPECT_EQ(back.wparam, 7u);
  EXPECT_EQ(back.lparam, 0xA0B0C0D0u);
  ::close(conn);
  ::close(listener);
}

}  // namespace
