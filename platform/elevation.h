// Elevation: whether this process runs with administrator rights.
//
// A process is elevated when KESTYL_ELEVATED is "1" or its effective user is root. The
// answer is read afresh at each call (the desktop program keeps its own cached answer).
#pragma once

namespace ks::platform {

bool IsProcessElevated();

}  // namespace ks::platform
