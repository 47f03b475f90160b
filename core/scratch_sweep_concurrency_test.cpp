// Marked scratch directories created while another thread sweeps the same
// parent: a directory whose owner is creating it is never taken for abandoned,
// so its creation never fails and the sweep never removes it. Built into the
// concurrency test binary so that it also runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "core/fs.h"
#include "core/scratch_sweep.h"

namespace kolvex::core {
namespace {

namespace fs = std::filesystem;

constexpr int CREATIONS = 3000;
constexpr std::string_view PREFIX = "kolvex-index-";

TEST(ScratchSweepConcurrency, ADirectoryBeingCreatedIsNeverSweptAway) {
  ScratchDir parent = ScratchDir::create("kolvex-sweep-race-");
  std::atomic<bool> done = false;
  std::thread sweeper([&] {
    while (!done) remove_abandoned_scratch_dirs(parent.path(), PREFIX, std::chrono::hours(1));
  });
  int failed = 0;
  int removed = 0;
  for (int i = 0; i < CREATIONS; ++i) {
    try {
      ScratchDir scratch = ScratchDir::create_marked(PREFIX, parent.path());
      if (!fs::exists(scratch.path())) ++removed;
    } catch (const std::exception& error) {
      if (failed++ == 0) ADD_FAILURE() << error.what();
    }
  }
  done = true;
  sweeper.join();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(removed, 0);
}

}  // namespace
}  // namespace kolvex::core
