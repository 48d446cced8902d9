#include "tests/fakes/desktop_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/fakes/fake_vendor_server.h"
#include "tests/fakes/fake_web_server.h"
#include "tests/fakes/net_io.h"

extern char** environ;

namespace ks::fake {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// True when `path` (its real place, as far as it exists) lies in one of the system trees the
// desktop program keeps shares and data out of by default.
bool InSystemTree(const std::string& path) {
  std::error_code ec;
  const std::string real = fs::weakly_canonical(path, ec).string();
  const std::string& p = ec ? path : real;
  for (const char* tree : {"/usr", "/etc", "/var", "/proc", "/sys", "/dev", "/boot", "/tmp", "/bin",
                           "/sbin", "/opt", "/run"}) {
    const size_t n = std::strlen(tree);
    if (p.compare(0, n, tree) == 0 && (p.size() == n || p[n] == '/')) return true;
  }
  return p.rfind("/lib", 0) == 0;  // /lib, /lib64, /libx32 ...
}

// The end of a wait of `timeout_ms`, stretched by the build's slowdown.
Clock::time_point Until(int timeout_ms) {
  return Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(timeout_ms) * DesktopHarness::Slowdown());
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void Spit(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Reads everything from fd until EOF or the deadline.
std::string Drain(int fd, int timeout_ms) {
  std::string out;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[4096];
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (::poll(&p, 1, left > 0 ? left : 0) <= 0) break;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// Whether a process's program or working folder lies under `dir`.
bool ProcessUnder(pid_t pid, const std::string& dir) {
  for (const char* link : {"exe", "cwd"}) {
    std::error_code ec;
    fs::path target = fs::read_symlink("/proc/" + std::to_string(pid) + "/" + link, ec);
    if (ec) continue;
    std::string t = target.string();
    if (t.rfind(dir + "/", 0) == 0) return true;
  }
  return false;
}

std::vector<pid_t> ProcessesUnder(const std::string& dir) {
  std::vector<pid_t> pids;
  DIR* d = ::opendir("/proc");
  if (!d) return pids;
  while (dirent* e = ::readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*end || pid <= 1 || pid == ::getpid()) continue;
    if (ProcessUnder(static_cast<pid_t>(pid), dir)) pids.push_back(static_cast<pid_t>(pid));
  }
  ::closedir(d);
  return pids;
}

// The last `ctl <cls> <id> x y w h visible enabled` or `menuitem <id> x y w h` line.
std::optional<TraceRect> LastRect(const std::vector<std::string>& lines, const std::string& head,
                                  bool with_flags) {
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (it->rfind(head, 0) != 0) continue;
    std::istringstream in(it->substr(head.size()));
    TraceRect r;
    int visible = 1, enabled = 1;
    if (!(in >> r.x >> r.y >> r.w >> r.h)) continue;
    if (with_flags) in >> visible >> enabled;
    r.visible = visible != 0;
    r.enabled = enabled != 0;
    return r;
  }
  return std::nullopt;
}

}  // namespace

int DesktopHarness::Slowdown() {
  static const int factor = [] {
    const char* v = std::getenv("KESTYL_TEST_SLOWDOWN");
    if (v && std::atoi(v) > 0) return std::atoi(v);
#if defined(__SANITIZE_ADDRESS__)
    return 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return 4;
#endif
#endif
    return 1;
  }();
  return factor;
}

std::string DesktopHarness::Missing() {
  for (const char* program : {"Xvfb", "xdotool", "import", "sqlite3"}) {
    if (!OnPath(program)) return std::string(program) + " is not installed (scripts/install-deps)";
  }
  return "";
}

DesktopHarness::DesktopHarness(DesktopOptions options) : options_(std::move(options)) {
  if (options_.artifacts.empty()) options_.artifacts = options_.build_dir + "/artifacts/desktop-screens";
}

DesktopHarness::~DesktopHarness() {
  StopAll();
  if (!work_.empty() && !options_.keep) {
    std::error_code ec;
    fs::remove_all(work_, ec);
  }
}

