#include "declstore/facts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blobcodec/blobcodec.h"
#include "core/fs.h"
#include "core/sqlite.h"
#include "declstore/finalize.h"
#include "declstore/snapshot_test_support.h"
#include "testkit/converted_db.h"

namespace kolvex::declstore {
namespace {

namespace fs = std::filesystem;

// The facts table without its constraints, so that tests can store what
// finalization never would.
constexpr std::string_view LOOSE_FACTS_TABLE =
    "CREATE TABLE kolvex_snapshot (singleton INTEGER, format_version INTEGER, generation TEXT, commit_sha TEXT, "
    "published_at TEXT, source_hash TEXT, scip_state TEXT, scip_outlines INTEGER, scip_definitions INTEGER, "
    "scip_references INTEGER, scip_calls INTEGER, scip_types INTEGER, syntax_counts TEXT)";

const std::string FIVE = R"("parsed": 3, "partial": 1, "failed": 0, "skipped": 2, "unsupported": 4)";
const CoverageCounts FIVE_COUNTS{.parsed = 3, .partial = 1, .failed = 0, .skipped = 2, .unsupported = 4};

core::Connection facts_database(const std::string& values) {
  core::Connection conn = core::Connection::open_memory();
  conn.exec(LOOSE_FACTS_TABLE);
  conn.exec("INSERT INTO kolvex_snapshot VALUES (" + values + ")");
  return conn;
}

// A facts row with the given counts value (an SQL literal).
core::Connection with_counts(const std::string& counts_sql) {
  return facts_database("1, 1, 'gen', 'sha', 'when', 'src', 'available', 1, 0, 2, 0, 0, " + counts_sql);
}

std::string sql_text(const std::string& text) { return "'" + text + "'"; }

TEST(FactsTest, TheCountsTextGivesFiveIntegersOrFailsClosed) {
  struct Case {
    std::string name;
    std::string counts_sql;
    std::optional<CoverageCounts> counts;  // none: malformed
    std::string failure;                   // what follows the malformed prefix
  };
  const std::vector<Case> cases = {
      {"the stored form", sql_text("{" + FIVE + "}"), FIVE_COUNTS, ""},
      {"extra members are ignored", sql_text(R"({"other": [], )" + FIVE + R"(, "more": 1})"), FIVE_COUNTS, ""},
      {"real numbers are truncated toward zero",
       sql_text(R"({"parsed": 2.9, "partial": -1.5, "failed": 0.0, "skipped": 2, "unsupported": 4})"),
       CoverageCounts{.parsed = 2, .partial = -1, .failed = 0, .skipped = 2, .unsupported = 4}, ""},
      {"decimal texts and booleans",
       sql_text(R"({"parsed": "7", "partial": " -3 ", "failed": "1_000", "skipped": true, "unsupported": false})"),
       CoverageCounts{.parsed = 7, .partial = -3, .failed = 1000, .skipped = 1, .unsupported = 0}, ""},
      {"an empty object names the first state", sql_text("{}"), std::nullopt, "missing member 'parsed'"},
      {"a missing later state", sql_text(R"({"parsed": 1, "partial": 1, "failed": 1, "skipped": 1})"), std::nullopt,
       "missing member 'unsupported'"},
      {"an array", sql_text("[3, 1, 0, 2, 4]"), std::nullopt, "expected a JSON object, not array"},
      {"a JSON number", "5", std::nullopt, "expected a JSON object, not number"},
      {"NULL", "NULL", std::nullopt, "expected JSON text, not NULL"},
      {"a member that is null", sql_text(R"({"parsed": null})"), std::nullopt,
       "member 'parsed' is not a number: null"},
      {"a member that is an array", sql_text(R"({"parsed": [1]})"), std::nullopt,
       "member 'parsed' is not a number: [1]"},
      {"a text that is no integer", sql_text(R"({"parsed": "2.5"})"), std::nullopt,
       "invalid literal for int() with base 10: '2.5'"},
      {"a real beyond the integers", sql_text(R"({"parsed": 1e300})"), std::nullopt,
       "member 'parsed' is out of range: 1e+300"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    core::Connection conn = with_counts(c.counts_sql);
    if (c.counts) {
      EXPECT_EQ(read_snapshot_facts(conn).syntax_counts, c.counts);
      continue;
    }
    try {
      read_snapshot_facts(conn);
      FAIL() << "the counts were accepted";
    } catch (const SnapshotCorruptionError& error) {
      EXPECT_EQ(error.message(), "kolvex_snapshot.syntax_counts is malformed: " + c.failure);
      EXPECT_TRUE(error.cause());
    }
  }
  // Text that is not JSON at all: the parser's own words follow the prefix.
  core::Connection conn = with_counts(sql_text("{"));
  try {
    read_snapshot_facts(conn);
    FAIL() << "the counts were accepted";
  } catch (const SnapshotCorruptionError& error) {
    EXPECT_TRUE(error.message().starts_with("kolvex_snapshot.syntax_counts is malformed: invalid JSON: "))
        << error.message();
  }
}

TEST(FactsTest, AFactsRowThatCannotBeTrustedFailsClosed) {
  struct Case {
    std::string name;
    std::optional<std::string> values;  // none: an empty table
    std::string message;
  };
  const std::string counts = sql_text("{" + FIVE + "}");
  const std::vector<Case> cases = {
      {"empty table", std::nullopt, "kolvex_snapshot table exists but has no singleton row"},
      {"only a row that is not the singleton", "2, 1, 'g', 'c', 'p', 's', 'available', 0, 0, 0, 0, 0, " + counts,
       "kolvex_snapshot table exists but has no singleton row"},
      {"no generation", "1, 1, NULL, 'c', 'p', 's', 'available', 0, 0, 0, 0, 0, " + counts,
       "kolvex_snapshot row is missing required fields"},
      {"no SCIP state", "1, 1, 'g', 'c', 'p', 's', NULL, 0, 0, 0, 0, 0, " + counts,
       "kolvex_snapshot row is missing required fields"},
      {"no required field but malformed counts", "1, 1, 'g', NULL, 'p', 's', 'available', 0, 0, 0, 0, 0, NULL",
       "kolvex_snapshot row is missing required fields"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    core::Connection conn = core::Connection::open_memory();
    conn.exec(LOOSE_FACTS_TABLE);
    if (c.values) conn.exec("INSERT INTO kolvex_snapshot VALUES (" + *c.values + ")");
    try {
      read_snapshot_facts(conn);
      FAIL() << "the row was accepted";
    } catch (const SnapshotCorruptionError& error) {
      EXPECT_EQ(error.message(), c.message);
    }
  }
}

TEST(FactsTest, AStoredRowIsReadAsStored) {
  // Texts are not checked; a flag is true exactly when it is non-zero; the
  // publication time and format version are not part of the facts.
  core::Connection conn =
      facts_database("1, 7, 'gen', 'sha', 'when', 'src', 'unsupported', 2, 0, 1, -1, 0, " + sql_text("{" + FIVE + "}"));
  EXPECT_EQ(read_snapshot_facts(conn), (SnapshotFacts{.generation = "gen",
                                                      .commit_sha = "sha",
                                                      .source_hash = "src",
                                                      .scip_state = "unsupported",
                                                      .syntax_counts = FIVE_COUNTS,
                                                      .scip_outlines = true,
                                                      .scip_definitions = false,
                                                      .scip_references = true,
                                                      .scip_calls = true,
                                                      .scip_types = false}));
}

TEST(FactsTest, FinalizedDatabasesReadBackWhatFinalizationReturned) {
  struct Case {
    std::string name;
    bool converted;
    std::string scip_state;
  };
  const std::vector<Case> cases = {{"syntax database with SCIP disabled", false, "disabled"},
                                   {"merged converted database", true, "available"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    core::ScratchDir scratch = core::ScratchDir::create("kolvex-facts-");
    const fs::path path = scratch.path() / "snapshot.db";
    if (c.converted) {
      scip::Occurrence occ = testkit::scip_occurrence("py . pkg 1.0 app/Job#", {0, 6, 9}, 1);
      testkit::write_converted_database(path, {testkit::scip_document("src/app.py", {occ})});
    }
    core::Connection conn = core::Connection::open(path);
    testing::fill_syntax_tables(conn, {{.file_path = "src/app.py"}, {.file_path = "b.py", .state = "failed"}}, {});
    const SnapshotFacts finalized = finalize_snapshot(conn, {.generation = std::string(32, 'a'),
                                                             .commit_sha = "abc",
                                                             .published_at = "2026-12-10T13:00:00+00:00",
                                                             .source_hash = std::string(64, 'b'),
                                                             .scip_state = c.scip_state});
    conn.close();

    core::Connection reader = core::Connection::open(path, {.read_only = true});
    const SnapshotFacts facts = read_snapshot_facts(reader);
    EXPECT_EQ(facts, finalized);
    EXPECT_EQ(facts.scip_state, c.scip_state);
    EXPECT_EQ(facts.syntax_counts, (CoverageCounts{.parsed = 1, .failed = 1}));
    EXPECT_EQ(facts.scip_definitions, c.converted);
  }
}

SnapshotFacts legacy_facts(bool definition) {
  return SnapshotFacts{.generation = std::nullopt,
                       .commit_sha = std::nullopt,
                       .source_hash = std::nullopt,
                       .scip_state = "legacy",
                       .syntax_counts = std::nullopt,
                       .scip_outlines = definition,
                       .scip_definitions = definition,
                       .scip_references = definition,
                       .scip_calls = false,
                       .scip_types = false};
}

TEST(FactsTest, SnapshotsWithoutAFactsTableGetDerivedLegacyFacts) {
  struct Case {
    std::string name;
    std::string setup;
    bool definition;
  };
  const std::vector<Case> cases = {
      {"no converter tables", "CREATE TABLE other (x)", false},
      {"syntax tables but no facts table",
       std::string(SYNTAX_SCHEMA) + "DROP TABLE kolvex_snapshot;", false},
      {"converter tables with a definition", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    core::ScratchDir scratch = core::ScratchDir::create("kolvex-legacy-");
    const fs::path path = scratch.path() / "legacy.db";
    if (c.setup.empty()) {
      testing::write_legacy_database(path, c.definition);
    } else {
      core::Connection setup = core::Connection::open(path);
      setup.exec(c.setup);
    }
    core::Connection conn = core::Connection::open(path, {.read_only = true});
    EXPECT_EQ(read_snapshot_facts(conn), legacy_facts(c.definition));
  }
}

TEST(FactsTest, LegacyFactsOfAFileAreDerivedOnceAndThoseOfMemoryDatabasesAlways) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-legacy-");
  const fs::path path = scratch.path() / "legacy.db";
  testing::write_legacy_database(path, true);
  {
    core::Connection first = core::Connection::open(path);
    EXPECT_EQ(read_snapshot_facts(first), legacy_facts(true));
  }
  // A later derivation would fail now; another connection to the same file is
  // answered from the cache.
  testing::add_undecodable_chunk(path);
  core::Connection second = core::Connection::open(path, {.read_only = true});
  EXPECT_EQ(read_snapshot_facts(second), legacy_facts(true));

  core::Connection memory = core::Connection::open_memory();
  memory.exec(
      "CREATE TABLE documents (id INTEGER PRIMARY KEY, relative_path TEXT); "
      "CREATE TABLE chunks (document_id INTEGER, occurrences BLOB); "
      "CREATE TABLE defn_enclosing_ranges (document_id INTEGER); INSERT INTO documents VALUES (1, 'a.py')");
  EXPECT_EQ(read_snapshot_facts(memory), legacy_facts(false));
  memory.exec("INSERT INTO chunks VALUES (1, x'00112233')");
  EXPECT_THROW(read_snapshot_facts(memory), blobcodec::OccurrenceDecodeError);
}

TEST(FactsTest, AFailedLegacyDerivationIsNotCached) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-legacy-");
  const fs::path path = scratch.path() / "legacy.db";
  testing::write_legacy_database(path, true);
  testing::add_undecodable_chunk(path);
  core::Connection conn = core::Connection::open(path, {.read_only = true});
  EXPECT_THROW(read_snapshot_facts(conn), blobcodec::OccurrenceDecodeError);
  EXPECT_THROW(read_snapshot_facts(conn), blobcodec::OccurrenceDecodeError);
}

// Reads the legacy facts of every file once, in order.
void read_all(const std::vector<fs::path>& paths) {
  for (const fs::path& path : paths) {
    core::Connection conn = core::Connection::open(path, {.read_only = true});
    ASSERT_EQ(read_snapshot_facts(conn), legacy_facts(false)) << path;
  }
}

// Whether reading `path` is still answered from the cache, told by making any
// new derivation of it fail.
bool cached(const fs::path& path) {
  testing::add_undecodable_chunk(path);
  core::Connection conn = core::Connection::open(path, {.read_only = true});
  try {
    read_snapshot_facts(conn);
    return true;
  } catch (const blobcodec::OccurrenceDecodeError&) {
    return false;
  }
}

TEST(FactsTest, TheLegacyCacheKeepsTheSixtyFourMostRecentlyUsedFiles) {
  struct Case {
    std::string name;
    bool reread_first;  // read the first file again before the 65th
    bool first_cached;
    bool second_cached;
  };
  const std::vector<Case> cases = {
      {"the 65th file evicts the first", false, false, true},
      {"a hit promotes the first, so the second is evicted", true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    core::ScratchDir scratch = core::ScratchDir::create("kolvex-lru-");
    std::vector<fs::path> paths;
    for (std::size_t i = 0; i <= LEGACY_FACTS_CACHE_MAX_SIZE; ++i) {
      paths.push_back(scratch.path() / ("legacy-" + std::to_string(i) + ".db"));
      testing::write_legacy_database(paths.back());
    }
    read_all({paths.begin(), paths.end() - 1});
    if (c.reread_first) read_all({paths.front()});
    read_all({paths.back()});

    EXPECT_EQ(cached(paths[0]), c.first_cached);
    EXPECT_EQ(cached(paths[1]), c.second_cached);
    EXPECT_TRUE(cached(paths.back()));
  }
}

}  // namespace
}  // namespace kolvex::declstore
