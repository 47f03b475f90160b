// Many threads checking the same items at once: each thread makes several
// rounds over all the items, starting from an offset of its own, so that the
// threads meet on different items at different times. A check that answers
// wrongly counts as wrong, one that throws as failed; a test expects both
// counts to be zero.
//
// Thread-safety: run_concurrent_rounds calls `check` from several threads at
// once; `check` must be safe to call that way. The counts are atomic.
#pragma once

#include <cstddef>
#include <functional>

namespace kolvex::testkit {

struct ConcurrentRounds {
  int threads = 1;
  int rounds = 1;
  std::size_t items = 0;
  // Thread t starts its rounds at item (t * stride) % items.
  std::size_t stride = 1;
};

struct RoundCounts {
  int wrong = 0;
  int failed = 0;
};

// The position of one check: the thread, its round, the step k within the
// round, and the item that step lands on.
struct RoundStep {
  int thread;
  int round;
  std::size_t k;
  std::size_t item;
};

// Runs `check` for every step of every thread's rounds and waits for all threads.
RoundCounts run_concurrent_rounds(const ConcurrentRounds& plan, const std::function<bool(const RoundStep&)>& check);

}  // namespace kolvex::testkit
