// The local message server: TCP connections from the desktop program (127.0.0.1) and from
// mobile clients on the LAN, cut into messages and dispatched.
//
// One libevent loop runs as a pool job; it accepts, reads and assembles messages
// (FrameAssembler) and writes. Handlers never run on the loop thread: every complete
// message goes to its connection's serial executor, a pool job that runs that connection's
// messages one after the other, so replies keep their order. Replies and handler writes go
// through thread-safe bufferevents; Channel::Write blocks while more than `highWater` bytes
// wait to be sent, so a streamed download is never buffered whole. A handler's write that
// finds nothing waiting to be sent goes to the socket from the handler's own thread, which
// waits for room there itself (no copy for the loop, no wake of it); one writer at a time. A reply longer than
// 65535 bytes is refused (ERROR logged). When a connection has more than 1 MB of messages
// waiting for its executor, reading from it pauses until they are handled.
//
// Origin: kLocal when the peer address is 127.0.0.1, kLan otherwise. A type that is not
// registered closes the connection without an answer, except 0x1008 and 0x1009, which are
// read whole and refused by Dispatch (280) with the connection kept. A connection with no
// traffic for `idleMs` (and no handler running or output pending) is closed; so is one whose
// output has not drained for `idleMs` while a writer waits (a client that stops reading
// during a download): Write then fails. Out of
// descriptors, the LAN connection quiet longest among those with nothing to do is closed to
// make room, so that idle connections never lock out the desktop program; any other accept
// error, or one with no such connection, pauses the listener and retries after
// `acceptRetryMs`. When a connection is gone and its last handler has returned,
// NotifyChannelClosed(id) is called.
//
// Start() returns once the listener listens or failed; Stop() ends the loop, closes every
// connection and waits for running handlers to return. A server can be started again
// after Stop(). Start/Stop are called from one controlling thread, never from a handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "agent/net/pool/thread_pool.h"

namespace ks::net {

struct LocalServerOptions {
  std::string bindAddress = "0.0.0.0";  // IPv4 address text
  int idleMs = 600 * 1000;
  size_t highWater = 256 * 1024;        // Write blocks above this much unsent output
  int acceptRetryMs = 1000;
  bool watchStopFlag = false;           // end the loop once the agent's stop flag is raised
  ThreadPool* pool = nullptr;           // GlobalPool() when null

  // The process-wide server's options: KESTYL_LOCAL_ADDR (default "0.0.0.0"),
  // KESTYL_IDLE_S (default 600), and the stop flag watched.
  static LocalServerOptions FromSettings();
};

class LocalServer {
 public:
  explicit LocalServer(LocalServerOptions options = {});
  ~LocalServer();  // Stop()
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  // port 0 = any free port. 0 when listening; 264 (KS_SERVER_NOT_STARTED) when the event
  // base or the loop job could not be started; 4130 (KS_LOCAL_PORT_UNKNOWN) when the
  // listener failed ("Couldn't create listener."). Already running: 0.
  int Start(uint16_t port);
  // New options for the next Start(); ignored while running.
  void Configure(const LocalServerOptions& options);
  void Stop();
  bool Running() const;
  uint16_t Port() const;        // the bound port while running, else 0
  size_t ConnectionCount() const;

  // The loop; the body of the pool job OS_RunEvent.
  void RunLoop();

  struct Impl;

 private:
  LocalServerOptions options_;
  std::unique_ptr<Impl> impl_;
};

// Turns on libevent's locking (evthread_use_pthreads) and ignores SIGPIPE, once per
// process. Every module that creates an event base calls it first.
void InitLibevent();

// The process-wide server that OS_Init starts and OS_Exit stops.
LocalServer& ProcessLocalServer();

// Pool job running a started server's loop (argument: the LocalServer).
void OS_RunEvent(void* server);

}  // namespace ks::net
