// Bringing the communication side up and down, and the agent's shared mutexes.
//
// OS_Init: creates the process-wide thread pool (258 when it cannot), the shared mutexes,
// fills the handler registry with `fillRegistry` when given (the agent passes its handler
// tables, ks::service::RegBusinessFun; a failure code is returned) and starts the
// local message server at ks::state::LocalBindPort() (0 = any free port; the port in use is
// stored back). It returns only once the listener is listening: 264 when the server job
// could not be started, 4130 when the listener failed (port taken). 0 on success.
// OS_Exit: raises the stop flag and stops the local message server (waiting for its running
// handlers to return); returns 0. Both are called from the start-up thread.
//
// The shared mutexes are recursive (callers relied on re-entry) and live for the whole
// process: nothing ever destroys a mutex another thread may hold.
#pragma once

#include <mutex>

namespace ks::net {

int OS_Init(int (*fillRegistry)() = nullptr);
int OS_Exit();

std::recursive_mutex& g_MutexLogOnRtn();       // the log-on result
std::recursive_mutex& g_MutexRunFile();        // kept for its start-up step; guards nothing yet
std::recursive_mutex& g_MutexDownLoadCount();  // counters of running transfers
std::recursive_mutex& g_MutexLastHBTime();     // time of the last mobile heart-beat
std::recursive_mutex& g_MutexUserInfo();       // the user record
std::recursive_mutex& g_StopDownLoadMutex();   // list of downloads to stop

}  // namespace ks::net
