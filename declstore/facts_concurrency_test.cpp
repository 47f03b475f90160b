// Many threads reading legacy facts at once, through the shared cache, with
// more files than it holds so that lookups, stores and evictions interleave.
// Built as its own test binary so that it can also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/fs.h"
#include "core/sqlite.h"
#include "declstore/facts.h"
#include "declstore/snapshot_test_support.h"
#include "testkit/concurrent_rounds.h"

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

  // Each thread walks the files from its own starting point.
  const testkit::RoundCounts counts = testkit::run_concurrent_rounds(
      {.threads = THREADS, .rounds = ROUNDS, .items = FILES, .stride = 13}, [&](const testkit::RoundStep& step) {
        const std::size_t i = step.item;
        core::Connection conn = core::Connection::open(paths[i], {.read_only = true});
        const SnapshotFacts facts = read_snapshot_facts(conn);
        const bool expected = i % 2 == 0;
        return facts.scip_state == "legacy" && facts.scip_definitions == expected && facts.scip_outlines == expected;
      });
  EXPECT_EQ(counts.wrong, 0);
  EXPECT_EQ(counts.failed, 0);
}

}  // namespace
}  // namespace kolvex::declstore
