// Many threads searching published snapshots at once through the shared cache
// of name maps, with more maps than it holds so that look-ups, stores and
// evictions interleave; some threads share one connection, others open their
// own. Part of the concurrency test binary, which also runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/fs.h"
#include "core/sqlite.h"
#include "declstore/lookups.h"
#include "declstore/snapshot_test_support.h"
#include "testkit/concurrent_rounds.h"

namespace kolvex::declstore {
namespace {

namespace fs = std::filesystem;

constexpr int THREADS = 8;
constexpr int ROUNDS = 3;
// Each file gives two maps (uncovered only, and all declarations).
constexpr std::size_t FILES = NAME_MAP_CACHE_MAX_SIZE / 2 + 20;

TEST(LookupsConcurrencyTest, ConcurrentSearchesAlwaysAnswerFromTheirOwnSnapshot) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-lookups-threads-");
  std::vector<fs::path> paths;
  std::vector<core::Connection> shared;
  for (std::size_t i = 0; i < FILES; ++i) {
    const std::string n = std::to_string(i);
    paths.push_back(scratch.path() / ("snapshot-" + n + ".db"));
    // Two files: one with SCIP definitions, so the two maps of a file differ.
    core::Connection writer = core::Connection::open(paths.back());
    writer.exec("PRAGMA synchronous = OFF");
    testing::fill_syntax_tables(writer, {{.file_path = "a.py"}, {.file_path = "b.py"}},
                                {testing::declaration("syntax:a" + n, "a.py", "A" + n + ".run", 4),
                                 testing::declaration("syntax:b" + n, "b.py", "B" + n + ".run", 4)});
    writer.exec("UPDATE syntax_files SET scip_definition = 1 WHERE file_path = 'b.py'");
    writer.close();
    shared.push_back(core::Connection::open(paths.back(), {.read_only = true, .immutable = true}));
  }

  // Each thread walks the files from its own starting point.
  const testkit::RoundCounts counts = testkit::run_concurrent_rounds(
      {.threads = THREADS, .rounds = ROUNDS, .items = FILES, .stride = 7}, [&](const testkit::RoundStep& step) {
        const std::size_t i = step.item;
        const std::string n = std::to_string(i);
        const bool uncovered_only = (step.k + static_cast<std::size_t>(step.round)) % 2 == 0;
        core::Connection own;
        if (step.thread % 2 == 1) own = core::Connection::open(paths[i], {.read_only = true, .immutable = true});
        core::Connection& conn = step.thread % 2 == 1 ? own : shared[i];
        std::vector<std::string> ids;
        for (const syntax::SyntaxSymbol& symbol :
             find_syntax_symbols(conn, "run", {.uncovered_only = uncovered_only})) {
          ids.push_back(symbol.symbol);
        }
        const std::vector<std::string> expected = uncovered_only
                                                      ? std::vector<std::string>{"syntax:a" + n}
                                                      : std::vector<std::string>{"syntax:a" + n, "syntax:b" + n};
        return ids == expected;
      });
  EXPECT_EQ(counts.wrong, 0);
  EXPECT_EQ(counts.failed, 0);
}

}  // namespace
}  // namespace kolvex::declstore
