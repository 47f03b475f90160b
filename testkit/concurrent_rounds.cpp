#include "testkit/concurrent_rounds.h"

#include <atomic>
#include <thread>
#include <vector>

namespace kolvex::testkit {

RoundCounts run_concurrent_rounds(const ConcurrentRounds& plan, const std::function<bool(const RoundStep&)>& check) {
  std::atomic<int> wrong = 0;
  std::atomic<int> failed = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < plan.threads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < plan.rounds; ++round) {
        for (std::size_t k = 0; k < plan.items; ++k) {
          const std::size_t item = (k + static_cast<std::size_t>(t) * plan.stride) % plan.items;
          try {
            if (!check(RoundStep{t, round, k, item})) ++wrong;
          } catch (...) {
            ++failed;
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  return {wrong.load(), failed.load()};
}

}  // namespace kolvex::testkit
