// What the library reads and records for the test seam (testing.h). Internal:
// without any override the runtime binds and the records are only counters.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

namespace kolvex::embeddings::testing {

struct State {
  std::atomic<bool> runtime_unbindable{false};
  std::mutex mutex;
  std::size_t loads = 0;
  std::vector<std::size_t> encode_calls;
  std::vector<std::size_t> tokenize_calls;

  void record_load();
  void record_encode(std::size_t texts);
  void record_tokenize(std::size_t texts);
};

State& state();

}  // namespace kolvex::embeddings::testing
