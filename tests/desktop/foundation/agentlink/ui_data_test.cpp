// CUIData against the real agent (AgentHarness) with the fake vendor server and a fake
// mobile client, and the data-folder steps in temporary folders.
#include "desktop/foundation/agentlink/ui_data.h"
#include "desktop/foundation/agentlink/data_folder.h"

#include <gnu/libc-version.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/net/proto/proto.h"
#include "desktop/foundation/agentlink/socket_connect.h"
#include "desktop/foundation/util/ks_util.h"
#include "platform/file_attributes.h"
#include "platform/registry.h"
#include "tests/desktop/foundation/env_guard.h"
#include "tests/fakes/agent_harness.h"
#include "tests/fakes/fake_mobile_client.h"
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/net_io.h"
#include "tests/fakes/test_support.h"

namespace {

namespace fs = std::filesystem;
using ks::desktop::CUIData;
using ks::desktop::IUIData;
using ks::desktop::LoginInfo;
using ks::desktop::UIDataOptions;
using ks::fake::AgentHarness;
using ks::fake::AgentOptions;
using ks::fake::FakeMobileClient;
using ks::fake::FakeVendorServer;
using ks::test::EnvGuard;
using ks::test::ReadFile;
using ks::test::TempDir;
using ks::test::WriteFile;

// A port nobody listens on, claimed for this process.
uint16_t FreePort() { return ks::fake::FreeTcpPort(); }

template <typename Pred>
bool Eventually(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Releases the reference a test holds.
struct UIDataRef {
  IUIData* p;
  explicit UIDataRef(IUIData* data) : p(data) {}
  ~UIDataRef() {
    if (p) p->Release();
  }
  IUIData* operator->() const { return p; }
};

class Listener : public ks::desktop::IUIDataCallBack {
 public:
  void OnAddShareFolder(const std::string& folder) override {
    std::lock_guard<std::mutex> lock(m_);
    shares_.push_back(folder);
  }
  void OnTransferItem(const ks::desktop::TransferLogItem*) override {}
  void OnConnectRequest(const ks::desktop::ConnectRequestInfo* request) override {
    std::lock_guard<std::mutex> lock(m_);
    requests_.push_back(*request);
    cv_.notify_all();
  }
  void OnNetConnected() override {}
  void OnNetDisconnected() override {}

  bool WaitForRequests(size_t n) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return requests_.size() >= n; });
  }
  std::vector<ks::desktop::ConnectRequestInfo> requests() {
    std::lock_guard<std::mutex> lock(m_);
    return requests_;
  }
  std::vector<std::string> shares() {
    std::lock_guard<std::mutex> lock(m_);
    return shares_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<ks::desktop::ConnectRequestInfo> requests_;
  std::vector<std::string> shares_;
};

constexpr const char* kFolderBag =
    "SOFTWARE\\Classes\\CLSID\\{74362C5A-C943-4FBE-8500-8F82AD459BB7}\\Instance\\InitPropertyBag";

AgentOptions AgentOptionsForTest() {
  AgentOptions o;
  o.binary = KS_AGENT_BINARY;
  o.schema_file = KS_SCHEMA_FILE;
  return o;
}

UIDataOptions LinkOptions(const AgentHarness& agent, const std::string& programDir) {
  UIDataOptions o;
  o.agentPort = agent.message_port();
  o.listenPort = FreePort();
  o.listen = false;
  o.watchNetwork = false;
  o.programDir = programDir;
  o.cryptLibrary = KS_CRYPT_LIBRARY;
  return o;
}

// The C library: it loads, and has no "crypt" export.
std::string LibraryWithoutCrypt() {
  Dl_info info{};
  // A function of the C library that no sanitizer runtime intercepts (theirs would name the
  // runtime, which carries a "crypt" of its own).
  ::dladdr(reinterpret_cast<void*>(&::gnu_get_libc_version), &info);
  std::string path = info.dli_fname ? info.dli_fname : "";
  void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_TRUE(h && ::dlsym(h, "crypt") == nullptr) << path;
  return path;
}

LoginInfo Account(const char* account, const char* password) {
  LoginInfo info{};
  std::strncpy(info.account, account, sizeof info.account - 1);
  std::strncpy(info.password, password, sizeof info.password - 1);
  return info;
}

