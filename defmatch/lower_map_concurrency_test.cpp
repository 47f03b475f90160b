// Many threads searching more databases than the map cache holds, so that
// look-ups, concurrent misses on one path and evictions interleave.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/fs.h"
#include "core/sqlite.h"
#include "defmatch/lower_map.h"
#include "defmatch/search.h"
#include "testkit/symbol_database.h"

namespace kolvex::defmatch {
namespace {

using testkit::Lines;
using testkit::py_symbol;

constexpr int DATABASES = static_cast<int>(detail::LOWER_MAP_CACHE_MAX_SIZE) + 6;
constexpr int THREADS = 8;
constexpr int ROUNDS = 150;

// Database i defines its own m<i>.Widget at lines i..i+2, so a map served for
// the wrong file would name a symbol this database does not define.
SymbolHit expected_hit(int i) {
  return {"src/app.py", i + 1, i + 3, "m" + std::to_string(i) + ".Widget", platform::DescriptorKind::TYPE};
}

TEST(LowerMapConcurrency, ConcurrentSearchesGetTheirOwnDatabasesHits) {
  auto scratch = core::ScratchDir::create("defmatch-concurrency-");
  // Copies of one converted database, each changed without syncing (writing
  // every database through the converter would sync each one).
  const auto template_path = scratch.path() / "template.db";
  testkit::write_symbol_database(template_path, {{py_symbol("m/Widget#"), Lines{0, 2}}});
  std::vector<std::filesystem::path> paths;
  for (int i = 0; i < DATABASES; ++i) {
    paths.push_back(scratch.path() / ("db" + std::to_string(i) + ".db"));
    std::filesystem::copy_file(template_path, paths.back());
    auto conn = core::Connection::open(paths.back());
    conn.exec("PRAGMA synchronous = OFF");
    conn.exec("UPDATE global_symbols SET symbol = '" + py_symbol("m" + std::to_string(i) + "/Widget#") + "'");
    conn.exec("UPDATE defn_enclosing_ranges SET start_line = " + std::to_string(i) +
              ", end_line = " + std::to_string(i + 2));
  }
  // One connection shared by every thread (the wrapper serialises its calls).
  auto shared = core::Connection::open(paths[0], {.read_only = true});

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      try {
        std::vector<core::Connection> conns;
        for (const auto& path : paths) conns.push_back(core::Connection::open(path, {.read_only = true}));
        auto memory = core::Connection::open_memory();
        memory.exec("CREATE TABLE global_symbols (id INTEGER PRIMARY KEY, symbol TEXT)");
        for (int round = 0; round < ROUNDS; ++round) {
          // Neighbouring threads walk the files in opposite directions.
          const int i = (t % 2 == 0 ? round * 7 + t : DATABASES * ROUNDS - round * 5 - t) % DATABASES;
          if (search_symbols(conns[static_cast<std::size_t>(i)], "find the widget") !=
              std::vector<SymbolHit>{expected_hit(i)}) {
            ++failures;
          }
          if (round % 10 == 0) {
            if (search_symbols(shared, "widget") != std::vector<SymbolHit>{expected_hit(0)}) ++failures;
            if (!detail::lower_map(memory)->entries().empty()) ++failures;
          }
        }
      } catch (const std::exception& error) {
        ADD_FAILURE() << error.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace kolvex::defmatch
