// Whole roads of a mobile device asking to connect, the wake-up button and the hosted Wi-Fi
// dialog: the built programs in an install root under Xvfb, the owner logged in, devices
// played by fake mobile clients with an account that is not the owner's (so the agent asks
// the desktop), everything watched through the UI trace, the registry tool and the
// platform stand-ins' records.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/desktop/road_kit.h"
#include "tests/fakes/desktop_harness.h"
#include "tests/fakes/fake_mobile_client.h"
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/test_support.h"

namespace {

namespace fs = std::filesystem;
using ks::fake::DesktopHarness;
using ks::road::TraceQuote;
using ks::fake::DesktopOptions;
using ks::fake::FakeMobileClient;
using ks::fake::LoginResult;
using Clock = std::chrono::steady_clock;

constexpr const char* kAdapterClassKey =
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr int kTrayMainWindow = 32784;
constexpr int kTrayHostedNetwork = 32827;
constexpr int kTrayExit = 32787;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The texts of the shipped English language file, "SECTION/KEY" -> value as written.
std::map<std::string, std::string> EnglishTexts() {
  std::map<std::string, std::string> texts;
  std::istringstream in(Slurp(std::string(KS_SOURCE_DIR) + "/desktop/resources/lang/utf8/English.ksl"));
  std::string line, section;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      continue;
    }
    size_t eq = line.find('=');
    if (eq != std::string::npos && !section.empty()) texts[section + "/" + line.substr(0, eq)] = line.substr(eq + 1);
  }
  return texts;
}

// One `ctl <class> <id> x y w h visible enabled` line.
struct Ctl {
  std::string cls;
  int id = -1;
  int x = 0, y = 0, w = 0, h = 0;
  int visible = 0, enabled = 0;
};

std::optional<Ctl> ParseCtl(const std::string& line) {
  std::istringstream in(line);
  std::string word;
  Ctl c;
  if (!(in >> word) || word != "ctl") return std::nullopt;
  if (!(in >> c.cls >> c.id >> c.x >> c.y >> c.w >> c.h >> c.visible >> c.enabled)) return std::nullopt;
  return c;
}

// The `text <class> <id> "..."` line's quoted part for control `id`, or nullopt.
std::optional<std::string> TextOf(const std::string& line, int id) {
  std::istringstream in(line);
  std::string word, cls;
  int got = -1;
  if (!(in >> word >> cls >> got) || word != "text" || got != id) return std::nullopt;
  size_t quote = line.find('"');
  if (quote == std::string::npos) return std::nullopt;
  return line.substr(quote);
}

// A device log-in body's bytes 64..255: the sender's name and the network text, 64 bytes each.
ks::fake::ByteString SenderAndNetwork(const std::string& sender, const std::string& network) {
  ks::fake::ByteString rest(192, '\0');
  rest.replace(0, std::min<size_t>(sender.size(), 64), sender.substr(0, 64));
  rest.replace(64, std::min<size_t>(network.size(), 64), network.substr(0, 64));
  return rest;
}

// A device that asks to log in on its own thread; the answer and when it came.
struct Device {
  std::unique_ptr<FakeMobileClient> client;
  std::future<LoginResult> answer;
  Clock::time_point sent;
  double answered_after = -1;  // seconds from sending to the answer

  bool Ask(uint16_t port, const std::string& sender, const std::string& network, uint32_t word) {
    client = FakeMobileClient::ConnectTcp(port, "127.0.0.2");
    if (!client) return false;
    sent = Clock::now();
    answer = std::async(std::launch::async, [this, sender, network, word] {
      // Longer than the agent's own 30 s wait for the owner.
      LoginResult r = client->Login("phone@example.com", "phonepass", SenderAndNetwork(sender, network), word, 45000);
      answered_after = SecondsSince(sent);
      return r;
    });
    return true;
  }
  // The verdict (0 let in, 1 refused), or -1 when none came within timeout_ms (longer by the
  // harness's slowdown, as every wait of the roads).
  int Verdict(int timeout_ms) {
    const auto wait = std::chrono::milliseconds(static_cast<int64_t>(timeout_ms) * DesktopHarness::Slowdown());
    if (!answer.valid() || answer.wait_for(wait) != std::future_status::ready)
      return -1;
    LoginResult r = answer.get();
    if (!r.ok()) {
      ADD_FAILURE() << "device log-in: " << r.Describe();
      return -1;
    }
    return r.verdict;
  }
};

class ConnectRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = ks::road::PrepareRoadOptions(options); !why.empty()) GTEST_SKIP() << why;
    texts = EnglishTexts();
  }

  std::string Text(const std::string& key) {
    auto it = texts.find(key);
    EXPECT_NE(it, texts.end()) << key;
    return it == texts.end() ? key : it->second;
  }

  void Prepare(const std::map<std::string, std::string>& env = {}) {
    for (const auto& [k, v] : env) options.env[k] = v;
    harness = std::make_unique<DesktopHarness>(options);
    std::string why;
    ASSERT_TRUE(harness->Prepare(&why)) << why;
  }

  // Starts the desktop, brings the log-in dialog on screen and logs the owner in; returns
  // when the tray shows the online icon.
  void StartAndLogIn(const std::map<std::string, std::string>& env = {}) {
    const size_t start = harness->Trace().size();
    harness->StartDesktop({}, env);
    ASSERT_TRUE(harness->WaitTracePrefix("tray add 174", 20000, start)) << "no tray icon";
    for (int waited = 0; waited < 20000 && harness->ServiceStatus() != "4 RUNNING"; waited += 100)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(harness->ServiceStatus(), "4 RUNNING");
    // A second copy wakes the first, which brings its log-in dialog on screen, and leaves.
    size_t mark = harness->Trace().size();
    const pid_t first = harness->desktop_pid();
    harness->StartDesktop({}, env);
    harness->WaitDesktop(5000);
    size_t centred = 0;
    ASSERT_TRUE(harness->WaitTrace(
        [](const std::string& l) {
          int x = -1, y = -1;
          return std::sscanf(l.c_str(), "ctl CLoginDlg 0 %d %d", &x, &y) == 2 && x >= 0 && y >= 0;
        },
        10000, mark, &centred));
    // The controls' lines follow the window's: each is clicked where the centred dialog put it.
    ASSERT_TRUE(ClickId(1004, centred, "QLineEdit"));
    ASSERT_TRUE(harness->TypeText("owner@example.com"));
    ASSERT_TRUE(ClickId(1005, centred, "QLineEdit"));
    ASSERT_TRUE(harness->TypeText("secret1"));
    mark = harness->Trace().size();
    ASSERT_TRUE(ClickId(1091, centred, "CColorButton"));
    ASSERT_TRUE(harness->WaitTracePrefix("tray modify 368", 30000, mark)) << "tray never went online";
    desktop = first;
  }

  // The last `ctl` line of control `id` at or after `from` (any class when cls is empty).
  std::optional<Ctl> FindCtl(int id, size_t from, const std::string& cls = "") {
    std::vector<std::string> lines = harness->Trace();
    for (size_t i = lines.size(); i-- > from;) {
      std::optional<Ctl> c = ParseCtl(lines[i]);
      if (c && c->id == id && (cls.empty() || c->cls == cls)) return c;
    }
    return std::nullopt;
  }

  // Clicks control `id` as the trace placed it at or after `from`.
  bool ClickId(int id, size_t from, const std::string& cls = "", int timeout_ms = 10000) {
    auto deadline = ks::road::Until(timeout_ms);
    for (;;) {
      std::optional<Ctl> c = FindCtl(id, from, cls);
      if (c && c->visible && c->enabled && ks::fake::OnScreen(ks::fake::TraceRect{c->x, c->y, c->w, c->h}))
        return harness->ClickAt(c->x + c->w / 2, c->y + c->h / 2);
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  // A command of the tray menu: right click on the tray window, then the item of the menu
  // that this click opened.
  bool TrayCommand(int id) {
    size_t mark = harness->Trace().size();
    if (!harness->RightClickTray()) return false;
    const std::string head = "menuitem " + std::to_string(id) + " ";
    std::optional<std::string> item = harness->WaitTracePrefix(head, 10000, mark);
    if (!item) return false;
    int x = 0, y = 0, w = 0, h = 0;
    if (std::sscanf(item->c_str() + head.size(), "%d %d %d %d", &x, &y, &w, &h) != 4) return false;
    return harness->ClickAt(x + w / 2, y + h / 2);
  }

  // Waits for a `text <class> <id> "<text>"` line at or after `from`.
  bool WaitText(int id, const std::string& text, size_t from, int timeout_ms = 10000) {
    const std::string quoted = TraceQuote(text);
    return harness
        ->WaitTrace([&](const std::string& l) { return TextOf(l, id) == quoted; }, timeout_ms, from)
        .has_value();
  }

  // Lines at or after `from` that start with `prefix`.
  size_t Count(const std::string& prefix, size_t from) {
    std::vector<std::string> lines = harness->Trace();
    size_t n = 0;
    for (size_t i = from; i < lines.size(); ++i) n += lines[i].rfind(prefix, 0) == 0;
    return n;
  }

  // The wait status of the logged-in desktop (which the harness no longer follows once the
  // waking second copy started), or -1 while it runs.
  int WaitFirstDesktop(int timeout_ms) {
    int status = -1;
    for (int waited = 0; waited <= timeout_ms; waited += 50) {
      if (::waitpid(desktop, &status, WNOHANG) == desktop) return status;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }

  // Waits for the confirmation dialog of a request that arrives after `from`; its trace index.
  std::optional<size_t> WaitConnectDlg(size_t from, int timeout_ms) {
    size_t index = 0;
    if (!harness->WaitTracePrefix("show CConnectDlg", timeout_ms, from, &index)) return std::nullopt;
    return index;
  }

  DesktopOptions options;
  std::unique_ptr<DesktopHarness> harness;
  std::map<std::string, std::string> texts;
  pid_t desktop = -1;
};

// A device asks, the owner lets it in with OK; the next one is refused with Cancel, the one
// after with Escape; each dialog answers once. With a dialog open the tray still opens the
// main window. A sender's name with line breaks and bytes that are not UTF-8 shows on one
// line with replacement characters, and the agent goes on answering.
TEST_F(ConnectRoad, OwnerAcceptsRefusesAndEscapes) {
  ASSERT_NO_FATAL_FAILURE(Prepare());
  ASSERT_NO_FATAL_FAILURE(StartAndLogIn());
  const uint16_t port = harness->agent_port();
  const std::string sender = Text("UI/CONNECT_STATIC_SENDER");
  const std::string net = Text("UI/CONNECT_STATIC_NET");

  {
    SCOPED_TRACE("OK lets the device in");
    size_t mark = harness->Trace().size();
    Device phone;
    ASSERT_TRUE(phone.Ask(port, "Pixel of Anna", "home-wifi", 21));
    std::optional<size_t> shown = WaitConnectDlg(mark, 10000);
    ASSERT_TRUE(shown) << "no confirmation dialog";
    const double shownAfter = SecondsSince(phone.sent);
    EXPECT_LE(shownAfter, 3.0) << "the dialog came late";
    EXPECT_TRUE(WaitText(1104, sender + "Pixel of Anna", mark));
    EXPECT_TRUE(WaitText(1105, net + "home-wifi", mark));
    harness->Screenshot("connect-dialog");
    ASSERT_TRUE(ClickId(1, *shown, "CColorButton"));
    const auto clicked = Clock::now();
    EXPECT_EQ(0, phone.Verdict(10000));
    EXPECT_LE(SecondsSince(clicked), 2.0) << "the device was let in late";
    EXPECT_TRUE(harness->WaitTracePrefix("result CConnectDlg 1", 5000, mark));
    std::printf("[ measured ] dialog shown %.2f s after the request, device let in %.2f s after OK\n", shownAfter,
                SecondsSince(clicked));
  }

  struct Refusal {
    const char* name;
    bool escape;
  } refusals[] = {{"Cancel refuses", false}, {"Escape refuses", true}};
  uint32_t word = 22;
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    size_t mark = harness->Trace().size();
    Device phone;
    ASSERT_TRUE(phone.Ask(port, "Tablet", "office", word++));
    std::optional<size_t> shown = WaitConnectDlg(mark, 10000);
    ASSERT_TRUE(shown);
    if (r.escape) {
      // The key goes to the dialog with the focus: wait until its controls are placed.
      ASSERT_TRUE(FindCtl(2, *shown, "CColorButton") || harness->WaitTracePrefix("ctl CColorButton 2 ", 5000, *shown));
      ASSERT_TRUE(harness->Key("Escape"));
    } else {
      ASSERT_TRUE(ClickId(2, *shown, "CColorButton"));
    }
    EXPECT_EQ(1, phone.Verdict(10000));
    EXPECT_TRUE(harness->WaitTracePrefix("result CConnectDlg 2", 5000, mark));
    // One answer per dialog, whatever else reaches it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(1u, Count("result CConnectDlg 2", mark));
    EXPECT_EQ(0u, Count("result CConnectDlg 1", mark));
  }

  {
    SCOPED_TRACE("the tray opens the main window while a dialog waits");
    size_t mark = harness->Trace().size();
    Device phone;
    ASSERT_TRUE(phone.Ask(port, "Waiting phone", "home-wifi", 30));
    std::optional<size_t> shown = WaitConnectDlg(mark, 10000);
    ASSERT_TRUE(shown);
    size_t before = harness->Trace().size();
    ASSERT_TRUE(TrayCommand(kTrayMainWindow));
    const auto clicked = Clock::now();
    size_t window = 0;
    ASSERT_TRUE(harness->WaitTracePrefix("show CSettingDlg", 5000, before, &window)) << "no main window";
    std::printf("[ measured ] main window shown %.2f s after the tray command\n", SecondsSince(clicked));
    harness->Screenshot("main-window-and-dialog");
    // Without a window manager nothing keeps the dialog above the window raised after it:
    // the window goes (its close button hides it) before the dialog is answered.
    ASSERT_TRUE(ClickId(1093, window, "CTransparentButton"));
    ASSERT_TRUE(harness->WaitTracePrefix("hide CSettingDlg", 5000, window));
    ASSERT_TRUE(ClickId(2, *shown, "CColorButton"));
    EXPECT_EQ(1, phone.Verdict(10000));
  }

  {
    SCOPED_TRACE("a name with line breaks and bytes that are not UTF-8");
    size_t mark = harness->Trace().size();
    Device phone;
    ASSERT_TRUE(phone.Ask(port, std::string("phone\r\nOK") + "\xff\xfe", "home-wifi", 31));
    std::optional<size_t> shown = WaitConnectDlg(mark, 10000);
    ASSERT_TRUE(shown);
    std::optional<std::string> line = harness->WaitTrace(
        [](const std::string& l) { return TextOf(l, 1104).has_value(); }, 5000, mark);
    ASSERT_TRUE(line);
    const std::string text = *TextOf(*line, 1104);
    EXPECT_EQ(std::string::npos, text.find("\\r")) << text;
    EXPECT_EQ(std::string::npos, text.find("\\n")) << text;
    EXPECT_EQ(std::string::npos, text.find_first_of("\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\xEF\xBF\xBD")) << "no replacement character: " << text;
    EXPECT_NE(std::string::npos, text.find("phone")) << text;
    harness->Screenshot("odd-name");
    ASSERT_TRUE(ClickId(2, *shown, "CColorButton"));
    EXPECT_EQ(1, phone.Verdict(10000));
    // The agent goes on answering devices.
    auto other = FakeMobileClient::ConnectTcp(port, "127.0.0.2");
    ASSERT_TRUE(other);
    ks::fake::HeartBeatResult beat = other->HeartBeat(7);
    EXPECT_TRUE(beat.ok()) << beat.Describe();
  }
}

// Two devices a second apart: the first one's dialog is on screen, the tray flashes while the
// second waits; after OK its dialog comes at once, and left alone it is refused 25 s after the
// request arrived, before the agent's own 30 s run out.
TEST_F(ConnectRoad, SecondRequestWaitsFlashingAndIsRefusedAt25s) {
  ASSERT_NO_FATAL_FAILURE(Prepare());
  ASSERT_NO_FATAL_FAILURE(StartAndLogIn());
  const uint16_t port = harness->agent_port();
  size_t mark = harness->Trace().size();
  Device first, second;
  ASSERT_TRUE(first.Ask(port, "first phone", "home-wifi", 41));
  std::optional<size_t> shown = WaitConnectDlg(mark, 10000);
  ASSERT_TRUE(shown);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  size_t waitMark = harness->Trace().size();
  ASSERT_TRUE(second.Ask(port, "second phone", "home-wifi", 42));

  // The flashing: icons 255 and 254 in turn from the first, nothing else meanwhile.
  size_t flashAt = 0;
  ASSERT_TRUE(harness->WaitTracePrefix("tray modify 255", 10000, waitMark, &flashAt)) << "no flashing";
  ASSERT_TRUE(harness->WaitTracePrefix("tray modify 254", 5000, flashAt));
  ASSERT_TRUE(harness->WaitTracePrefix("tray modify 255", 5000, flashAt + 1));
  harness->Screenshot("flashing");
  {
    std::vector<int> icons;
    std::vector<std::string> lines = harness->Trace();
    for (size_t i = flashAt; i < lines.size(); ++i) {
      int icon = 0;
      if (std::sscanf(lines[i].c_str(), "tray modify %d", &icon) == 1) icons.push_back(icon);
    }
    ASSERT_GE(icons.size(), 3u);
    for (size_t i = 0; i < icons.size(); ++i) EXPECT_EQ(i % 2 == 0 ? 255 : 254, icons[i]) << i;
  }
  EXPECT_EQ(1u, Count("show CConnectDlg", mark)) << "one dialog at a time";

  // OK on the first: the second's dialog at once, and the flashing ends with the online icon.
  size_t okMark = harness->Trace().size();
  ASSERT_TRUE(ClickId(1, *shown, "CColorButton"));
  EXPECT_EQ(0, first.Verdict(10000));
  std::optional<size_t> next = WaitConnectDlg(okMark, 3000);
  ASSERT_TRUE(next) << "the waiting request was not shown after the answer";
  EXPECT_TRUE(WaitText(1104, Text("UI/CONNECT_STATIC_SENDER") + "second phone", okMark));
  EXPECT_TRUE(harness->WaitTracePrefix("tray modify 368", 5000, okMark)) << "the flashing did not end";
  harness->Screenshot("second-dialog");

  // Left alone: refused at 25 s from its arrival.
  ASSERT_TRUE(harness->WaitTracePrefix("result CConnectDlg 2", 40000, *next));
  const double refusedAt = SecondsSince(second.sent);
  EXPECT_EQ(1, second.Verdict(10000));
  std::printf("[ measured ] waiting request refused by the dialog %.2f s after it arrived, device answered after %.2f s\n",
              refusedAt, second.answered_after);
  EXPECT_GE(refusedAt, 23.0);
  EXPECT_LE(refusedAt, 27.5);
  EXPECT_LT(second.answered_after, 29.5) << "the agent's own time-out answered, not the owner's dialog";
  EXPECT_EQ(1u, Count("result CConnectDlg", *next));
}

// The wake-up button on the account page: the notice box, PnPCapabilities 256 in every
// adapter's sub-key, and a second press leaves the registry file alone; on a system of major
// version 5 the value is 32.
TEST_F(ConnectRoad, WakeUpButtonSetsEveryAdapter) {
  struct Case {
    const char* name;
    const char* winver;  // nullptr: the default system version
    const char* value;
  } cases[] = {{"current system", nullptr, "0x100"}, {"system version 5.1", "5.1", "0x20"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    options.env.clear();
    if (c.winver) options.env["KESTYL_WINVER"] = c.winver;
    harness.reset();
    ASSERT_NO_FATAL_FAILURE(Prepare());
    ks::test::WriteFile(harness->platform() + "/adapters",
                        "index=7 type=ethernet desc=Test wired adapter mac=02:00:00:00:00:07 ipv4=10.7.0.2\n");
    ASSERT_NO_FATAL_FAILURE(StartAndLogIn());

    size_t mark = harness->Trace().size();
    ASSERT_TRUE(TrayCommand(kTrayMainWindow));
    size_t window = 0;
    ASSERT_TRUE(harness->WaitTracePrefix("show CSettingDlg", 5000, mark, &window));
    ASSERT_TRUE(ClickId(1138, mark));
    std::optional<Ctl> frame = FindCtl(0, window, "CSettingDlg");
    std::optional<Ctl> wake;
    for (int i = 0; i < 100 && !(wake = FindCtl(1155, window)); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(frame && wake) << "no wake-up button on the account page";
    if (wake->x == frame->x && wake->y == frame->y) {
      harness->Screenshot("account-page-not-laid-out");
      GTEST_SKIP() << "the main window's page controls are not laid out (the wake-up button sits at the "
                      "window's corner under the other pages' controls), so the button cannot be pressed";
    }
    // The language file writes the box's line breaks as "\n"; the box shows them as breaks.
    std::string notice = Text("MESSAGEBOX/MSGBOX_WAKEUP_NOTICE");
    for (size_t at = 0; (at = notice.find("\\n", at)) != std::string::npos;) notice.replace(at, 2, "\n");
    const std::string box = "box 0 " + TraceQuote("Kestyl") + " " + TraceQuote(notice);
    const std::string registry = harness->platform() + "/registry.db";
    fs::file_time_type written;
    for (int press = 1; press <= 2; ++press) {
      SCOPED_TRACE("press " + std::to_string(press));
      size_t before = harness->Trace().size();
      ASSERT_TRUE(ClickId(1155, mark));
      std::optional<std::string> line = harness->WaitTracePrefix("box ", 10000, before);
      ASSERT_TRUE(line) << "no notice";
      EXPECT_EQ(box, *line);
      size_t shownAt = 0;
      ASSERT_TRUE(harness->WaitTracePrefix("show CDiyMessageBox", 5000, before, &shownAt));
      harness->Screenshot(std::string("wake-up-notice-") + (c.winver ? "5.1-" : "") + std::to_string(press));
      ASSERT_TRUE(ClickId(1, shownAt));
      ASSERT_TRUE(harness->WaitTracePrefix("hide CDiyMessageBox", 5000, shownAt));
      if (press == 1) {
        written = fs::last_write_time(registry);
      } else {
        EXPECT_TRUE(fs::last_write_time(registry) == written) << "the second press wrote the registry again";
      }
    }

    // Every sub-key of the class key holds the value.
    std::string listing;
    ASSERT_EQ(0, harness->Tool("reg", {"query", kAdapterClassKey}, &listing)) << listing;
    const std::string marker = "{4D36E972-E325-11CE-BFC1-08002BE10318}\\";
    std::vector<std::string> subKeys;
    std::istringstream in(listing);
    std::string l;
    while (std::getline(in, l)) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
      size_t at = l.find(marker);
      if (at != std::string::npos && l.rfind("HKEY_", 0) == 0) subKeys.push_back(l.substr(at + marker.size()));
    }
    ASSERT_FALSE(subKeys.empty()) << listing;
    for (const std::string& sub : subKeys) {
      std::string out;
      EXPECT_EQ(0, harness->Tool("reg", {"query", std::string(kAdapterClassKey) + "\\" + sub, "/v", "PnPCapabilities"},
                                 &out))
          << sub << ": " << out;
      std::istringstream words(out.substr(std::min(out.size(), out.find("PnPCapabilities"))));
      std::string name, type, value;
      words >> name >> type >> value;
      EXPECT_EQ("REG_DWORD", type) << sub << ": " << out;
      EXPECT_EQ(c.value, value) << sub << ": " << out;
    }
  }
}

// Hosted Wi-Fi with a wireless adapter: start through the elevated batch file, which is gone
// afterwards; a new dialog knows the network runs; stop asks netsh to stop it.
TEST_F(ConnectRoad, HostedNetworkStartsAndStops) {
  ASSERT_NO_FATAL_FAILURE(Prepare());
  ks::test::WriteFile(harness->platform() + "/adapters",
                      "index=9 type=wifi desc=Test wireless adapter mac=02:00:00:00:00:09 ipv4=10.9.0.2\n");
  ASSERT_NO_FATAL_FAILURE(StartAndLogIn());
  const std::string conf = harness->root() + "/conf";
  auto batchLeft = [&] {
    for (const auto& e : fs::directory_iterator(conf))
      if (e.path().extension() == ".bat") return true;
    return false;
  };

  size_t mark = harness->Trace().size();
  ASSERT_TRUE(TrayCommand(kTrayHostedNetwork));
  size_t shown = 0;
  ASSERT_TRUE(harness->WaitTracePrefix("show CApDlg", 5000, mark, &shown));
  EXPECT_TRUE(WaitText(1123, Text("UI/AP_OK"), mark));
  harness->Screenshot("ap-ready");

  size_t before = harness->Trace().size();
  ASSERT_TRUE(ClickId(1126, shown));
  EXPECT_TRUE(WaitText(1123, Text("UI/AP_STARTED"), before, 20000));
  std::optional<Ctl> stop;
  for (int i = 0; i < 100 && !(stop = FindCtl(1127, before)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(stop) << "the stop button never showed";
  EXPECT_EQ(1, stop->visible);
  const std::string shell = Slurp(harness->platform() + "/shell.log");
  EXPECT_NE(std::string::npos, shell.find("runas accept")) << shell;
  EXPECT_NE(std::string::npos, shell.find("_tmp_start_hostednetwork.bat")) << shell;
  EXPECT_FALSE(batchLeft());
  harness->Screenshot("ap-started");

  // A new dialog from the tray knows the network runs.
  mark = harness->Trace().size();
  ASSERT_TRUE(TrayCommand(kTrayHostedNetwork));
  ASSERT_TRUE(harness->WaitTracePrefix("show CApDlg", 5000, mark, &shown));
  EXPECT_TRUE(WaitText(1123, Text("UI/AP_STARTED"), mark));
  before = harness->Trace().size();
  ASSERT_TRUE(ClickId(1127, shown));
  EXPECT_TRUE(WaitText(1123, Text("UI/AP_OK"), before, 20000));
  harness->Screenshot("ap-stopped");
  std::string calls = Slurp(harness->platform() + "/netsh/calls.log");
  while (!calls.empty() && calls.back() == '\n') calls.pop_back();
  EXPECT_EQ("wlan stop hostednetwork", calls.substr(calls.rfind('\n') + 1)) << calls;
}

// A declined elevation prompt starts nothing and leaves no batch file; without a wireless
// adapter the start button is disabled; the tray's exit stops the hosted network.
TEST_F(ConnectRoad, HostedNetworkDeclinedWithoutWifiAndAtExit) {
  ASSERT_NO_FATAL_FAILURE(Prepare());
  const std::string adapters = harness->platform() + "/adapters";
  ks::test::WriteFile(adapters, "index=9 type=wifi desc=Test wireless adapter mac=02:00:00:00:00:09 ipv4=10.9.0.2\n");
  // The agent's service is registered through an accepted prompt first; the owner declines
  // only the hosted network's.
  harness->StartDesktop();
  ASSERT_TRUE(harness->WaitTracePrefix("tray add 174", 20000));
  for (int waited = 0; waited < 20000 && harness->ServiceStatus() != "4 RUNNING"; waited += 100)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(harness->ServiceStatus(), "4 RUNNING");
  harness->SignalDesktop(SIGTERM);
  ASSERT_NE(-1, harness->WaitDesktop(10000));
  ASSERT_NO_FATAL_FAILURE(StartAndLogIn({{"KESTYL_RUNAS", "decline"}}));

  size_t mark = harness->Trace().size();
  ASSERT_TRUE(TrayCommand(kTrayHostedNetwork));
  size_t shown = 0;
  ASSERT_TRUE(harness->WaitTracePrefix("show CApDlg", 5000, mark, &shown));
  EXPECT_TRUE(WaitText(1123, Text("UI/AP_OK"), mark));
  size_t before = harness->Trace().size();
  ASSERT_TRUE(ClickId(1126, shown));
  EXPECT_TRUE(WaitText(1123, Text("UI/AP_DEVICE_UNAVAILABLE"), before, 20000));
  EXPECT_NE(std::string::npos, Slurp(harness->platform() + "/shell.log").find("runas decline"));
  for (const auto& e : fs::directory_iterator(harness->root() + "/conf"))
    EXPECT_NE(".bat", e.path().extension()) << e.path();
  harness->Screenshot("ap-declined");

  // No wireless adapter at all (the made-up one goes; a real one on this host would count).
  bool realWifi = false;
  for (const auto& e : fs::directory_iterator("/sys/class/net"))
    realWifi = realWifi || fs::exists(e.path() / "wireless") || fs::exists(e.path() / "phy80211");
  fs::remove(adapters);
  mark = harness->Trace().size();
  ASSERT_TRUE(TrayCommand(kTrayHostedNetwork));
  ASSERT_TRUE(harness->WaitTracePrefix("show CApDlg", 5000, mark, &shown));
  if (!realWifi) {
    EXPECT_TRUE(WaitText(1123, Text("UI/AP_NOWLAN"), mark));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::optional<Ctl> start = FindCtl(1126, shown);
    ASSERT_TRUE(start);
    EXPECT_EQ(0, start->enabled);
    harness->Screenshot("ap-no-wifi");
  }

  // The tray's exit stops the hosted network on its way out.
  ASSERT_TRUE(TrayCommand(kTrayExit));
  const std::string calls = harness->platform() + "/netsh/calls.log";
  bool stopped = false;
  for (int i = 0; i < 200 && !stopped; ++i) {
    stopped = Slurp(calls).find("wlan stop hostednetwork") != std::string::npos;
    if (!stopped) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(stopped) << Slurp(calls);
  EXPECT_NE(-1, WaitFirstDesktop(15000)) << "the program did not end";
}

}  // namespace
