#include "embeddings/thread_tuner.h"

#include <algorithm>

namespace kolvex::embeddings {

ThreadTuner::ThreadTuner(unsigned cores) {
  for (unsigned n = std::max(cores, 1u);; n /= 2) {
    candidates_.push_back(n);
    if (n == 1) break;
  }
  costs_.resize(candidates_.size());
}

unsigned ThreadTuner::best() const {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < costs_.size(); ++i) {
    if (costs_[i] && (!costs_[kept] || *costs_[i] < *costs_[kept])) kept = i;
  }
  return candidates_[kept];
}

unsigned ThreadTuner::next() {
  ++decodes_;
  for (std::size_t i = 0; i < costs_.size(); ++i) {
    if (!costs_[i]) return candidates_[i];
  }
  if (candidates_.size() == 1 || decodes_ % THREAD_PROBE_INTERVAL != 0) return best();
  const auto kept = static_cast<std::size_t>(
      std::find(candidates_.begin(), candidates_.end(), best()) - candidates_.begin());
  // Alternate between fewer and more threads; at either end only one way is open.
  const bool down = kept == 0 ? true : kept + 1 == candidates_.size() ? false : probe_down_;
  probe_down_ = !probe_down_;
  return candidates_[down ? kept + 1 : kept - 1];
}

void ThreadTuner::record(unsigned threads, double seconds_per_token) {
  if (!warmed_) {
    warmed_ = true;
    return;
  }
  const auto it = std::find(candidates_.begin(), candidates_.end(), threads);
  if (it == candidates_.end()) return;
  const bool kept = threads == best();
  std::optional<double>& cost = costs_[static_cast<std::size_t>(it - candidates_.begin())];
  // The kept count's cost is smoothed over its many decodes; a probed count was
  // last measured under another load, so its new measurement replaces the old.
  cost = cost && kept ? (1 - THREAD_COST_WEIGHT) * *cost + THREAD_COST_WEIGHT * seconds_per_token
                      : seconds_per_token;
}

}  // namespace kolvex::embeddings
