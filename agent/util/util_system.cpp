#include <errno.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>

#include "agent/util/util.h"

int GetDiskFreeSpaceKB(const std::string& path, uint64_t& kb) {
  if (path.empty()) return -1;
  // The file system of the path, or of its nearest existing folder (a file that is about
  // to be written does not exist yet).
  std::string p = path;
  struct statvfs fs {};
  while (::statvfs(p.c_str(), &fs) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) return -1;
    size_t slash = p.find_last_of('/');
    if (slash == std::string::npos) {
      if (p == ".") return -1;
      p = ".";
    } else if (slash == 0) {
      if (p == "/") return -1;
      p = "/";
    } else {
      p.erase(slash);
    }
  }
  // What an ordinary writer may still use (the root reserve is not counted).
  kb = (static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize)) >> 10;
  std::printf("disk %lluKB free.\n", static_cast<unsigned long long>(kb));
  return 0;
}

int GetHostName(std::string& out) {
  out.clear();
  char name[260] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return errno;
  name[sizeof name - 1] = '\0';
  out = name;
  return 0;
}
