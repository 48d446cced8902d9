// The main window's pages as the PC's owner meets them: the share list (add, delete, cancel,
// OK), the data folder's move and its refusals, the transfer list after a phone's download,
// the account page and its links, and a move cut short by a killed desktop. Each road logs
// in once through the dialog and then works only through the screen: clicks at the places
// the UI trace gives, folders typed into the folder picker, message boxes answered by their
// buttons.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/desktop/road_kit.h"
#include "tests/fakes/desktop_harness.h"
#include "tests/fakes/fake_mobile_client.h"
#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/fake_web_server.h"
#include "tests/fakes/md5.h"
#include "tests/fakes/test_support.h"

namespace {

namespace fs = std::filesystem;
using ks::fake::DesktopHarness;
using ks::fake::DesktopOptions;
using ks::fake::TraceRect;
using Clock = std::chrono::steady_clock;

constexpr int kTrayOnline = 368;
constexpr int kCmdSettings = 32784;
// Main window controls.
constexpr int kShareList = 1012, kDelete = 1016, kAdd = 1017, kOk = 1020, kCancel = 1019;
constexpr int kTransList = 1132, kDataFolder = 1025, kMoveFolder = 1055, kAutoStart = 1050;
constexpr int kAccountLabel = 1137, kChangePassword = 1063;
constexpr int kSharePage = 1049, kTransPage = 1133, kSettingPage = 1048, kAccountPage = 1138;
// Message box buttons: OK or Yes, Cancel or No.
constexpr int kBoxOk = 1, kBoxCancel = 2;

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string Which(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return dir + "/" + program;
  }
  return "/usr/bin/" + program;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The words of a trace line; quoted texts unescaped (\\ \" \r \n).
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ') {
      ++i;
      continue;
    }
    std::string word;
    if (line[i] == '"') {
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
          char c = line[++i];
          word += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
        } else {
          word += line[i];
        }
      }
      ++i;
    } else {
      while (i < line.size() && line[i] != ' ') word += line[i++];
    }
    out.push_back(word);
  }
  return out;
}

// The English texts by key (first section that has the key wins), as the language file
// holds them: a message's line breaks stay the two characters backslash and "n".
std::map<std::string, std::string> EnglishTexts(const std::string& file) {
  std::map<std::string, std::string> texts;
  std::istringstream in(Slurp(file));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';' || line[0] == '[') continue;
    size_t eq = line.find('=');
    if (eq != std::string::npos) texts.emplace(line.substr(0, eq), line.substr(eq + 1));
  }
  return texts;
}

std::string Md5Hex(const std::string& file) {
  std::string bytes = Slurp(file);
  return ks::fake::DigestHex(ks::fake::Md5Of(bytes));
}

class PagesRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = ks::road::PrepareRoadOptions(options); !why.empty()) GTEST_SKIP() << why;
    english = EnglishTexts(std::string(KS_SOURCE_DIR) + "/desktop/resources/lang/utf8/English.ksl");
  }

  void TearDown() override {
    if (desktop > 0) EndDesktop(SIGTERM);
  }

  // Ends the first desktop with `sig` (SIGKILL when it outlives SIGTERM by 5 s).
  void EndDesktop(int sig) {
    ::kill(desktop, sig);
    int status = 0;
    for (int i = 0; i < 250 && ::waitpid(desktop, &status, WNOHANG) == 0; ++i) Pause(20);
    if (::waitpid(desktop, &status, WNOHANG) == 0) {
      ::kill(desktop, SIGKILL);
      ::waitpid(desktop, &status, 0);
    }
    desktop = -1;
  }

  // A fresh root, the desktop started and the owner logged in through the dialog (password
  // remembered); returns once the tray is online and the agent has a data folder.
  void StartLoggedIn() {
    harness = std::make_unique<DesktopHarness>(options);
    std::string why;
    ASSERT_TRUE(harness->Prepare(&why)) << why;
    T = harness->work();
    ASSERT_EQ(T.rfind("/tmp/", 0), std::string::npos) << T;
    ASSERT_EQ(T.rfind("/var/", 0), std::string::npos) << T;
    harness->StartDesktop();
    ASSERT_TRUE(harness->WaitTracePrefix("tray add 174", 20000)) << "no tray icon";
    // A second start wakes the first, which shows the log-in dialog; the harness then
    // follows the second, so the first is kept here.
    desktop = harness->desktop_pid();
    size_t mark = harness->Trace().size();
    harness->StartDesktop();
    harness->WaitDesktop(5000);
    ASSERT_TRUE(harness->WaitTrace(
        [](const std::string& l) {
          int x = -1, y = -1;
          return std::sscanf(l.c_str(), "ctl CLoginDlg 0 %d %d", &x, &y) == 2 && x >= 0 && y >= 0;
        },
        20000, mark))
        << "no log-in dialog";
    ASSERT_TRUE(harness->ClickControl("QLineEdit", 1004));
    ASSERT_TRUE(harness->TypeText("owner@example.com"));
    ASSERT_TRUE(harness->ClickControl("QLineEdit", 1005));
    ASSERT_TRUE(harness->TypeText("secret1"));
    mark = harness->Trace().size();
    ASSERT_TRUE(harness->ClickControl("CColorButton", 1091));
    ASSERT_TRUE(harness->WaitTracePrefix("tray modify " + std::to_string(kTrayOnline), 30000, mark))
        << "tray never went online";
    for (auto deadline = ks::road::Until(20000); DataFolder().empty();) {
      ASSERT_LT(Clock::now(), deadline) << "the agent never got a data folder";
      Pause(100);
    }
  }

  // ---- what the agent stored ----
  std::string Sql(const std::string& query) {
    std::string out;
    harness->Run({Which("sqlite3"), "-cmd", ".timeout 3000", harness->root() + "/etc/Kestyl.db", query}, &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }
  std::string DataFolder() { return Sql("select def from ks_defshare"); }
  std::vector<std::string> Shares() {
    std::vector<std::string> out;
    std::istringstream in(Sql("select path from ks_share order by rowid"));
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
  }
  bool Shared(const std::string& folder) {
    for (const auto& s : Shares())
      if (s == folder) return true;
    return false;
  }
  template <typename Pred>
  bool Eventually(Pred pred, int timeout_ms) {
    for (auto deadline = ks::road::Until(timeout_ms);;) {
      if (pred()) return true;
      if (Clock::now() >= deadline) return false;
      Pause(100);
    }
  }

  // ---- the trace ----
  size_t Mark() const { return harness->Trace().size(); }

  // The last `ctl` line of control `id` (of class `cls` when given) at index >= from.
  std::optional<TraceRect> Ctl(int id, const std::string& cls = "", size_t from = 0) const {
    std::vector<std::string> lines = harness->Trace();
    for (size_t i = lines.size(); i-- > from;) {
      std::vector<std::string> f = Fields(lines[i]);
      if (f.size() < 9 || f[0] != "ctl" || f[2] != std::to_string(id)) continue;
      if (!cls.empty() && f[1] != cls) continue;
      TraceRect r;
      r.x = std::atoi(f[3].c_str());
      r.y = std::atoi(f[4].c_str());
      r.w = std::atoi(f[5].c_str());
      r.h = std::atoi(f[6].c_str());
      r.visible = f[7] == "1";
      r.enabled = f[8] == "1";
      return r;
    }
    return std::nullopt;
  }

  // Clicks a button that opens a modal window and waits for the trace line starting with
  // `shown`; clicks again when none came (a click can be lost while the window under it is
  // being mapped), which is safe: once the modal window is up it takes every click meant for
  // its owner.
  bool ClickToOpen(int id, const std::string& shown) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      const size_t from = Mark();
      if (!Click(id)) return false;
      if (harness->WaitTracePrefix(shown, 5000, from)) return true;
      std::fprintf(stderr, "control %d: no \"%s\" after click %d\n", id, shown.c_str(), attempt + 1);
    }
    return false;
  }

  // Clicks control `id` where the trace last placed it, once it is shown. (A control's
  // enabled flag is as of its last line: enabling writes none, so it is not waited for.)
  bool Click(int id, const std::string& cls = "", size_t from = 0) {
    for (auto deadline = ks::road::Until(10000);;) {
      std::optional<TraceRect> r = Ctl(id, cls, from);
      if (r && r->visible && ks::fake::OnScreen(*r)) return harness->ClickAt(r->x + r->w / 2, r->y + r->h / 2);
      if (Clock::now() >= deadline) return false;
      Pause(50);
    }
  }

  // The text of the last `text` line of control `id` at index >= from.
  std::optional<std::string> WaitText(int id, size_t from, const std::string& want, int timeout_ms = 10000) {
    std::optional<std::string> last;
    harness->WaitTrace(
        [&](const std::string& l) {
          std::vector<std::string> f = Fields(l);
          if (f.size() < 4 || f[0] != "text" || f[2] != std::to_string(id)) return false;
          last = f[3];
          return f[3] == want;
        },
        timeout_ms, from);
    return last;
  }

  // A tray command: right click on the tray, then the item of the menu that popped up.
  bool TrayCommand(int id) {
    size_t mark = Mark();
    if (!harness->RightClickTray()) return false;
    std::optional<std::string> item = harness->WaitTracePrefix("menuitem " + std::to_string(id) + " ", 10000, mark);
    if (!item) return false;
    std::vector<std::string> f = Fields(*item);
    if (f.size() < 6) return false;
    return harness->ClickAt(std::atoi(f[2].c_str()) + std::atoi(f[4].c_str()) / 2,
                            std::atoi(f[3].c_str()) + std::atoi(f[5].c_str()) / 2);
  }

  // Shows the main window through the tray's settings command.
  bool OpenMainWindow() {
    size_t mark = Mark();
    return TrayCommand(kCmdSettings) && harness->WaitTracePrefix("show CSettingDlg", 10000, mark);
  }

  // Whether the main window is mapped (X windows named as its last `show` line says).
  bool MainWindowMapped() {
    std::optional<std::string> title;
    for (const std::string& l : harness->Trace())
      if (l.rfind("show CSettingDlg ", 0) == 0) title = Fields(l).at(2);
    return title && !title->empty() && !harness->VisibleWindows("^" + *title + "$").empty();
  }

  bool LeftClickTray() {
    if (!harness->WaitVisibleWindow("Kestyl tray", 5000)) return false;
    std::vector<std::string> ids = harness->VisibleWindows("Kestyl tray");
    return !ids.empty() &&
           harness->Run({Which("xdotool"), "mousemove", "--sync", "--window", ids.front(), "16", "16", "click", "1"}) == 0;
  }

  // Answers the folder picker that the click after `from` opened: the path typed into it,
  // then Return. True once the picker went away.
  bool Pick(size_t from, const std::string& path) {
    size_t shown = 0;
    if (!harness->WaitTracePrefix("show QFileDialog", 10000, from, &shown)) return false;
    if (!FocusWindow(english["OTHER_SELECTFLODER"])) return false;
    harness->Key("ctrl+a");
    harness->TypeText(path);
    harness->Key("Return");
    return harness->WaitTracePrefix("hide QFileDialog", 10000, shown).has_value();
  }

  // Types a folder that does not exist: the picker says so itself; its notice is closed and
  // the picker cancelled.
  bool PickMissing(size_t from, const std::string& path) {
    size_t shown = 0;
    if (!harness->WaitTracePrefix("show QFileDialog", 10000, from, &shown)) return false;
    if (!FocusWindow(english["OTHER_SELECTFLODER"])) return false;
    harness->Key("ctrl+a");
    harness->TypeText(path);
    // A completion list that popped up while typing takes the first Return for itself; the
    // next one reaches the picker, which then says the folder is missing.
    size_t notice = 0;
    bool noticed = false;
    for (int attempt = 0; attempt < 3 && !noticed; ++attempt) {
      harness->Key("Return");
      noticed = harness->WaitTracePrefix("show QMessageBox", 5000, shown, &notice).has_value();
    }
    if (!noticed) return false;
    harness->Key("Return");
    if (!harness->WaitTracePrefix("hide QMessageBox", 10000, notice)) return false;
    if (!FocusWindow(english["OTHER_SELECTFLODER"])) return false;
    harness->Key("Escape");
    return harness->WaitTracePrefix("hide QFileDialog", 10000, shown).has_value();
  }

  bool FocusWindow(const std::string& name) {
    if (!harness->WaitVisibleWindow(name, 10000)) return false;
    std::vector<std::string> ids = harness->VisibleWindows(name);
    return !ids.empty() && harness->Run({Which("xdotool"), "windowfocus", "--sync", ids.back()}) == 0;
  }

  // The message box shown after `from`: its `box` line's caption and text.
  struct Box {
    std::string caption, text;
    unsigned type = 0;
  };
  std::optional<Box> WaitBox(size_t from, int timeout_ms = 10000) {
    std::optional<std::string> line = harness->WaitTracePrefix("box ", timeout_ms, from);
    if (!line) return std::nullopt;
    std::vector<std::string> f = Fields(*line);
    if (f.size() < 4) return std::nullopt;
    return Box{f[2], f[3], static_cast<unsigned>(std::atoi(f[1].c_str()))};
  }
  // Whether a box text is the language file's message `key` (its line breaks aside).
  bool IsMessage(const Box& box, const std::string& key) {
    std::string want = english[key];
    std::string got;
    for (size_t i = 0; i < box.text.size(); ++i) {
      if (box.text[i] == '\n') got += "\\n";
      else got += box.text[i];
    }
    return !want.empty() && got == want && box.caption == english["DIALOG_TITLE"];
  }
  // Waits until the X server shows the box whose `show` line is at `shown` where the trace
  // last placed it (the trace's `show` line comes before the window is mapped).
  void WaitBoxMapped(const std::string& title, size_t shown) {
    Eventually(
        [&] {
          std::optional<TraceRect> box = Ctl(0, "CDiyMessageBox", shown);
          if (!box) return false;
          for (const auto& w : harness->VisibleWindowRects("^" + title + "$"))
            if (w.x == box->x && w.y == box->y && w.w == box->w && w.h == box->h) return true;
          return false;
        },
        10000);
  }
  // Clicks a button of the message box shown after `from` and waits for it to end.
  bool AnswerBox(size_t from, int button) {
    size_t shown = 0;
    std::optional<std::string> show = harness->WaitTracePrefix("show CDiyMessageBox", 10000, from, &shown);
    if (!show) return false;
    WaitBoxMapped(Fields(*show).at(2), shown);
    // A click that reached the X server before the box was mapped there is lost; the box is
    // modal, so clicking its button again while it has not answered only answers it.
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (!Click(button, "CColorButton", shown)) return false;
      if (harness->WaitTracePrefix("result CDiyMessageBox", 5000, shown)) return true;
    }
    return false;
  }
  // Expects the box `key` after `from` and closes it with OK.
  void ExpectBox(size_t from, const std::string& key) {
    std::optional<Box> box = WaitBox(from);
    ASSERT_TRUE(box) << "no box " << key;
    EXPECT_TRUE(IsMessage(*box, key)) << "box \"" << box->text << "\" is not " << key;
    EXPECT_EQ(box->type, 0u);
    ASSERT_TRUE(AnswerBox(from, kBoxOk));
  }

  // Lines at [from, to) that start with `prefix`.
  std::vector<std::string> LinesBetween(size_t from, size_t to, const std::string& prefix) const {
    std::vector<std::string> lines = harness->Trace(), out;
    for (size_t i = from; i < lines.size() && i < to; ++i)
      if (lines[i].rfind(prefix, 0) == 0) out.push_back(lines[i]);
    return out;
  }

  // A `row <cls> <list> add|del <index> "<col0>" "<col1>"` line of list `list` at >= from.
  std::optional<std::vector<std::string>> WaitRow(int list, const std::string& op, const std::string& path,
                                                  size_t from, int timeout_ms = 10000) {
    std::optional<std::vector<std::string>> found;
    harness->WaitTrace(
        [&](const std::string& l) {
          std::vector<std::string> f = Fields(l);
          if (f.size() < 7 || f[0] != "row" || f[2] != std::to_string(list) || f[3] != op) return false;
          if (!path.empty() && f[6] != path) return false;
          found = f;
          return true;
        },
        timeout_ms, from);
    return found;
  }
  // The rows of a list as the trace's add and del lines leave them (column 1).
  std::vector<std::string> Rows(int list) const {
    std::vector<std::string> rows;
    for (const std::string& l : harness->Trace()) {
      std::vector<std::string> f = Fields(l);
      if (f.size() < 7 || f[0] != "row" || f[2] != std::to_string(list)) continue;
      size_t index = static_cast<size_t>(std::atoi(f[4].c_str()));
      if (f[3] == "add" && index <= rows.size()) rows.insert(rows.begin() + static_cast<long>(index), f[6]);
      if (f[3] == "del" && index < rows.size()) rows.erase(rows.begin() + static_cast<long>(index));
    }
    return rows;
  }
  static int IndexOf(const std::vector<std::string>& rows, const std::string& path) {
    for (size_t i = 0; i < rows.size(); ++i)
      if (rows[i] == path) return static_cast<int>(i);
    return -1;
  }

  // Selects rows of the share list: a click on the first row, then the keyboard (Down moves
  // the one selection, Ctrl+Down the cursor alone, Ctrl+Space adds the cursor's row).
  bool SelectShareRows(std::vector<int> wanted) {
    std::optional<TraceRect> list = Ctl(kShareList);
    if (!list || wanted.empty()) return false;
    std::sort(wanted.begin(), wanted.end());
    // The header is 27 pixels high below the list's one-pixel frame; the first row starts
    // right under it.
    if (!harness->ClickAt(list->x + 60, list->y + 1 + 27 + 4)) return false;
    int cursor = 0;
    for (size_t n = 0; n < wanted.size(); ++n) {
      for (; cursor < wanted[n]; ++cursor) harness->Key(n == 0 ? "Down" : "ctrl+Down");
      if (n > 0) harness->Key("ctrl+space");
    }
    return true;
  }

  DesktopOptions options;
  std::unique_ptr<DesktopHarness> harness;
  std::map<std::string, std::string> english;
  std::string T;
  pid_t desktop = -1;  // the desktop the owner logged in to
};

