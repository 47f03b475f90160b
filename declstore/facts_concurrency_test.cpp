// Many threads reading legacy facts at once, through the shared cache, with
// more files than it holds so that lookups, stores and evictions interleave.
// Built as its own test binary so that it can also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/fs.h"
#include "core/sqlite.h"
#include "declstore/facts.h"
#include "declstore/snapshot_test_support.h"

namespace kolvex::declstore {
namespace {

namespace fs = std::filesystem;

constexpr int THREADS = 8;
constexpr int ROUNDS = 3;
constexpr std::size_t FILES = LEGACY_FACTS_CACHE_MAX_SIZE + 36;

TEST(FactsConcurrencyTest, ConcurrentReadersAlwaysGetTheFactsOfTheirFile) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-facts-threads-");
  std::vector<fs::path> paths;
  for (std::size_t i = 0; i < FILES; ++i) {
    paths.push_back(scratch.path() / ("legacy-" + std::to_string(i) + ".db"));
    // Every other file has definition coverage, so a mixed-up entry shows.
    testing::write_legacy_database(paths.back(), i % 2 == 0);
  }

  std::atomic<int> wrong = 0;
  std::atomic<int> failed = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < ROUNDS; ++round) {
        for (std::size_t k = 0; k < FILES; ++k) {
          // Each thread walks the files from its own starting point.
          const std::size_t i = (k + static_cast<std::size_t>(t) * 13) % FILES;
          try {
            core::Connection conn = core::Connection::open(paths[i], {.read_only = true});
            const SnapshotFacts facts = read_snapshot_facts(conn);
            const bool expected = i % 2 == 0;
            if (facts.scip_state != "legacy" || facts.scip_definitions != expected || facts.scip_outlines != expected) {
              ++wrong;
            }
          } catch (...) {
            ++failed;
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(failed.load(), 0);
}

}  // namespace
}  // namespace kolvex::declstore
