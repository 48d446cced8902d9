#include "tests/e2e/desktop/wizard_road_kit.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace ks::e2e {

namespace {

using Clock = std::chrono::steady_clock;

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool StartsWith(const std::string& s, const std::string& head) { return s.rfind(head, 0) == 0; }
bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A text as the trace quotes it, back to itself.
std::string Unquote(const std::string& quoted) {
  std::string out;
  size_t i = quoted.empty() || quoted[0] != '"' ? 0 : 1;
  for (; i < quoted.size() && quoted[i] != '"'; ++i) {
    if (quoted[i] == '\\' && i + 1 < quoted.size()) ++i;
    out += quoted[i];
  }
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

}  // namespace

std::string Lang(const std::string& key) {
  std::ifstream in(std::string(KS_SOURCE_DIR) + "/desktop/resources/lang/utf8/English.ksl");
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (StartsWith(line, key + "=")) return line.substr(key.size() + 1);
  }
  return "<missing " + key + ">";
}

std::string Which(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return dir + "/" + program;
  }
  return "";
}

std::vector<std::string> RoadKit::LinesFrom(size_t from) const {
  std::vector<std::string> lines = h_.Trace();
  if (from >= lines.size()) return {};
  return std::vector<std::string>(lines.begin() + static_cast<long>(from), lines.end());
}

bool RoadKit::WaitText(const std::string& cls, int id, const std::string& text, int timeout_ms, size_t from) const {
  const std::string want = "text " + cls + " " + std::to_string(id) + " " + TraceQuote(text);
  return h_.WaitTrace([&](const std::string& l) { return l == want; }, timeout_ms, from).has_value();
}

bool RoadKit::WaitRow(int list, const std::string& path, int timeout_ms, size_t from) const {
  const std::string middle = " " + std::to_string(list) + " add ";
  const std::string tail = " " + TraceQuote(path);
  return h_.WaitTrace(
               [&](const std::string& l) {
                 return StartsWith(l, "row ") && l.find(middle) != std::string::npos && EndsWith(l, tail);
               },
               timeout_ms, from)
      .has_value();
}

bool RoadKit::WaitBox(const std::string& text, int timeout_ms, size_t from) const {
  // The language file writes a message's line breaks as backslash and n; the first line is
  // enough to know the message.
  const std::string first = text.substr(0, text.find("\\n"));
  return h_.WaitTrace([&](const std::string& l) { return StartsWith(l, "box ") && l.find(first) != std::string::npos; },
                      timeout_ms, from)
      .has_value();
}

bool RoadKit::Xdotool(const std::vector<std::string>& args, std::string* output) {
  std::vector<std::string> argv{Which("xdotool")};
  argv.insert(argv.end(), args.begin(), args.end());
  return h_.Run(argv, output) == 0;
}

bool RoadKit::ClickPoint(int x, int y, int button) {
  // No --sync: it waits for the pointer to move, which never happens when it is already
  // there (Next, then Finish at the same place). The server takes the move before the click.
  if (!ks::fake::OnScreen(x, y)) return false;
  return Xdotool({"mousemove", std::to_string(x), std::to_string(y), "click", std::to_string(button)});
}

bool RoadKit::Click(const std::string& cls, int id, int timeout_ms) {
  auto deadline = ks::road::Until(timeout_ms);
  for (;;) {
    auto r = h_.Control(cls, id);
    if (r && r->visible && ks::fake::OnScreen(*r)) return ClickPoint(r->x + r->w / 2, r->y + r->h / 2);
    if (Clock::now() >= deadline) return false;
    Pause(50);
  }
}

bool RoadKit::ClickToOpen(const std::string& cls, int id, const std::string& shown) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const size_t from = h_.Trace().size();
    if (!Click(cls, id)) return false;
    if (h_.WaitTracePrefix(shown, 5000, from)) return true;
    std::fprintf(stderr, "%s %d: no \"%s\" after click %d\n", cls.c_str(), id, shown.c_str(), attempt + 1);
  }
  return false;
}

bool RoadKit::ClickTray(int button) {
  if (!h_.WaitVisibleWindow("Kestyl tray", 10000)) return false;
  std::vector<std::string> ids = h_.VisibleWindows("Kestyl tray");
  if (ids.empty()) return false;
  return Xdotool({"mousemove", "--sync", "--window", ids.front(), "16", "16", "click", std::to_string(button)});
}

bool RoadKit::MovePointer(int x, int y) {
  return Xdotool({"mousemove", "--sync", std::to_string(x), std::to_string(y)});
}

bool RoadKit::TrayCommand(const std::vector<int>& items) {
  size_t from = h_.Trace().size();
  if (!ClickTray(3)) return false;
  for (int id : items) {
    size_t at = 0;
    auto line = h_.WaitTracePrefix("menuitem " + std::to_string(id) + " ", 10000, from, &at);
    int x = 0, y = 0, w = 0, hgt = 0;
    if (!line || std::sscanf(line->c_str(), "menuitem %*d %d %d %d %d", &x, &y, &w, &hgt) != 4) return false;
    from = at + 1;
    if (!ClickPoint(x + w / 2, y + hgt / 2)) return false;
  }
  return true;
}