// ---- log-in --------------------------------------------------------------------------------

TEST(UIDataLogin, HashedPasswordReachesTheVendorAndTheStatusFollows) {
  TempDir dir;
  EnvGuard platform("KESTYL_PLATFORM_DIR", (dir / "platform").c_str());
  FakeVendorServer vendor;
  AgentOptions options = AgentOptionsForTest();
  options.vendor_port = vendor.port();
  AgentHarness agent(options);
  ASSERT_TRUE(agent.Start()) << agent.ReadLog();
  UIDataRef data(CUIData::Create(LinkOptions(agent, dir.path())));
  ASSERT_TRUE(data.p);
  vendor.ClearRecords();

  LoginInfo info = Account("owner@x.test", "secret12");
  ASSERT_EQ(0, data->Login(&info, true));
  EXPECT_STREQ("iCYO4fCqcJRfKzs1FZsK6.", info.password);  // the caller keeps the hash
  ASSERT_TRUE(vendor.WaitForRequests(SRV_LOGON, 1, 10000));
  const auto logons = vendor.Requests(SRV_LOGON);
  EXPECT_EQ("owner@x.test", logons.back().account);
  EXPECT_EQ("iCYO4fCqcJRfKzs1FZsK6.", logons.back().password);
  EXPECT_TRUE(Eventually([&] { return data->GetLogOnStatus() == 1; }));

  LoginInfo stored{};
  ASSERT_EQ(0, data->GetLogOnInfo(&stored));
  EXPECT_STREQ("owner@x.test", stored.account);
  EXPECT_STREQ("iCYO4fCqcJRfKzs1FZsK6.", stored.password);
  EXPECT_EQ(1u, stored.remember);

  // The vendor refuses the password: the status reads "wrong account or password".
  vendor.SetStatus(SRV_LOGON, 4127);
  LoginInfo wrong = Account("owner@x.test", "wrong");
  ASSERT_EQ(0, data->Login(&wrong, false));
  EXPECT_STREQ("wrong", wrong.password);  // without hash the text stays as typed
  EXPECT_TRUE(Eventually([&] { return data->GetLogOnStatus() == 2; }));
  EXPECT_EQ("wrong", vendor.Requests(SRV_LOGON).back().password);
}

TEST(UIDataLogin, WithoutAUsableHashLibraryNothingIsSentAndTheRecordStays) {
  TempDir dir;
  FakeVendorServer vendor;
  AgentOptions options = AgentOptionsForTest();
  options.vendor_port = vendor.port();
  AgentHarness agent(options);
  ASSERT_TRUE(agent.Start()) << agent.ReadLog();
  // A library that is missing, and one that loads but has no "crypt" export.
  for (const std::string& library : {dir / "missing.dll", LibraryWithoutCrypt()}) {
    UIDataOptions o = LinkOptions(agent, dir.path());
    o.cryptLibrary = library;
    UIDataRef data(CUIData::Create(o));
    ASSERT_TRUE(data.p);
    vendor.ClearRecords();
    LoginInfo info = Account("owner@x.test", "secret12");
    EXPECT_EQ(-1, data->Login(&info, true)) << library;
    EXPECT_STREQ("secret12", info.password) << library;
    // A later plain log-in goes through: had the first one been queued, it would come first.
    LoginInfo plain = Account("other@x.test", "plain");
    ASSERT_EQ(0, data->Login(&plain, false));
    ASSERT_TRUE(vendor.WaitForRequests(SRV_LOGON, 1, 10000));
    EXPECT_EQ("other@x.test", vendor.Requests(SRV_LOGON).front().account) << library;
  }
}

// ---- shares --------------------------------------------------------------------------------

