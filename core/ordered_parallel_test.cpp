// Ordered parallel work: results reach the caller in item order, errors behave
// as in a plain loop, and the call never returns with a worker still running.
// Built as its own test binary so that it also runs under ThreadSanitizer.
#include "core/ordered_parallel.h"
#include "core/thread_annotations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kolvex::core {
namespace {

// Items take a little time, unevenly, so that later items often finish first.
void busy(std::size_t i) { std::this_thread::sleep_for(std::chrono::microseconds((i * 7919) % 500)); }

struct InterruptReset {
  ~InterruptReset() { set_interrupted(false); }
};

TEST(OrderedParallelTest, ConsumesEveryResultInItemOrderWithinTheWindow) {
  for (unsigned workers : {1u, 2u, 8u}) {
    SCOPED_TRACE(workers);
    constexpr std::size_t COUNT = 300;
    constexpr std::size_t WINDOW = 6;
    std::atomic<int> in_flight = 0;
    std::atomic<int> most_in_flight = 0;
    std::atomic<bool> bad_worker = false;
    std::vector<std::size_t> seen;
    ordered_parallel<std::string>(
        COUNT, {.workers = workers, .window = WINDOW},
        [&](std::size_t i, unsigned worker) {
          if (worker >= workers) bad_worker = true;
          int now = ++in_flight;
          int most = most_in_flight.load();
          while (now > most && !most_in_flight.compare_exchange_weak(most, now)) {
          }
          busy(i);
          return "item " + std::to_string(i);
        },
        [&](std::size_t i, std::string&& result) {
          --in_flight;
          EXPECT_EQ(result, "item " + std::to_string(i));
          seen.push_back(i);
        });
    ASSERT_EQ(seen.size(), COUNT);
    for (std::size_t i = 0; i < COUNT; ++i) EXPECT_EQ(seen[i], i);
    EXPECT_FALSE(bad_worker);
    EXPECT_LE(most_in_flight.load(), static_cast<int>(WINDOW));
  }
}

// Idle workers are woken only once part of the window is free again: with the
// smallest windows every item must still be claimed, and none of them twice.
TEST(OrderedParallelTest, SmallWindowsNeverStallTheWorkers) {
  for (std::size_t window : {1u, 2u, 3u}) {
    SCOPED_TRACE(window);
    constexpr std::size_t COUNT = 200;
    std::vector<std::atomic<int>> claimed(COUNT);
    std::size_t next = 0;
    ordered_parallel<std::size_t>(
        COUNT, {.workers = 4, .window = window},
        [&](std::size_t i, unsigned) {
          ++claimed[i];
          busy(i);
          return i;
        },
        [&](std::size_t i, std::size_t&& result) {
          EXPECT_EQ(result, i);
          EXPECT_EQ(i, next++);
        });
    EXPECT_EQ(next, COUNT);
    for (std::size_t i = 0; i < COUNT; ++i) EXPECT_EQ(claimed[i].load(), 1) << i;
  }
}

// Results of very different sizes: with a budget, the results made and not yet
// consumed stay within it (give or take the items claimed while it still had
// room), however wide the window; an item costing more than the whole budget is
// still made when the caller waits for it.
TEST(OrderedParallelTest, ABudgetBoundsTheCostOfTheResultsWaiting) {
  struct Case {
    const char* name;
    std::size_t budget;
    std::size_t (*cost)(std::size_t);
  };
  const Case cases[] = {
      {"equal items", 40, [](std::size_t) -> std::size_t { return 10; }},
      {"every tenth item large", 100, [](std::size_t i) -> std::size_t { return i % 10 == 0 ? 60 : 1; }},
      {"every item over the budget", 5, [](std::size_t) -> std::size_t { return 50; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    constexpr std::size_t COUNT = 300;
    constexpr unsigned WORKERS = 4;
    Mutex mutex;
    std::size_t made = 0;     // cost of the results made
    std::size_t taken = 0;    // cost of the results consumed
    std::size_t most_waiting = 0;
    std::size_t next = 0;
    ordered_parallel<std::size_t>(
        COUNT, {.workers = WORKERS, .window = COUNT, .budget = c.budget},
        [&](std::size_t i, unsigned) {
          MutexLock lock(mutex);
          made += c.cost(i);
          most_waiting = std::max(most_waiting, made - taken);
          return i;
        },
        [&](std::size_t i, std::size_t&& result) {
          EXPECT_EQ(result, i);
          EXPECT_EQ(i, next++);
          // The caller is the slow side, as a database writer is.
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          MutexLock lock(mutex);
          taken += c.cost(i);
        },
        [&](const std::size_t& result) { return c.cost(result); });
    EXPECT_EQ(next, COUNT);
    std::size_t largest = 0;
    for (std::size_t i = 0; i < COUNT; ++i) largest = std::max(largest, c.cost(i));
    EXPECT_LE(most_waiting, c.budget + WORKERS * largest);
  }
}

TEST(OrderedParallelTest, OneWorkerRunsEverythingOnTheCallingThread) {
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<std::string> order;
  ordered_parallel<int>(
      3, {.workers = 1},
      [&](std::size_t i, unsigned) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        order.push_back("work " + std::to_string(i));
        return static_cast<int>(i);
      },
      [&](std::size_t i, int&&) { order.push_back("consume " + std::to_string(i)); });
  EXPECT_EQ(order, (std::vector<std::string>{"work 0", "consume 0", "work 1", "consume 1", "work 2", "consume 2"}));
}

// Where the first failure is, and who raises it; the loop must raise exactly
// what a plain loop would, and consume nothing after it.
struct FailureCase {
  const char* name;
  std::vector<std::size_t> failing_work;
  std::optional<std::size_t> failing_consume;
  std::string expected;
  std::size_t consumed;
};

TEST(OrderedParallelTest, RaisesTheFailureOfTheLowestItemAndConsumesNothingAfterIt) {
  const FailureCase cases[] = {
      {"one failing item", {40}, std::nullopt, "work 40", 40},
      {"a later item fails first in time", {40, 41, 90}, std::nullopt, "work 40", 40},
      {"the first item", {0}, std::nullopt, "work 0", 0},
      {"the last item", {99}, std::nullopt, "work 99", 99},
      {"consume fails before a failing item", {50}, 20, "consume 20", 20},
      {"a failing item before consume fails", {10}, 20, "work 10", 10},
  };
  for (const FailureCase& c : cases) {
    for (unsigned workers : {1u, 4u}) {
      SCOPED_TRACE(std::string(c.name) + ", workers " + std::to_string(workers));
      std::atomic<int> running = 0;
      std::size_t consumed = 0;
      try {
        ordered_parallel<std::size_t>(
            100, {.workers = workers, .window = 8},
            [&](std::size_t i, unsigned) {
              ++running;
              // The later failures are quick, the first one slow.
              if (i == c.failing_work.front()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
              --running;
              for (std::size_t failing : c.failing_work) {
                if (i == failing) throw std::runtime_error("work " + std::to_string(i));
              }
              return i;
            },
            [&](std::size_t i, std::size_t&&) {
              if (c.failing_consume && i == *c.failing_consume) throw std::runtime_error("consume " + std::to_string(i));
              ++consumed;
            });
        ADD_FAILURE() << "no exception";
      } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), c.expected);
      }
      EXPECT_EQ(consumed, c.consumed);
      EXPECT_EQ(running.load(), 0);  // every worker had ended
    }
  }
}