// The share page: the window opens on the share list; a folder added and confirmed reaches
// the agent; a whole file system, a folder listed already, a system folder and a folder that
// is not there are each refused; Cancel undoes an add and a delete, OK sends the delete. A
// phone's download then shows on the transfer page.
TEST_F(PagesRoad, ShareListEditsAndTheTransferList) {
  ASSERT_NO_FATAL_FAILURE(StartLoggedIn());
  for (const char* folder : {"A", "B", "usr-notes", "new"}) fs::create_directories(T + "/" + folder);
  ks::test::WriteFile(T + "/A/a.jpg", std::string(3000, 'j'));

  size_t shown = Mark();
  ASSERT_TRUE(OpenMainWindow());
  ASSERT_TRUE(Click(kSharePage));
  // The share page's controls only.
  for (int id : {kShareList, kDelete, kAdd}) {
    ASSERT_TRUE(Eventually([&] { return Ctl(id, "", shown).has_value(); }, 5000)) << id;
    EXPECT_TRUE(Ctl(id, "", shown)->visible) << id;
  }
  // Hidden controls write no line: none of the other pages' controls showed.
  for (int id : {kDataFolder, kTransList, kMoveFolder, kAutoStart, kAccountLabel}) {
    std::optional<TraceRect> r = Ctl(id, "", shown);
    EXPECT_FALSE(r && r->visible) << "control " << id << " shows on the share page";
  }
  harness->Screenshot("share-page");

  // 1. A folder added and confirmed.
  size_t mark = Mark();
  ASSERT_TRUE(ClickToOpen(kAdd, "show QFileDialog"));
  ASSERT_TRUE(Pick(mark, T + "/A"));
  std::optional<std::vector<std::string>> row = WaitRow(kShareList, "add", T + "/A", mark);
  ASSERT_TRUE(row) << "no row for A";
  EXPECT_EQ((*row)[5], "A");
  harness->Screenshot("added-A");
  mark = Mark();
  ASSERT_TRUE(Click(kOk));
  EXPECT_TRUE(Eventually([&] { return Shared(T + "/A"); }, 3000)) << "the agent's shares lack A";
  EXPECT_TRUE(harness->WaitTracePrefix("hide CSettingDlg", 5000, mark)) << "the window stayed";
  EXPECT_TRUE(Eventually([&] { return !MainWindowMapped(); }, 3000)) << "the window stays mapped";

  // 2. Refusals.
  ASSERT_TRUE(OpenMainWindow());
  mark = Mark();
  ASSERT_TRUE(ClickToOpen(kAdd, "show QFileDialog"));
  ASSERT_TRUE(Pick(mark, "/"));
  ASSERT_NO_FATAL_FAILURE(ExpectBox(mark, "MSGBOX_SHAREROOTPATH"));
  EXPECT_TRUE(LinesBetween(mark, Mark(), "row ").empty());
  harness->Screenshot("root-refused");
  mark = Mark();
  ASSERT_TRUE(ClickToOpen(kAdd, "show QFileDialog"));
  ASSERT_TRUE(Pick(mark, T + "/A"));
  ASSERT_NO_FATAL_FAILURE(ExpectBox(mark, "MSGBOX_SHARESAMEFOLDER"));
  EXPECT_TRUE(LinesBetween(mark, Mark(), "row ").empty());
  // A system folder: refused without a word. The next picker opens only once the add
  // before it ended, so the lines between the two tell what it did.
  mark = Mark();
  ASSERT_TRUE(ClickToOpen(kAdd, "show QFileDialog"));
  ASSERT_TRUE(Pick(mark, "/usr/share"));
  size_t next = Mark();
  ASSERT_TRUE(Click(kAdd));
  ASSERT_TRUE(PickMissing(next, T + "/missing"));
  size_t after = Mark();
  ASSERT_TRUE(ClickToOpen(kAdd, "show QFileDialog"));
  ASSERT_TRUE(Pick(after, T + "/usr-notes"));
  EXPECT_TRUE(WaitRow(kShareList, "add", T + "/usr-notes", after)) << "usr-notes is no system folder";
  EXPECT_TRUE(LinesBetween(mark, after, "box ").empty());
  EXPECT_TRUE(LinesBetween(mark, after, "row ").empty());
  harness->Screenshot("usr-notes-added");

  // 3. Add then delete, cancelled: nothing left, nothing sent.
  std::vector<std::string> before = Shares();
  mark = Mark();
  ASSERT_TRUE(ClickToOpen(kAdd, "show QFileDialog"));
  ASSERT_TRUE(Pick(mark, T + "/B"));
  ASSERT_TRUE(WaitRow(kShareList, "add", T + "/B", mark));
  int b = IndexOf(Rows(kShareList), T + "/B");
  ASSERT_GE(b, 0);
  ASSERT_TRUE(SelectShareRows({b}));
  ASSERT_TRUE(Click(kDelete));
  ASSERT_TRUE(WaitRow(kShareList, "del", T + "/B", mark)) << "B not deleted";
  mark = Mark();
  ASSERT_TRUE(Click(kCancel));
  ASSERT_TRUE(harness->WaitTracePrefix("hide CSettingDlg", 5000, mark));
  EXPECT_EQ(IndexOf(Rows(kShareList), T + "/B"), -1);
  EXPECT_EQ(IndexOf(Rows(kShareList), T + "/usr-notes"), -1) << "Cancel keeps an add it should undo";
  EXPECT_EQ(Shares(), before);
  // The same, confirmed: the agent never lists B.
  ASSERT_TRUE(OpenMainWindow());
  mark = Mark();
  ASSERT_TRUE(ClickToOpen(kAdd, "show QFileDialog"));
  ASSERT_TRUE(Pick(mark, T + "/B"));
  ASSERT_TRUE(WaitRow(kShareList, "add", T + "/B", mark));
  b = IndexOf(Rows(kShareList), T + "/B");
  ASSERT_TRUE(SelectShareRows({b}));
  ASSERT_TRUE(Click(kDelete));
  ASSERT_TRUE(WaitRow(kShareList, "del", T + "/B", mark));
  harness->Screenshot("B-deleted");
  mark = Mark();
  ASSERT_TRUE(Click(kOk));
  ASSERT_TRUE(harness->WaitTracePrefix("hide CSettingDlg", 5000, mark));
  EXPECT_FALSE(Shared(T + "/B"));
  EXPECT_TRUE(Shared(T + "/A"));

  // 6. A phone logged in with the owner's account takes a file; the transfer page lists it.
  std::string password;
  for (const auto& r : harness->vendor().Requests(0x1001))
    if (r.account == "owner@example.com") password = r.password;
  auto phone = ks::fake::FakeMobileClient::ConnectTcp(harness->agent_port());
  ASSERT_TRUE(phone) << "the agent takes no phone";
  ks::fake::LoginResult login = phone->Login("owner@example.com", password, "model: test phone", 7, 15000);
  ASSERT_TRUE(login.ok()) << login.Describe();
  ASSERT_EQ(login.verdict, 0) << "the owner's phone was refused";
  ks::fake::DownloadResult got = phone->Download(T + "/A/a.jpg", 8);
  EXPECT_EQ(ks::fake::CompareDownload(got, T + "/A/a.jpg", 0), "");
  phone->Close();
  ASSERT_TRUE(OpenMainWindow());
  mark = Mark();
  ASSERT_TRUE(Click(kTransPage));
  row = WaitRow(kTransList, "add", "", mark);
  ASSERT_TRUE(row) << "the transfer list stays empty";
  EXPECT_EQ((*row)[4], "0");
  EXPECT_EQ((*row)[5], "a");
  harness->Screenshot("transfer-page");
}

