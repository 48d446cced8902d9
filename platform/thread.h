// Thread identity and priority.
#pragma once

#include <cstdint>

namespace ks::platform {

// The kernel's id of the calling thread (what log lines show).
uint32_t CurrentThreadId();

// Best effort: raise the process and calling thread priority; false when not allowed.
bool RaiseProcessPriority();

}  // namespace ks::platform