bool RoadKit::ClickIn(const std::string& cls, const std::string& ctlClass, int id, int timeout_ms) {
  auto deadline = ks::road::Until(timeout_ms);
  const std::string head = "ctl " + ctlClass + " " + std::to_string(id) + " ";
  const std::string window = "ctl " + cls + " 0 ";
  for (;;) {
    std::vector<std::string> all = h_.Trace();
    size_t shown = all.size();
    for (size_t i = 0; i < all.size(); ++i)
      if (StartsWith(all[i], "show " + cls + " ")) shown = i;
    // Dialogs show at the screen's corner and are placed right after: the control's place
    // counts once the window left (0, 0).
    bool placed = false;
    std::string last;
    for (size_t i = shown; i < all.size(); ++i) {
      int x = 0, y = 0;
      if (StartsWith(all[i], window) && std::sscanf(all[i].c_str() + window.size(), "%d %d", &x, &y) == 2)
        placed = x != 0 || y != 0;
      if (StartsWith(all[i], head)) last = all[i];
    }
    int x = 0, y = 0, w = 0, hgt = 0, visible = 0;
    if (!last.empty() && (placed || Clock::now() + std::chrono::seconds(3) >= deadline) &&
        std::sscanf(last.c_str() + head.size(), "%d %d %d %d %d", &x, &y, &w, &hgt, &visible) == 5 && visible &&
        ks::fake::OnScreen(ks::fake::TraceRect{x, y, w, hgt}))
      return ClickPoint(x + w / 2, y + hgt / 2);
    if (Clock::now() >= deadline) return false;
    Pause(50);
  }
}

std::string RoadKit::ShotOf(const std::string& cls, const std::string& step, int timeout_ms) {
  auto deadline = ks::road::Until(timeout_ms);
  const std::string head = "ctl " + cls + " 0 ";
  int x = 0, y = 0, w = 0, hgt = 0;
  for (;;) {
    std::vector<std::string> all = h_.Trace();
    size_t shown = all.size();
    for (size_t i = 0; i < all.size(); ++i)
      if (StartsWith(all[i], "show " + cls + " ")) shown = i;
    for (size_t i = shown; i < all.size(); ++i)
      if (StartsWith(all[i], head)) std::sscanf(all[i].c_str() + head.size(), "%d %d %d %d", &x, &y, &w, &hgt);
    if ((x != 0 || y != 0) && w > 0 && hgt > 0) break;
    if (Clock::now() >= deadline) return h_.Screenshot(step);
    Pause(50);
  }
  const std::string probe = h_.work() + "/probe.png";
  const std::string crop = std::to_string(w) + "x" + std::to_string(hgt) + "+" + std::to_string(std::max(0, x)) +
                           "+" + std::to_string(std::max(0, y));
  for (;;) {
    std::string mean;
    if (h_.Run({Which("import"), "-display", h_.display(), "-window", "root", "-crop", crop, probe}) == 0 &&
        h_.Run({Which("convert"), probe, "-format", "%[fx:mean]", "info:"}, &mean) == 0 &&
        std::atof(mean.c_str()) > 0.05)
      break;
    if (Clock::now() >= deadline) break;
    Pause(100);
  }
  return h_.Screenshot(step);
}

bool RoadKit::PickFolder(const std::string& title, const std::string& folder, const std::string& shot) {
  const size_t from = h_.Trace().size();
  // Why the picker could not be answered, in the test's output.
  auto fail = [&](const std::string& why) {
    std::fprintf(stderr, "picker \"%s\" for %s: %s\n", title.c_str(), folder.c_str(), why.c_str());
    return false;
  };
  if (!h_.WaitVisibleWindow(title, 15000)) return fail("no window of that title");
  std::vector<std::string> ids = h_.VisibleWindows(title);
  if (ids.empty()) return fail("its window went away");
  // The keys go to the picker once it holds the keyboard (its name field has the focus).
  auto deadline = ks::road::Until(10000);
  for (;;) {
    if (FocusWindow() == ids.front()) break;
    if (Clock::now() >= deadline) return fail("window " + ids.front() + " never got the keyboard (" + FocusWindow() + " has it)");
    Pause(100);
  }
  if (!shot.empty()) h_.Screenshot(shot);
  // Qt traces the hide before the X server unmaps the window: a click sent in between lands
  // on the picker going away, so it counts as gone once the server no longer shows it.
  auto hidden = [&](int ms) {
    return h_.WaitTrace([](const std::string& l) { return StartsWith(l, "hide QFileDialog"); }, ms, from).has_value() &&
           WaitUnmapped(title, ids.front(), 10000);
  };
  auto pickerHasKeyboard = [&] { return FocusWindow() == ids.front() && !h_.VisibleWindows(title).empty(); };
  // On a busy machine a key can reach a completion list that pops up while typing, instead of
  // the name field: the path is typed again over the whole field while the picker still holds
  // the keyboard. A completion list that took the first Return lets the second one choose.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0 && !h_.Key("ctrl+a")) return fail("ctrl+a not sent");
    if (!h_.TypeText(folder) || !h_.Key("Return")) return fail("typing not sent");
    if (hidden(5000)) return true;
    if (!pickerHasKeyboard()) return hidden(10000) || fail("lost the keyboard but did not go away");
    h_.Key("Return");
    if (hidden(5000)) return true;
    if (!pickerHasKeyboard()) return hidden(10000) || fail("lost the keyboard but did not go away");
  }
  return fail("still shown after three tries");
}

