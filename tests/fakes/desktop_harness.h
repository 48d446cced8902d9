// DesktopHarness: runs the real desktop program (and, through its service control, the real
// agent) under a private X server, the way its owner would meet it, and watches it from
// outside.
//
// Prepare() lays out, under a fresh work folder T (not below /tmp: the desktop refuses system
// folders as shares):
//   T/root        an install root made by scripts/make-root (bin/Kestyl, bin/KestylClient,
//                 etc/Kestyl.db with localport = the agent port, conf/, platform/)
//   T/home        HOME and XDG folders of the desktop
//   T/browser     a program that appends its arguments to T/opened.log (KESTYL_BROWSER)
//   T/ui.trace    the desktop's KESTYL_UI_TRACE
// and starts Xvfb (-displayfd, 1280x1024x24, no window manager, no TCP), a FakeVendorServer
// and a FakeWebServer on 127.0.0.1. StartDesktop() runs T/root/bin/Kestyl with the loopback
// environment pointing at them. Clicks and typing go through xdotool (XTest) at the places the
// trace's `ctl` and `menuitem` lines give; screenshots are `import -window root` PNGs in
// <artifacts>/<test>/<nn>-<step>.png.
//
// The destructor ends the desktop, stops the agent's service and kills whatever still runs
// from the root, then stops Xvfb and the fakes; the work folder is removed unless keep is set.
// Every wait is bounded. The harness includes nothing of the programs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ks::fake {

class FakeVendorServer;
class FakeWebServer;

struct DesktopOptions {
  std::string source_dir;  // the tree (scripts/make-root)
  std::string build_dir;   // the build (bin/)
  std::string test_name;   // names the screenshot folder
  std::string artifacts;   // screenshot root; empty: <build_dir>/artifacts/desktop-screens
  bool setup_done = true;  // HKLM\SOFTWARE\Kestyl SetupWizard = 1 (no first-run wizard)
  std::map<std::string, std::string> env;  // further or overriding variables for the desktop
  bool keep = false;                       // leave the work folder behind (debugging)
};

// A control or menu item as the trace last placed it (global pixels).
struct TraceRect {
  int x = 0, y = 0, w = 0, h = 0;
  bool visible = true, enabled = true;
};

// The virtual screen of the harness's X server.
inline constexpr int kScreenWidth = 1280;
inline constexpr int kScreenHeight = 1024;
// Whether a point lies on that screen. Windows that paint out of sight first trace their
// controls at far negative places until they are moved on screen.
inline bool OnScreen(int x, int y) { return x >= 0 && y >= 0 && x < kScreenWidth && y < kScreenHeight; }
// Whether the centre of a traced control lies on the screen (where a click reaches it).
inline bool OnScreen(const TraceRect& r) { return r.w > 0 && r.h > 0 && OnScreen(r.x + r.w / 2, r.y + r.h / 2); }

class DesktopHarness {
 public:
  // Why whole-road tests cannot run here ("" when they can): Xvfb, xdotool or import missing.
  static std::string Missing();
  // How much longer than on a plain build every wait of the harness lasts: 4 under the
  // address sanitizer (programs start and draw several times slower), else 1;
  // KESTYL_TEST_SLOWDOWN=<n> sets it. Roads that time a step of their own scale by it too.
  static int Slowdown();

  explicit DesktopHarness(DesktopOptions options);
  ~DesktopHarness();
  DesktopHarness(const DesktopHarness&) = delete;
  DesktopHarness& operator=(const DesktopHarness&) = delete;

  // Work folder, root, X server and fakes. False with *why set when something is missing.
  bool Prepare(std::string* why);

  // Starts T/root/bin/Kestyl with the harness's environment (plus `env`); its pid.
  pid_t StartDesktop(const std::vector<std::string>& args = {},
                     const std::map<std::string, std::string>& env = {});
  // Waits for the last desktop started; its wait status, or -1 when it still runs.
  int WaitDesktop(int timeout_ms);
  bool DesktopRunning();
  void SignalDesktop(int sig);
  pid_t desktop_pid() const { return desktop_pid_; }

  // Processes (other than this one) whose program or working folder lies under `dir`.
  static std::vector<pid_t> RunningUnder(const std::string& dir);
  std::string ConsoleText() const;  // T/console.txt as written so far

