// A budget that callers take shares of before they proceed, first come, first
// served: bytes of memory for uploads and prints, turns at the spooler.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <list>
#include <optional>

class FairBudget {
 public:
  explicit FairBudget(uint64_t total) : total_(total) {}
  FairBudget(const FairBudget&) = delete;
  FairBudget& operator=(const FairBudget&) = delete;

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
    friend class FairBudget;
    Grant(FairBudget* budget, uint64_t bytes) : budget_(budget), bytes_(bytes) {}
    FairBudget* budget_;
    uint64_t bytes_;
  };

  // Waits until the bytes are free and every earlier caller has been served,
  // up to `wait`. nullopt when the bytes exceed the whole budget (at once) or
  // the wait ran out.
  std::optional<Grant> Acquire(uint64_t bytes, std::chrono::milliseconds wait);

  uint64_t total() const { return total_; }
  uint64_t InUse();
  // Callers waiting for their turn now.
  size_t Waiting();

 private:
  struct Waiter {
    uint64_t bytes = 0;
    std::condition_variable turn;
    bool granted = false;
  };
  void Release(uint64_t bytes);
  void ServeWaitingLocked();

  const uint64_t total_;
  std::mutex mutex_;
  uint64_t used_ = 0;
  std::list<Waiter*> waiting_;  // in arrival order; each lives on its caller's stack
};
