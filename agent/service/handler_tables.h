// The agent's handler tables: which handler serves which message type. The transport
// (agent/net/msg) keeps the registry and Dispatch and names no handler; the tables live
// here, above the handlers, and the start-up sequence hands RegBusinessFun to OS_Init.
//
// Each table registers once per process ("Reg <name> function error." names the first
// line that failed); calling again returns the first result.
#pragma once

namespace ks::service {

// Registers the mobile handlers, then RegShowFun (desktop handlers). 0 or the first failure.
int RegBusinessFun();
// The desktop program's handlers (0x5000-0x5015 and 0x1013).
int RegShowFun();

}  // namespace ks::service