// The data folder moves with everything in it, and every refused target leaves it alone;
// the share list keeps the data folder's row; the account page shows the owner and opens
// the password page; the tray's left click opens the data folder.
TEST_F(PagesRoad, DataFolderMoveAndAccountPage) {
  ASSERT_NO_FATAL_FAILURE(StartLoggedIn());
  for (const char* folder : {"A", "usr-notes", "new", "new2"}) fs::create_directories(T + "/" + folder);
  const std::string D = DataFolder();
  const std::string moved = T + "/new/Kestyl";
  std::mt19937 random(27);
  std::string planted(200000, '\0');
  for (char& c : planted) c = static_cast<char>(random());
  ks::test::WriteFile(D + "/f.bin", planted);

  // 4. The settings page names the data folder; the move copies it, then the old one goes.
  ASSERT_TRUE(OpenMainWindow());
  size_t mark = Mark();
  ASSERT_TRUE(Click(kSettingPage));
  std::optional<std::string> text = WaitText(kDataFolder, mark, D);
  EXPECT_EQ(text.value_or("(none)"), D);
  harness->Screenshot("settings-page");
  mark = Mark();
  ASSERT_TRUE(ClickToOpen(kMoveFolder, "show QFileDialog"));
  ASSERT_TRUE(Pick(mark, T + "/new"));
  std::optional<Box> notice = WaitBox(mark);
  ASSERT_TRUE(notice);
  EXPECT_TRUE(IsMessage(*notice, "MSGBOX_MOVEFOLDER_NOTICE")) << notice->text;
  EXPECT_EQ(notice->type, 4u);
  harness->Screenshot("move-notice");
  ASSERT_TRUE(AnswerBox(mark, kBoxOk));
  EXPECT_TRUE(Eventually([&] { return DataFolder() == moved; }, 10000)) << DataFolder();
  EXPECT_EQ(WaitText(kDataFolder, mark, moved).value_or("(none)"), moved);
  EXPECT_EQ(Slurp(moved + "/f.bin"), planted);
  EXPECT_TRUE(Eventually([&] { return !fs::exists(D); }, 5000)) << "the old data folder stays";
  EXPECT_TRUE(LinesBetween(mark, Mark(), "box ").size() == 1) << "a box after the move";
  harness->Screenshot("moved");

  // Refused targets: the folder itself (also through a link), a folder inside it, a system
  // folder; and a move the owner declines.
  fs::create_directory_symlink(T + "/new", T + "/ln");
  fs::create_directories(moved + "/x");
  const std::vector<std::string> sharesBefore = Shares();
  struct Refusal {
    std::string pick;
    const char* key;
  };
  for (const Refusal& r : std::vector<Refusal>{{T + "/new", "MSGBOX_MOVEFOLDER_CONFLICT"},
                                               {T + "/ln", "MSGBOX_MOVEFOLDER_CONFLICT"},
                                               {moved + "/x", "MSGBOX_MOVEFOLDER_RECURSE"},
                                               {"/usr/lib", "MSGBOX_MOVEFOLDER_FAILED"}}) {
    SCOPED_TRACE(r.pick);
    mark = Mark();
    ASSERT_TRUE(ClickToOpen(kMoveFolder, "show QFileDialog"));
    ASSERT_TRUE(Pick(mark, r.pick));
    ASSERT_NO_FATAL_FAILURE(ExpectBox(mark, r.key));
    EXPECT_EQ(Slurp(moved + "/f.bin"), planted);
  }
  harness->Screenshot("refused");
  mark = Mark();
  ASSERT_TRUE(ClickToOpen(kMoveFolder, "show QFileDialog"));
  ASSERT_TRUE(Pick(mark, T + "/new2"));
  std::optional<Box> declined = WaitBox(mark);
  ASSERT_TRUE(declined);
  EXPECT_TRUE(IsMessage(*declined, "MSGBOX_MOVEFOLDER_NOTICE"));
  ASSERT_TRUE(AnswerBox(mark, kBoxCancel));
  // The next click's picker opens only after the declined move ended.
  size_t next = Mark();
  ASSERT_TRUE(Click(kSharePage));
  ASSERT_TRUE(Eventually([&] { return Ctl(kAdd, "", next).has_value(); }, 5000));
  EXPECT_EQ(LinesBetween(mark, Mark(), "box ").size(), 1u);
  EXPECT_FALSE(fs::exists(T + "/new2/Kestyl"));
  EXPECT_EQ(DataFolder(), moved);
  EXPECT_EQ(Shares(), sharesBefore);
  EXPECT_EQ(Slurp(moved + "/f.bin"), planted);

  // 5. Delete never takes the data folder's row.
  mark = Mark();
  ASSERT_TRUE(ClickToOpen(kAdd, "show QFileDialog"));
  ASSERT_TRUE(Pick(mark, T + "/usr-notes"));
  ASSERT_TRUE(WaitRow(kShareList, "add", T + "/usr-notes", mark));
  std::vector<std::string> rows = Rows(kShareList);
  int data = IndexOf(rows, moved), notes = IndexOf(rows, T + "/usr-notes");
  ASSERT_GE(data, 0) << "the data folder has no row";
  ASSERT_GE(notes, 0);
  ASSERT_TRUE(SelectShareRows({data, notes}));
  harness->Screenshot("two-rows-selected");
  mark = Mark();
  ASSERT_TRUE(Click(kDelete));
  ASSERT_TRUE(WaitRow(kShareList, "del", T + "/usr-notes", mark));
  size_t closed = Mark();
  ASSERT_TRUE(Click(kCancel));
  ASSERT_TRUE(harness->WaitTracePrefix("hide CSettingDlg", 5000, closed));
  std::vector<std::string> dels;
  for (const std::string& l : LinesBetween(mark, closed, "row ")) dels.push_back(Fields(l)[6]);
  EXPECT_EQ(dels, std::vector<std::string>{T + "/usr-notes"});
  EXPECT_GE(IndexOf(Rows(kShareList), moved), 0);

  // 7. The account page and its link; the tray's left click.
  ASSERT_TRUE(OpenMainWindow());
  mark = Mark();
  ASSERT_TRUE(Click(kAccountPage));
  const std::string account = english["SETTING_STATIC_ACCOUNT"] + "owner@example.com";
  EXPECT_EQ(WaitText(kAccountLabel, mark, account).value_or("(none)"), account);
  harness->Screenshot("account-page");
  const std::string opened = T + "/opened.log";
  const std::string page = harness->web().url() +
                           "/changepwd.html?MAIL=%6f%77%6e%65%72%40%65%78%61%6d%70%6c%65%2e%63%6f%6d";
  const std::string earlier = Slurp(opened);
  ASSERT_TRUE(Click(kChangePassword, "", mark));
  EXPECT_TRUE(Eventually([&] { return Slurp(opened) == earlier + page + "\n"; }, 5000)) << Slurp(opened);
  ASSERT_TRUE(LeftClickTray());
  EXPECT_TRUE(Eventually([&] { return Slurp(opened) == earlier + page + "\n" + moved + "/\n"; }, 5000))
      << Slurp(opened);
}

