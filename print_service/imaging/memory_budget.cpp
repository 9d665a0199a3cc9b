// Tickets in arrival order: a large request is not overtaken for ever by small ones.
#include "print_service/imaging/memory_budget.h"

std::optional<MemoryBudget::Grant> MemoryBudget::Acquire(uint64_t bytes, std::chrono::milliseconds wait) {
  if (bytes > total_) return std::nullopt;
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t ticket = nextTicket_++;
  const bool granted =
      changed_.wait_for(lock, wait, [&] { return serving_ == ticket && total_ - used_ >= bytes; });
  if (!granted) {
    // Give up the place in the line: the callers behind move up once it is this ticket's turn.
    if (serving_ == ticket) {
      ++serving_;
    } else {
      abandoned_.push_back(ticket);
    }
    SkipAbandonedLocked();
    lock.unlock();
    changed_.notify_all();
    return std::nullopt;
  }
  used_ += bytes;
  ++serving_;
  SkipAbandonedLocked();
  lock.unlock();
  changed_.notify_all();
  return Grant(this, bytes);
}

void MemoryBudget::SkipAbandonedLocked() {
  for (bool moved = true; moved;) {
    moved = false;
    for (auto it = abandoned_.begin(); it != abandoned_.end(); ++it) {
      if (*it == serving_) {
        abandoned_.erase(it);
        ++serving_;
        moved = true;
        break;
      }
    }
  }
}

void MemoryBudget::Release(uint64_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    used_ -= bytes;
  }
  changed_.notify_all();
}

uint64_t MemoryBudget::InUse() {
  std::lock_guard<std::mutex> lock(mutex_);
  return used_;
}