TEST(OrderedParallelTest, AnInterruptionUnwindsTheCallerAndStopsTheWorkers) {
  InterruptReset reset;
  std::atomic<int> running = 0;
  std::atomic<std::size_t> started = 0;
  bool interrupted_seen = false;
  try {
    ordered_parallel<int>(
        100000, {.workers = 4},
        [&](std::size_t i, unsigned) {
          ++running;
          ++started;
          if (i == 30) set_interrupted(true);
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          --running;
          return 0;
        },
        [](std::size_t, int&&) {});
  } catch (const Interrupted&) {
    interrupted_seen = true;
  }
  EXPECT_TRUE(interrupted_seen);
  EXPECT_EQ(running.load(), 0);
  EXPECT_LT(started.load(), 1000u);
}

// A result that notes which thread made it and which destroyed it.
class Tracked {
 public:
  struct Log {
    Mutex mutex;
    std::vector<std::thread::id> made GUARDED_BY(mutex);
    std::vector<std::thread::id> destroyed_by GUARDED_BY(mutex);
    std::size_t live GUARDED_BY(mutex) = 0;
  };

  Tracked(Log& log, std::size_t index) : log_(&log), index_(index) {
    MutexLock lock(log.mutex);
    log.made[index] = std::this_thread::get_id();
    ++log.live;
  }
  Tracked(Tracked&& other) noexcept : log_(std::exchange(other.log_, nullptr)), index_(other.index_) {}
  Tracked& operator=(Tracked&& other) noexcept {
    if (this != &other) {
      release();
      log_ = std::exchange(other.log_, nullptr);
      index_ = other.index_;
    }
    return *this;
  }
  ~Tracked() { release(); }