// A desktop killed while it moves the data folder: the folder the agent names afterwards
// holds every file, byte for byte. Killed right after the owner's Yes, then 0.3 s after it
// (where the copy stands then varies with the disk; every moment must be safe), each time
// with the remembered log-in coming back after a restart.
TEST_F(PagesRoad, DataFolderMoveSurvivesAKilledDesktop) {
  ASSERT_NO_FATAL_FAILURE(StartLoggedIn());
  std::string current = DataFolder();
  std::mt19937 random(31);
  std::map<std::string, std::string> digests;
  fs::create_directories(current + "/bulk");
  for (int i = 0; i < 200; ++i) {
    std::string data(1024 + random() % (1024 * 1024 - 1024 + 1), '\0');
    for (size_t k = 0; k < data.size(); k += 4) {
      uint32_t v = random();
      std::memcpy(&data[k], &v, std::min<size_t>(4, data.size() - k));
    }
    std::string name = (i % 2 ? "bulk/" : "") + std::string("file") + std::to_string(i) + ".bin";
    ks::test::WriteFile(current + "/" + name, data);
    digests[name] = ks::fake::DigestHex(ks::fake::Md5Of(data));
  }

  struct Kill {
    int after_ms;
    std::string pick;
  };
  for (const Kill& kill : std::vector<Kill>{{0, T + "/early"}, {300, T + "/new"}}) {
    SCOPED_TRACE(kill.pick);
    fs::create_directories(kill.pick);
    ASSERT_TRUE(OpenMainWindow());
    size_t mark = Mark();
    ASSERT_TRUE(Click(kSettingPage));
    ASSERT_TRUE(WaitText(kDataFolder, mark, current));
    mark = Mark();
    ASSERT_TRUE(ClickToOpen(kMoveFolder, "show QFileDialog"));
    ASSERT_TRUE(Pick(mark, kill.pick));
    ASSERT_TRUE(WaitBox(mark));
    harness->Screenshot("move-notice");
    size_t shown = 0;
    ASSERT_TRUE(harness->WaitTracePrefix("show CDiyMessageBox", 10000, mark, &shown));
    ASSERT_TRUE(Click(kBoxOk, "CColorButton", shown));
    Pause(kill.after_ms);
    if (desktop > 0) {
      EndDesktop(SIGKILL);
    } else {
      harness->SignalDesktop(SIGKILL);
      harness->WaitDesktop(5000);
    }

    mark = Mark();
    harness->StartDesktop();
    ASSERT_TRUE(harness->WaitTracePrefix("tray add 174", 20000, mark));
    // The remembered password logs the owner in again.
    ASSERT_TRUE(harness->WaitTracePrefix("tray modify " + std::to_string(kTrayOnline), 30000, mark));
    harness->Screenshot("restarted");
    const std::string named = DataFolder();
    ASSERT_TRUE(named == current || named == kill.pick + "/Kestyl") << named;
    int lost = 0;
    for (const auto& [name, digest] : digests) {
      if (Md5Hex(named + "/" + name) != digest) ++lost;
    }
    EXPECT_EQ(lost, 0) << "files lost or changed in " << named;
    current = named;
  }
}

}  // namespace
