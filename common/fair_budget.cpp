// A queue of waiters, each woken alone when its share is free: a release wakes
// only the callers it serves, never the whole line.
#include "common/fair_budget.h"

std::optional<FairBudget::Grant> FairBudget::Acquire(uint64_t bytes, std::chrono::milliseconds wait) {
  if (bytes > total_) return std::nullopt;
  std::unique_lock<std::mutex> lock(mutex_);
  if (waiting_.empty() && total_ - used_ >= bytes) {
    used_ += bytes;
    return Grant(this, bytes);
  }
  Waiter waiter;
  waiter.bytes = bytes;
  waiting_.push_back(&waiter);
  if (!waiter.turn.wait_for(lock, wait, [&] { return waiter.granted; })) {
    // Leaving the line may let the next caller in.
    waiting_.remove(&waiter);
    ServeWaitingLocked();
    return std::nullopt;
  }
  return Grant(this, bytes);
}

void FairBudget::ServeWaitingLocked() {
  while (!waiting_.empty() && total_ - used_ >= waiting_.front()->bytes) {
    Waiter* next = waiting_.front();
    waiting_.pop_front();
    used_ += next->bytes;
    next->granted = true;
    // Under the lock: once it sees `granted` the waiter returns and its
    // condition variable is gone.
    next->turn.notify_one();
  }
}

void FairBudget::Release(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  used_ -= bytes;
  ServeWaitingLocked();
}

size_t FairBudget::Waiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_.size();
}

uint64_t FairBudget::InUse() {
  std::lock_guard<std::mutex> lock(mutex_);
  return used_;
}