 private:
  void release() {
    if (log_ == nullptr) return;
    MutexLock lock(log_->mutex);
    log_->destroyed_by[index_] = std::this_thread::get_id();
    --log_->live;
    log_ = nullptr;
  }

  Tracked::Log* log_;
  std::size_t index_;
};

// Freeing across threads is slow in the allocator and scatters its memory, so a
// worker destroys the results it made once they were consumed; none may be lost
// or outlive the call, also when an item fails.
TEST(OrderedParallelTest, ResultsAreDestroyedByTheirMakerAndNoneOutlivesTheCall) {
  const std::thread::id caller = std::this_thread::get_id();
  for (std::optional<std::size_t> failing : {std::optional<std::size_t>(), std::optional<std::size_t>(700)}) {
    SCOPED_TRACE(failing ? "an item fails" : "no item fails");
    constexpr std::size_t COUNT = 2000;
    constexpr std::size_t WINDOW = 8;
    Tracked::Log log;
    {
      MutexLock lock(log.mutex);
      log.made.resize(COUNT);
      log.destroyed_by.resize(COUNT);
    }
    std::size_t consumed = 0;
    try {
      ordered_parallel<Tracked>(
          COUNT, {.workers = 4, .window = WINDOW},
          [&](std::size_t i, unsigned) {
            if (failing && i == *failing) throw std::runtime_error("work " + std::to_string(i));
            busy(i % 50);
            return Tracked(log, i);
          },
          [&](std::size_t, Tracked&&) { ++consumed; });
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), "work 700");
    }
    EXPECT_EQ(consumed, failing ? *failing : COUNT);
    MutexLock lock(log.mutex);
    EXPECT_EQ(log.live, 0u);
    std::size_t by_maker = 0;
    for (std::size_t i = 0; i < COUNT; ++i) {
      if (log.made[i] == std::thread::id()) continue;  // never claimed
      EXPECT_NE(log.made[i], caller) << i;
      // Only the caller may stand in for the maker: once nothing is left to claim.
      if (log.destroyed_by[i] != caller) {
        EXPECT_EQ(log.destroyed_by[i], log.made[i]) << i;
      }
      by_maker += log.destroyed_by[i] == log.made[i] ? 1 : 0;
    }
    // Claims run at most a window ahead of the caller: every result but the
    // last window's was consumed while items remained, and went back to its maker.
    EXPECT_GE(by_maker + WINDOW, consumed);
  }
}

TEST(OrderedParallelTest, NoItemsCallNothing) {
  ordered_parallel<int>(
      0, {.workers = 4}, [](std::size_t, unsigned) -> int { throw std::logic_error("called"); },
      [](std::size_t, int&&) { throw std::logic_error("called"); });
}

}  // namespace
}  // namespace kolvex::core
