#include "platform/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ks::platform {

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

bool RaiseProcessPriority() {
  // Only root may raise it; an ordinary user keeps the default quietly.
  return ::setpriority(PRIO_PROCESS, 0, -5) == 0;
}

}  // namespace ks::platform
