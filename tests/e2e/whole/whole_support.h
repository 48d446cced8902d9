// The whole agent under test: the real KestylClient (AgentHarness, loopback mode, free
// ports) with every peer it has around it — the vendor's server (one-shot requests and the
// relay), the desktop program's confirmation listener, the rendezvous server — and mobile
// clients on each of its three transports.
//
// Files of a run (one temporary folder):
//   Data/      the shared folder, also the default folder ("$DEFAULT$")
//   pics/      the default picture folder ("$DEFAULT_PIC$")
//   Data2/     a sibling of Data that is not shared; holds secret.jpg
//   outside/   a folder outside every share; holds secret.jpg
// secret.jpg is a JPEG that carries `secret_marker` in a comment: no byte of it may ever
// leave the agent, and no file may appear outside Data and pics.
//
// The owner's account (kOwner / kOwnerHash) is stored before start; the desktop program
// accepts device log-ins unless a test scripts otherwise; KESTYL_POWER_CMD runs a recording
// script (power.sh) that refuses unless UsePowerScript(true).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/fakes/agent_harness.h"
#include "tests/fakes/desktop_request.h"
#include "tests/fakes/fake_desktop.h"
#include "tests/fakes/fake_mobile_client.h"
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/p2p/fake_p2p.h"
#include "tests/fakes/test_support.h"

namespace ks::e2e {

inline constexpr const char* kOwner = "owner@example.com";
inline constexpr const char* kOwnerHash = "ownerhash";

enum class Transport { kTcp, kRelay, kUdt };
std::string TransportName(Transport t);
// For gtest's parameter names.
std::string TransportParamName(const ::testing::TestParamInfo<Transport>& info);
inline const std::vector<Transport> kAllTransports = {Transport::kTcp, Transport::kRelay,
                                                      Transport::kUdt};

std::string RandomBytes(size_t n, unsigned seed);
bool WaitFor(const std::function<bool()>& done, int timeout_ms);
int64_t FileSize(const std::string& path);
bool Exists(const std::string& path);
// Every path below `root` (relative, folders with a final "/"), sorted; symlinks are not
// followed.
std::vector<std::string> Tree(const std::string& root);
// A JPEG of the given size whose comment holds `comment`.
std::string MakeJpeg(int width, int height, const std::string& comment = "");
// Width and height of a JPEG; false when it does not decode.
bool JpegSize(const std::string& jpeg, int* width, int* height);
// A non-loopback IPv4 address of this machine, or "" (for loopback discovery).
std::string LanAddress();
// VmRSS / VmHWM of a process in KiB (-1 when unknown).
long RssKb(pid_t pid);
long PeakRssKb(pid_t pid);

class WholeTest : public ::testing::Test {
 protected:
  WholeTest();
  ~WholeTest() override;
  // Stops the agent and fails the test when its console holds a sanitizer's report.
  void TearDown() override;

  // Starts the agent with `options`; false (with the agent's log in the failure) when it
  // does not come up. Returns once its HTTP server listens too, and reads the agent's P2P
  // port from its first rendezvous heartbeat.
  bool StartAgent();
  // A mobile client over `t`; null when it cannot reach the agent.
  std::unique_ptr<ks::fake::FakeMobileClient> Connect(Transport t);
  // One desktop request from 127.0.0.1.
  ks::fake::DesktopReply Desktop(uint16_t type, const ks::fake::ByteString& body = {});
  // Waits until the relay channel is up: the agent, logged on at start-up, has registered
  // its interline connection.
  bool RelayReady();
  // Waits until the vendor server has seen no new request for quiet_ms.
  void WaitForVendorQuiet(int quiet_ms, int timeout_ms);

  // KESTYL_POWER_CMD: a script that appends one line to power_log() and exits 0 (accept) or
  // 1 (refuse). Call before StartAgent().
  void UsePowerScript(bool accept);
  std::string power_log() const { return dir / "power.log"; }

  // A file in Data (relative name), returned with its content.
  std::string PutData(const std::string& name, size_t size, unsigned seed);

  ks::test::TempDir dir;
  std::string data = dir / "Data";
  std::string data2 = dir / "Data2";
  std::string pics = dir / "pics";
  std::string outside = dir / "outside";
  std::string secret_marker;
  std::string secret_jpeg;  // content of both secret.jpg

  ks::fake::FakeVendorServer vendor;
  std::unique_ptr<ks::fake::FakeDesktop> desktop;
  ks::test::p2p::UdpEndpoint rendezvous;
  ks::fake::AgentOptions options;
  std::unique_ptr<ks::fake::AgentHarness> agent;
  uint16_t p2p_port = 0;

 private:
  int relay_clients_ = 0;
};

// Tests that walk one road over each transport.
class OverTransport : public WholeTest, public ::testing::WithParamInterface<Transport> {};

}  // namespace ks::e2e

// Connects a mobile client over `transport` into `var`, or fails the test.
#define KS_CONNECT(var, transport)                                                          \
  std::unique_ptr<ks::fake::FakeMobileClient> var = Connect(transport);                     \
  ASSERT_TRUE(var) << "no " << ks::e2e::TransportName(transport) << " connection\n"         \
                   << agent->ReadLog()
