// The link to the agent through the probe program, as the outside checks run it: the probe
// in an installation tree of its own (<tmp>/bin with crypt.dll and Kestyl_Cmd beside it),
// run as a separate process against the real agent (AgentHarness) with the fake vendor
// server and fake mobile clients. Every wait is bounded; the time figures are printed and
// kept as test properties, and only bounds far above them are enforced.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/net/proto/proto.h"
#include "tests/desktop/foundation/probe_run.h"
#include "tests/fakes/agent_harness.h"
#include "tests/fakes/fake_mobile_client.h"
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/net_io.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using ks::fake::AgentHarness;
using ks::fake::AgentOptions;
using ks::fake::FakeMobileClient;
using ks::fake::FakeVendorServer;
using ks::test::EnvList;
using ks::test::ProbeInstall;
using ks::test::ProbeResult;
using ks::test::ReadFile;
using ks::test::WriteFile;

constexpr const char* kOwner = "owner@x.test";
constexpr const char* kOwnerPassword = "secret";
constexpr const char* kFolderKey =
    "HKLM\\SOFTWARE\\Classes\\CLSID\\{74362C5A-C943-4FBE-8500-8F82AD459BB7}\\Instance\\InitPropertyBag";

template <typename Pred>
bool Eventually(Pred pred) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// True when something listens on 127.0.0.1:port (read from the kernel's table, so that
// looking does not make a connection the listener would have to read).
bool Listening(uint16_t port) {
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::ifstream table("/proc/net/tcp");
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string slot, address, remote, state;
    fields >> slot >> address >> remote >> state;
    if (address == local && state == "0A") return true;
  }
  return false;
}

// True when the process's main thread waits in sigtimedwait: the probe's "answer" gets there
// once its listener answers every ask (before that, an ask would be refused for want of it).
bool WaitsForSignals(pid_t pid) {
  std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  return static_cast<bool>(syscall >> number) && number == SYS_rt_sigtimedwait;
}

