#include "defmatch/search.h"

#include <gtest/gtest.h>

#include "core/fs.h"
#include "core/sqlite.h"
#include "testkit/symbol_database.h"

namespace kolvex::defmatch {
namespace {

using platform::DescriptorKind;
using testkit::Lines;
using testkit::py_symbol;
using testkit::TestSymbol;
using Hits = std::vector<SymbolHit>;

class SearchSymbolsTest : public ::testing::Test {
 protected:
  core::Connection database(const std::vector<TestSymbol>& symbols) {
    auto path = scratch_.path() / ("db" + std::to_string(count_++) + ".db");
    testkit::write_symbol_database(path, symbols);
    return core::Connection::open(path, {.read_only = true});
  }

  core::ScratchDir scratch_ = core::ScratchDir::create("defmatch-search-");
  int count_ = 0;
};

TEST_F(SearchSymbolsTest, FindsRankedDefinitionsWithOneBasedLines) {
  auto conn = database({
      {py_symbol("io/read()."), Lines{10, 12}, "src/io.py"},
      {py_symbol("io/readFile()."), Lines{0, 4}, "src/io.py"},
      {py_symbol("io/File#"), Lines{20, 30}, "src/io.py"},
      {py_symbol("vendor/read().")},  // referenced only: defined outside the repository
  });
  EXPECT_EQ(search_symbols(conn, "How do I read the file?"),
            (Hits{{"src/io.py", 1, 5, "io.readFile", DescriptorKind::METHOD},
                  {"src/io.py", 21, 31, "io.File", DescriptorKind::TYPE},
                  {"src/io.py", 11, 13, "io.read", DescriptorKind::METHOD}}));
  EXPECT_EQ(search_symbols(conn, "io.READFILE"), (Hits{{"src/io.py", 1, 5, "io.readFile", DescriptorKind::METHOD}}));
  EXPECT_EQ(search_symbols(conn, "nothing matches here"), Hits{});
}

TEST_F(SearchSymbolsTest, FirstStoredDefinitionAndNoDeduplication) {
  auto conn = database({
      {py_symbol("a/Config#"), Lines{5, 9}, "src/a.py"},
      {py_symbol("b/config."), Lines{5, 9}, "src/a.py"},  // same location, another symbol
      {py_symbol("a/Config#"), Lines{1, 2}, "src/z.py"},  // a second definition range
  });
  EXPECT_EQ(search_symbols(conn, "config"), (Hits{{"src/a.py", 6, 10, "a.Config", DescriptorKind::TYPE},
                                                  {"src/a.py", 6, 10, "b.config", DescriptorKind::TERM}}));
}

TEST_F(SearchSymbolsTest, LimitCountsHitsNotProbedCandidates) {
  // Fifteen handlers, ranked by dotted path (m00 .. m14); every third has no definition.
  std::vector<TestSymbol> symbols;
  Hits defined;
  for (int i = 0; i < 15; ++i) {
    std::string module = (i < 10 ? "m0" : "m1") + std::to_string(i % 10);
    if (i % 3 == 1) {
      symbols.push_back({py_symbol(module + "/handler().")});
    } else {
      symbols.push_back({py_symbol(module + "/handler()."), Lines{i, i}});
      defined.push_back({"src/app.py", i + 1, i + 1, module + ".handler", DescriptorKind::METHOD});
    }
  }
  auto conn = database(symbols);
  ASSERT_EQ(defined.size(), 10u);
  struct Case {
    std::optional<int> limit;
    std::size_t expected;
  };
  const std::vector<Case> cases = {{std::nullopt, 10}, {1, 1}, {3, 3}, {0, 0}, {-1, 0}, {100, 10}};
  for (const auto& [limit, expected] : cases) {
    const Hits hits = limit ? search_symbols(conn, "handler", *limit) : search_symbols(conn, "handler");
    EXPECT_EQ(hits, Hits(defined.begin(), defined.begin() + static_cast<std::ptrdiff_t>(expected)))
        << (limit ? std::to_string(*limit) : "default");
  }
}

TEST_F(SearchSymbolsTest, ProbesOnlyTheScanCapOfRankedCandidates) {
  // Undefined types outrank one defined term of the same name.
  for (std::size_t undefined : {detail::CANDIDATE_SCAN_CAP - 1, detail::CANDIDATE_SCAN_CAP}) {
    std::vector<TestSymbol> symbols;
    for (std::size_t i = 0; i < undefined; ++i) symbols.push_back({py_symbol("t" + std::to_string(i) + "/Widget#")});
    symbols.push_back({py_symbol("t/widget."), Lines{0, 0}});
    auto conn = database(symbols);
    const Hits expected =
        undefined < detail::CANDIDATE_SCAN_CAP ? Hits{{"src/app.py", 1, 1, "t.widget", DescriptorKind::TERM}} : Hits{};
    EXPECT_EQ(search_symbols(conn, "widget"), expected) << undefined;
  }
}

TEST_F(SearchSymbolsTest, QueryWithoutTokensTouchesNoDatabase) {
  auto conn = database({{py_symbol("m/how."), Lines{0, 0}}});
  conn.close();
  EXPECT_EQ(search_symbols(conn, "how is it?"), Hits{});
  EXPECT_EQ(search_symbols(conn, ""), Hits{});
  EXPECT_THROW(search_symbols(conn, "parser"), core::SqliteError);
}

TEST_F(SearchSymbolsTest, FileDatabasesAreReadThroughTheCacheInMemoryOnesAfresh) {
  auto path = scratch_.path() / "cached.db";
  testkit::write_symbol_database(path, {{py_symbol("m/Alpha#"), Lines{0, 1}}});
  auto writer = core::Connection::open(path);
  auto memory = core::Connection::open_memory();
  memory.exec("ATTACH DATABASE '" + path.string() + "' AS source");
  for (const char* table : {"documents", "global_symbols", "defn_enclosing_ranges"}) {
    memory.exec(std::string("CREATE TABLE ") + table + " AS SELECT * FROM source." + table);
  }
  memory.exec("DETACH DATABASE source");
  const Hits alpha = {{"src/app.py", 1, 2, "m.Alpha", DescriptorKind::TYPE}};
  ASSERT_EQ(search_symbols(writer, "alpha beta"), alpha);
  ASSERT_EQ(search_symbols(memory, "alpha beta"), alpha);

  // A new symbol Beta defined at lines 2..3 of the same document, in both databases.
  for (core::Connection* conn : {&writer, &memory}) {
    conn->exec("INSERT INTO global_symbols (id, symbol) VALUES (100, '" + py_symbol("m/Beta#") + "')");
    conn->exec("INSERT INTO defn_enclosing_ranges (id, document_id, symbol_id, start_line, end_line) "
               "VALUES (100, 1, 100, 2, 3)");
  }
  const Hits both = {{"src/app.py", 3, 4, "m.Beta", DescriptorKind::TYPE},  // the shorter path first
                     {"src/app.py", 1, 2, "m.Alpha", DescriptorKind::TYPE}};
  EXPECT_EQ(search_symbols(memory, "alpha beta"), both);
  EXPECT_EQ(search_symbols(writer, "alpha beta"), alpha);  // the cached map predates Beta
}

TEST_F(SearchSymbolsTest, FailuresReachTheCallerWithoutPartialHits) {
  auto path = scratch_.path() / "hand-made.db";
  auto conn = core::Connection::open(path);
  // Columns without NOT NULL, so a broken row can be stored.
  conn.exec(
      "CREATE TABLE documents (id INTEGER PRIMARY KEY, relative_path TEXT);"
      "CREATE TABLE global_symbols (id INTEGER PRIMARY KEY, symbol TEXT);"
      "CREATE TABLE defn_enclosing_ranges (id INTEGER PRIMARY KEY, document_id INTEGER, symbol_id INTEGER,"
      " start_line INTEGER, end_line INTEGER);"
      "INSERT INTO documents VALUES (1, 'src/app.py'), (2, NULL);");
  auto add = [&](int id, const std::string& module, const char* document, const char* start, const char* end) {
    conn.exec("INSERT INTO global_symbols VALUES (" + std::to_string(id) + ", '" + py_symbol(module + "/Job#") + "')");
    conn.exec("INSERT INTO defn_enclosing_ranges VALUES (" + std::to_string(id) + ", " + document + ", " +
              std::to_string(id) + ", " + start + ", " + end + ")");
  };
  for (int i = 1; i <= 4; ++i) add(i, "m" + std::to_string(i), "1", "0", "1");
  add(5, "m5", "1", "NULL", "1");  // the fifth probed candidate
  EXPECT_EQ(search_symbols(conn, "job", 4).size(), 4u);
  try {
    search_symbols(conn, "job");
    FAIL() << "no error";
  } catch (const core::ValueError& error) {
    EXPECT_EQ(error.message(), "definition of '" + py_symbol("m5/Job#") + "' has no start_line");
  }

  struct Case {
    std::string fix;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"UPDATE defn_enclosing_ranges SET start_line = 0, end_line = NULL WHERE id = 5", "has no end_line"},
      {"UPDATE defn_enclosing_ranges SET end_line = 1, document_id = 2 WHERE id = 5", "has no relative_path"},
      {"UPDATE defn_enclosing_ranges SET document_id = 1, start_line = 9223372036854775807 WHERE id = 5",
       "has an out-of-range start_line"},
  };
  for (const auto& [fix, message] : cases) {
    conn.exec(fix);
    try {
      search_symbols(conn, "job");
      ADD_FAILURE() << "no error after " << fix;
    } catch (const core::ValueError& error) {
      EXPECT_EQ(error.message(), "definition of '" + py_symbol("m5/Job#") + "' " + message);
    }
  }

  conn.exec("DROP TABLE defn_enclosing_ranges");
  EXPECT_THROW(search_symbols(conn, "job"), core::SqliteError);
  EXPECT_EQ(search_symbols(conn, "unknown words"), Hits{});  // no candidate, no definition query
}

}  // namespace
}  // namespace kolvex::defmatch
