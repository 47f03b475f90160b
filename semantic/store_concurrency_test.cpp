// Readers searching and reading a table while a writer replaces it over and over:
// every read sees one whole generation (or no table, after an empty
// replacement), never rows of two generations or a half-written table.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/fs.h"
#include "semantic/store.h"

namespace kolvex::semantic {
namespace {

constexpr int GENERATIONS = 61;  // the last one, 60, has rows
constexpr int READERS = 4;

// Generation g has 5 + g % 7 rows (none when g % 10 == 9); every column of every
// row names the generation, and row i lies at angle i from the query (0, 1, ...).
int rows_in(int generation) { return generation % 10 == 9 ? 0 : 5 + generation % 7; }

std::vector<Row> generation_rows(int generation) {
  std::vector<Row> rows;
  std::string tag = "g" + std::to_string(generation);
  for (int i = 0; i < rows_in(generation); ++i) {
    float angle = 0.1f * static_cast<float>(i);
    rows.push_back(make_row(RowFields{tag + "-" + std::to_string(i), tag, tag, "f" + std::to_string(i % 3) + ".py",
                                      i + 1, i + 1, "", "python", tag, Vector{std::cos(angle), std::sin(angle), 0},
                                      "model", tag, "", "", 2}));
  }
  return rows;
}

// The generation all rows name, or -1 when they name several.
int generation_of(const std::vector<Row>& rows) {
  std::string tag = text_column(rows.front(), "content");
  for (const Row& row : rows) {
    if (text_column(row, "content") != tag || text_column(row, "model_revision") != tag) return -1;
  }
  return std::stoi(tag.substr(1));
}

TEST(StoreConcurrencyTest, ReadersSeeWholeGenerationsWhileTheTableIsReplaced) {
  core::ScratchDir scratch = core::ScratchDir::create("semantic-concurrency-test-");
  std::filesystem::path db_dir = scratch.path() / "lancedb";
  SemanticStore(db_dir).overwrite("repo", generation_rows(0));

  std::atomic<bool> done{false};
  std::mutex failures_mutex;
  std::vector<std::string> failures;
  auto fail = [&](std::string what) {
    std::lock_guard lock(failures_mutex);
    failures.push_back(std::move(what));
  };

  std::vector<std::thread> readers;
  std::atomic<int> reads{0};
  for (int r = 0; r < READERS; ++r) {
    readers.emplace_back([&, r] {
      try {
        while (!done.load()) {
          SemanticStore store(db_dir);  // one store per search, as the query side does
          std::vector<Row> found = store.search("repo", {1, 0, 0}, 30);
          if (!found.empty()) {
            int generation = generation_of(found);
            if (generation < 0 || static_cast<int>(found.size()) != rows_in(generation)) {
              fail("search mixed or cut generations");
            }
            for (std::size_t i = 0; i < found.size(); ++i) {
              if (integer_column(found[i], "start_line") != static_cast<std::int64_t>(i) + 1) {
                fail("search order");
              }
            }
          }
          RowsByPath grouped = store.rows_by_path("repo");
          std::vector<Row> all;
          for (const FileRows& file : grouped) all.insert(all.end(), file.rows.begin(), file.rows.end());
          if (!all.empty()) {
            int generation = generation_of(all);
            if (generation < 0 || static_cast<int>(all.size()) != rows_in(generation)) {
              fail("rows_by_path mixed generations");
            }
          }
          std::optional<TableIdentity> identity = store.table_identity("repo");
          if (identity && (identity->model_name != "model" || identity->model_revision.empty() ||
                           identity->model_revision[0] != 'g')) {
            fail("identity");
          }
          reads.fetch_add(1);
        }
      } catch (const std::exception& error) {
        fail("reader " + std::to_string(r) + ": " + error.what());
      }
    });
  }

  try {
    SemanticStore writer(db_dir);
    for (int generation = 1; generation < GENERATIONS; ++generation) writer.overwrite("repo", generation_rows(generation));
  } catch (const std::exception& error) {
    fail(std::string("writer: ") + error.what());
  }
  // Let every reader finish at least one full round after the last replacement.
  int after = reads.load();
  while (reads.load() < after + READERS) std::this_thread::yield();
  done.store(true);
  for (std::thread& reader : readers) reader.join();

  EXPECT_TRUE(failures.empty()) << failures.front();
  SemanticStore store(db_dir);
  std::vector<Row> last = store.search("repo", {1, 0, 0}, 30);
  ASSERT_FALSE(last.empty());
  EXPECT_EQ(generation_of(last), GENERATIONS - 1);
}

}  // namespace
}  // namespace kolvex::semantic
