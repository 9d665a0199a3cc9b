// Growing and shrinking the worker threads.
#include "print_service/http_api/worker_pool.h"

#include <utility>

WorkerPool::WorkerPool(WorkerPoolLimits limits, std::function<void()> needRoom)
    : limits_(limits), needRoom_(std::move(needRoom)) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (size_t i = 0; i < limits_.minThreads; ++i) {
    StartThreadLocked();
  }
}

void WorkerPool::StartThreadLocked() {
  threads_.emplace_front();
  ++starting_;
  threads_.front() = std::thread(&WorkerPool::Work, this, threads_.begin());
}

WorkerPool::~WorkerPool() { shutdown(); }

bool WorkerPool::enqueue(std::function<void()> fn) {
  bool mustWait = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (shutdown_) return false;
    JoinFinishedLocked(lock);
    // Threads waiting or still starting take the queued tasks first.
    const size_t takers = idle_ + starting_;
    const bool threadFree = takers > tasks_.size();
    if (!threadFree && threads_.size() < limits_.maxThreads) {
      StartThreadLocked();
    } else if (!threadFree) {
      if (tasks_.size() - takers >= limits_.maxQueued) return false;
      mustWait = true;
    }
    tasks_.push_back(std::move(fn));
  }
  wake_.notify_one();
  if (mustWait && needRoom_) needRoom_();
  return true;
}

bool WorkerPool::TasksWaiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.size() > idle_ + starting_;
}

void WorkerPool::Work(std::list<std::thread>::iterator self) {
  std::unique_lock<std::mutex> lock(mutex_);
  --starting_;
  for (;;) {
    ++idle_;
    const bool woken = wake_.wait_for(lock, limits_.idleExit, [&] { return shutdown_ || !tasks_.empty(); });
    --idle_;
    if (!tasks_.empty()) {
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      try {
        task();
      } catch (...) {
        // A task that throws costs its own work (a connection), never the thread.
      }
      task = nullptr;  // whatever the task captured goes before the lock is taken again
      lock.lock();
      continue;
    }
    if (shutdown_) return;  // joined by shutdown()
    if (!woken && threads_.size() > limits_.minThreads) {
      // Handed over for joining; the next enqueue or shutdown joins it.
      finished_.splice(finished_.end(), threads_, self);
      return;
    }
  }
}

void WorkerPool::JoinFinishedLocked(std::unique_lock<std::mutex>& lock) {
  if (finished_.empty()) return;
  std::list<std::thread> done;
  done.swap(finished_);
  lock.unlock();
  for (std::thread& t : done) t.join();  // each has returned or is about to
  lock.lock();
}

void WorkerPool::shutdown() {
  std::list<std::thread> all;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    shutdown_ = true;
    all.swap(threads_);
    all.splice(all.end(), finished_);
  }
  wake_.notify_all();
  for (std::thread& t : all) {
    if (t.joinable()) t.join();
  }
}

WorkerPool::Counts WorkerPool::Snapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  return {threads_.size(), idle_ + starting_, tasks_.size()};
}