TEST(UIDataShares, UpdateLoadsTheAgentsListFirstAndRefusesWhenItCannot) {
  TempDir dir;
  const std::string kept = dir / "kept", added = dir / "added";
  fs::create_directories(kept);
  fs::create_directories(added);
  AgentOptions options = AgentOptionsForTest();
  options.sql = {"INSERT INTO ks_share(path) VALUES('" + kept + "')"};
  AgentHarness agent(options);
  ASSERT_TRUE(agent.Start()) << agent.ReadLog();

  {
    UIDataRef data(CUIData::Create(LinkOptions(agent, dir.path())));
    ASSERT_TRUE(data.p);
    // No GetShare before: the folder the agent already shares must survive the update.
    ASSERT_EQ(0, data->UpdateShares({added}, {}));
    Listener listener;
    data->SetCallBack(&listener);
    ASSERT_EQ(0, data->GetShare());
    data->ClearCallBack();
    EXPECT_EQ((std::vector<std::string>{kept, added}), listener.shares());
    ASSERT_EQ(0, data->UpdateShares({}, {kept}));
  }
  EXPECT_EQ(added, agent.QueryText("SELECT group_concat(path, '|') FROM ks_share"));

  // The agent down: nothing can be loaded, so nothing is sent later either.
  UIDataOptions o = LinkOptions(agent, dir.path());
  o.agentPort = FreePort();
  UIDataRef down(CUIData::Create(o));
  EXPECT_EQ(-1, down->UpdateShares({kept}, {}));
}

// ---- a mobile client asks to log in ---------------------------------------------------------

// The log-in body's bytes 64..255: the client's name (64 bytes) and the network text.
ks::fake::ByteString LoginRest(const std::string& sender, const std::string& network) {
  ks::fake::ByteString rest(192, '\0');
  rest.replace(0, std::min<size_t>(sender.size(), 64), sender.substr(0, 64));
  rest.replace(64, std::min<size_t>(network.size(), 64), network.substr(0, 64));
  return rest;
}

TEST(UIDataConnectRequest, OwnersAnswerReachesTheMobileClient) {
  TempDir dir;
  FakeVendorServer vendor;
  AgentOptions options = AgentOptionsForTest();
  options.vendor_port = vendor.port();
  options.desktop_port = FreePort();
  options.confirm_s = 5;
  options.sql = {"INSERT INTO ks_user(email, psw) VALUES('owner@x.test', 'secret')"};
  AgentHarness agent(options);
  ASSERT_TRUE(agent.Start()) << agent.ReadLog();
  UIDataOptions o = LinkOptions(agent, dir.path());
  o.listen = true;
  o.listenPort = agent.desktop_port();
  UIDataRef data(CUIData::Create(o));
  ASSERT_TRUE(data.p);
  Listener listener;
  data->SetCallBack(&listener);

  // A full 64-byte name is cut to 63 bytes; the network text is read from its own field.
  const std::string longName(64, 'n');
  struct Case {
    const char* name;
    bool accept;
    uint16_t verdict;
  } cases[] = {{"accepted", true, 0}, {"refused", false, 1}};
  size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto phone = FakeMobileClient::ConnectTcp(agent.message_port(), "127.0.0.2");
    ASSERT_TRUE(phone);
    ks::fake::LoginResult result;
    std::thread client([&] { result = phone->Login("guest@x.test", "pw", LoginRest(longName, "home-wifi"), 5, 10000); });
    const bool asked = listener.WaitForRequests(++seen);
    if (asked) {
      const ks::desktop::ConnectRequestInfo request = listener.requests().back();
      EXPECT_EQ(std::string(63, 'n'), std::string(request.sender));
      EXPECT_STREQ("home-wifi", request.network);
      EXPECT_EQ(0u, request.age);
      ks::desktop::ConnectDlgResult answer{request.requestId, c.accept};
      data->AnswerConnectRequest(&answer);
    }
    client.join();
    ASSERT_TRUE(asked);
    EXPECT_TRUE(result.ok()) << result.Describe();
    EXPECT_EQ(c.verdict, result.verdict);
  }

  // Nobody to ask: the link refuses at once, long before the agent's own time-out.
  data->ClearCallBack();
  auto phone = FakeMobileClient::ConnectTcp(agent.message_port(), "127.0.0.2");
  ASSERT_TRUE(phone);
  ks::fake::LoginResult result = phone->Login("guest@x.test", "pw", LoginRest("n", "w"), 6, 10000);
  EXPECT_TRUE(result.ok()) << result.Describe();
  EXPECT_EQ(1, result.verdict);
  EXPECT_EQ(seen, listener.requests().size());
}

// ---- starting the program in the owner's session --------------------------------------------

