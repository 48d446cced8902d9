#include "platform/event.h"

#include <chrono>

namespace ks::platform {

Event::Event(bool manualReset, bool initiallySet) : manual_(manualReset), set_(initiallySet) {}

void Event::Set() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = true;
  if (manual_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool Event::IsSet() {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

bool Event::Wait(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (timeoutMs < 0) {
    cv_.wait(lock, [this] { return set_; });
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; })) {
    return false;
  }
  if (!manual_) set_ = false;
  return true;
}

}  // namespace ks::platform