bool DesktopHarness::Prepare(std::string* why) {
  std::string missing = Missing();
  if (!missing.empty()) {
    *why = missing;
    return false;
  }
  // Below the build folder, unless that lies in a system tree (a checkout in /tmp, say), which
  // the desktop refuses as a place for shares and data: then below the home folder.
  std::string base = options_.build_dir + "/desktop-e2e";
  const char* home_dir = std::getenv("HOME");
  if (InSystemTree(base) && home_dir && *home_dir && !InSystemTree(home_dir))
    base = std::string(home_dir) + "/.cache/kestyl-desktop-e2e";
  fs::create_directories(base);
  // A short name: the wake socket's path inside it must stay below the 107 bytes a local
  // socket address holds.
  std::string tmpl = base + "/r-XXXXXX";
  if (!::mkdtemp(tmpl.data())) {
    *why = "cannot make the work folder under " + base;
    return false;
  }
  work_ = tmpl;
  fs::create_directories(home() + "/.local/share");
  fs::create_directories(home() + "/.config");
  Spit(work_ + "/browser", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> \"" + work_ + "/opened.log\"\n");
  // Under the leak checker: the session bus library that the X platform plugin loads keeps a
  // buffer to the end, which is not the programs' to free.
  Spit(work_ + "/lsan.supp", "leak:libdbus-1.so\n");
  ::chmod((work_ + "/browser").c_str(), 0755);

  agent_port_ = FreeTcpPort();
  desktop_port_ = FreeTcpPort();
  vendor_ = std::make_unique<FakeVendorServer>();
  web_ = std::make_unique<FakeWebServer>();

  std::string out;
  int rc = Run({options_.source_dir + "/scripts/make-root", root(), options_.build_dir + "/bin/KestylClient"}, &out);
  if (rc != 0 || !fs::exists(root() + "/bin/Kestyl")) {
    *why = "scripts/make-root failed (" + std::to_string(rc) + "): " + out;
    return false;
  }
  if (!StartXvfb(why)) return false;
  if (options_.setup_done &&
      Tool("reg", {"add", "HKLM\\SOFTWARE\\Kestyl", "/v", "SetupWizard", "/t", "REG_DWORD", "/d",
                   "1", "/f"}, &out) != 0) {
    *why = "reg add SetupWizard failed: " + out;
    return false;
  }
  return true;
}

bool DesktopHarness::StartXvfb(std::string* why) {
  int fds[2];
  if (::pipe(fds) != 0) {
    *why = "pipe failed";
    return false;
  }
  const std::string screen = std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::close(fds[0]);
    int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, 0);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    std::string fd = std::to_string(fds[1]);
    ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten",
             "tcp", "-noreset", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string number = Drain(fds[0], 15000);
  ::close(fds[0]);
  while (!number.empty() && (number.back() == '\n' || number.back() == '\r')) number.pop_back();
  if (pid < 0 || number.empty()) {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    *why = "Xvfb did not start";
    return false;
  }
  xvfb_pid_ = pid;
  display_ = ":" + number;
  return true;
}

std::map<std::string, std::string> DesktopHarness::Environment() const {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    size_t eq = kv.find('=');
    if (eq == std::string::npos) continue;
    std::string key = kv.substr(0, eq);
    // Nothing of the test's own desktop session or of an outer Kestyl set-up leaks in.
    if (key.rfind("KESTYL_", 0) == 0 || key == "DISPLAY" || key == "WAYLAND_DISPLAY" ||
        key == "QT_QPA_PLATFORM" || key.rfind("XDG_", 0) == 0 || key == "HOME" ||
        key == "DBUS_SESSION_BUS_ADDRESS") {
      continue;
    }
    env[key] = kv.substr(eq + 1);
  }
  env["HOME"] = home();
  env["XDG_DATA_HOME"] = home() + "/.local/share";
  env["XDG_CONFIG_HOME"] = home() + "/.config";
  env["XDG_RUNTIME_DIR"] = work_;
  if (!display_.empty()) env["DISPLAY"] = display_;
  env["KESTYL_PLATFORM_DIR"] = platform();
  env["KESTYL_LOOPBACK"] = "1";
  if (vendor_) env["KESTYL_VENDOR_PORT"] = std::to_string(vendor_->port());
  env["KESTYL_AGENT_PORT"] = std::to_string(agent_port_);
  env["KESTYL_DESKTOP_PORT"] = std::to_string(desktop_port_);
  env["KESTYL_ELEVATED"] = "1";
  env["KESTYL_ADMIN"] = "1";
  env["KESTYL_RUNAS"] = "accept";
  env["KESTYL_SERVICE_WATCH_MS"] = "1000";
  if (web_) env["KESTYL_WEB_URL"] = web_->url();
  env["KESTYL_BROWSER"] = work_ + "/browser";
  env["KESTYL_UI_TRACE"] = trace_file();
  env["KESTYL_LANGUAGE"] = "1";
  std::string lsan = env.count("LSAN_OPTIONS") ? env["LSAN_OPTIONS"] + ":" : "";
  env["LSAN_OPTIONS"] = lsan + "suppressions=" + work_ + "/lsan.supp";
  for (const auto& [k, v] : options_.env) env[k] = v;
  return env;
}