  // Runs a program with the desktop's environment (tools of the root, sqlite3, ...):
  // its exit code (-1 when it could not run) and, when asked, its standard output.
  int Run(const std::vector<std::string>& argv, std::string* output = nullptr);
  // A tool of the root's bin/system folder (sc, net, reg, ...).
  int Tool(const std::string& tool, const std::vector<std::string>& args,
           std::string* output = nullptr);
  // The pid of the agent the service table runs (0 when none).
  pid_t AgentPid();
  std::string ServiceStatus();  // first line of platform/services/Kestyl.status

  // Trace lines as written so far.
  std::vector<std::string> Trace() const;
  // Waits until a line at index >= from satisfies pred; the line, or nullopt at the deadline.
  // *index (when given) gets its index.
  std::optional<std::string> WaitTrace(const std::function<bool(const std::string&)>& pred,
                                       int timeout_ms, size_t from = 0,
                                       size_t* index = nullptr) const;
  std::optional<std::string> WaitTracePrefix(const std::string& prefix, int timeout_ms,
                                             size_t from = 0, size_t* index = nullptr) const;
  // Where the trace last placed a control of a class / a menu item.
  std::optional<TraceRect> Control(const std::string& cls, int id) const;
  std::optional<TraceRect> MenuItem(int id) const;

  // Input through the X server.
  bool ClickAt(int x, int y, int button = 1);
  bool ClickControl(const std::string& cls, int id, int timeout_ms = 5000);
  bool ClickMenuItem(int id, int timeout_ms = 5000);
  bool RightClickTray(int timeout_ms = 5000);  // the "Kestyl tray" window
  bool TypeText(const std::string& text);
  bool Key(const std::string& keysym);  // "Return", "Escape", "ctrl+a", ...
  // X windows whose name contains `name` and that are mapped.
  std::vector<std::string> VisibleWindows(const std::string& name);
  bool WaitVisibleWindow(const std::string& name, int timeout_ms);

  // A PNG of the whole screen; its path ("" on failure).
  std::string Screenshot(const std::string& step);

  const std::string& work() const { return work_; }
  std::string root() const { return work_ + "/root"; }
  std::string platform() const { return root() + "/platform"; }
  std::string home() const { return work_ + "/home"; }
  std::string trace_file() const { return work_ + "/ui.trace"; }
  const std::string& display() const { return display_; }
  uint16_t agent_port() const { return agent_port_; }
  uint16_t desktop_port() const { return desktop_port_; }
  FakeVendorServer& vendor() { return *vendor_; }
  FakeWebServer& web() { return *web_; }
  // The environment the desktop gets (without per-start additions).
  std::map<std::string, std::string> Environment() const;

  // --- Windows, focus and pixels as the X server has them; programs besides the desktop.
  struct Window {
    std::string id;  // X window id (decimal, as xdotool prints it)
    int x = 0, y = 0, w = 0, h = 0;
  };
  // Mapped windows whose name matches `name` (a regular expression, as xdotool takes it),
  // with their places on the screen.
  std::vector<Window> VisibleWindowRects(const std::string& name = ".");
  bool FocusWindow(const std::string& id);  // keyboard input goes to that window
  // The colour of one screen pixel, "RRGGBB" in upper case ("" when it cannot be read).
  std::string PixelAt(int x, int y);
  // Starts a program with the desktop's environment plus `env` and without the variables
  // named in `unset`, as the leader of a new process group (signal the whole group with
  // kill(-pid, sig)); its standard output goes to `output_file` (empty: T/console.txt).
  // The harness does not follow it: the caller waits for it (StopAll still ends whatever
  // runs from the work folder).
  pid_t StartProgram(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env = {},
                     const std::vector<std::string>& unset = {},
                     const std::string& output_file = "");

 private:
  bool StartXvfb(std::string* why);
  void StopAll();
  pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
              int out_fd, bool new_group);
  int Xdotool(const std::vector<std::string>& args, std::string* output = nullptr);

  DesktopOptions options_;
  std::string work_;
  std::string display_;
  pid_t xvfb_pid_ = -1;
  pid_t desktop_pid_ = -1;
  int desktop_status_ = -1;
  uint16_t agent_port_ = 0;
  uint16_t desktop_port_ = 0;
  int shots_ = 0;
  std::unique_ptr<FakeVendorServer> vendor_;
  std::unique_ptr<FakeWebServer> web_;
};

}  // namespace ks::fake
