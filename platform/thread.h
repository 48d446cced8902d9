// Thread identity and priority.
#pragma once

#include <cstdint>

namespace ks::platform {

// The kernel's id of the calling thread (what log lines show).
uint32_t CurrentThreadId();

// Priorities, best effort: false when not allowed (only root may raise them); the caller
// goes on at normal priority. On Linux a priority (nice value) belongs to each thread and a
// new thread starts with its creator's.
// The process priority class HIGH: nice -5 for every thread of the process.
bool RaiseProcessPriority();
// THREAD_PRIORITY_HIGHEST: nice -10 for the calling thread (and the threads it creates).
bool RaiseThreadPriority();

}  // namespace ks::platform
