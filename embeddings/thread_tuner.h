// Picks the thread count of each decode from the time decodes took. The first
// measurement is dropped: it pays for loading the weights into memory. On an idle
// machine every core is fastest; on a machine whose cores are busy with other
// work, threads that wait for preempted peers make a decode many times slower
// than fewer threads would. The tuner measures each candidate count (all cores,
// then halving down to one) once, keeps the one with the lowest cost per token,
// and now and then measures a neighbour of the kept count again so that it
// follows the machine's load as it changes.
//
// Thread-safety: none; its owner serialises the calls.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kolvex::embeddings {

// Every this many decodes one goes to a neighbour of the kept count.
inline constexpr std::uint64_t THREAD_PROBE_INTERVAL = 16;
// Weight of a new measurement in the kept count's running cost.
inline constexpr double THREAD_COST_WEIGHT = 0.5;

class ThreadTuner {
 public:
  // Candidates from `cores` (at least 1) halving down to 1.
  explicit ThreadTuner(unsigned cores);

  const std::vector<unsigned>& candidates() const { return candidates_; }
  // The thread count for the next decode.
  unsigned next();
  // A decode with `threads` threads cost `seconds_per_token`.
  void record(unsigned threads, double seconds_per_token);
  // The count with the lowest running cost so far (the most threads before any
  // measurement).
  unsigned best() const;

 private:
  std::vector<unsigned> candidates_;          // descending
  std::vector<std::optional<double>> costs_;  // cost per token per candidate
  std::uint64_t decodes_ = 0;
  bool warmed_ = false;                       // the first measurement was dropped
  bool probe_down_ = true;                    // which neighbour the next probe tries
};

}  // namespace kolvex::embeddings
