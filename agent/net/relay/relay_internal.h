// Shared between the relay's source files; not part of the module's contract.
#pragma once

namespace ks::relay {

// The poll's pause (SetPollSleepForTest or a sleep that the stop flag ends); true when
// the stop flag ended it.
bool PollPause(int ms);

}  // namespace ks::relay