pid_t DesktopHarness::Spawn(const std::vector<std::string>& argv,
                            const std::map<std::string, std::string>& env, int out_fd,
                            bool new_group) {
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp, args;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto& s : argv_copy) args.push_back(s.data());
  args.push_back(nullptr);
  std::string log = work_ + "/console.txt";
  pid_t pid = ::fork();
  if (pid == 0) {
    if (new_group) ::setpgid(0, 0);
    int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    int out = out_fd >= 0 ? out_fd : ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(out, 1);
    ::dup2(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600), 2);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

int DesktopHarness::Run(const std::vector<std::string>& argv, std::string* output) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  std::map<std::string, std::string> env = Environment();
  pid_t pid = Spawn(argv, env, fds[1], false);
  ::close(fds[1]);
  std::string out = Drain(fds[0], 60000);
  ::close(fds[0]);
  if (pid < 0) return -1;
  int status = 0;
  // A tool that outlives its output's deadline is ended rather than waited for forever.
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    Pause(10);
  }
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int DesktopHarness::Tool(const std::string& tool, const std::vector<std::string>& args,
                         std::string* output) {
  std::vector<std::string> argv{root() + "/bin/system/" + tool};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, output);
}

pid_t DesktopHarness::StartDesktop(const std::vector<std::string>& args,
                                   const std::map<std::string, std::string>& env) {
  std::map<std::string, std::string> all = Environment();
  for (const auto& [k, v] : env) all[k] = v;
  std::vector<std::string> argv{root() + "/bin/Kestyl"};
  argv.insert(argv.end(), args.begin(), args.end());
  desktop_pid_ = Spawn(argv, all, -1, true);
  desktop_status_ = -1;
  return desktop_pid_;
}

std::vector<pid_t> DesktopHarness::RunningUnder(const std::string& dir) { return ProcessesUnder(dir); }

std::string DesktopHarness::ConsoleText() const { return Slurp(work_ + "/console.txt"); }

int DesktopHarness::WaitDesktop(int timeout_ms) {
  if (desktop_pid_ <= 0) return desktop_status_;
  auto deadline = Until(timeout_ms);
  do {
    int status = 0;
    if (::waitpid(desktop_pid_, &status, WNOHANG) == desktop_pid_) {
      desktop_pid_ = -1;
      desktop_status_ = status;
      return status;
    }
    Pause(20);
  } while (Clock::now() < deadline);
  return -1;
}

bool DesktopHarness::DesktopRunning() { return desktop_pid_ > 0 && WaitDesktop(0) == -1; }

void DesktopHarness::SignalDesktop(int sig) {
  if (desktop_pid_ > 0) ::kill(desktop_pid_, sig);
}

std::string DesktopHarness::ServiceStatus() {
  std::string status = Slurp(platform() + "/services/Kestyl.status");
  return status.substr(0, status.find('\n'));
}

pid_t DesktopHarness::AgentPid() {
  std::istringstream in(Slurp(platform() + "/services/Kestyl.status"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("pid ", 0) == 0) return static_cast<pid_t>(std::atol(line.c_str() + 4));
  }
  return 0;
}

