// Whole roads of the desktop program's update: the update description and the installer come
// from the fake web server, the installer is a shell script that records its arguments, and
// everything is watched from outside through the UI trace, the registry tool, the private
// folder and the fake's request record.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/utf16.h"
#include "tests/e2e/desktop/road_kit.h"
#include "tests/fakes/desktop_harness.h"
#include "tests/fakes/fake_web_server.h"
#include "tests/fakes/md5.h"
#include "tests/fakes/test_support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using ks::fake::DesktopHarness;
using ks::road::TraceQuote;
using ks::fake::DesktopOptions;
using ks::fake::WebReply;

constexpr const char* kDescriptionPath = "/kestyl/update-pc.html";
constexpr const char* kInstallerPath = "/inst";
constexpr unsigned kCmdHelpEntry = 32818;
constexpr unsigned kCmdUpdate = 32786;
constexpr unsigned kCmdExit = 32787;
constexpr int kNotice1043NeverShow = 1043;
constexpr int kNoticeSentence = 1045;
constexpr int kNoticeUpdate = 1046;
constexpr int kNoticeCancel = 1047;
constexpr int kBoxOk = 1;

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// UTF-16LE (with or without its byte-order mark) to UTF-8.
std::string Utf16LeToUtf8(const std::string& bytes) {
  std::u16string text = ks::platform::Utf16FromLeBytes(bytes);
  if (!text.empty() && text[0] == u'\uFEFF') text.erase(0, 1);
  return ks::platform::Utf16ToUtf8(text);
}

// "a.b.c.d" with its last number one more.
std::string NextVersion(const std::string& version) {
  size_t dot = version.rfind('.');
  long last = std::strtol(version.c_str() + dot + 1, nullptr, 10);
  return version.substr(0, dot + 1) + std::to_string(last + 1);
}

// A version below "a.b.c.d": its last nonzero number one less, the numbers after it 99
// (1.0.0.0 -> 0.99.99.99), so that no text or single-number comparison gets it right by luck.
std::string LowerVersion(const std::string& version) {
  std::vector<long> parts;
  std::istringstream in(version);
  std::string piece;
  while (std::getline(in, piece, '.')) parts.push_back(std::strtol(piece.c_str(), nullptr, 10));
  for (size_t i = parts.size(); i-- > 0;) {
    if (parts[i] == 0) continue;
    --parts[i];
    for (size_t j = i + 1; j < parts.size(); ++j) parts[j] = 99;
    break;
  }
  std::string out;
  for (long p : parts) out += (out.empty() ? "" : ".") + std::to_string(p);
  return out;
}

class UpdateRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = ks::road::PrepareRoadOptions(options); !why.empty()) GTEST_SKIP() << why;
    // This run's screenshots only.
    std::error_code ec;
    fs::remove_all(options.build_dir + "/artifacts/desktop-screens/" + options.test_name, ec);
    // The first automatic check at once instead of after ten seconds.
    options.env["KESTYL_UPDATE_FIRST_S"] = "0";
    harness = std::make_unique<DesktopHarness>(options);
    std::string why;
    ASSERT_TRUE(harness->Prepare(&why)) << why;

    // The desktop reads its update address from its configuration file; the other default
    // files of the configuration folder are put there by the program itself.
    fs::create_directories(harness->root() + "/conf");
    ks::test::WriteFile(harness->root() + "/conf/ks_config.cfg",
                        "[ks_config]\r\nUpdateURL=" + harness->web().url() + kDescriptionPath + "\r\n");
    installer = "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + InstallerLog() + "'\n";
    installer_md5 = ks::fake::DigestHex(ks::fake::Md5Of(installer));
    own_version = MarkerVersion();
    ASSERT_FALSE(own_version.empty()) << "no version marker in bin/Kestyl";
  }

  std::string InstallerLog() const { return harness->work() + "/installer.log"; }
  std::string PrivateFolder() const { return harness->home() + "/.local/share/Kestyl"; }

  // The version the build stamped into the desktop program.
  std::string MarkerVersion() const {
    const std::string bytes = ks::test::ReadFile(harness->root() + "/bin/Kestyl");
    const std::string name = "KESTYL_VERSION:";
    for (size_t at = bytes.find(name); at != std::string::npos; at = bytes.find(name, at + 1)) {
      size_t p = at + name.size();
      size_t end = bytes.find_first_not_of("0123456789.", p);
      std::string v = bytes.substr(p, end == std::string::npos ? std::string::npos : end - p);
      if (!v.empty() && v.find('.') != std::string::npos) return v;
    }
    return {};
  }

  // A text of the installed English language file.
  std::string Lang(const std::string& key) const {
    std::istringstream in(Utf16LeToUtf8(ks::test::ReadFile(harness->root() + "/bin/English.ksl")));
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    }
    ADD_FAILURE() << "English.ksl has no " << key;
    return {};
  }

  std::string Description(const std::string& version, const std::string& down,
                          const std::string& md5) const {
    auto escape = [](std::string s) {
      for (size_t p = s.find('/'); p != std::string::npos; p = s.find('/', p + 2)) s.insert(p, "\\");
      return s;
    };
    return "{\"version\":\"" + version + "\",\"down\":\"" + escape(down) +
           "\",\"size\":\"1MB\",\"md5\":\"" + md5 + "\"}";
  }
  std::string InstallerUrl() const { return harness->web().url() + kInstallerPath; }
  void OfferVersion(const std::string& version, const std::string& md5) {
    harness->web().Enqueue(kDescriptionPath, WebReply::Ok(Description(version, InstallerUrl(), md5)));
  }
  void ServeInstaller(const WebReply& reply, int times) {
    for (int i = 0; i < times; ++i) harness->web().Enqueue(kInstallerPath, reply);
  }
  // 200 with a body announced as 1 MiB of which 10 bytes come; then nothing until the
  // server's idle time (a minute) ends the connection.
  static WebReply Stalled() {
    WebReply r;
    r.raw = "HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\n\r\n0123456789";
    return r;
  }
  // 200 with `bytes` bytes and no length: the body ends when the server closes.
  static WebReply Streamed(size_t bytes) {
    WebReply r;
    r.raw = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + std::string(bytes, 'x');
    r.close = true;
    return r;
  }

  static WebReply RedirectTo(const std::string& location) {
    WebReply r;
    r.status = 302;
    r.reason = "Found";
    r.headers = {{"Location", location}};
    return r;
  }

  size_t Count(const std::string& path) const {
    size_t n = 0;
    for (const auto& r : harness->web().Requests()) n += r.Path() == path ? 1 : 0;
    return n;
  }
  bool WaitCount(const std::string& path, size_t n, int timeout_ms) const {
    auto deadline = ks::road::Until(timeout_ms);
    while (Count(path) < n) {
      if (Clock::now() >= deadline) return false;
      Pause(50);
    }
    return true;
  }
  bool Saw(const std::string& target) const {
    for (const auto& r : harness->web().Requests())
      if (r.target == target) return true;
    return false;
  }

  std::vector<std::string> PrivateFiles() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(PrivateFolder(), ec)) names.push_back(e.path().filename().string());
    return names;
  }
  std::string Listing() const {
    std::string names;
    for (const std::string& n : PrivateFiles()) names += n + " ";
    return names;
  }
  bool WaitNoPrivateFiles(int timeout_ms) const {
    auto deadline = ks::road::Until(timeout_ms);
    while (!PrivateFiles().empty()) {
      if (Clock::now() >= deadline) return false;
      Pause(50);
    }
    return true;
  }

  void SetRegDword(const std::string& name, uint32_t value) {
    std::string out;
    ASSERT_EQ(harness->Tool("reg", {"add", "HKLM\\SOFTWARE\\Kestyl", "/v", name, "/t", "REG_DWORD", "/d",
                                    std::to_string(value), "/f"}, &out), 0) << out;
  }
  std::optional<uint32_t> RegDword(const std::string& name) {
    std::string out;
    if (harness->Tool("reg", {"query", "HKLM\\SOFTWARE\\Kestyl", "/v", name}, &out) != 0) return std::nullopt;
    size_t at = out.find("REG_DWORD");
    if (at == std::string::npos) return std::nullopt;
    return static_cast<uint32_t>(std::strtoul(out.c_str() + at + 9, nullptr, 0));
  }

  // Starts the desktop and waits for its tray icon; the trace's length before the start.
  size_t StartDesktop(const std::map<std::string, std::string>& env = {}) {
    size_t mark = harness->Trace().size();
    harness->StartDesktop({}, env);
    EXPECT_TRUE(harness->WaitTracePrefix("tray add 174", 20000, mark)) << "no tray icon";
    return mark;
  }
  void StopDesktop() {
    harness->SignalDesktop(SIGTERM);
    int status = harness->WaitDesktop(10000);
    EXPECT_TRUE(status != -1 && WIFEXITED(status)) << "the desktop did not end on SIGTERM";
  }

  // Waits for a visible, enabled control of `cls` traced after `from` and clicks its centre.
  bool ClickTraced(const std::string& cls, int id, size_t from, int timeout_ms = 10000) {
    const std::string head = "ctl " + cls + " " + std::to_string(id) + " ";
    std::optional<std::string> line = harness->WaitTrace(
        [&](const std::string& l) {
          int x, y, w, h, visible = 0, enabled = 0;
          return l.rfind(head, 0) == 0 &&
                 std::sscanf(l.c_str() + head.size(), "%d %d %d %d %d %d", &x, &y, &w, &h, &visible,
                             &enabled) == 6 &&
                 visible && enabled && w > 0 && h > 0;
        },
        timeout_ms, from);
    return line && harness->ClickControl(cls, id, 1000);
  }

  // A tray menu command; the update command lies in the help sub-menu.
  bool TrayCommand(unsigned id) {
    size_t mark = harness->Trace().size();
    if (!harness->RightClickTray(10000)) return false;
    auto item = [&](unsigned item_id, size_t from) {
      return harness->WaitTracePrefix("menuitem " + std::to_string(item_id) + " ", 10000, from).has_value() &&
             harness->ClickMenuItem(item_id, 1000);
    };
    // The sub-menu opens while the pointer reaches its entry: its items are traced from then.
    if (id == kCmdUpdate && !item(kCmdHelpEntry, mark)) return false;
    return item(id, mark);
  }

  // A manual check asks the server again at once: the check before it has ended (else the
  // owner would be told that a check is running).
  void ExpectManualCheckRuns(const std::string& step) {
    const std::string busy_box = TraceQuote(Lang("MSGBOX_ISUPDATINGNOW"));
    size_t mark = harness->Trace().size();
    size_t before = Count(kDescriptionPath);
    ASSERT_TRUE(TrayCommand(kCmdUpdate)) << step;
    EXPECT_TRUE(WaitCount(kDescriptionPath, before + 1, 15000)) << step << ": no new description request";
    std::vector<std::string> lines = harness->Trace();
    for (size_t i = mark; i < lines.size(); ++i)
      EXPECT_EQ(lines[i].find(busy_box), std::string::npos) << step << ": " << lines[i];
  }

  // The update notice's sentence for an offered version, as the trace quotes it.
  std::string NoticeLine(const std::string& version) const {
    return "text CUpdateNoticeDlg " + std::to_string(kNoticeSentence) + " " +
           TraceQuote(Lang("UPDATE_STATIC_UPDATENOTICE_HEAD") + version + Lang("UPDATE_STATIC_UPDATENOTICE_TAIL"));
  }

  DesktopOptions options;
  std::unique_ptr<DesktopHarness> harness;
  std::string installer;
  std::string installer_md5;
  std::string own_version;
};

