#include "testkit/concurrent_rounds.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <stdexcept>
#include <tuple>

namespace kolvex::testkit {
namespace {

// Every thread visits every item once a round, starting at its own offset; a
// false answer counts as wrong and a throw as failed.
TEST(ConcurrentRounds, EveryStepRunsOnceAndItsOutcomeIsCounted) {
  std::mutex mutex;
  std::set<std::tuple<int, int, std::size_t>> seen;
  std::set<std::pair<int, std::size_t>> first_items;
  const ConcurrentRounds plan = {.threads = 4, .rounds = 3, .items = 10, .stride = 3};
  const RoundCounts counts = run_concurrent_rounds(plan, [&](const RoundStep& step) {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(seen.emplace(step.thread, step.round, step.item).second);
    if (step.k == 0) first_items.emplace(step.thread, step.item);
    if (step.item == 7) throw std::runtime_error("broken");
    return step.item % 2 == 0;
  });
  EXPECT_EQ(seen.size(), 4u * 3u * 10u);
  EXPECT_EQ(first_items, (std::set<std::pair<int, std::size_t>>{{0, 0}, {1, 3}, {2, 6}, {3, 9}}));
  // Odd items but 7 are wrong (1, 3, 5, 9), item 7 fails: per thread and round.
  EXPECT_EQ(counts.wrong, 4 * 3 * 4);
  EXPECT_EQ(counts.failed, 4 * 3 * 1);
}

}  // namespace
}  // namespace kolvex::testkit
