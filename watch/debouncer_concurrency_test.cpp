// The debouncer driven as the watch command drives it: notify() on one thread
// while poll() and the action run on another.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "watch/debouncer.h"

namespace kolvex::watch {
namespace {

TEST(DebouncerThreads, NotificationsFromAnotherThreadAreNeverLost) {
  constexpr int NOTIFICATIONS = 20000;
  std::atomic<int> fires{0};
  Debouncer debouncer(0.0, [&] { fires.fetch_add(1); });
  std::atomic<bool> done{false};
  std::thread notifier([&] {
    for (int i = 0; i < NOTIFICATIONS; ++i) debouncer.notify();
    done.store(true);
  });
  while (!done.load()) debouncer.poll();
  notifier.join();
  // Whatever the interleaving, the last notification is fired for exactly once
  // after the notifier ended.
  debouncer.poll();
  EXPECT_GE(fires.load(), 1);
  EXPECT_FALSE(debouncer.poll());
  debouncer.notify();
  EXPECT_TRUE(debouncer.poll());
}

}  // namespace
}  // namespace kolvex::watch