// The owner is asked: the notice shows the offered version, only its buttons answer it, a
// cancel downloads nothing; an accepted update downloads the installer once, quits and runs
// it with the silent-install arguments; the next start tells that the update is done.
TEST_F(UpdateRoad, NoticeCancelThenUpdateThenFinishedNote) {
  const std::string offered = NextVersion(own_version);
  SetRegDword("UpdateNotice", 0);
  OfferVersion(offered, installer_md5);
  OfferVersion(offered, installer_md5);
  ServeInstaller(WebReply::Ok(installer), 1);

  // Cancel.
  size_t mark = StartDesktop();
  size_t shown = 0;
  ASSERT_TRUE(harness->WaitTracePrefix("show CUpdateNoticeDlg", 20000, mark, &shown)) << "no update notice";
  EXPECT_TRUE(harness->WaitTracePrefix(NoticeLine(offered), 5000, shown)) << "wrong notice sentence";
  std::optional<ks::fake::TraceRect> sentence;
  for (int i = 0; i < 50 && !(sentence = harness->Control("CDiyStatic", kNoticeSentence)); ++i) Pause(100);
  ASSERT_TRUE(sentence) << "the notice's sentence was not placed";
  // The trace's lines come before the X server maps the window: clicks wait until a window
  // lies under the sentence.
  const int cx = sentence->x + sentence->w / 2, cy = sentence->y + sentence->h / 2;
  auto mapped = [&] {
    for (const auto& w : harness->VisibleWindowRects())
      if (w.w < ks::fake::kScreenWidth && cx >= w.x && cx < w.x + w.w && cy >= w.y && cy < w.y + w.h) return true;
    return false;
  };
  for (auto until = ks::road::Until(10000); !mapped() && Clock::now() < until;) Pause(100);
  // Only an answer from a button writes "UpdateNotice" (here 0): a value of its own shows
  // whether the cancel button, not a key, ended the notice.
  SetRegDword("UpdateNotice", 7);
  // Keys go to the window under the pointer (no window manager): point at the notice.
  ASSERT_TRUE(harness->ClickAt(cx, cy));
  harness->Screenshot("notice");
  ASSERT_TRUE(harness->Key("Return"));
  ASSERT_TRUE(harness->Key("Escape"));
  ASSERT_TRUE(harness->Key("KP_Enter"));
  // X delivers the keys before the click: when they ended the notice, its first answer is not
  // the cancel button's.
  // A click can be lost while the X server is busy; the notice is modal, so clicking its
  // cancel button again while it has not answered only answers it.
  std::optional<std::string> ended;
  for (int attempt = 0; attempt < 3 && !ended; ++attempt) {
    ASSERT_TRUE(ClickTraced("CColorButton", kNoticeCancel, shown));
    ended = harness->WaitTrace(
        [](const std::string& l) {
          return l.rfind("result CUpdateNoticeDlg", 0) == 0 || l.rfind("hide CUpdateNoticeDlg", 0) == 0;
        },
        5000, shown);
  }
  ASSERT_TRUE(ended) << "the notice did not end";
  EXPECT_EQ(*ended, "result CUpdateNoticeDlg 2") << "the notice ended before its cancel button";
  EXPECT_TRUE(Saw("/kestyl/bannerpc?L=en")) << "no English banner fetched";
  EXPECT_EQ(RegDword("UpdateNotice"), 0u);
  harness->Screenshot("cancelled");
  StopDesktop();
  EXPECT_EQ(Count(kInstallerPath), 0u) << "a cancelled update downloaded the installer";

  // Never ask again, update.
  mark = StartDesktop();
  ASSERT_TRUE(harness->WaitTracePrefix("show CUpdateNoticeDlg", 20000, mark, &shown)) << "no update notice";
  ASSERT_TRUE(ClickTraced("CColorButton", kNotice1043NeverShow, shown));
  harness->Screenshot("never-ask-ticked");
  ASSERT_TRUE(ClickTraced("CColorButton", kNoticeUpdate, shown));
  int status = harness->WaitDesktop(30000);
  ASSERT_NE(status, -1) << "the desktop did not quit for the installer";
  EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(RegDword("UpdateNotice"), 1u);
  EXPECT_EQ(RegDword("UpdateFinish"), 1u);
  EXPECT_EQ(Count(kInstallerPath), 1u);
  std::string log;
  for (int i = 0; i < 200 && (log = ks::test::ReadFile(InstallerLog())).empty(); ++i) Pause(50);
  EXPECT_EQ(log, "/Sp_ /VERYSILENT /NORESTART -mode:auto\n");

  // The next start shows the finished-update note for about five seconds (timed from the
  // trace, without waiting for the tray first).
  mark = harness->Trace().size();
  harness->StartDesktop();
  ASSERT_TRUE(harness->WaitTracePrefix("show CUpdateDlg", 20000, mark, &shown)) << "no finished-update note";
  const auto shown_at = Clock::now();
  harness->Screenshot("update-done");
  ASSERT_TRUE(harness->WaitTracePrefix("hide CUpdateDlg", 30000, shown)) << "the note stayed";
  const auto seconds = std::chrono::duration<double>(Clock::now() - shown_at).count();
  EXPECT_GE(seconds, 3.0);
  EXPECT_LE(seconds, 20.0);
  EXPECT_EQ(RegDword("UpdateFinish"), 0u);
  EXPECT_EQ(Count(kInstallerPath), 1u) << "the description was fetched anew and downloaded again";
  StopDesktop();
}

