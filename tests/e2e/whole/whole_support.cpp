#include "tests/e2e/whole/whole_support.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "tests/agent/media/thumb/jpeg_maker.h"
#include "tests/fakes/p2p/udt_transport.h"

namespace ks::e2e {

namespace fs = std::filesystem;
using ks::fake::DesktopAction;
using ks::fake::DesktopReply;
using ks::fake::FakeMobileClient;

std::string TransportName(Transport t) {
  switch (t) {
    case Transport::kTcp: return "tcp";
    case Transport::kRelay: return "relay";
    case Transport::kUdt: return "udt";
  }
  return "?";
}

std::string TransportParamName(const ::testing::TestParamInfo<Transport>& info) {
  return TransportName(info.param);
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

bool WaitFor(const std::function<bool()>& done, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::string rel = fs::relative(it->path(), root, ec).string();
    if (it->is_directory(ec) && !it->is_symlink(ec)) rel += "/";
    out.push_back(rel);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string MakeJpeg(int width, int height, const std::string& comment) {
  ks::test::JpegSpec shape;
  shape.Size(width, height);
  if (!comment.empty()) shape.Marker(JPEG_COM, comment);
  return ks::test::AsString(ks::test::MakeJpeg(shape));
}

bool JpegSize(const std::string& jpeg, int* width, int* height) {
  ks::test::DecodedJpeg d;
  if (!ks::test::DecodeJpeg(std::vector<uint8_t>(jpeg.begin(), jpeg.end()), &d)) return false;
  *width = d.width;
  *height = d.height;
  return true;
}

std::string LanAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return "";
  std::string found;
  for (ifaddrs* a = list; a && found.empty(); a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || (a->ifa_flags & IFF_LOOPBACK) ||
        !(a->ifa_flags & IFF_UP))
      continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
    found = text;
  }
  ::freeifaddrs(list);
  return found;
}

namespace {

long StatusKb(pid_t pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const size_t n = std::char_traits<char>::length(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0) return std::stol(line.substr(n));
  return -1;
}

}  // namespace

long RssKb(pid_t pid) { return StatusKb(pid, "VmRSS:"); }
long PeakRssKb(pid_t pid) { return StatusKb(pid, "VmHWM:"); }

WholeTest::WholeTest() {
  for (const std::string& d : {data, data2, pics, outside}) fs::create_directories(d);
  secret_marker = "KESTYL-SECRET-" + std::to_string(std::random_device{}()) + "-" +
                  std::to_string(::getpid());
  secret_jpeg = MakeJpeg(320, 240, secret_marker);
  ks::test::WriteFile(outside + "/secret.jpg", secret_jpeg);
  ks::test::WriteFile(data2 + "/secret.jpg", secret_jpeg);

  desktop = std::make_unique<ks::fake::FakeDesktop>(DesktopAction::Accept());
  options.vendor_port = vendor.port();
  options.desktop_port = desktop->port();
  options.confirm_s = 5;
  options.relay_retry_s = 1;
  options.poll_s = 1;
  options.sql = {
      "DELETE FROM ks_share",
      "INSERT INTO ks_share(path) VALUES('" + data + "')",
      "DELETE FROM ks_defshare",
      "INSERT INTO ks_defshare(def, def_pic, def_music, def_video, def_doc, def_instant) "
      "VALUES('" + data + "', '" + pics + "', '', '', '', '')",
      "DELETE FROM ks_user",
      std::string("INSERT INTO ks_user(email, psw) VALUES('") + kOwner + "', '" + kOwnerHash + "')",
      "UPDATE ks_conf SET p2phost = '127.0.0.1', p2pport = " + std::to_string(rendezvous.port()),
  };
  UsePowerScript(false);
}

void WholeTest::TearDown() {
  if (!agent) return;
  agent->Stop();
  const std::string console = agent->ReadConsole();
  for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error:"}) {
    if (console.find(report) != std::string::npos) {
      ADD_FAILURE() << "the agent's console holds a sanitizer report:\n" << console;
      break;
    }
  }
}

WholeTest::~WholeTest() {
  // The agent goes first: it talks to every fake until it ends.
  agent.reset();
}

void WholeTest::UsePowerScript(bool accept) {
  const std::string script = dir / "power.sh";
  ks::test::WriteFile(script, "#!/bin/sh\necho \"hibernate $*\" >> '" + power_log() + "'\nexit " +
                                  (accept ? "0" : "1") + "\n");
  ::chmod(script.c_str(), 0755);
  options.env["KESTYL_POWER_CMD"] = script;
}

std::string WholeTest::PutData(const std::string& name, size_t size, unsigned seed) {
  std::string content = RandomBytes(size, seed);
  fs::create_directories(fs::path(data + "/" + name).parent_path());
  ks::test::WriteFile(data + "/" + name, content);
  return content;
}

bool WholeTest::StartAgent() {
  agent = std::make_unique<ks::fake::AgentHarness>(options);
  if (!agent->Start()) {
    ADD_FAILURE() << "the agent did not start\n" << agent->ReadConsole() << agent->ReadLog();
    return false;
  }
  // The HTTP server is a start-up job of its own and may bind a moment after the start is
  // reported; a GET sent before would be refused and read as a wrong answer.
  if (!agent->WaitForLog("httpServer running on port", 10000)) {
    ADD_FAILURE() << "the HTTP server did not start\n" << agent->ReadLog();
    return false;
  }
  p2p_port = ks::fake::AgentP2PPort(rendezvous, 5000);
  return true;
}

bool WholeTest::RelayReady() { return vendor.WaitForInterline(10000); }

std::unique_ptr<FakeMobileClient> WholeTest::Connect(Transport t) {
  switch (t) {
    case Transport::kTcp:
      // 127.0.0.2 plays a phone on the home network.
      return FakeMobileClient::ConnectTcp(agent->message_port(), "127.0.0.2");
    case Transport::kRelay: {
      if (!RelayReady()) return nullptr;
      auto relay = std::make_unique<ks::fake::RelayTransport>(
          vendor, "phone-relay-" + std::to_string(++relay_clients_));
      return std::make_unique<FakeMobileClient>(std::move(relay));
    }
    case Transport::kUdt: {
      if (p2p_port == 0) return nullptr;  // no heartbeat from the P2P client: a fault
      auto udt = ks::fake::UdtTransport::Connect(p2p_port);
      if (!udt) return nullptr;
      auto client = std::make_unique<FakeMobileClient>(std::move(udt));
      client->set_reply_timeout_ms(10000);
      return client;
    }
  }
  return nullptr;
}

DesktopReply WholeTest::Desktop(uint16_t type, const ks::fake::ByteString& body) {
  return ks::fake::DesktopRequest(agent->message_port(), type, body);
}

void WholeTest::WaitForVendorQuiet(int quiet_ms, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t seen = vendor.RequestCount();
  auto changed = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    size_t now = vendor.RequestCount();
    if (now != seen) {
      seen = now;
      changed = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - changed >= std::chrono::milliseconds(quiet_ms)) {
      return;
    }
  }
}

}  // namespace ks::e2e