// Accepts connections on 127.0.0.1 and keeps each whole message; answers nothing.
struct CaptureServer {
  int fd = -1;
  uint16_t port = 0;
  std::thread t;
  std::mutex m;
  std::vector<std::vector<uint8_t>> messages;
  CaptureServer() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(fd, 8);
    socklen_t l = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &l);
    port = ntohs(sa.sin_port);
    t = std::thread([this] {
      for (;;) {
        int c = ::accept(fd, nullptr, nullptr);
        if (c < 0) return;
        std::vector<uint8_t> in;
        uint8_t buf[4096];
        for (;;) {
          ssize_t n = ::recv(c, buf, sizeof buf, 0);
          if (n > 0) in.insert(in.end(), buf, buf + n);
          if (n <= 0 || (in.size() >= 2 && in.size() >= size_t(in[0] << 8 | in[1]))) break;
        }
        ::close(c);
        std::lock_guard<std::mutex> lock(m);
        messages.push_back(in);
      }
    });
  }
  ~CaptureServer() {
    ::shutdown(fd, SHUT_RDWR);
    t.join();
    ::close(fd);
  }
  std::vector<std::vector<uint8_t>> Messages() {
    std::lock_guard<std::mutex> lock(m);
    return messages;
  }
};

TEST(UIDataExec, AsksForTheProgramAsOneShellWordInTheOwnersSession) {
  TempDir dir;
  EnvGuard platform("KESTYL_PLATFORM_DIR", (dir / "platform").c_str());
  EnvGuard display("DISPLAY", ":7");
  const std::string programDir = dir / "it's a \"folder\" $HOME";
  CaptureServer agent;
  UIDataOptions o;
  o.agentPort = agent.port;
  o.listen = false;
  o.watchNetwork = false;
  o.programDir = programDir;
  UIDataRef data(CUIData::Create(o));
  ASSERT_EQ(0, data->ExecInSession());
  ASSERT_TRUE(Eventually([&] { return agent.Messages().size() == 2; }));  // the system type, then this
  const std::vector<uint8_t> m = agent.Messages()[1];
  ASSERT_GT(m.size(), 12u);
  EXPECT_EQ(0x5015, m[2] << 8 | m[3]);
  EXPECT_EQ(::getuid(), uint32_t(m[8]) << 24 | uint32_t(m[9]) << 16 | uint32_t(m[10]) << 8 | m[11]);
  const std::string command(reinterpret_cast<const char*>(m.data() + 12), ::strnlen(reinterpret_cast<const char*>(m.data() + 12), m.size() - 12));
  // What the launcher's shell makes of it: the one path, nothing expanded.
  FILE* p = ::popen(("printf '%s|' " + command).c_str(), "r");
  ASSERT_TRUE(p);
  char out[1024] = {};
  size_t n = std::fread(out, 1, sizeof out - 1, p);
  ::pclose(p);
  EXPECT_EQ(programDir + "/Kestyl|", std::string(out, n));
  // The launcher finds this session's display in the platform folder.
  EXPECT_NE(std::string::npos, ReadFile(dir / ("platform/sessions/" + std::to_string(::getuid()) + ".env")).find("DISPLAY=:7"));
}

// ---- moving the data folder ----------------------------------------------------------------

// Every file below `root` with its content, by path relative to root.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  if (!fs::exists(root, ec)) return out;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) out[fs::relative(e.path(), root).string()] = ReadFile(e.path().string());
  return out;
}

void FillData(const fs::path& root) {
  fs::create_directories(root / "Pictures/Instant");
  WriteFile((root / "a.txt").string(), "alpha");
  WriteFile((root / "Pictures/Instant/b.jpg").string(), std::string(300, 'b'));
}

// Temporary folders lie under /tmp, which the default system trees refuse.
constexpr const char* kTestSystemTrees = "/usr:/etc";

