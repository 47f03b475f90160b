#include "declstore/finalize.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "blobcodec/blobcodec.h"
#include "core/fs.h"
#include "core/sqlite.h"
#include "declstore/coverage.h"
#include "declstore/snapshot_test_support.h"
#include "testkit/converted_db.h"

namespace kolvex::declstore {
namespace {

namespace fs = std::filesystem;
using testing::FileRow;
using testing::flags_of;
using testing::rows_of;

constexpr std::int32_t DEFINITION = 1;
const std::string JOB = "py . pkg 1.0 app/Job#";

const FinalizeOptions OPTIONS{
    .generation = "0123456789abcdef0123456789abcdef",
    .commit_sha = "c0ffee",
    .published_at = "2026-12-10T13:00:00+00:00",
    .source_hash = std::string(64, 'f'),
    .scip_state = "available",
};

// Three parsed files, one unsupported, one out of scope.
const std::vector<FileRow> FILES = {
    {.file_path = "README.md", .state = "unsupported", .reason = "unsupported extension", .language = std::nullopt},
    {.file_path = "src/app.py"},
    {.file_path = "src/other.py"},
    {.file_path = "src/use.py"},
    {.file_path = "vendor/lib.py", .state = "skipped", .in_scope = false, .reason = "ignored directory"},
};
const std::string COUNTS_TEXT = R"({"parsed": 3, "partial": 0, "failed": 0, "skipped": 0, "unsupported": 1})";

scip::Occurrence definition_with_range(const std::string& symbol) {
  scip::Occurrence occ = testkit::scip_occurrence(symbol, {0, 6, 9}, DEFINITION);
  testkit::set_enclosing_range(occ, {0, 0, 2, 10});
  return occ;
}

scip::Document document(const std::string& path, std::vector<scip::Occurrence> occurrences) {
  return testkit::scip_document(path, std::move(occurrences));
}

struct Snapshot {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-finalize-");
  fs::path path = scratch.path() / "index.db";
  core::Connection conn;