std::vector<std::string> DesktopHarness::Trace() const {
  std::vector<std::string> lines;
  std::string text = Slurp(trace_file());
  // The program may be writing a line right now: only whole lines count.
  const size_t end = text.find_last_of('\n');
  text.resize(end == std::string::npos ? 0 : end + 1);
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::optional<std::string> DesktopHarness::WaitTrace(
    const std::function<bool(const std::string&)>& pred, int timeout_ms, size_t from,
    size_t* index) const {
  auto deadline = Until(timeout_ms);
  for (;;) {
    std::vector<std::string> lines = Trace();
    for (size_t i = from; i < lines.size(); ++i) {
      if (pred(lines[i])) {
        if (index) *index = i;
        return lines[i];
      }
    }
    if (Clock::now() >= deadline) return std::nullopt;
    Pause(25);
  }
}

std::optional<std::string> DesktopHarness::WaitTracePrefix(const std::string& prefix,
                                                           int timeout_ms, size_t from,
                                                           size_t* index) const {
  return WaitTrace([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, timeout_ms,
                   from, index);
}

std::optional<TraceRect> DesktopHarness::Control(const std::string& cls, int id) const {
  return LastRect(Trace(), "ctl " + cls + " " + std::to_string(id) + " ", true);
}

std::optional<TraceRect> DesktopHarness::MenuItem(int id) const {
  return LastRect(Trace(), "menuitem " + std::to_string(id) + " ", false);
}

int DesktopHarness::Xdotool(const std::vector<std::string>& args, std::string* output) {
  std::string program = "xdotool";
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (::access((dir + "/xdotool").c_str(), X_OK) == 0) {
      program = dir + "/xdotool";
      break;
    }
  }
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, output);
}

bool DesktopHarness::ClickAt(int x, int y, int button) {
  if (!OnScreen(x, y)) return false;
  return Xdotool({"mousemove", "--sync", std::to_string(x), std::to_string(y), "click",
                  std::to_string(button)}) == 0;
}

bool DesktopHarness::ClickControl(const std::string& cls, int id, int timeout_ms) {
  auto deadline = Until(timeout_ms);
  for (;;) {
    std::optional<TraceRect> r = Control(cls, id);
    if (r && r->visible && r->enabled && OnScreen(*r)) {
      return ClickAt(r->x + r->w / 2, r->y + r->h / 2);
    }
    if (Clock::now() >= deadline) return false;
    Pause(50);
  }
}

bool DesktopHarness::ClickMenuItem(int id, int timeout_ms) {
  auto deadline = Until(timeout_ms);
  for (;;) {
    std::optional<TraceRect> r = MenuItem(id);
    if (r) return ClickAt(r->x + r->w / 2, r->y + r->h / 2);
    if (Clock::now() >= deadline) return false;
    Pause(50);
  }
}

bool DesktopHarness::RightClickTray(int timeout_ms) {
  if (!WaitVisibleWindow("Kestyl tray", timeout_ms)) return false;
  std::vector<std::string> ids = VisibleWindows("Kestyl tray");
  if (ids.empty()) return false;
  return Xdotool({"mousemove", "--sync", "--window", ids.front(), "16", "16", "click", "3"}) == 0;
}

bool DesktopHarness::TypeText(const std::string& text) {
  return Xdotool({"type", "--delay", "20", "--", text}) == 0;
}

bool DesktopHarness::Key(const std::string& keysym) { return Xdotool({"key", "--", keysym}) == 0; }

std::vector<std::string> DesktopHarness::VisibleWindows(const std::string& name) {
  std::string out;
  Xdotool({"search", "--onlyvisible", "--name", name}, &out);
  std::vector<std::string> ids;
  std::istringstream in(out);
  std::string id;
  while (in >> id) ids.push_back(id);
  return ids;
}

bool DesktopHarness::WaitVisibleWindow(const std::string& name, int timeout_ms) {
  auto deadline = Until(timeout_ms);
  while (VisibleWindows(name).empty()) {
    if (Clock::now() >= deadline) return false;
    Pause(100);
  }
  return true;
}

