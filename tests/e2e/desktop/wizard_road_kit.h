// Steps of the whole roads that several road tests share, on top of DesktopHarness: texts of
// the English language file, waiting for trace lines of a kind, clicks on controls whatever
// their enabled state (the trace records it only when a control is shown or moved), the
// folder picker, message boxes, the log-in, and the agent's database.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tests/e2e/desktop/road_kit.h"
#include "tests/fakes/desktop_harness.h"

namespace ks::e2e {

// The text of `key` in the English language file of the source tree, as it stands.
std::string Lang(const std::string& key);
using ks::road::TraceQuote;
// The full path of a program on PATH ("" when missing).
std::string Which(const std::string& program);

class RoadKit {
 public:
  explicit RoadKit(ks::fake::DesktopHarness& harness) : h_(harness) {}

  std::vector<std::string> LinesFrom(size_t from) const;
  // `text <cls> <id> "<text>"` at or after `from`.
  bool WaitText(const std::string& cls, int id, const std::string& text, int timeout_ms, size_t from) const;
  // `row <any class> <list> add <n> "<name>" "<path>"` at or after `from`.
  bool WaitRow(int list, const std::string& path, int timeout_ms, size_t from) const;
  // A box whose text begins like `text` (its first line), at or after `from`.
  bool WaitBox(const std::string& text, int timeout_ms, size_t from) const;

  // A click at a screen point.
  bool ClickPoint(int x, int y, int button = 1);
  // Clicks the centre of the control's last traced place once it was traced visible.
  bool Click(const std::string& cls, int id, int timeout_ms = 5000);
  // Clicks a button that opens a modal window and waits for the trace line starting with
  // `shown` (e.g. "show QFileDialog"); clicks again when none came, which is safe: once the
  // window is up, it takes every click meant for its owner.
  bool ClickToOpen(const std::string& cls, int id, const std::string& shown);
  bool ClickTray(int button);
  bool MovePointer(int x, int y);
  bool Xdotool(const std::vector<std::string>& args, std::string* output = nullptr);
  // The X window that holds the keyboard ("" when none could be read).
  std::string FocusWindow();
  // Waits until the X server no longer shows window `id` among those named `title`.
  bool WaitUnmapped(const std::string& title, const std::string& id, int timeout_ms);

  // Right click on the tray window, then a click on each item in turn (a sub-menu's entry,
  // then its item), each once its menu traced it.
  bool TrayCommand(const std::vector<int>& items);
  // Clicks control `id` of class `ctlClass` as traced when the window `cls` last showed.
  bool ClickIn(const std::string& cls, const std::string& ctlClass, int id, int timeout_ms = 10000);

  // A screenshot once the window `cls` last shown is placed and painted (its place on the
  // screen is no longer black), or at the deadline as it is.
  std::string ShotOf(const std::string& cls, const std::string& step, int timeout_ms = 10000);

  // The folder picker titled `title`: waits for it, types `folder`, Return, and waits until it
  // is gone. `shot`: a screenshot of that name while it is open.
  bool PickFolder(const std::string& title, const std::string& folder, const std::string& shot = "");
  // The next box not answered yet whose text begins like `text`: clicks its OK.
  bool AnswerBox(const std::string& text, int timeout_ms = 15000, const std::string& shot = "");

  // Waits until the log-in dialog is on screen (it shows out of sight first).
  bool WaitLogInDialog(int timeout_ms = 30000);
  // Waits for the log-in dialog on screen, logs in and waits for the online tray.
  bool LogIn(const std::string& account = "owner@example.com", const std::string& password = "secret1");

  // The agent's database: the data folder ("" when none) and the shared folders.
  std::string Sql(const std::string& query) const;
  std::string DefShare() const;
  bool WaitDefShare(const std::string& expected, int timeout_ms) const;
  std::vector<std::string> Shares() const;
  // Waits until every one of `paths` is shared.
  bool WaitShares(const std::vector<std::string>& paths, int timeout_ms) const;

 private:
  ks::fake::DesktopHarness& h_;
  size_t boxes_from_ = 0;
};

}  // namespace ks::e2e
