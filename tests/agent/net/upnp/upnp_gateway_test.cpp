// The UPnP wrapper against a real gateway: miniupnpd runs in a network namespace made for
// the test, joined by a veth pair to a second namespace where the agent side runs (a
// forked child that enters it with setns). Neither namespace has a route out; the host's
// own interfaces are never touched. Both namespaces and every process are removed at the
// end, also when an assertion fails.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <thread>

#include "agent/net/upnp/upnp.h"
#include "tests/fakes/test_support.h"

namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kGatewayLan[] = "192.168.1.1";
constexpr char kClientLan[] = "192.168.1.100";
constexpr char kBroadcastClient[] = "192.168.1.255";
// miniupnpd refuses private or reserved external addresses; this one is only a text it
// reports, nothing is ever sent to it (the namespaces have no route out).
constexpr char kExternalIp[] = "11.22.33.44";

std::string FindProgram(const std::string& name) {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::stringstream dirs(path);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (dir.empty()) continue;
    std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// Runs a shell command; its exit status, with stdout and stderr in `output`.
int Shell(const std::string& command, std::string* output = nullptr) {
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[512];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
  int status = ::pclose(p);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits for a child up to `timeout`, then kills it. Its wait status.
int Reap(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (true) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return status;
}

// Namespaces of this test left behind by a run that was killed: its process is gone and
// nothing runs inside any more.
void RemoveStaleLabs() {
  DIR* d = ::opendir("/var/run/netns");
  if (!d) return;
  std::vector<std::string> stale;
  while (const dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    for (const char* prefix : {"ks-gw-", "ks-cl-"}) {
      if (name.rfind(prefix, 0) != 0) continue;
      std::string pid = name.substr(std::strlen(prefix));
      if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
      if (::access(("/proc/" + pid).c_str(), F_OK) == 0) continue;
      stale.push_back(name);
    }
  }
  ::closedir(d);
  for (const std::string& ns : stale) {
    std::string pids;
    if (Shell("ip netns pids " + ns, &pids) == 0 && pids.empty()) Shell("ip netns del " + ns);
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Two namespaces joined by a veth pair: ks-gw-<pid> (192.168.1.1, plus a WAN-side veth pair
// of its own) and ks-cl-<pid> (192.168.1.100). Only multicast has a route besides the LAN.
class GatewayLab : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create network namespaces";
    for (const char* tool : {"ip", "nft", "miniupnpd"}) {
      if (FindProgram(tool).empty())
        GTEST_SKIP() << tool << " is not installed (scripts/install-deps installs iproute2, "
                        "nftables and miniupnpd-nftables)";
    }
    // Discovery asks a MiniSSDPd through a file-system socket first, across namespaces.
    if (::access("/var/run/minissdpd.sock", F_OK) == 0)
      GTEST_SKIP() << "a MiniSSDPd runs on this machine and would answer discovery from "
                      "outside the test's namespaces";
    RemoveStaleLabs();
    gw_ = "ks-gw-" + std::to_string(::getpid());
    cl_ = "ks-cl-" + std::to_string(::getpid());
    std::string out;
    if (Shell("ip netns add " + gw_, &out) != 0)
      GTEST_SKIP() << "cannot create network namespaces here (ip netns add): " << out;
    created_.push_back(gw_);
    if (Shell("ip netns add " + cl_, &out) != 0)
      GTEST_SKIP() << "cannot create network namespaces here (ip netns add): " << out;
    created_.push_back(cl_);

    const std::string g = "ip -n " + gw_ + " ", c = "ip -n " + cl_ + " ";
    const std::string steps[] = {
        g + "link set lo up",
        c + "link set lo up",
        g + "link add lan0 type veth peer name lan0 netns " + cl_,
        g + "link add wan0 type veth peer name wan1",
        g + "addr add " + kGatewayLan + "/24 dev lan0",
        c + "addr add " + kClientLan + "/24 dev lan0",
        g + "addr add 10.99.0.1/24 dev wan0",
        g + "link set lan0 up",
        g + "link set wan0 up",
        g + "link set wan1 up",
        c + "link set lan0 up",
        // SSDP discovery is multicast; with no default route it needs a route of its own.
        g + "route add 224.0.0.0/4 dev lan0",
        c + "route add 224.0.0.0/4 dev lan0",
    };
    for (const std::string& step : steps)
      ASSERT_EQ(Shell(step, &out), 0) << step << ": " << out;
  }

  void TearDown() override {
    if (daemon_ > 0) {
      ::kill(daemon_, SIGTERM);
      Reap(daemon_, std::chrono::seconds(3));
      daemon_ = -1;
    }
    for (const std::string& ns : created_) Shell("ip netns del " + ns);
  }

  // Starts miniupnpd as the gateway; returns once it serves HTTP.
  void StartGateway() {
    const std::string rules = dir_ / "rules.nft";
    ks::test::WriteFile(rules,
                        "table inet ksupnp {\n"
                        "  chain forward { type filter hook forward priority 0; policy drop;"
                        " jump miniupnpd; }\n"
                        "  chain miniupnpd { }\n"
                        "  chain prerouting { type nat hook prerouting priority -100;"
                        " policy accept; jump prerouting_miniupnpd; }\n"
                        "  chain postrouting { type nat hook postrouting priority 100;"
                        " policy accept; jump postrouting_miniupnpd; }\n"
                        "  chain prerouting_miniupnpd { }\n"
                        "  chain postrouting_miniupnpd { }\n"
                        "}\n");
    std::string out;
    if (Shell("ip netns exec " + gw_ + " nft -f " + rules, &out) != 0)
      GTEST_SKIP() << "nftables does not work in a network namespace here: " << out;

    const std::string conf = dir_ / "miniupnpd.conf";
    ks::test::WriteFile(conf, std::string("ext_ifname=wan0\n") + "ext_ip=" + kExternalIp +
                                  "\n"
                                  "listening_ip=lan0\n"
                                  "port=0\n"
                                  "enable_natpmp=no\n"
                                  "enable_upnp=yes\n"
                                  "secure_mode=no\n"
                                  "upnp_table_name=ksupnp\n"
                                  "upnp_nat_table_name=ksupnp\n"
                                  "upnp_forward_chain=miniupnpd\n"
                                  "upnp_nat_chain=prerouting_miniupnpd\n"
                                  "upnp_nat_postrouting_chain=postrouting_miniupnpd\n"
                                  "uuid=6f1c2a3e-5b4d-4c7e-9a10-2b3c4d5e6f70\n"
                                  "allow 1024-65535 192.168.1.0/24 1-65535\n"
                                  "deny 0-65535 0.0.0.0/0 0-65535\n");
    log_ = dir_ / "miniupnpd.log";
    const std::string exe = FindProgram("miniupnpd");
    const std::string pidFile = dir_ / "miniupnpd.pid";
    daemon_ = Spawn(gw_, [&] {
      int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd < 0) return;
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
      ::execl(exe.c_str(), "miniupnpd", "-f", conf.c_str(), "-d", "-4", "-P", pidFile.c_str(),
              static_cast<char*>(nullptr));
    });
    ASSERT_GT(daemon_, 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ks::test::ReadFile(log_).find("HTTP listening on port") == std::string::npos) {
      int status = 0;
      if (::waitpid(daemon_, &status, WNOHANG) == daemon_) {
        daemon_ = -1;
        FAIL() << "miniupnpd exited: " << ks::test::ReadFile(log_);
      }
      ASSERT_LT(std::chrono::steady_clock::now(), deadline)
          << "miniupnpd did not start: " << ks::test::ReadFile(log_);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // Forks a child that enters namespace `ns` and runs `body`; the child dies with the test.
  pid_t Spawn(const std::string& ns, const std::function<void()>& body) {
    std::fflush(nullptr);
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(120);
    int fd = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) ::_exit(121);
    ::close(fd);
    body();
    ::_exit(122);
  }

  struct AgentRun {
    int status = -1;
    std::string console;  // what the code under test printed
    std::vector<std::string> results;
  };

  // Runs `body` as the agent inside the client namespace. `body` writes result lines to
  // the file it is given; its stdout is captured.
  AgentRun RunAgent(const std::function<void(FILE*)>& body) {
    const std::string console = dir_ / "console.txt";
    const std::string results = dir_ / "results.txt";
    pid_t pid = Spawn(cl_, [&] {
      int fd = ::open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      FILE* out = std::fopen(results.c_str(), "w");
      if (fd < 0 || !out) ::_exit(123);
      ::dup2(fd, STDOUT_FILENO);
      body(out);
      std::fclose(out);
      std::fflush(stdout);
      ::_exit(0);
    });
    AgentRun run;
    if (pid < 0) return run;
    run.status = Reap(pid, std::chrono::seconds(60));
    run.console = ks::test::ReadFile(console);
    run.results = Lines(ks::test::ReadFile(results));
    return run;
  }

  std::string gw_, cl_;
  std::vector<std::string> created_;
  ks::test::TempDir dir_;
  std::string log_;
  pid_t daemon_ = -1;
};

// The router's own view of one mapping, as a result line.
void WriteEntry(FILE* out, const UPNPUrls& urls, const IGDdatas& data, const char* tag,
                const char* port, const char* proto) {
  char client[40] = {}, inPort[6] = {}, desc[80] = {}, enabled[4] = {}, duration[16] = {};
  int r = UPNP_GetSpecificPortMappingEntry(urls.controlURL, data.first.servicetype, port, proto,
                                           nullptr, client, inPort, desc, enabled, duration);
  if (r == UPNPCOMMAND_SUCCESS)
    std::fprintf(out, "%s %s %s -> %s:%s \"%s\"\n", tag, port, proto, client, inPort, desc);
  else
    std::fprintf(out, "%s %s %s none\n", tag, port, proto);
}

TEST_F(GatewayLab, MapsDeletesAndReadsBackThroughARealGateway) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  if (IsSkipped()) return;

  AgentRun run = RunAgent([](FILE* out) {
    // Loopback mode must not even look for the gateway that is right there.
    ::setenv("KESTYL_LOOPBACK", "1", 1);
    uint16_t port = 0;
    int rc = ks::net::MapUpnpPort(15001, port, true);
    std::fprintf(out, "loopback %d %u\n", rc, port);
    ::unsetenv("KESTYL_LOOPBACK");

    int error = 0;
    UPNPDev* devices = upnpDiscover(1000, nullptr, nullptr, 0, 0, 2, &error);
    UPNPUrls urls{};
    IGDdatas data{};
    char lan[64] = {};
    int igd = devices ? UPNP_GetValidIGD(devices, &urls, &data, lan, sizeof lan) : 0;
    std::fprintf(out, "igd %d %s\n", igd, lan);
    if (igd <= 0) return;
    // A mapping already on the external port the agent will use.
    int r = UPNP_AddPortMapping(urls.controlURL, data.first.servicetype, "61716", "9999", lan,
                                "stale", "TCP", nullptr, "0");
    std::fprintf(out, "stale add %d\n", r);
    WriteEntry(out, urls, data, "before", "61716", "TCP");

    // The start-up order: message server, UDP 12345, HTTP 15008.
    uint16_t p1 = 0, p2 = 0, p3 = 0;
    int r1 = ks::net::MapUpnpPort(15001, p1, true);
    int r2 = ks::net::MapUpnpPort(12345, p2, false);
    int r3 = ks::net::MapUpnpPort(15008, p3, true, true);
    std::fprintf(out, "map message %d %u\nmap udp %d %u\nmap http %d %u\n", r1, p1, r2, p2, r3,
                 p3);

    WriteEntry(out, urls, data, "after", "61716", "TCP");
    WriteEntry(out, urls, data, "after", "12345", "UDP");
    WriteEntry(out, urls, data, "after", "62716", "TCP");

    std::fprintf(out, "remove %d\n", ks::net::RemovePortMapping("tcp", "61716", &urls, &data));
    std::fprintf(out, "remove %d\n", ks::net::RemovePortMapping("UDP", "12345", &urls, &data));
    std::fprintf(out, "remove %d\n", ks::net::RemovePortMapping("TCP ", "62716", &urls, &data));
    WriteEntry(out, urls, data, "removed", "61716", "TCP");
    WriteEntry(out, urls, data, "removed", "12345", "UDP");
    WriteEntry(out, urls, data, "removed", "62716", "TCP");
    FreeUPNPUrls(&urls);
    freeUPNPDevlist(devices);
  });

  ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)
      << "agent child status " << run.status << "\n" << run.console;
  SCOPED_TRACE("console:\n" + run.console + "\nminiupnpd:\n" + ks::test::ReadFile(log_));
  const auto& r = run.results;
  EXPECT_THAT(r, Contains("loopback 1 0"));
  EXPECT_THAT(r, Contains(std::string("igd 1 ") + kClientLan));
  EXPECT_THAT(r, Contains("stale add 0"));
  EXPECT_THAT(r, Contains(std::string("before 61716 TCP -> ") + kClientLan + ":9999 \"stale\""));

  EXPECT_THAT(r, Contains("map message 0 61716"));
  EXPECT_THAT(r, Contains("map udp 0 61716"));  // reports the message port, maps 12345
  EXPECT_THAT(r, Contains("map http 0 62716"));
  EXPECT_THAT(r, Contains(std::string("after 61716 TCP -> ") + kClientLan + ":15001 \"Kestyl\""));
  EXPECT_THAT(r,
              Contains(std::string("after 12345 UDP -> ") + kBroadcastClient + ":12345 \"Kestyl\""));
  EXPECT_THAT(r, Contains(std::string("after 62716 TCP -> ") + kClientLan + ":15008 \"Kestyl\""));

  EXPECT_THAT(r, Not(Contains(HasSubstr("remove 1"))));
  EXPECT_THAT(r, Not(Contains(HasSubstr("remove 2"))));
  EXPECT_THAT(r, Contains("removed 61716 TCP none"));
  EXPECT_THAT(r, Contains("removed 12345 UDP none"));
  EXPECT_THAT(r, Contains("removed 62716 TCP none"));

  const std::string& c = run.console;
  EXPECT_THAT(c, HasSubstr(std::string("ExternalIPAddress = ") + kExternalIp + "\n"));
  EXPECT_THAT(c, HasSubstr("UPNP_DeletePortMapping() returned : 0\n"));
  EXPECT_THAT(c, HasSubstr(std::string("InternalIP:Port = ") + kClientLan + ":15001\n"));
  EXPECT_THAT(c, HasSubstr(std::string("external ") + kExternalIp + ":61716 TCP is redirected to "
                           "internal " + kClientLan + ":15001 (duration="));
  EXPECT_THAT(c, HasSubstr(std::string("external ") + kExternalIp + ":12345 UDP is redirected to "
                           "internal " + kBroadcastClient + ":12345 (duration="));
  EXPECT_THAT(c, HasSubstr(std::string("external ") + kExternalIp + ":62716 TCP is redirected to "
                           "internal " + kClientLan + ":15008 (duration="));
  EXPECT_THAT(c, Not(HasSubstr("failed")));
}

TEST_F(GatewayLab, NoGatewayAnsweringLeavesThePortsAtZero) {
  if (IsSkipped()) return;
  // The three start-up calls, side by side to keep the wait to one discovery time-out.
  AgentRun run = RunAgent([](FILE* out) {
    ::unsetenv("KESTYL_LOOPBACK");
    struct Call {
      uint16_t internal;
      bool tcp, http;
      uint16_t external = 0;
      int rc = 99;
    } calls[] = {{15001, true, false}, {12345, false, false}, {15008, true, true}};
    std::vector<std::thread> threads;
    for (Call& c : calls)
      threads.emplace_back([&c] { c.rc = ks::net::MapUpnpPort(c.internal, c.external, c.tcp, c.http); });
    for (std::thread& t : threads) t.join();
    for (const Call& c : calls) std::fprintf(out, "map %u %d %u\n", c.internal, c.rc, c.external);
  });
  ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)
      << "agent child status " << run.status << "\n" << run.console;
  EXPECT_THAT(run.results, Contains("map 15001 1 0"));
  EXPECT_THAT(run.results, Contains("map 12345 1 0"));
  EXPECT_THAT(run.results, Contains("map 15008 1 0"));
  EXPECT_THAT(run.console, HasSubstr("No IGD UPnP Device found on the network !\n"));
}

}  // namespace
