#include "core/cores.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <thread>

#include "core/ordered_parallel.h"

namespace kolvex::core {
namespace {

// A thread confined to one processor sees one core, however many the machine has:
// worker pools sized from it do not outnumber what they may run on.
TEST(AvailableCores, FollowTheAffinityMaskNotTheMachine) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  EXPECT_EQ(available_cores(), static_cast<unsigned>(CPU_COUNT(&allowed)));

  int first = 0;
  while (!CPU_ISSET(first, &allowed)) ++first;
  unsigned confined = 0;
  unsigned workers = 0;
  std::thread probe([&] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) return;
    confined = available_cores();
    workers = default_worker_count();
  });
  probe.join();
  EXPECT_EQ(confined, 1u);
  EXPECT_EQ(workers, 1u);
}

}  // namespace
}  // namespace kolvex::core