  // A converted database of `documents` (none: a syntax-only database) that
  // also carries the syntax tables with FILES.
  explicit Snapshot(const std::optional<std::vector<scip::Document>>& documents) {
    if (documents) testkit::write_converted_database(path, *documents);
    conn = core::Connection::open(path);
    testing::fill_syntax_tables(conn, FILES, {});
  }
};

std::string facts_row(const std::string& flags) {
  return "1|1|" + OPTIONS.generation + "|" + OPTIONS.commit_sha + "|" + OPTIONS.published_at + "|" +
         OPTIONS.source_hash + "|" + OPTIONS.scip_state + "|" + flags + "|" + COUNTS_TEXT;
}

TEST(FinalizeTest, FlagsAndFactsFollowTheScipData) {
  struct Case {
    std::string name;
    std::optional<std::vector<scip::Document>> documents;
    std::string extra_sql;          // run on the converted tables before finalizing
    std::vector<std::string> flags;  // non-zero rows only: "path|outline|definition"
    std::string facts;               // outlines|definitions|references|calls|types
  };
  scip::SymbolInformation with_relationship = testkit::scip_symbol(
      JOB, {.relationships = {testkit::scip_relationship("py . pkg 1.0 app/Base#", {.is_implementation = true})}});
  const std::string range_of_first_document =
      "INSERT INTO defn_enclosing_ranges (document_id, symbol_id, start_line, end_line) VALUES (1, 1, 0, 3)";
  const std::vector<Case> cases = {
      {"definition with its enclosing range", std::vector{document("src/app.py", {definition_with_range(JOB)})}, "",
       {"src/app.py|1|1"}, "1|1|1|1|0"},
      {"document path that differs from the git path",
       std::vector{document("./src/app.py", {definition_with_range(JOB)})}, "", {}, "1|1|1|1|0"},
      {"local-only definitions with an enclosing range",
       std::vector{document("src/app.py", {testkit::scip_occurrence("local 0", {0, 6, 9}, DEFINITION),
                                           testkit::scip_occurrence("local 1", {1, 0, 3})})},
       range_of_first_document, {"src/app.py|1|0"}, "1|0|0|0|0"},
      {"enclosing range without a definition",
       std::vector{document("src/app.py", {testkit::scip_occurrence(JOB, {1, 0, 3})})}, range_of_first_document,
       {"src/app.py|1|0"}, "1|0|1|1|0"},
      {"references without enclosing ranges",
       std::vector{document("src/use.py", {testkit::scip_occurrence(JOB, {1, 0, 3})})}, "", {}, "0|0|1|0|0"},
      {"the empty symbol is non-local",
       std::vector{document("src/app.py", {testkit::scip_occurrence("", {0, 6, 9}, DEFINITION)})}, "",
       {"src/app.py|1|1"}, "1|1|1|0|0"},
      {"out-of-scope row carried by a document",
       std::vector{document("vendor/lib.py", {definition_with_range(JOB)})}, "", {"vendor/lib.py|1|1"},
       "1|1|1|1|0"},
      {"several documents, chunks of an unknown document ignored",
       std::vector{document("src/app.py", {definition_with_range(JOB)}),
                   document("src/use.py", {testkit::scip_occurrence(JOB, {4, 0, 3})})},
       "INSERT INTO chunks (document_id, occurrences) SELECT 99, occurrences FROM chunks WHERE document_id = 1",
       {"src/app.py|1|1"}, "1|1|1|1|0"},
      {"relationship data",
       std::vector{testkit::scip_document("src/app.py", {definition_with_range(JOB)}, {with_relationship})}, "",
       {"src/app.py|1|1"}, "1|1|1|1|1"},
      {"syntax-only database", std::nullopt,
       // Converter tables other than documents are never read without documents.
       "CREATE TABLE chunks (document_id, occurrences); INSERT INTO chunks VALUES (1, x'00')", {}, "0|0|0|0|0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Snapshot snapshot(c.documents);
    if (!c.extra_sql.empty()) snapshot.conn.exec(c.extra_sql);
    // Flags left over from an earlier finalization are reset first.
    snapshot.conn.exec("UPDATE syntax_files SET scip_outline = 1, scip_definition = 1 WHERE file_path = 'src/other.py'");

    const SnapshotFacts facts = finalize_snapshot(snapshot.conn, OPTIONS);

    EXPECT_FALSE(snapshot.conn.in_transaction());
    EXPECT_EQ(rows_of(snapshot.conn,
                      "SELECT file_path, scip_outline, scip_definition FROM syntax_files "
                      "WHERE scip_outline + scip_definition > 0 ORDER BY file_path"),
              c.flags);
    EXPECT_EQ(rows_of(snapshot.conn, "SELECT * FROM kolvex_snapshot"), std::vector{facts_row(c.facts)});
    const std::string returned = std::to_string(facts.scip_outlines) + "|" + std::to_string(facts.scip_definitions) +
                                 "|" + std::to_string(facts.scip_references) + "|" +
                                 std::to_string(facts.scip_calls) + "|" + std::to_string(facts.scip_types);
    EXPECT_EQ(returned, c.facts);
    EXPECT_EQ(facts.generation, OPTIONS.generation);
    EXPECT_EQ(facts.commit_sha, OPTIONS.commit_sha);
    EXPECT_EQ(facts.source_hash, OPTIONS.source_hash);
    EXPECT_EQ(facts.scip_state, OPTIONS.scip_state);
    EXPECT_EQ(facts.syntax_counts, (CoverageCounts{.parsed = 3, .unsupported = 1}));
  }
}

TEST(FinalizeTest, FinalizingAgainAfterCoverageLossClearsTheFlags) {
  Snapshot snapshot(std::vector{document("src/app.py", {definition_with_range(JOB)})});
  finalize_snapshot(snapshot.conn, OPTIONS);
  ASSERT_EQ(rows_of(snapshot.conn, "SELECT scip_outline, scip_definition FROM syntax_files WHERE file_path = 'src/app.py'"),
            std::vector<std::string>{"1|1"});

  snapshot.conn.exec("UPDATE documents SET relative_path = 'src/moved.py'");
  FinalizeOptions again = OPTIONS;
  again.generation = std::string(32, 'e');
  again.scip_state = "failed";
  const SnapshotFacts facts = finalize_snapshot(snapshot.conn, again);

  EXPECT_EQ(rows_of(snapshot.conn, "SELECT count(*) FROM syntax_files WHERE scip_outline + scip_definition > 0"),
            std::vector<std::string>{"0"});
  EXPECT_EQ(rows_of(snapshot.conn, "SELECT generation, scip_state FROM kolvex_snapshot"),
            std::vector<std::string>{std::string(32, 'e') + "|failed"});
  // The snapshot-wide flags describe the SCIP data, which still has an outline.
  EXPECT_TRUE(facts.scip_outlines);
}

TEST(FinalizeTest, AnUndecodableBlobFailsAndPersistsNothing) {
  struct Case {
    std::string name;
    std::string value_sql;
    bool decode_error;  // else the refusal of a value that is not a blob
  };
  const std::vector<Case> cases = {
      {"bytes that are not a zstd frame", "x'00112233'", true},
      {"a text value", "'not a blob'", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<Snapshot> snapshot(std::vector{document("src/app.py", {definition_with_range(JOB)})});
    finalize_snapshot(snapshot->conn, OPTIONS);
    const std::vector<std::string> flags_before = flags_of(snapshot->conn);
    const std::vector<std::string> facts_before = rows_of(snapshot->conn, "SELECT * FROM kolvex_snapshot");

    // The first document loses its coverage and a second chunk does not decode.
    snapshot->conn.exec("UPDATE documents SET relative_path = 'src/moved.py' WHERE id = 1");
    snapshot->conn.exec("INSERT INTO chunks (document_id, occurrences) VALUES (1, " + c.value_sql + ")");
    FinalizeOptions again = OPTIONS;
    again.generation = std::string(32, 'e');
    if (c.decode_error) {
      EXPECT_THROW(finalize_snapshot(snapshot->conn, again), blobcodec::OccurrenceDecodeError);
    } else {
      EXPECT_THROW(finalize_snapshot(snapshot->conn, again), std::invalid_argument);
    }
    snapshot->conn.close();

    core::Connection reopened = core::Connection::open(snapshot->path);
    EXPECT_EQ(flags_of(reopened), flags_before);
    EXPECT_EQ(rows_of(reopened, "SELECT * FROM kolvex_snapshot"), facts_before);
  }
}

TEST(FinalizeTest, DatabasesWithoutTheNeededTablesFailWithTheEnginesError) {
  struct Case {
    std::string name;
    std::string setup;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"no syntax_files", "CREATE TABLE other (x)", "no such table: syntax_files"},
      {"no kolvex_snapshot",
       "CREATE TABLE syntax_files (file_path TEXT, in_scope INTEGER, state TEXT, scip_outline INTEGER, "
       "scip_definition INTEGER)",
       "no such table: kolvex_snapshot"},
      {"documents without chunks",
       "CREATE TABLE syntax_files (file_path TEXT, in_scope INTEGER, state TEXT, scip_outline INTEGER, "
       "scip_definition INTEGER); CREATE TABLE documents (id INTEGER PRIMARY KEY, relative_path TEXT); "
       "CREATE TABLE defn_enclosing_ranges (document_id INTEGER)",
       "no such table: chunks"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    core::Connection conn = core::Connection::open_memory();
    conn.exec(c.setup);
    try {
      finalize_snapshot(conn, OPTIONS);
      FAIL() << "finalization succeeded";
    } catch (const core::SqliteError& error) {
      EXPECT_EQ(error.what(), c.error);
    }
    EXPECT_FALSE(conn.in_transaction());
  }
}

}  // namespace
}  // namespace kolvex::declstore
