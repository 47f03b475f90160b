#include "declstore/lookups.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/sqlite.h"
#include "declstore/snapshot_test_support.h"

namespace kolvex::declstore {
namespace {

using syntax::DescriptorKind;
using syntax::SyntaxSymbol;
using testing::declaration;
using testing::FileRow;

const SyntaxSymbol JOB = declaration("syntax:job", "src/app.py", "Job", 6);
const SyntaxSymbol JOB_RUN = declaration("syntax:job-run", "src/app.py", "Job.run", 30, "syntax:job",
                                         DescriptorKind::METHOD);
const SyntaxSymbol HELPER = declaration("syntax:helper", "src/app.py", "helper", 80);
const SyntaxSymbol WORKER_RUN = declaration("syntax:worker-run", "src/covered.py", "Worker.run", 12, std::nullopt,
                                            DescriptorKind::METHOD);
const SyntaxSymbol TASK_RUN = declaration("syntax:task-run", "src/tasks.py", "Task.run", 40, std::nullopt,
                                          DescriptorKind::METHOD);

// src/app.py has an outline from SCIP, src/covered.py SCIP definitions.
core::Connection snapshot() {
  core::Connection conn = core::Connection::open_memory();
  testing::fill_syntax_tables(
      conn,
      {{.file_path = "src/app.py"},
       {.file_path = "src/covered.py"},
       {.file_path = "src/tasks.py", .state = "partial", .reason = "grammar produced error or missing nodes"},
       {.file_path = "notes.txt", .state = "unsupported", .reason = "unsupported extension", .language = std::nullopt},
       {.file_path = "b.py", .state = "failed", .reason = "invalid start byte"},
       {.file_path = "vendor", .state = "skipped", .in_scope = false, .reason = "submodule", .language = std::nullopt}},
      // Stored out of selection order on purpose.
      {HELPER, JOB_RUN, WORKER_RUN, JOB, TASK_RUN});
  conn.exec("UPDATE syntax_files SET scip_outline = 1 WHERE file_path = 'src/app.py'");
  conn.exec("UPDATE syntax_files SET scip_outline = 1, scip_definition = 1 WHERE file_path = 'src/covered.py'");
  return conn;
}

std::vector<std::string> ids(const std::vector<SyntaxSymbol>& symbols) {
  std::vector<std::string> result;
  for (const SyntaxSymbol& symbol : symbols) result.push_back(symbol.symbol);
  return result;
}

TEST(LookupsTest, PathsAndIdsTheSnapshotDoesNotRecordGiveNotFoundAnswers) {
  core::Connection conn = snapshot();
  struct Case {
    std::string path;
    std::string state;
    std::optional<std::string> reason;
    bool recorded;
  };
  const std::vector<Case> cases = {
      {"missing.py", "unknown", std::nullopt, false},
      {"SRC/APP.PY", "unknown", std::nullopt, false},
      {"notes.txt", "unsupported", "unsupported extension", true},
      {"b.py", "failed", "invalid start byte", true},
      {"vendor", "skipped", "submodule", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(file_symbols(conn, c.path), std::vector<SyntaxSymbol>{});
    EXPECT_EQ(file_coverage(conn, c.path), std::make_pair(c.state, c.reason));
    EXPECT_EQ(file_provider_coverage(conn, c.path).has_value(), c.recorded);
  }
  EXPECT_EQ(get_syntax_symbol(conn, "syntax:none"), std::nullopt);
  EXPECT_EQ(get_syntax_symbol(conn, "SYNTAX:JOB"), std::nullopt);
}

TEST(LookupsTest, DeclarationsComeBackWholeAndByAscendingSelectionByte) {
  core::Connection conn = snapshot();
  EXPECT_EQ(file_symbols(conn, "src/app.py"), (std::vector<SyntaxSymbol>{JOB, JOB_RUN, HELPER}));
  EXPECT_EQ(get_syntax_symbol(conn, "syntax:job-run"), JOB_RUN);
  const std::optional<SyntaxSymbol> top_level = get_syntax_symbol(conn, "syntax:job");
  ASSERT_TRUE(top_level);
  EXPECT_EQ(top_level->parent_symbol, std::nullopt);
  EXPECT_EQ(top_level->kind, DescriptorKind::TERM);
}

TEST(LookupsTest, CoverageBitsComeFromTheStoredFlags) {
  core::Connection conn = snapshot();
  struct Case {
    std::string path;
    FileProviderCoverage coverage;
  };
  const std::vector<Case> cases = {
      {"src/app.py", {"parsed", std::nullopt, true, false}},
      {"src/covered.py", {"parsed", std::nullopt, true, true}},
      {"src/tasks.py", {"partial", "grammar produced error or missing nodes", false, false}},
      {"notes.txt", {"unsupported", "unsupported extension", false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(file_provider_coverage(conn, c.path), c.coverage);
  }
}

TEST(LookupsTest, FindMatchesDottedSuffixesCaseSensitivelyWhereScipHasNoDefinitions) {
  core::Connection conn = snapshot();
  struct Case {
    std::string query;
    bool uncovered_only;
    std::vector<std::string> ids;
  };
  const std::vector<Case> cases = {
      {"run", true, {"syntax:job-run", "syntax:task-run"}},
      {"run", false, {"syntax:job-run", "syntax:worker-run", "syntax:task-run"}},
      {"Worker.run", true, {}},
      {"Worker.run", false, {"syntax:worker-run"}},
      {"Job.run", true, {"syntax:job-run"}},
      {"Job", true, {"syntax:job"}},
      {"job", false, {}},
      {"RUN", false, {}},
      {"un", false, {}},
      {"nothing", false, {}},
      {"", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query + (c.uncovered_only ? " (uncovered only)" : " (all)"));
    EXPECT_EQ(ids(find_syntax_symbols(conn, c.query, {.uncovered_only = c.uncovered_only})), c.ids);
  }
  EXPECT_EQ(ids(find_syntax_symbols(conn, "run")), ids(find_syntax_symbols(conn, "run", {.uncovered_only = true})));
  EXPECT_EQ(find_syntax_symbols(conn, "Job.run"), std::vector<SyntaxSymbol>{JOB_RUN});
}

TEST(LookupsTest, CandidatesBeyondTheParameterLimitAreReadInBatches) {
  core::Connection conn = core::Connection::open_memory();
  std::vector<SyntaxSymbol> symbols;
  std::vector<std::string> expected;
  for (int i = 0; i < 10; ++i) {
    symbols.push_back(declaration("syntax:" + std::to_string(i), "src/many.py", "C" + std::to_string(i) + ".x", i * 20));
    expected.push_back("syntax:" + std::to_string(i));
  }
  testing::fill_syntax_tables(conn, {{.file_path = "src/many.py"}}, symbols);
  const std::vector<SyntaxSymbol> unlimited = find_syntax_symbols(conn, "x");
  EXPECT_EQ(ids(unlimited), expected);

  sqlite3_limit(conn.raw(), SQLITE_LIMIT_VARIABLE_NUMBER, 3);
  EXPECT_THROW(conn.prepare("SELECT ?, ?, ?, ?"), core::SqliteError);
  EXPECT_EQ(find_syntax_symbols(conn, "x"), unlimited);
  EXPECT_EQ(find_syntax_symbols(conn, "x", {.uncovered_only = false}), unlimited);
}

TEST(LookupsTest, ErrorsPassToTheCaller) {
  // A snapshot without the syntax tables: the engine's missing-table error.
  core::Connection legacy = core::Connection::open_memory();
  legacy.exec("CREATE TABLE documents (id INTEGER PRIMARY KEY, relative_path TEXT)");
  EXPECT_THROW(file_symbols(legacy, "a.py"), core::SqliteError);
  EXPECT_THROW(get_syntax_symbol(legacy, "syntax:1"), core::SqliteError);
  EXPECT_THROW(find_syntax_symbols(legacy, "a"), core::SqliteError);
  EXPECT_THROW(file_coverage(legacy, "a.py"), core::SqliteError);
  EXPECT_THROW(file_provider_coverage(legacy, "a.py"), core::SqliteError);

  // A stored kind the vocabulary does not know fails every lookup that meets
  // it, find included even for a query that would not match the row.
  core::Connection conn = snapshot();
  conn.exec("UPDATE syntax_symbols SET kind = 'GADGET' WHERE symbol = 'syntax:helper'");
  EXPECT_THROW(file_symbols(conn, "src/app.py"), core::ValueError);
  EXPECT_THROW(get_syntax_symbol(conn, "syntax:helper"), core::ValueError);
  EXPECT_THROW(find_syntax_symbols(conn, "nothing"), core::ValueError);
  EXPECT_EQ(file_symbols(conn, "src/tasks.py"), std::vector<SyntaxSymbol>{TASK_RUN});
}

}  // namespace
}  // namespace kolvex::declstore
