// Readers searching and reading a table while a writer replaces it over and over:
// every read sees one whole generation that was current at some moment during the
// read (no table only when that generation was an empty replacement), never rows
// of two generations, a half-written table or a gap between two generations.
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

  // The writer announces a generation before replacing the table with it and
  // records it once the replacement returned: a read that starts after
  // `written` = a and ends before `writing` passes b may only see a..b.
  std::atomic<int> writing{0};
  std::atomic<int> written{0};
  auto check = [&](const char* what, int first, int last, const std::vector<Row>& rows, bool whole) {
    if (rows.empty()) {
      bool empty_generation = false;
      for (int g = first; g <= last; ++g) empty_generation = empty_generation || rows_in(g) == 0;
      if (!empty_generation) fail(std::string(what) + ": no table while every generation had rows");
      return;
    }
    int generation = generation_of(rows);
    if (generation < 0) {
      fail(std::string(what) + ": rows of several generations");
    } else if (generation < first || generation > last) {
      fail(std::string(what) + ": generation " + std::to_string(generation) + " outside " + std::to_string(first) +
           ".." + std::to_string(last));
    } else if (whole && static_cast<int>(rows.size()) != rows_in(generation)) {
      fail(std::string(what) + ": part of a generation");
    }
  };

  std::vector<std::thread> readers;
  std::atomic<int> reads{0};
  for (int r = 0; r < READERS; ++r) {
    readers.emplace_back([&, r] {
      try {
        while (!done.load()) {
          SemanticStore store(db_dir);  // one store per search, as the query side does
          int first = written.load();
          std::vector<Row> found = store.search("repo", {1, 0, 0}, 30);
          check("search", first, writing.load(), found, true);
          for (std::size_t i = 0; i < found.size(); ++i) {
            if (integer_column(found[i], "start_line") != static_cast<std::int64_t>(i) + 1) fail("search order");
          }

          first = written.load();
          RowsByPath grouped = store.rows_by_path("repo");
          std::vector<Row> all;
          for (const FileRows& file : grouped) all.insert(all.end(), file.rows.begin(), file.rows.end());
          check("rows_by_path", first, writing.load(), all, true);

          first = written.load();
          std::optional<TableIdentity> identity = store.table_identity("repo");
          std::vector<Row> identity_row;
          if (identity) {
            Row row;
            row.set("content", identity->model_revision);
            row.set("model_revision", identity->model_revision);
            identity_row.push_back(std::move(row));
          }
          check("table_identity", first, writing.load(), identity_row, false);
          reads.fetch_add(1);
        }
      } catch (const std::exception& error) {
        fail("reader " + std::to_string(r) + ": " + error.what());
      }
    });
  }

  try {
    SemanticStore writer(db_dir);
    for (int generation = 1; generation < GENERATIONS; ++generation) {
      writing.store(generation);
      writer.overwrite("repo", generation_rows(generation));
      written.store(generation);
    }
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