// A TCP connection from `from` to `to`:port; -1 when refused.
int ConnectFrom(const char* from, const char* to, uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &local.sin_addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  ::inet_pton(AF_INET, to, &peer.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

// Accepts on 127.0.0.1 and never answers.
struct SilentListener {
  uint16_t port = 0;  // before fd: ListenTcp fills it in
  ks::fake::UniqueFd fd;
  SilentListener() : fd(ks::fake::ListenTcp("127.0.0.1", &port)) {}
};

// The log-in body's bytes 64..255: the client's name (64 bytes) and the network text.
ks::fake::ByteString LoginRest(const std::string& sender, const std::string& network) {
  ks::fake::ByteString rest(192, '\0');
  rest.replace(0, sender.size(), sender);
  rest.replace(64, network.size(), network);
  return rest;
}

// Every file below `root` with its content, by path relative to root.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  if (!fs::exists(root, ec)) return out;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) out[fs::relative(e.path(), root).string()] = ReadFile(e.path().string());
  return out;
}

void Figure(const char* name, double seconds) {
  ::testing::Test::RecordProperty(name, std::to_string(seconds));
  std::printf("%s: %.3f s\n", name, seconds);
}

class LinkProbe : public ::testing::Test {
 protected:
  LinkProbe() {
    for (const char* program : {"crypt.dll", "Kestyl_Cmd"})
      fs::copy_file(std::string(KS_BIN_DIR) + "/" + program, install_.bin() + "/" + program);
    options_.binary = KS_AGENT_BINARY;
    options_.schema_file = KS_SCHEMA_FILE;
    options_.vendor_port = vendor_.port();
    options_.desktop_port = ks::fake::FreeTcpPort();
    // Far longer than any answer the tests wait for: a refusal that comes in time is the
    // owner's, never the agent's time-out.
    options_.confirm_s = 30;
    options_.sql = {std::string("INSERT INTO ks_user(email, psw) VALUES('") + kOwner + "', '" + kOwnerPassword + "')"};
  }

  void StartAgent() {
    agent_ = std::make_unique<AgentHarness>(options_);
    ASSERT_TRUE(agent_->Start()) << agent_->ReadLog();
  }
  std::string Platform() const { return agent_->root() + "/platform"; }
  std::string Tmp(const std::string& name) const { return install_.root() + "/" + name; }

  // The probe's environment: the agent's ports and platform folder, the built system
  // tools, temporary folders allowed as data folders, a trash of its own.
  EnvList Env() const {
    return {{"KESTYL_LOOPBACK", "1"},
            {"KESTYL_AGENT_PORT", std::to_string(agentPort_ ? agentPort_ : agent_->message_port())},
            {"KESTYL_DESKTOP_PORT", std::to_string(agent_->desktop_port())},
            {"KESTYL_PLATFORM_DIR", Platform()},
            {"KESTYL_SYSTEM_DIR", KS_BIN_DIR "/system"},
            {"KESTYL_SYSTEM_TREES", "/usr:/etc"},
            {"XDG_DATA_HOME", Tmp("share")},
            {"DISPLAY", ":7"}};
  }
  ProbeResult Link(const std::vector<std::string>& args, int uid = -1) const {
    std::vector<std::string> all = {"link"};
    all.insert(all.end(), args.begin(), args.end());
    return install_.Run(all, Env(), uid);
  }
  std::unique_ptr<ks::test::BackgroundProgram> StartLink(const std::vector<std::string>& args) const {
    std::vector<std::string> all = {"link"};
    all.insert(all.end(), args.begin(), args.end());
    return install_.Start(all, Env());
  }
  ProbeResult Reg(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {KS_BIN_DIR "/system/reg"};
    argv.insert(argv.end(), args.begin(), args.end());
    return ks::test::RunProgram(argv, Env());
  }

  ProbeInstall install_;
  FakeVendorServer vendor_;
  AgentOptions options_;
  std::unique_ptr<AgentHarness> agent_;
  uint16_t agentPort_ = 0;  // another agent port than the harness's (0: the harness's)
};

TEST_F(LinkProbe, LogInWithTheSaltedHashThenSharesRoundTrip) {
  StartAgent();
  vendor_.ClearRecords();
  const ProbeResult login = Link({"login", kOwner, "secret12", "hash"});
  EXPECT_EQ(login.exitCode, 0);
  EXPECT_EQ(login.out, "iCYO4fCqcJRfKzs1FZsK6.\ntrue\n");
  ASSERT_TRUE(vendor_.WaitForRequests(SRV_LOGON, 1, 30000));
  EXPECT_EQ(vendor_.Requests(SRV_LOGON).back().account, kOwner);
  EXPECT_EQ(vendor_.Requests(SRV_LOGON).back().password, "iCYO4fCqcJRfKzs1FZsK6.");
  EXPECT_TRUE(Eventually([&] { return Link({"status"}).out == "1\n"; })) << Link({"status"}).out;
  const ProbeResult info = Link({"info"});
  EXPECT_EQ(info.out, std::string(kOwner) + "\niCYO4fCqcJRfKzs1FZsK6.\n1\n");

  // Two folders added one probe run after the other: the second run loads the agent's list
  // before it sends its own, so the first folder stays.
  const std::string a = Tmp("share a"), b = Tmp("b/" + std::string(100, 'x') + "/" + std::string(100, 'y') + "/" + std::string(100, 'z'));
  fs::create_directories(a);
  fs::create_directories(b);
  for (const std::string& folder : {a, b}) {
    const ProbeResult added = Link({"add-share", folder});
    EXPECT_EQ(added.exitCode, 0) << folder;
    EXPECT_EQ(added.out, "0\n") << folder;
  }
  EXPECT_EQ(Link({"shares"}).out, a + "\n" + b + "\n");
  EXPECT_EQ(agent_->QueryText("SELECT group_concat(path, '|') FROM ks_share"), a + "|" + b);
  EXPECT_EQ(Link({"remove-share", a}).out, "0\n");
  EXPECT_EQ(Link({"shares"}).out, b + "\n");
}

TEST_F(LinkProbe, OwnersAnswerReachesTheMobileClientAndOnlyThisPcReachesTheListener) {
  StartAgent();
  const uint16_t listenPort = agent_->desktop_port();
  struct Case {
    const char* verdict;
    uint16_t expected;
  } cases[] = {{"accept", 0}, {"refuse", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.verdict);
    auto answering = StartLink({"answer", "3600", c.verdict});
    ASSERT_TRUE(Eventually([&] { return Listening(listenPort) && WaitsForSignals(answering->pid()); }))
        << "the probe never got ready to answer (listening: " << Listening(listenPort) << ")";

    // Another loopback address is not served, and a connection from one is closed unread.
    EXPECT_EQ(ConnectFrom("127.0.0.2", "127.0.0.2", listenPort), -1);
    const int stranger = ConnectFrom("127.0.0.2", "127.0.0.1", listenPort);
    ASSERT_GE(stranger, 0);
    const std::string ask(64, 'q');
    ::send(stranger, ask.data(), ask.size(), MSG_NOSIGNAL);
    char byte;
    const ssize_t got = ::recv(stranger, &byte, 1, 0);
    EXPECT_TRUE(got == 0 || (got < 0 && errno == ECONNRESET)) << "read " << got << ", errno " << errno;
    ::close(stranger);

    // A mobile client with another account than the owner's: the owner is asked.
    auto phone = FakeMobileClient::ConnectTcp(agent_->message_port(), "127.0.0.2");
    ASSERT_TRUE(phone);
    const auto start = Clock::now();
    const ks::fake::LoginResult result =
        phone->Login("guest@x.test", "pw", LoginRest("guest-phone", "home-wifi"), 5, 60000);
    const double answered = SecondsSince(start);
    Figure(c.expected == 0 ? "mobile_admitted_seconds" : "mobile_refused_seconds", answered);
    EXPECT_TRUE(result.ok()) << result.Describe();
    EXPECT_EQ(result.verdict, c.expected);
    EXPECT_LT(answered, 20.0) << "the agent's time-out answered, not the owner";

    const ProbeResult r = answering->Finish(SIGTERM, 30000);
    EXPECT_FALSE(r.killed);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "request guest-phone home-wifi\n");
  }
}

