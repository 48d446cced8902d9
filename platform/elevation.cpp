#include "platform/elevation.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/process.h"
#include "platform/service_table.h"

namespace ks::platform {
namespace {

std::string Printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

void AppendShellLog(const std::string& line) {
  std::error_code ec;
  std::filesystem::create_directories(PlatformDir(), ec);
  int fd = ::open(ShellLogPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string text = Printable(line) + "\n";
  ssize_t ignored = ::write(fd, text.data(), text.size());
  (void)ignored;
  ::close(fd);
}

std::string Unquoted(const std::string& file) {
  if (file.size() >= 2 && file.front() == '"' && file.back() == '"') return file.substr(1, file.size() - 2);
  return file;
}

bool HasControl(const std::string& s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  }
  return false;
}

}  // namespace

bool IsProcessElevated() {
  const char* e = std::getenv("KESTYL_ELEVATED");
  if (e && std::strcmp(e, "1") == 0) return true;
  return ::geteuid() == 0;
}

std::string ShellLogPath() { return PlatformDir() + "/shell.log"; }

int RunAs(const std::string& file, const std::string& parameters, bool wait) {
  std::string program = Unquoted(file);
  const char* policy = std::getenv("KESTYL_RUNAS");
  bool decline = policy && std::strcmp(policy, "decline") == 0;
  AppendShellLog(std::string("runas ") + (decline ? "decline " : "accept ") + program + " " + parameters);
  if (decline) return kRunAsDeclined;
  std::vector<std::string> argv = {program};
  std::vector<std::string> args = SplitCommandLine("x " + parameters);
  argv.insert(argv.end(), args.begin() + 1, args.end());
  ProcessOptions options;
  options.env = {{"KESTYL_ELEVATED", "1"}};
  int rc;
  if (wait) {
    ProcessResult result;
    rc = RunProcess(argv, options, result);
  } else {
    rc = StartDetached(argv, options);
  }
  return rc == ENOENT ? kRunAsMissing : rc;
}

int ShellOpen(const std::string& target) {
  if (target.empty() || HasControl(target)) return EINVAL;
  AppendShellLog("open " + target);
  const char* browser = std::getenv("KESTYL_BROWSER");
  std::vector<std::string> argv = SplitCommandLine(browser && *browser ? browser : "xdg-open");
  if (argv.empty()) return ENOENT;
  argv.push_back(target);
  return StartDetached(argv, ProcessOptions());
}

bool IsUserAdmin() {
  if (const char* admin = std::getenv("KESTYL_ADMIN")) return std::strcmp(admin, "1") == 0;
  if (::geteuid() == 0) return true;
  group* sudo = ::getgrnam("sudo");
  if (!sudo) return false;
  int n = ::getgroups(0, nullptr);
  if (n <= 0) return ::getegid() == sudo->gr_gid;
  std::vector<gid_t> groups(static_cast<size_t>(n));
  n = ::getgroups(n, groups.data());
  for (int i = 0; i < n; ++i) {
    if (groups[static_cast<size_t>(i)] == sudo->gr_gid) return true;
  }
  return ::getegid() == sudo->gr_gid;
}

void WindowsVersion(int& major, int& minor) {
  major = 6;
  minor = 1;
  const char* v = std::getenv("KESTYL_WINVER");
  if (!v || !*v) return;
  char* end = nullptr;
  long ma = std::strtol(v, &end, 10);
  if (end == v || ma < 0) return;
  long mi = 0;
  if (*end == '.') mi = std::strtol(end + 1, nullptr, 10);
  major = static_cast<int>(ma);
  minor = static_cast<int>(mi < 0 ? 0 : mi);
}

bool IsVistaOrLater() {
  int major = 0, minor = 0;
  WindowsVersion(major, minor);
  return major > 5;
}

bool IsNetworkAlive() {
  std::ifstream fact(PlatformDir() + "/facts/network_alive");
  if (fact) {
    std::string value;
    std::getline(fact, value);
    return value == "1";
  }
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool alive = false;
  for (ifaddrs* a = list; a && !alive; a = a->ifa_next) {
    unsigned flags = a->ifa_flags;
    alive = (flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK);
  }
  ::freeifaddrs(list);
  return alive;
}

}  // namespace ks::platform
