// The server's worker threads: a pool that grows with demand up to a cap and
// shrinks when idle, and asks for room when it is full.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

struct WorkerPoolLimits {
  size_t minThreads;                      // kept even when idle
  size_t maxThreads;                      // never more
  size_t maxQueued;                       // tasks waiting for a thread; beyond, enqueue refuses
  std::chrono::milliseconds idleExit;     // a thread above minThreads idle this long ends
};

class WorkerPool final : public httplib::TaskQueue {
 public:
  // needRoom is called (on the enqueuing thread, no lock held) each time a task
  // has to wait because every thread is busy; it should free a thread, for
  // example by closing an idle connection.
  WorkerPool(WorkerPoolLimits limits, std::function<void()> needRoom);
  ~WorkerPool() override;
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  bool enqueue(std::function<void()> fn) override;
  // Runs the queued tasks to the end, then joins every thread.
  void shutdown() override;

  struct Counts {
    size_t threads;
    size_t idle;
    size_t queued;
  };
  Counts Snapshot();
  // Whether a queued task has no thread to take it now.
  bool TasksWaiting();

 private:
  void Work(std::list<std::thread>::iterator self);
  void StartThreadLocked();
  void JoinFinishedLocked(std::unique_lock<std::mutex>& lock);

  const WorkerPoolLimits limits_;
  const std::function<void()> needRoom_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::list<std::thread> threads_;
  std::list<std::thread> finished_;  // ended on their own, to be joined
  size_t idle_ = 0;      // waiting for a task
  size_t starting_ = 0;  // created, not yet waiting
  bool shutdown_ = false;
};
