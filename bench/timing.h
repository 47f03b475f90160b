// Timing for the benchmarks: the best wall time of several runs, the one least
// disturbed by other work on the machine.
#pragma once

#include <chrono>

namespace kolvex::bench {

template <typename Body>
double seconds(Body&& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <typename Body>
double best_seconds(int rounds, Body&& body) {
  double best = 0;
  for (int round = 0; round < rounds; ++round) {
    const double elapsed = seconds(body);
    if (round == 0 || elapsed < best) best = elapsed;
  }
  return best;
}

}  // namespace kolvex::bench
