#include "declstore/lookups.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/fs.h"
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

namespace fs = std::filesystem;

constexpr core::OpenOptions PUBLISHED = {.read_only = true, .immutable = true};

// src/app.py has an outline from SCIP, src/covered.py SCIP definitions.
void fill_snapshot(core::Connection& conn) {
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
}

core::Connection snapshot() {
  core::Connection conn = core::Connection::open_memory();
  fill_snapshot(conn);
  return conn;
}

// The snapshot written to `path` and closed (without waiting for the disk:
// these files live as long as the test).
void write_snapshot(const fs::path& path) {
  core::Connection conn = core::Connection::open(path);
  conn.exec("PRAGMA synchronous = OFF");
  fill_snapshot(conn);
  conn.close();
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

// The answers of find_syntax_symbols on the snapshot.
void expect_find_answers(core::Connection& conn) {
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

TEST(LookupsTest, FindMatchesDottedSuffixesCaseSensitivelyWhereScipHasNoDefinitions) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-lookups-");
  write_snapshot(scratch.path() / "published.db");
  // The same answers from a database read as it is and from a published one,
  // whose name maps are kept between calls: the second pass answers from them.
  for (const bool published : {false, true}) {
    core::Connection conn = published ? core::Connection::open(scratch.path() / "published.db", PUBLISHED) : snapshot();
    for (int pass = 1; pass <= 2; ++pass) {
      SCOPED_TRACE((published ? "published, pass " : "in memory, pass ") + std::to_string(pass));
      expect_find_answers(conn);
    }
  }
}

// A declaration whose name is not the last segment of its qualified name.
SyntaxSymbol named(SyntaxSymbol symbol, const std::string& name) {
  symbol.name = name;
  return symbol;
}

TEST(LookupsTest, FindMatchesQualifiedNamesThatEndOtherwiseThanTheirName) {
  // Stored in this order, so the name map lists "alias", "run", "a.run".
  const SyntaxSymbol alias = named(declaration("syntax:alias", "src/m.py", "Mod.run", 10), "alias");
  const SyntaxSymbol job_run = declaration("syntax:job-run", "src/m.py", "Job.run", 20);
  const SyntaxSymbol dotted = named(declaration("syntax:dotted", "src/m.py", "Pkg.a.run", 30), "a.run");
  const SyntaxSymbol other_run = declaration("syntax:other-run", "src/m.py", "Other.run", 40);
  const SyntaxSymbol odd = named(declaration("syntax:odd", "src/m.py", "Odd.walk", 50), "run");
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-lookups-");
  {
    core::Connection conn = core::Connection::open(scratch.path() / "published.db");
    testing::fill_syntax_tables(conn, {{.file_path = "src/m.py"}}, {alias, job_run, dotted, other_run, odd});
  }
  const struct {
    std::string query;
    std::vector<std::string> expected;
  } cases[] = {
      {"run", {"syntax:alias", "syntax:job-run", "syntax:other-run", "syntax:dotted"}},
      {"a.run", {"syntax:dotted"}},
      {"Mod.run", {"syntax:alias"}},
      {"walk", {"syntax:odd"}},
      {"Odd.walk", {"syntax:odd"}},
      {"alias", {}},
      {"un", {}},
      {"", {}},
  };
  core::Connection plain = core::Connection::open(scratch.path() / "published.db", {.read_only = true});
  core::Connection published = core::Connection::open(scratch.path() / "published.db", PUBLISHED);
  for (core::Connection* conn : {&plain, &published}) {
    for (int pass = 1; pass <= 2; ++pass) {
      for (const auto& [query, expected] : cases) {
        SCOPED_TRACE((conn == &plain ? "read as it is, pass " : "published, pass ") + std::to_string(pass) +
                     ", query '" + query + "'");
        EXPECT_EQ(ids(find_syntax_symbols(*conn, query)), expected);
      }
    }
  }
}

TEST(LookupsTest, OnlyAPublishedSnapshotKeepsItsNameMap) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-lookups-");
  const fs::path path = scratch.path() / "snapshot.db";
  write_snapshot(path);
  const std::vector<std::pair<std::string, core::OpenOptions>> openings = {
      {"published", PUBLISHED},
      {"read-only", {.read_only = true}},
      {"being built", {}},
  };
  for (const auto& [name, options] : openings) {
    core::Connection conn = core::Connection::open(path, options);
    ASSERT_EQ(ids(find_syntax_symbols(conn, "Job.run")), std::vector<std::string>{"syntax:job-run"}) << name;
  }

  // A change behind the published file's back that keeps its inode, size and
  // modification time: only a map kept from before still lists the old name.
  const fs::file_time_type mtime = fs::last_write_time(path);
  const std::uintmax_t size = fs::file_size(path);
  {
    core::Connection writer = core::Connection::open(path);
    writer.exec("UPDATE syntax_symbols SET qualified_name = 'Job.ran', name = 'ran' WHERE symbol = 'syntax:job-run'");
  }
  fs::last_write_time(path, mtime);
  ASSERT_EQ(fs::file_size(path), size);
  for (const auto& [name, options] : openings) {
    SCOPED_TRACE(name);
    const bool kept = name == "published";
    core::Connection conn = core::Connection::open(path, options);
    EXPECT_EQ(find_syntax_symbols(conn, "Job.run").size(), kept ? 1u : 0u);
    EXPECT_EQ(find_syntax_symbols(conn, "Job.ran").size(), kept ? 0u : 1u);
  }

  // Another file under the same path is another database.
  const fs::path copy = scratch.path() / "copy.db";
  fs::copy_file(path, copy);
  fs::rename(copy, path);
  {
    core::Connection replaced = core::Connection::open(path, PUBLISHED);
    EXPECT_EQ(ids(find_syntax_symbols(replaced, "Job.ran")), std::vector<std::string>{"syntax:job-run"});
  }

  // The cache holds a bounded number of maps: once as many other published
  // files have been searched, the first file's map is built again.
  const fs::path first = scratch.path() / "first.db";
  write_snapshot(first);
  {
    core::Connection conn = core::Connection::open(first, PUBLISHED);
    ASSERT_EQ(find_syntax_symbols(conn, "Job.run").size(), 1u);
  }
  const fs::file_time_type first_mtime = fs::last_write_time(first);
  {
    core::Connection writer = core::Connection::open(first);
    writer.exec("UPDATE syntax_symbols SET qualified_name = 'Job.ran', name = 'ran' WHERE symbol = 'syntax:job-run'");
  }
  fs::last_write_time(first, first_mtime);
  for (std::size_t i = 0; i < NAME_MAP_CACHE_MAX_SIZE; ++i) {
    const fs::path other = scratch.path() / ("other-" + std::to_string(i) + ".db");
    write_snapshot(other);
    core::Connection conn = core::Connection::open(other, PUBLISHED);
    ASSERT_EQ(find_syntax_symbols(conn, "Job.run").size(), 1u);
  }
  core::Connection conn = core::Connection::open(first, PUBLISHED);
  EXPECT_EQ(find_syntax_symbols(conn, "Job.run").size(), 0u);
  EXPECT_EQ(find_syntax_symbols(conn, "Job.ran").size(), 1u);
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

  // A published snapshot keeps no map that failed: every call fails the same way.
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-lookups-");
  write_snapshot(scratch.path() / "bad-kind.db");
  core::Connection::open(scratch.path() / "bad-kind.db")
      .exec("UPDATE syntax_symbols SET kind = 'GADGET' WHERE symbol = 'syntax:helper'");
  testing::write_legacy_database(scratch.path() / "legacy.db");
  core::Connection bad_kind = core::Connection::open(scratch.path() / "bad-kind.db", PUBLISHED);
  core::Connection published_legacy = core::Connection::open(scratch.path() / "legacy.db", PUBLISHED);
  for (int pass = 1; pass <= 2; ++pass) {
    SCOPED_TRACE("pass " + std::to_string(pass));
    EXPECT_THROW(find_syntax_symbols(bad_kind, "nothing"), core::ValueError);
    EXPECT_THROW(find_syntax_symbols(bad_kind, "nothing", {.uncovered_only = false}), core::ValueError);
    EXPECT_THROW(find_syntax_symbols(published_legacy, "a"), core::SqliteError);
  }
}

}  // namespace
}  // namespace kolvex::declstore
