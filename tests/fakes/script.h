// What a fake answers next: queued actions are used first, in order, then a fixed one.
// Thread-safe.
#pragma once

#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace ks::fake {

template <class Action>
class Script {
 public:
  explicit Script(Action fixed = Action()) : fixed_(std::move(fixed)) {}

  void SetFixed(Action a) {
    std::lock_guard<std::mutex> lock(mu_);
    fixed_ = std::move(a);
  }
  void Enqueue(Action a) {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(a));
  }
  void Enqueue(const std::vector<Action>& actions) {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.insert(queue_.end(), actions.begin(), actions.end());
  }
  Action Next() {
    std::lock_guard<std::mutex> lock(mu_);
    if (queue_.empty()) return fixed_;
    Action a = std::move(queue_.front());
    queue_.pop_front();
    return a;
  }
  size_t queued() const {
    std::lock_guard<std::mutex> lock(mu_);
    return queue_.size();
  }

 private:
  mutable std::mutex mu_;
  Action fixed_;
  std::deque<Action> queue_;
};

}  // namespace ks::fake