TEST(DataFolderMove, NeverLosesAFile) {
  EnvGuard trees("KESTYL_SYSTEM_TREES", kTestSystemTrees);
  const std::map<std::string, std::string> data = {{"Pictures/Instant/b.jpg", std::string(300, 'b')},
                                                   {"a.txt", "alpha"}};
  struct Case {
    const char* name;
    std::string target;  // relative to the temp folder, or absolute
    std::function<int(const std::string&)> observer;
    int want;
    bool copied;
    const char* landsIn;  // where the data is afterwards besides the old folder ("" none)
  } cases[] = {
      {"the same folder", "old/Kestyl", nullptr, 1, false, ""},
      {"the same folder with a trailing slash", "old/Kestyl/", nullptr, 1, false, ""},
      {"a folder inside it", "old/Kestyl/sub/Kestyl", nullptr, 1, false, ""},
      {"its parent", "old", nullptr, -1, false, ""},
      {"a system tree", "/usr/x/Kestyl", nullptr, -1, false, ""},
      {"relative", "relative/Kestyl", nullptr, -1, false, ""},
      {"a new place", "new/Kestyl", nullptr, 0, true, "new/Kestyl"},
      {"a folder not named Kestyl", "new/Data", nullptr, 0, true, "new/Data"},
      {"the copy fails half-way", "new/Kestyl",
       [](const std::string& t) { return t.find("b.jpg") != std::string::npos ? -1 : 0; }, -1, false, ""},
      {"the owner cancels", "new/Kestyl",
       [](const std::string& t) { return t.find("Instant") != std::string::npos ? 1223 : 0; }, 1223, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path old = dir / "old/Kestyl";
    FillData(old);
    std::string target = c.target;
    if (c.name == std::string("relative")) target = "relative/Kestyl";
    else if (target[0] != '/') target = dir / target;
    bool copied = true;
    EXPECT_EQ(c.want, ks::desktop::PrepareDataFolderMove(old.string(), target, c.observer, &copied));
    EXPECT_EQ(c.copied, copied);
    EXPECT_EQ(data, Tree(old));  // the old folder is only ever removed after the agent took the new one
    if (*c.landsIn) {
      EXPECT_EQ(data, Tree(dir / c.landsIn));
    } else if (c.want != 1) {
      EXPECT_FALSE(fs::exists(dir / "new")) << "a refused or failed move leaves nothing behind";
    }
  }
}

TEST(DataFolderMove, FilesAlreadyInTheNewPlaceAreNeverOverwritten) {
  EnvGuard trees("KESTYL_SYSTEM_TREES", kTestSystemTrees);
  TempDir dir;
  FillData(dir / "old/Kestyl");
  fs::create_directories(dir / "new/Kestyl");
  WriteFile(dir / "new/Kestyl/a.txt", "theirs");
  WriteFile(dir / "new/Kestyl/z.txt", "untouched");
  bool copied = true;
  EXPECT_EQ(-1, ks::desktop::PrepareDataFolderMove(dir / "old/Kestyl", dir / "new/Kestyl", nullptr, &copied));
  EXPECT_FALSE(copied);
  EXPECT_EQ((std::map<std::string, std::string>{{"a.txt", "theirs"}, {"z.txt", "untouched"}}),
            Tree(dir / "new/Kestyl"));
  EXPECT_EQ(2u, Tree(dir / "old/Kestyl").size());
}

class UIDataDataFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    // The command program of the build, behind a stand-in that records each start.
    fs::create_directories(tmp_ / "program");
    WriteFile(tmp_ / "program/Kestyl_Cmd", "#!/bin/sh\necho \"$@\" >> '" + CmdRecord() +
                                                "'\nexec '" KS_BIN_DIR "/Kestyl_Cmd' \"$@\"\n");
    fs::permissions(tmp_ / "program/Kestyl_Cmd", fs::perms::owner_all);
    ASSERT_TRUE(agent_.Start()) << agent_.ReadLog();
    UIDataOptions o = LinkOptions(agent_, tmp_ / "program");
    data_ = CUIData::Create(o);
    ASSERT_TRUE(data_);
  }
  void TearDown() override {
    if (data_) data_->Release();
  }
  std::string AgentRoot() {
    std::string root;
    data_->GetDefShare(&root, false);
    return root;
  }
  std::string CmdRecord() const { return tmp_ / "cmd_starts.log"; }
  size_t CmdStarts() const {
    if (!fs::exists(CmdRecord())) return 0;
    const std::string log = ReadFile(CmdRecord());
    return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
  }
  std::string RegisteredTarget() {
    std::string target;
    ks::platform::RegGetString(ks::platform::HKEY_LOCAL_MACHINE, kFolderBag, "Target", target);
    return target;
  }

  TempDir tmp_;
  EnvGuard platform_{"KESTYL_PLATFORM_DIR", (tmp_ / "platform").c_str()};
  EnvGuard trash_{"XDG_DATA_HOME", (tmp_ / "share").c_str()};
  EnvGuard runas_{"KESTYL_RUNAS", nullptr};
  EnvGuard trees_{"KESTYL_SYSTEM_TREES", kTestSystemTrees};
  EnvGuard tools_{"KESTYL_SYSTEM_DIR", KS_BIN_DIR "/system"};
  AgentHarness agent_{AgentOptionsForTest()};
  IUIData* data_ = nullptr;
};

