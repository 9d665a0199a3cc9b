// The budget's order and bounds, with real threads.
#include "common/fair_budget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using std::chrono::milliseconds;

TEST(FairBudget, RefusesMoreThanTheWholeAtOnceAndGivesBackOnRelease) {
  FairBudget budget(100);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(budget.Acquire(101, milliseconds(5000)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1000));
  {
    auto all = budget.Acquire(100, milliseconds(0));
    ASSERT_TRUE(all);
    EXPECT_EQ(budget.InUse(), 100u);
    EXPECT_FALSE(budget.Acquire(1, milliseconds(50)));
  }
  EXPECT_EQ(budget.InUse(), 0u);
  EXPECT_TRUE(budget.Acquire(100, milliseconds(0)));
}

// A large request that waits is not overtaken by small ones that would fit,
// and one that gives up does not hold up those behind it.
TEST(FairBudget, ServesInArrivalOrder) {
  FairBudget budget(100);
  std::optional<FairBudget::Grant> first = budget.Acquire(60, milliseconds(0));
  ASSERT_TRUE(first);
  std::atomic<int> order{0};
  std::atomic<int> largeAt{-1};
  std::atomic<int> smallAt{-1};
  std::thread large([&] {
    auto grant = budget.Acquire(90, milliseconds(5000));
    largeAt = order++;
    EXPECT_TRUE(grant);
    std::this_thread::sleep_for(milliseconds(20));
  });
  // Each step waits until the one before is queued, however slowly the threads start.
  auto waitUntilWaiting = [&budget](size_t n) {
    for (int i = 0; i < 500 && budget.Waiting() < n; ++i) std::this_thread::sleep_for(milliseconds(10));
  };
  waitUntilWaiting(1);
  EXPECT_FALSE(budget.Acquire(10, milliseconds(50)));  // behind the large one, gives up
  std::thread small([&] {
    auto grant = budget.Acquire(20, milliseconds(5000));  // fits only once the large one is done
    smallAt = order++;
    EXPECT_TRUE(grant);
  });
  waitUntilWaiting(2);
  EXPECT_EQ(order, 0) << "40 are free, but the large request came first";
  first.reset();
  large.join();
  small.join();
  EXPECT_EQ(largeAt, 0);
  EXPECT_EQ(smallAt, 1);
  EXPECT_EQ(budget.InUse(), 0u);
}

}  // namespace
