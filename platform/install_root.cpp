#include "platform/install_root.h"

#include <limits.h>
#include <unistd.h>

namespace ks::platform {
namespace {

// Parent folder of an absolute path without a trailing "/"; "" for "/" or a bare name.
std::string Parent(const std::string& path) {
  size_t cut = path.find_last_of('/');
  if (cut == std::string::npos || path.size() < 2) return std::string();
  if (cut == 0) return "/";
  return path.substr(0, cut);
}

}  // namespace

std::string ProgramPath() {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0 || n >= PATH_MAX) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

std::string ProgramDir() { return Parent(ProgramPath()); }

std::string InstallRootOf(const std::string& programPath) {
  if (programPath.empty() || programPath[0] != '/') return std::string();
  std::string dir = Parent(programPath);
  if (dir.empty() || dir == "/") return std::string();
  // "/" is no install root: the agent would put its files into the system's own folders.
  std::string root = Parent(dir);
  return root == "/" ? std::string() : root;
}

std::string InstallRoot() { return InstallRootOf(ProgramPath()); }

}  // namespace ks::platform
