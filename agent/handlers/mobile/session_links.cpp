#include "agent/handlers/mobile/session_links.h"

// Bound to the vendor server session once it is in the tree.
namespace ks::mobile {

void RecordMobileHeartBeat() {}
void LogOutAtServer() {}

}  // namespace ks::mobile