TEST_F(LinkProbe, AutoTidingIsSetWithoutWaitingAndReadsBack) {
  StartAgent();
  for (const char* on : {"1", "0", "1"}) {
    SCOPED_TRACE(on);
    const auto start = Clock::now();
    const ProbeResult set = Link({"autotiding", on});
    const double seconds = SecondsSince(start);
    Figure("autotiding_set_seconds", seconds);
    EXPECT_EQ(set.exitCode, 0);
    EXPECT_EQ(set.out, "0\n");
    // The agent never answers this request: a link that waited for an answer would take
    // its whole time-out and report failure.
    EXPECT_LT(seconds, 10.0);
    EXPECT_TRUE(Eventually([&] { return Link({"autotiding"}).out == std::string(on) + "\n"; }))
        << Link({"autotiding"}).out;
  }
}

TEST_F(LinkProbe, StatusWithoutAWorkingAgent) {
  StartAgent();
  SilentListener silent;
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string out;
    double atLeast;
  } cases[] = {
      {"agent stopped", [&] { agent_->Stop(); }, "-2\n", 0},
      {"agent that accepts and stays silent", [&] { agentPort_ = silent.port; }, "10060\n", 0.9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    const auto start = Clock::now();
    const ProbeResult r = Link({"status"});
    const double seconds = SecondsSince(start);
    Figure(c.atLeast > 0 ? "status_silent_agent_seconds" : "status_agent_stopped_seconds", seconds);
    EXPECT_EQ(r.out, c.out);
    EXPECT_GE(seconds, c.atLeast);
    EXPECT_LT(seconds, 20.0);
  }
}

TEST_F(LinkProbe, DataFolderMovesWholeOrNotAtAll) {
  StartAgent();
  const std::string old = Tmp("old/Kestyl"), moved = Tmp("new/Kestyl");
  ASSERT_EQ(Link({"set-defshare", Tmp("old")}).out, "0\n");
  ASSERT_EQ(Link({"defshare"}).out, old + "\n");
  fs::create_directories(old + "/Pictures/Instant");
  WriteFile(old + "/a.txt", "alpha");
  WriteFile(old + "/Pictures/Instant/b.jpg", std::string(300000, 'b'));
  const auto before = Tree(old);

  // A copy that cannot complete (a file of that name is already there): nothing is
  // overwritten, nothing leaves the old folder, the agent keeps it.
  fs::create_directories(Tmp("busy/Kestyl"));
  WriteFile(Tmp("busy/Kestyl/a.txt"), "theirs");
  const ProbeResult failed = Link({"set-defshare", Tmp("busy")});
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.out, "-1\n");
  EXPECT_EQ(Tree(old), before);
  EXPECT_EQ(Tree(Tmp("busy/Kestyl")), (std::map<std::string, std::string>{{"a.txt", "theirs"}}));
  EXPECT_EQ(Link({"defshare"}).out, old + "\n");

  const ProbeResult r = Link({"set-defshare", Tmp("new")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "0\n");
  EXPECT_EQ(Link({"defshare"}).out, moved + "\n");
  EXPECT_EQ(agent_->QueryText("SELECT def FROM ks_defshare"), moved);
  const auto after = Tree(moved);
  for (const auto& [name, content] : before) {
    auto it = after.find(name);
    ASSERT_NE(it, after.end()) << name << " was not moved";
    if (name != "desktop.ini") {
      EXPECT_EQ(it->second, content) << name;
    }
  }
  // The old folder went to the owner's trash, whole.
  EXPECT_FALSE(fs::exists(old));
  EXPECT_EQ(ReadFile(Tmp("share/Trash/files/Kestyl/a.txt")), "alpha");
  EXPECT_EQ(Tree(Tmp("share/Trash/files/Kestyl")).size(), before.size());

  // The folder in use once more: nothing moves, nothing is lost.
  const ProbeResult again = Link({"set-defshare", Tmp("new")});
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_EQ(again.out, "1\n");
  EXPECT_EQ(Tree(moved), after);
  EXPECT_EQ(Link({"defshare"}).out, moved + "\n");
}

