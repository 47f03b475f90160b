// What the library reads and records for the test seam (testing.h). Internal:
// without any override the runtime binds, and nothing is recorded while no
// testing::Overrides is alive, so production calls leave no records behind.
#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

#include "core/thread_annotations.h"

namespace kolvex::embeddings::testing {

struct State {
  std::atomic<bool> runtime_unbindable{false};
  // Live testing::Overrides; records are kept only while there is one.
  std::atomic<int> observers{0};
  core::Mutex mutex;
  std::size_t loads GUARDED_BY(mutex) = 0;
  std::vector<std::size_t> encode_calls GUARDED_BY(mutex);
  std::vector<std::size_t> tokenize_calls GUARDED_BY(mutex);

  void record_load();
  void record_encode(std::size_t texts);
  void record_tokenize(std::size_t texts);
};

State& state();

}  // namespace kolvex::embeddings::testing
