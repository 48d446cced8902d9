// Time: a monotonic millisecond clock and sleeps.
#pragma once

#include <cstdint>

namespace ks::platform {

// Milliseconds since an arbitrary start, never going backwards (GetTickCount's role, but
// 64 bits, so it does not wrap).
uint64_t MonotonicMs();
void SleepMs(int ms);

}  // namespace ks::platform