TEST_F(UIDataDataFolder, MoveCopiesFirstThenTellsTheAgentThenTrashesTheOldFolder) {
  const std::string old = tmp_ / "old/Kestyl", moved = tmp_ / "new/Kestyl";
  ASSERT_EQ(0, data_->SetDefShare(old));  // the first data folder: nothing to move
  ASSERT_EQ(old, AgentRoot());
  EXPECT_TRUE(fs::is_directory(old));
  WriteFile(old + "/a.txt", "alpha");
  const auto before = Tree(old);

  // The owner cancels half-way: the agent keeps the old folder and nothing is left behind.
  UIDataOptions o = LinkOptions(agent_, tmp_ / "program");
  o.copyObserver = [](const std::string&) { return 1223; };
  {
    UIDataRef cancelling(CUIData::Create(o));
    cancelling->GetDefShare(nullptr, false);
    EXPECT_EQ(1223, cancelling->SetDefShare(moved));
  }
  EXPECT_EQ(old, AgentRoot());
  EXPECT_FALSE(fs::exists(tmp_ / "new"));

  EXPECT_EQ(0, data_->SetDefShare(moved));
  EXPECT_EQ(moved, AgentRoot());
  EXPECT_FALSE(fs::exists(old));
  auto after = Tree(moved);
  for (auto& [name, content] : before) EXPECT_EQ(content, after[name]) << name;
  // The old folder went to the owner's trash, with its record.
  EXPECT_EQ("alpha", ReadFile(tmp_ / "share/Trash/files/Kestyl/a.txt"));
  EXPECT_NE(std::string::npos, ReadFile(tmp_ / "share/Trash/info/Kestyl.trashinfo").find("Path=" + old + "\n"));

  // Again to the folder in use, and to one inside it: nothing moves, nothing is lost.
  EXPECT_EQ(1, data_->SetDefShare(moved));
  EXPECT_EQ(1, data_->SetDefShare(moved + "/Kestyl"));
  EXPECT_EQ(moved, AgentRoot());
  EXPECT_EQ(after, Tree(moved));
}

TEST_F(UIDataDataFolder, SetupRegistersTheFolderAndWritesItsHiddenDesktopIni) {
  const std::string root = tmp_ / "data/Kestyl";
  ASSERT_EQ(0, data_->SetDefShare(root));
  // Setting the data folder already dressed it and registered it once.
  EXPECT_EQ(root, RegisteredTarget());
  const std::string ini = root + "/desktop.ini";
  const std::string text = ReadFile(ini);
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ("\xFF\xFE", text.substr(0, 2));
  const uint32_t bits = ks::platform::GetFileAttributes(ini);
  EXPECT_TRUE(bits & ks::platform::FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(bits & ks::platform::FILE_ATTRIBUTE_SYSTEM);

  // Registered for another folder: the local set-up registers this one; registered for
  // this folder: it runs no command program; SetupDataFolder registers in any case.
  ks::platform::RegSetString(ks::platform::HKEY_LOCAL_MACHINE, kFolderBag, "Target", "/elsewhere");
  std::string got;
  data_->GetDefShare(&got, true);
  EXPECT_EQ(root, got);
  EXPECT_EQ(root, RegisteredTarget());
  const size_t starts = CmdStarts();
  data_->GetDefShare(&got, true);
  EXPECT_EQ(starts, CmdStarts());
  EXPECT_EQ(0, data_->SetupDataFolder());
  EXPECT_EQ(starts + 1, CmdStarts());
  EXPECT_EQ(root, RegisteredTarget());
}

}  // namespace