std::string DesktopHarness::Screenshot(const std::string& step) {
  std::string dir = options_.artifacts + "/" + options_.test_name;
  std::error_code ec;
  fs::create_directories(dir, ec);
  char number[16];
  std::snprintf(number, sizeof number, "%02d", ++shots_);
  std::string file = dir + "/" + number + "-" + step + ".png";
  std::string import = "/usr/bin/import";
  if (::access(import.c_str(), X_OK) != 0) import = "/usr/local/bin/import";
  if (Run({import, "-display", display_, "-window", "root", file}) != 0) return "";
  return file;
}

std::vector<DesktopHarness::Window> DesktopHarness::VisibleWindowRects(const std::string& name) {
  std::vector<Window> windows;
  for (const std::string& id : VisibleWindows(name)) {
    std::string out;
    if (Xdotool({"getwindowgeometry", "--shell", id}, &out) != 0) continue;
    Window w;
    w.id = id;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string key = line.substr(0, eq);
      int value = std::atoi(line.c_str() + eq + 1);
      if (key == "X") w.x = value;
      if (key == "Y") w.y = value;
      if (key == "WIDTH") w.w = value;
      if (key == "HEIGHT") w.h = value;
    }
    windows.push_back(w);
  }
  return windows;
}

bool DesktopHarness::FocusWindow(const std::string& id) {
  return Xdotool({"windowfocus", "--sync", id}) == 0;
}

std::string DesktopHarness::PixelAt(int x, int y) {
  std::string import = "/usr/bin/import";
  if (::access(import.c_str(), X_OK) != 0) import = "/usr/local/bin/import";
  std::string out;
  const std::string crop = "1x1+" + std::to_string(x) + "+" + std::to_string(y);
  if (Run({import, "-display", display_, "-window", "root", "-crop", crop, "-depth", "8", "txt:-"},
          &out) != 0) {
    return "";
  }
  // "0,0: (r,g,b)  #RRGGBB  srgb(...)": the first '#' followed by six hex digits.
  for (size_t at = out.find('#'); at != std::string::npos; at = out.find('#', at + 1)) {
    std::string hex = out.substr(at + 1, 6);
    if (hex.size() == 6 && hex.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos) {
      for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return hex;
    }
  }
  return "";
}

pid_t DesktopHarness::StartProgram(const std::vector<std::string>& argv,
                                   const std::map<std::string, std::string>& env,
                                   const std::vector<std::string>& unset,
                                   const std::string& output_file) {
  std::map<std::string, std::string> all = Environment();
  for (const auto& [k, v] : env) all[k] = v;
  for (const std::string& k : unset) all.erase(k);
  int out = -1;
  if (!output_file.empty()) {
    out = ::open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return -1;
  }
  pid_t pid = Spawn(argv, all, out, true);
  if (out >= 0) ::close(out);
  return pid;
}

void DesktopHarness::StopAll() {
  if (desktop_pid_ > 0) {
    ::kill(desktop_pid_, SIGTERM);
    if (WaitDesktop(5000) == -1) {
      ::kill(-desktop_pid_, SIGKILL);
      ::kill(desktop_pid_, SIGKILL);
      WaitDesktop(5000);
    }
  }
  if (!work_.empty() && fs::exists(root() + "/bin/system/sc")) {
    Tool("sc", {"stop", "Kestyl"});
  }
  // Whatever still runs from the root (a desktop started by the agent, the agent, the sync
  // stand-ins) must not outlive the test.
  if (!work_.empty()) {
    for (int round = 0; round < 3; ++round) {
      std::vector<pid_t> left = ProcessesUnder(work_);
      if (left.empty()) break;
      for (pid_t pid : left) ::kill(pid, SIGKILL);
      Pause(100);
    }
  }
  if (xvfb_pid_ > 0) {
    ::kill(xvfb_pid_, SIGTERM);
    int status;
    for (int i = 0; i < 100 && ::waitpid(xvfb_pid_, &status, WNOHANG) == 0; ++i) Pause(20);
    ::kill(xvfb_pid_, SIGKILL);
    ::waitpid(xvfb_pid_, &status, 0);
    xvfb_pid_ = -1;
  }
  web_.reset();
  vendor_.reset();
}

}  // namespace ks::fake
