#include "platform/thread.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

namespace ks::platform {

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

bool RaiseProcessPriority() {
  // setpriority(PRIO_PROCESS, 0) would change the calling thread only: walk every task.
  DIR* d = ::opendir("/proc/self/task");
  if (!d) return ::setpriority(PRIO_PROCESS, 0, -5) == 0;
  bool ok = true;
  while (struct dirent* e = ::readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    id_t tid = static_cast<id_t>(std::strtoul(e->d_name, nullptr, 10));
    if (::setpriority(PRIO_PROCESS, tid, -5) != 0) ok = false;
  }
  ::closedir(d);
  return ok;
}

bool RaiseThreadPriority() {
  return ::setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()), -10) == 0;
}

}  // namespace ks::platform
