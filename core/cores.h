// How many processors this process may run on.
//
// std::thread::hardware_concurrency counts the machine's online processors and
// ignores the affinity mask, so a process confined to fewer (taskset, a
// container's cpuset, a CI runner) would start more threads than it can run and
// have them wait for each other. available_cores counts the processors of the
// calling thread's affinity mask instead, falling back to the machine's count.
#pragma once

#include <sched.h>

#include <algorithm>
#include <thread>

namespace kolvex::core {

// At least one.
inline unsigned available_cores() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace kolvex::core
