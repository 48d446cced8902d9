// Events: a flag that threads wait on, set and reset by others.
//
// A manual-reset event stays signalled until Reset(); an auto-reset event lets exactly one
// waiter through per Set() and is unsignalled again afterwards. Thread-safe; an Event must
// outlive every thread that may still call it.
#pragma once

#include <condition_variable>
#include <mutex>

namespace ks::platform {

class Event {
 public:
  Event(bool manualReset, bool initiallySet);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // Waits until signalled; timeoutMs < 0 waits for ever. True when signalled (an
  // auto-reset event is consumed), false on time-out.
  bool Wait(int timeoutMs);
  bool IsSet();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  const bool manual_;
  bool set_;
};

}  // namespace ks::platform