TEST_F(LinkProbe, SetupRegistersTheDataFolderAndItsDesktopIniStaysHiddenFromMobileClients) {
  StartAgent();
  const std::string root = Tmp("data/Kestyl");
  ASSERT_EQ(Link({"set-defshare", Tmp("data")}).out, "0\n");
  WriteFile(root + "/a.txt", "alpha");
  // Undo what setting the folder already did, so that only the set-up can bring it back.
  fs::remove(root + "/desktop.ini");
  ASSERT_EQ(Reg({"add", kFolderKey, "/v", "Target", "/d", "/elsewhere", "/f"}).exitCode, 0);

  const ProbeResult r = Link({"setup-folder"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "0\n");
  const ProbeResult query = Reg({"query", kFolderKey, "/v", "Target"});
  EXPECT_EQ(query.exitCode, 0);
  EXPECT_NE(query.out.find("    Target    REG_SZ    " + root + "\n"), std::string::npos) << query.out;
  ASSERT_TRUE(fs::exists(root + "/desktop.ini"));

  // The owner's phone lists the data folder: everything but desktop.ini.
  auto phone = FakeMobileClient::ConnectTcp(agent_->message_port(), "127.0.0.2");
  ASSERT_TRUE(phone);
  const ks::fake::LoginResult login = phone->Login(kOwner, kOwnerPassword, {}, 1, 30000);
  ASSERT_TRUE(login.ok()) << login.Describe();
  ASSERT_EQ(login.verdict, 0);
  for (const std::string& path : {std::string("$DEFAULT$"), root}) {
    SCOPED_TRACE(path);
    const ks::fake::ListingResult listing = phone->Listing(path);
    ASSERT_TRUE(listing.ok()) << listing.Describe();
    std::vector<std::string> names;
    for (const auto& e : listing.entries) names.push_back(e.name);
    EXPECT_NE(std::find(names.begin(), names.end(), "a.txt"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "desktop.ini"), names.end());
  }
}

// The agent starts <program folder>/Kestyl in the session of the user who asked. Root has
// no session of its own, so as root the probe asks as the user "nobody".
TEST_F(LinkProbe, ExecStartsTheProgramElevatedInTheOwnersSession) {
  int uid = -1;
  if (::geteuid() == 0) {
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr || nobody->pw_uid == 0) {
      GTEST_SKIP() << "no user other than root to ask as";
    }
    uid = static_cast<int>(nobody->pw_uid);
  }
  const uid_t asker = uid >= 0 ? static_cast<uid_t>(uid) : ::getuid();
  StartAgent();
  // The asker reaches its program and the sessions folder; the stub writes into a folder
  // anybody may write to.
  for (const std::string& folder : {install_.root(), install_.bin(), agent_->root(), Platform()})
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  fs::create_directories(Platform() + "/sessions");
  ::chmod((Platform() + "/sessions").c_str(), 01777);
  const std::string record = Tmp("record");
  fs::create_directories(record);
  ::chmod(record.c_str(), 0777);
  WriteFile(install_.bin() + "/Kestyl", "#!/bin/sh\n{ echo \"uid=$(id -u)\"; env; } > '" + record +
                                            "/started.tmp' && mv '" + record + "/started.tmp' '" + record +
                                            "/started'\n");
  ::chmod((install_.bin() + "/Kestyl").c_str(), 0755);

  const ProbeResult r = Link({"exec"}, uid);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "0\n");
  ASSERT_TRUE(Eventually([&] { return fs::exists(record + "/started"); })) << agent_->ReadLog();
  const std::string started = ReadFile(record + "/started");
  EXPECT_NE(started.find("uid=" + std::to_string(asker) + "\n"), std::string::npos) << started;
  EXPECT_NE(started.find("\nKESTYL_ELEVATED=1\n"), std::string::npos) << started;
  EXPECT_NE(started.find("\nKESTYL_PLATFORM_DIR=" + Platform() + "\n"), std::string::npos) << started;
  EXPECT_NE(started.find("\nDISPLAY=:7\n"), std::string::npos) << started;
}

}  // namespace
