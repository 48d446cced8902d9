// The agent's thread pool: every thread of the agent's own code is a worker of a pool.
//
// A job is a function taking one pointer. A worker whose job returns parks itself and is
// reused by the next dispatch, newest first (a small set of threads stays warm). At most
// `threadLimit` (50) workers are parked; a worker that finishes while that many are parked
// ends its thread. When `threadLimit` threads are alive and none is parked, a dispatch waits
// once for a worker to park and then goes on whatever the counts are: it takes a parked
// worker if there is one, otherwise it starts one more thread.
//
// A job that throws is caught at the job boundary and logged (module "CommLib"); its worker
// goes on. Dispatch may be called from any thread, workers included.
//
// One process-wide pool (GlobalPool) is created on first use and never freed; OS_Init
// creates it. Other pools exist only in tests.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

namespace ks::net {

using ThreadJob = void (*)(void* arg);
// Starts a detached thread running entry(arg); false when no thread could be started.
using ThreadStarter = bool (*)(void* (*entry)(void*), void* arg);

class ThreadPool {
 public:
  static constexpr int kThreadLimit = 50;

  // threadLimit and starter exist for tests; the agent's pool uses the defaults.
  explicit ThreadPool(int threadLimit = kThreadLimit, ThreadStarter starter = nullptr);
  // Only for pools whose jobs have all returned: ends the parked workers and waits for
  // every thread of the pool to end.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // 0 when the job was handed to a parked worker or a new thread; -1 for a null job or
  // when no thread could be started (the job is then not run). mayWait = false skips the
  // saturation wait (for callers that must not block, such as an event loop).
  int Dispatch(ThreadJob job, void* arg, bool mayWait = true);

  int LiveCount() const;
  int IdleCount() const;
  int ThreadLimit() const { return limit_; }

 private:
  struct Worker;
  static void* WorkerMain(void* worker);
  // Waits for the parked signal (auto-reset) with the pool mutex held on entry and exit.
  void WaitParked(std::unique_lock<std::mutex>& lock);

  const int limit_;
  const ThreadStarter starter_;
  mutable std::mutex mutex_;
  std::condition_variable parkedCv_;
  bool parkedSignal_ = false;          // the auto-reset "a worker parked" event
  std::vector<Worker*> idle_;          // parked workers, used as a stack
  int live_ = 0;                       // threads started and not yet ended
  bool closing_ = false;               // destructor running: workers end instead of parking
  std::condition_variable endedCv_;
};

// The agent's pool operations under their established names.
// CreateThreadPool: null when out of memory ("Out of memory creating a new threadpool!\n"
// on standard error). DispatchThreadPool: 0, or -1 (null pool or job, no thread started).
ThreadPool* CreateThreadPool();
int DispatchThreadPool(ThreadPool* pool, ThreadJob job, void* arg);

// The process-wide pool; created on first use, never freed. Null only when out of memory.
ThreadPool* GlobalPool();

// Runs a std::function as a pool job: 0 or -1 (the function is then destroyed unrun).
int DispatchJob(ThreadPool* pool, std::function<void()> job, bool mayWait = true);
inline int DispatchJob(std::function<void()> job) { return DispatchJob(GlobalPool(), std::move(job)); }

}  // namespace ks::net
