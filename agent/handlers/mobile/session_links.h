// What the device session needs of the vendor server session: the last heart-beat time and
// the log-out. Kept apart so tests of the handlers see exactly these two effects.
#pragma once

namespace ks::mobile {

// Stores now as the time of the last mobile heart-beat.
void RecordMobileHeartBeat();
// Sends SRV_LOGOUT for the current server.
void LogOutAtServer();

}  // namespace ks::mobile