// Without the owner's notice: downloads that fail their checks run nothing, leave no file
// and keep the program running; a later manual check is not refused as busy.
TEST_F(UpdateRoad, FailedDownloadsRunNothing) {
  SetRegDword("UpdateNotice", 1);
  struct Case {
    const char* name;
    std::map<std::string, std::string> env;
    std::string down;
    std::string md5;
    std::optional<WebReply> reply;  // five times; none: the download must not even start
  };
  const std::string etc_hostname = ks::test::ReadFile("/etc/hostname");
  const Case cases[] = {
      {"wrong-md5", {}, InstallerUrl(), std::string(32, '0'), WebReply::Ok(installer)},
      {"too-large", {{"KESTYL_UPDATE_MAX_MB", "1"}}, InstallerUrl(), installer_md5, Streamed(3 << 20)},
      // Would pass the MD5 check if the program fetched it.
      {"file-url", {}, "file:///etc/hostname", ks::fake::DigestHex(ks::fake::Md5Of(etc_hostname)), std::nullopt},
      {"redirect-to-file", {}, InstallerUrl(), ks::fake::DigestHex(ks::fake::Md5Of(etc_hostname)),
       RedirectTo("file:///etc/hostname")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    harness->web().Enqueue(kDescriptionPath,
                           WebReply::Ok(Description(NextVersion(own_version), c.down, c.md5)));
    if (c.reply) ServeInstaller(*c.reply, 5);
    const size_t before = Count(kInstallerPath);
    const size_t described = Count(kDescriptionPath);
    StartDesktop(c.env);
    ASSERT_TRUE(WaitCount(kDescriptionPath, described + 1, 20000)) << "no automatic check";
    if (c.reply) {
      EXPECT_TRUE(WaitCount(kInstallerPath, before + 5, 30000)) << "tries: " << Count(kInstallerPath) - before;
      EXPECT_TRUE(WaitNoPrivateFiles(30000)) << "left: " << Listing();
    }
    ExpectManualCheckRuns(c.name);
    EXPECT_EQ(Count(kInstallerPath), before + (c.reply ? 5 : 0));
    EXPECT_TRUE(harness->DesktopRunning()) << "the desktop quit for an installer that failed its checks";
    EXPECT_FALSE(fs::exists(InstallerLog())) << "an installer ran";
    EXPECT_TRUE(PrivateFiles().empty()) << "left: " << Listing();
    harness->Screenshot(c.name);
    StopDesktop();
    EXPECT_FALSE(fs::exists(InstallerLog())) << "an installer ran at exit";
  }
}

// A download that stalls is given up after the stall window, five times, and the manager is
// free for a manual check afterwards; exit from the tray during a stalled download ends the
// program at once, without a crash and without running anything.
TEST_F(UpdateRoad, StalledDownloads) {
  SetRegDword("UpdateNotice", 1);
  OfferVersion(NextVersion(own_version), installer_md5);
  ServeInstaller(Stalled(), 5);
  StartDesktop({{"KESTYL_UPDATE_STALL_S", "3"}});
  EXPECT_TRUE(WaitCount(kInstallerPath, 5, 40000)) << "tries: " << Count(kInstallerPath);
  EXPECT_TRUE(WaitNoPrivateFiles(30000)) << "left: " << Listing();
  ExpectManualCheckRuns("after the stalled tries");
  EXPECT_EQ(Count(kInstallerPath), 5u);
  EXPECT_TRUE(harness->DesktopRunning());
  EXPECT_FALSE(fs::exists(InstallerLog())) << "an installer ran";
  StopDesktop();

  // Exit while the first try hangs (the default stall window is a minute).
  OfferVersion(NextVersion(own_version), installer_md5);
  ServeInstaller(Stalled(), 5);
  StartDesktop();
  ASSERT_TRUE(WaitCount(kInstallerPath, 6, 20000)) << "no download";
  harness->Screenshot("downloading");
  ASSERT_TRUE(TrayCommand(kCmdExit));
  const auto clicked = Clock::now();
  int status = harness->WaitDesktop(10000);
  ASSERT_NE(status, -1) << "the desktop still runs";
  // Far below the minute a hung try could hold it, whatever the build's speed.
  EXPECT_LE(std::chrono::duration<double>(Clock::now() - clicked).count(), 5.0 * DesktopHarness::Slowdown());
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_FALSE(WIFSIGNALED(status) && WCOREDUMP(status)) << "core dumped";
  EXPECT_EQ(Count(kInstallerPath), 6u);
  EXPECT_FALSE(fs::exists(InstallerLog())) << "an installer ran";
  EXPECT_TRUE(PrivateFiles().empty()) << "left: " << Listing();
}

// A manual check that finds nothing newer tells the owner so, for the same, a lower and a
// shorter spelling of the same version.
TEST_F(UpdateRoad, ManualCheckFindsNoNewerVersion) {
  SetRegDword("UpdateNotice", 1);
  const std::string box = "box 0 " + TraceQuote(Lang("MSGBOX_UPDATETITLE")) + " " + TraceQuote(Lang("MSGBOX_NOUPDATE"));
  const std::string busy_box = TraceQuote(Lang("MSGBOX_ISUPDATINGNOW"));
  std::vector<std::string> versions = {own_version, LowerVersion(own_version)};
  if (own_version.size() > 2 && own_version.compare(own_version.size() - 2, 2, ".0") == 0)
    versions.push_back(own_version.substr(0, own_version.size() - 2));
  // The automatic check at start finds nothing (the fixed empty reply); then one manual check
  // per offered version.
  StartDesktop({{"KESTYL_UPDATE_FIRST_S", "3600"}});
  for (const std::string& v : versions) {
    SCOPED_TRACE(v);
    harness->web().Enqueue(kDescriptionPath,
                           WebReply::Ok(Description(v, InstallerUrl(), installer_md5)));
    // A manual check keeps the manager busy for a few seconds after it: a command in that
    // time is answered "already checking", and is given again.
    std::optional<std::string> answer;
    size_t at = 0;
    for (int attempt = 0; attempt < 10 && !(answer && *answer == box); ++attempt) {
      size_t mark = harness->Trace().size();
      ASSERT_TRUE(TrayCommand(kCmdUpdate));
      answer = harness->WaitTrace(
          [&](const std::string& l) { return l == box || (l.rfind("box ", 0) == 0 && l.find(busy_box) != std::string::npos); },
          15000, mark, &at);
      ASSERT_TRUE(answer) << "no box after the update command";
      if (*answer == box) harness->Screenshot("no-newer-" + v);
      ASSERT_TRUE(ClickTraced("CColorButton", kBoxOk, at));
      ASSERT_TRUE(harness->WaitTracePrefix("result CDiyMessageBox", 10000, at));
      if (*answer != box) Pause(1000);
    }
    EXPECT_EQ(*answer, box);
  }
  EXPECT_EQ(Count(kInstallerPath), 0u);
  EXPECT_TRUE(harness->DesktopRunning());
  StopDesktop();
}

// The session ends (SIGTERM) while the notice waits for the owner: the program ends without
// an answer counting as agreement, so nothing is downloaded or run.
TEST_F(UpdateRoad, SessionEndsWhileNoticeWaits) {
  SetRegDword("UpdateNotice", 0);
  OfferVersion(NextVersion(own_version), installer_md5);
  ServeInstaller(WebReply::Ok(installer), 1);
  size_t mark = StartDesktop();
  ASSERT_TRUE(harness->WaitTracePrefix("show CUpdateNoticeDlg", 20000, mark)) << "no update notice";
  harness->Screenshot("notice");
  harness->SignalDesktop(SIGTERM);
  int status = harness->WaitDesktop(10000);
  ASSERT_NE(status, -1) << "the desktop did not end with the notice open";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(Count(kInstallerPath), 0u);
  EXPECT_FALSE(fs::exists(InstallerLog())) << "an installer ran";
  EXPECT_EQ(RegDword("UpdateNotice"), 0u);
}

}  // namespace