bool RoadKit::AnswerBox(const std::string& text, int timeout_ms, const std::string& shot) {
  const std::string first = text.substr(0, text.find("\\n"));
  size_t at = 0;
  if (!h_.WaitTrace([&](const std::string& l) { return StartsWith(l, "box ") && l.find(first) != std::string::npos; },
                    timeout_ms, boxes_from_, &at))
    return false;
  boxes_from_ = at + 1;
  size_t shown = 0;
  if (!h_.WaitTracePrefix("show CDiyMessageBox", timeout_ms, at, &shown)) return false;
  if (!shot.empty()) ShotOf("CDiyMessageBox", shot);
  // The box's X window: the one of its title that holds the keyboard once it is up.
  std::string title;
  if (auto line = h_.WaitTracePrefix("show CDiyMessageBox ", 0, shown))
    title = Unquote(line->substr(std::string("show CDiyMessageBox ").size()));
  std::string box;
  for (auto deadline = ks::road::Until(std::min(timeout_ms, 5000));
       box.empty() && Clock::now() < deadline;) {
    const std::string focus = FocusWindow();
    for (const std::string& id : h_.VisibleWindows(title))
      if (id == focus) box = id;
    if (box.empty()) Pause(50);
  }
  // Its OK button (IDOK).
  if (!ClickIn("CDiyMessageBox", "CColorButton", 1, timeout_ms)) return false;
  if (!h_.WaitTracePrefix("result CDiyMessageBox 1", timeout_ms, shown)) return false;
  // The next click must not land on the box going away.
  return box.empty() || WaitUnmapped(title, box, timeout_ms);
}

std::string RoadKit::FocusWindow() {
  std::string focus;
  Xdotool({"getwindowfocus"}, &focus);
  while (!focus.empty() && (focus.back() == '\n' || focus.back() == ' ')) focus.pop_back();
  return focus;
}

bool RoadKit::WaitUnmapped(const std::string& title, const std::string& id, int timeout_ms) {
  for (auto deadline = ks::road::Until(timeout_ms);;) {
    const std::vector<std::string> ids = h_.VisibleWindows(title);
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) return true;
    if (Clock::now() >= deadline) return false;
    Pause(50);
  }
}

bool RoadKit::WaitLogInDialog(int timeout_ms) {
  size_t shown = 0;
  if (!h_.WaitTracePrefix("show CLoginDlg", timeout_ms, 0, &shown)) return false;
  std::vector<std::string> all = h_.Trace();
  for (size_t i = shown; i < all.size(); ++i)
    if (StartsWith(all[i], "show CLoginDlg")) shown = i;
  return h_.WaitTrace(
               [](const std::string& l) {
                 int x = -1, y = -1;
                 return std::sscanf(l.c_str(), "ctl CLoginDlg 0 %d %d", &x, &y) == 2 && x >= 0 && y >= 0;
               },
               timeout_ms, shown)
      .has_value();
}

bool RoadKit::LogIn(const std::string& account, const std::string& password) {
  if (!WaitLogInDialog()) return false;
  const size_t mark = h_.Trace().size();
  if (!Click("QLineEdit", 1004) || !h_.TypeText(account)) return false;
  if (!Click("QLineEdit", 1005) || !h_.TypeText(password)) return false;
  if (!Click("CColorButton", 1091)) return false;
  return h_.WaitTracePrefix("tray modify 368", 30000, mark).has_value();
}

std::string RoadKit::Sql(const std::string& query) const {
  std::string out;
  h_.Run({Which("sqlite3"), h_.root() + "/etc/Kestyl.db", query}, &out);
  return out;
}

std::string RoadKit::DefShare() const {
  std::vector<std::string> lines = Lines(Sql("SELECT COALESCE(def, '') FROM ks_defshare;"));
  return lines.empty() ? "" : lines.front();
}

bool RoadKit::WaitDefShare(const std::string& expected, int timeout_ms) const {
  auto deadline = ks::road::Until(timeout_ms);
  for (;;) {
    if (DefShare() == expected) return true;
    if (Clock::now() >= deadline) return false;
    Pause(100);
  }
}

std::vector<std::string> RoadKit::Shares() const { return Lines(Sql("SELECT path FROM ks_share;")); }

bool RoadKit::WaitShares(const std::vector<std::string>& paths, int timeout_ms) const {
  auto deadline = ks::road::Until(timeout_ms);
  for (;;) {
    std::vector<std::string> now = Shares();
    bool all = true;
    for (const std::string& p : paths) all = all && std::find(now.begin(), now.end(), p) != now.end();
    if (all) return true;
    if (Clock::now() >= deadline) return false;
    Pause(100);
  }
}

}  // namespace ks::e2e
