// A budget of bytes that large requests take before they allocate, first come,
// first served, so that concurrent uploads and prints stay within a bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

class MemoryBudget {
 public:
  explicit MemoryBudget(uint64_t total) : total_(total) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Bytes taken from the budget; given back when destroyed.
  class Grant {
   public:
    Grant(Grant&& other) noexcept : budget_(other.budget_), bytes_(other.bytes_) { other.budget_ = nullptr; }
    Grant& operator=(Grant&&) = delete;
    Grant(const Grant&) = delete;
    ~Grant() {
      if (budget_ != nullptr) budget_->Release(bytes_);
    }
    uint64_t bytes() const { return bytes_; }

   private:
    friend class MemoryBudget;
    Grant(MemoryBudget* budget, uint64_t bytes) : budget_(budget), bytes_(bytes) {}
    MemoryBudget* budget_;
    uint64_t bytes_;
  };

  // Waits until the bytes are free and every earlier caller has been served,
  // up to `wait`. nullopt when the bytes exceed the whole budget (at once) or
  // the wait ran out.
  std::optional<Grant> Acquire(uint64_t bytes, std::chrono::milliseconds wait);

  uint64_t total() const { return total_; }
  uint64_t InUse();

 private:
  void Release(uint64_t bytes);
  void SkipAbandonedLocked();

  const uint64_t total_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t used_ = 0;
  uint64_t nextTicket_ = 0;
  uint64_t serving_ = 0;            // the ticket whose turn it is
  std::vector<uint64_t> abandoned_;  // tickets whose callers stopped waiting before their turn
};
