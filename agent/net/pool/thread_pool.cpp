#include "agent/net/pool/thread_pool.h"

#include <pthread.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <new>

#include "agent/log/log.h"

namespace ks::net {

struct ThreadPool::Worker {
  ThreadPool* pool = nullptr;
  std::mutex mutex;               // guards the hand-over of a job
  std::condition_variable jobCv;  // the auto-reset "job handed over" event
  bool hasJob = false;
  ThreadJob job = nullptr;        // null with hasJob: end the thread
  void* arg = nullptr;
};

namespace {

bool StartDetachedThread(void* (*entry)(void*), void* arg) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t id;
  int rc = pthread_create(&id, &attr, entry, arg);
  pthread_attr_destroy(&attr);
  return rc == 0;
}

// A job's exception must not end its worker (std::terminate would end the agent).
void RunJob(ThreadJob job, void* arg) {
  try {
    job(arg);
  } catch (const std::exception& e) {
    KS_LOG_ERROR("CommLib", "Thread pool job exception: %s.", e.what());
  } catch (...) {
    KS_LOG_ERROR("CommLib", "Thread pool job exception.");
  }
}

}  // namespace

ThreadPool::ThreadPool(int threadLimit, ThreadStarter starter)
    : limit_(threadLimit > 0 ? threadLimit : kThreadLimit),
      starter_(starter ? starter : &StartDetachedThread) {
  idle_.reserve(static_cast<size_t>(limit_));
}

ThreadPool::~ThreadPool() {
  std::unique_lock<std::mutex> lock(mutex_);
  closing_ = true;
  for (Worker* w : idle_) {
    std::lock_guard<std::mutex> wl(w->mutex);
    w->job = nullptr;
    w->hasJob = true;
    w->jobCv.notify_one();
  }
  idle_.clear();
  endedCv_.wait(lock, [this] { return live_ == 0; });
}

void ThreadPool::WaitParked(std::unique_lock<std::mutex>& lock) {
  parkedCv_.wait(lock, [this] { return parkedSignal_; });
  parkedSignal_ = false;
}

int ThreadPool::Dispatch(ThreadJob job, void* arg, bool mayWait) {
  if (!job) return -1;
  std::unique_lock<std::mutex> lock(mutex_);
  // One wait only: afterwards the dispatch goes on whatever the counts are.
  if (mayWait && idle_.empty() && live_ >= limit_) WaitParked(lock);

  if (!idle_.empty()) {
    Worker* w = idle_.back();
    idle_.pop_back();
    std::lock_guard<std::mutex> wl(w->mutex);
    w->job = job;
    w->arg = arg;
    w->hasJob = true;
    w->jobCv.notify_one();
    return 0;
  }

  auto* w = new (std::nothrow) Worker();
  if (!w) return -1;
  w->pool = this;
  w->job = job;
  w->arg = arg;
  if (!starter_(&ThreadPool::WorkerMain, w)) {
    delete w;
    return -1;
  }
  ++live_;
  return 0;
}

void* ThreadPool::WorkerMain(void* p) {
  auto* w = static_cast<Worker*>(p);
  ThreadPool* pool = w->pool;
  for (;;) {
    RunJob(w->job, w->arg);

    bool parked = false;
    {
      std::lock_guard<std::mutex> pl(pool->mutex_);
      if (!pool->closing_ && static_cast<int>(pool->idle_.size()) < pool->limit_) {
        pool->idle_.push_back(w);
        pool->parkedSignal_ = true;
        pool->parkedCv_.notify_one();
        parked = true;
      }
    }
    if (!parked) break;
    // The dispatcher stores the job and sets hasJob under our mutex, so a hand-over that
    // happens before we wait is not lost; our mutex is never held while taking the pool's.
    std::unique_lock<std::mutex> wl(w->mutex);
    w->jobCv.wait(wl, [w] { return w->hasJob; });
    w->hasJob = false;
    if (!w->job) break;
  }
  delete w;
  std::lock_guard<std::mutex> pl(pool->mutex_);
  --pool->live_;
  pool->endedCv_.notify_all();
  return nullptr;
}

int ThreadPool::LiveCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return live_;
}

int ThreadPool::IdleCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(idle_.size());
}

ThreadPool* CreateThreadPool() {
  auto* pool = new (std::nothrow) ThreadPool();
  if (!pool) std::fputs("Out of memory creating a new threadpool!\n", stderr);
  return pool;
}

int DispatchThreadPool(ThreadPool* pool, ThreadJob job, void* arg) {
  return pool ? pool->Dispatch(job, arg) : -1;
}

ThreadPool* GlobalPool() {
  static ThreadPool* pool = CreateThreadPool();  // lives as long as the process
  return pool;
}

namespace {
void RunFunction(void* p) {
  std::unique_ptr<std::function<void()>> f(static_cast<std::function<void()>*>(p));
  (*f)();
}
}  // namespace

int DispatchJob(ThreadPool* pool, std::function<void()> job, bool mayWait) {
  if (!pool || !job) return -1;
  auto* f = new (std::nothrow) std::function<void()>(std::move(job));
  if (!f) return -1;
  if (pool->Dispatch(&RunFunction, f, mayWait) != 0) {
    delete f;
    return -1;
  }
  return 0;
}

}  // namespace ks::net
