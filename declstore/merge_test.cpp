#include "declstore/merge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/fs.h"
#include "core/sqlite.h"
#include "declstore/schema.h"
#include "declstore/snapshot_test_support.h"
#include "testkit/converted_db.h"

namespace kolvex::declstore {
namespace {

namespace fs = std::filesystem;
using testing::declaration;
using testing::FileRow;
using testing::rows_of;

constexpr std::int32_t DEFINITION = 1;

// A converted database of two documents: a definition with its enclosing range
// and a reference.
void write_converted(const fs::path& path) {
  scip::Occurrence defined = testkit::scip_occurrence("py . pkg 1.0 app/Job#", {0, 6, 9}, DEFINITION);
  testkit::set_enclosing_range(defined, {0, 0, 2, 10});
  testkit::write_converted_database(
      path, {testkit::scip_document("src/app.py", {defined}),
             testkit::scip_document("src/use.py", {testkit::scip_occurrence("py . pkg 1.0 app/Job#", {3, 0, 3})})});
}

const std::vector<FileRow> FILES = {
    {.file_path = "src/app.py"},
    {.file_path = "notes.txt", .state = "unsupported", .reason = "unsupported extension", .language = std::nullopt},
    {.file_path = "vendor", .state = "skipped", .in_scope = false, .reason = "submodule", .language = std::nullopt},
};
const std::vector<syntax::SyntaxSymbol> SYMBOLS = {
    declaration("syntax:1", "src/app.py", "Job", 6),
    declaration("syntax:2", "src/app.py", "Job.run", 30, "syntax:1", syntax::DescriptorKind::METHOD),
};

std::vector<std::string> schema_names(core::Connection& conn) {
  return rows_of(conn, "SELECT type, name FROM main.sqlite_master ORDER BY type, name");
}

bool attached(core::Connection& conn) {
  const std::vector<std::string> schemas = rows_of(conn, "SELECT name FROM pragma_database_list");
  return std::find(schemas.begin(), schemas.end(), "syntax_scratch") != schemas.end();
}

struct Databases {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-merge-");
  fs::path source = scratch.path() / "syntax.db";
  fs::path target = scratch.path() / "index.db";
};

TEST(MergeTest, RowsArriveWholeWhileTheConverterTablesStayUnchanged) {
  struct Case {
    std::string name;
    bool target_has_schema;  // the complete syntax schema, without rows
    bool source_has_rows;
  };
  const std::vector<Case> cases = {
      {"fresh converted database", false, true},
      {"target that already has the empty schema", true, true},
      {"syntax database without rows", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Databases dbs;
    testing::write_syntax_database(dbs.source, c.source_has_rows ? FILES : std::vector<FileRow>{},
                                   c.source_has_rows ? SYMBOLS : std::vector<syntax::SyntaxSymbol>{});
    write_converted(dbs.target);
    core::Connection target = core::Connection::open(dbs.target);
    if (c.target_has_schema) target.exec(SYNTAX_SCHEMA);
    target.exec("PRAGMA busy_timeout = 100");
    const std::vector<std::string> converter_before = testing::dump_converter_tables(target);
    const std::vector<std::string> schema_before = schema_names(target);

    copy_syntax_tables(dbs.source, target);

    EXPECT_EQ(testing::dump_converter_tables(target), converter_before);
    std::vector<std::string> added;
    for (const std::string& entry : schema_names(target)) {
      if (std::find(schema_before.begin(), schema_before.end(), entry) == schema_before.end()) added.push_back(entry);
    }
    if (c.target_has_schema) {
      EXPECT_EQ(added, std::vector<std::string>{});
    } else {
      EXPECT_EQ(added, (std::vector<std::string>{"index|sqlite_autoindex_syntax_files_1",
                                                 "index|sqlite_autoindex_syntax_symbols_1",
                                                 "index|syntax_symbols_file", "index|syntax_symbols_name",
                                                 "index|syntax_symbols_qualified", "table|kolvex_snapshot",
                                                 "table|syntax_files", "table|syntax_symbols"}));
    }
    core::Connection source = core::Connection::open(dbs.source, {.read_only = true});
    for (const char* sql : {"SELECT * FROM syntax_files ORDER BY file_path",
                            "SELECT * FROM syntax_symbols ORDER BY symbol"}) {
      EXPECT_EQ(rows_of(target, sql), rows_of(source, sql)) << sql;
    }
    EXPECT_EQ(rows_of(target, "SELECT count(*) FROM syntax_files WHERE scip_outline + scip_definition > 0"),
              std::vector<std::string>{"0"});
    EXPECT_EQ(rows_of(target, "SELECT count(*) FROM kolvex_snapshot"), std::vector<std::string>{"0"});
    EXPECT_FALSE(attached(target));
    EXPECT_FALSE(target.in_transaction());
    EXPECT_EQ(target.query_int("PRAGMA busy_timeout"), 5000);
  }
}

TEST(MergeTest, ASecondMergeFailsOnThePrimaryKeyAndKeepsTheFirstRows) {
  Databases dbs;
  testing::write_syntax_database(dbs.source, FILES, SYMBOLS);
  write_converted(dbs.target);
  core::Connection target = core::Connection::open(dbs.target);
  copy_syntax_tables(dbs.source, target);
  const std::vector<std::string> files = rows_of(target, "SELECT * FROM syntax_files ORDER BY file_path");
  const std::vector<std::string> symbols = rows_of(target, "SELECT * FROM syntax_symbols ORDER BY symbol");

  try {
    copy_syntax_tables(dbs.source, target);
    FAIL() << "the second merge succeeded";
  } catch (const core::SqliteError& error) {
    EXPECT_STREQ(error.what(), "UNIQUE constraint failed: syntax_files.file_path");
  }
  EXPECT_EQ(rows_of(target, "SELECT * FROM syntax_files ORDER BY file_path"), files);
  EXPECT_EQ(rows_of(target, "SELECT * FROM syntax_symbols ORDER BY symbol"), symbols);
  EXPECT_FALSE(attached(target));
  EXPECT_FALSE(target.in_transaction());
}

TEST(MergeTest, FailuresLeaveNoCopiedRowAndTheSourceDetached) {
  struct Case {
    std::string name;
    std::string target_setup;  // run on the converted database before the merge
    std::optional<std::vector<syntax::SyntaxSymbol>> source_symbols;  // none: no source database
    std::string error;
  };
  const std::string files_only =
      "CREATE TABLE syntax_files (file_path TEXT PRIMARY KEY, language TEXT, file_hash TEXT, parser_identity TEXT, "
      "in_scope INTEGER, state TEXT, reason TEXT, scip_outline INTEGER, scip_definition INTEGER)";
  // Without syntax_symbols in the target, the copy must not fall through to
  // the attached source's table of that name.
  const std::vector<Case> cases = {
      {"target with syntax_files but no syntax_symbols", files_only, SYMBOLS, "no such table: main.syntax_symbols"},
      {"the same with a source without declarations", files_only, std::vector<syntax::SyntaxSymbol>{},
       "no such table: main.syntax_symbols"},
      {"source that is no syntax database", "", std::nullopt, "no such table: syntax_scratch.syntax_files"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Databases dbs;
    if (c.source_symbols) testing::write_syntax_database(dbs.source, FILES, *c.source_symbols);
    write_converted(dbs.target);
    core::Connection target = core::Connection::open(dbs.target);
    if (!c.target_setup.empty()) target.exec(c.target_setup);
    try {
      copy_syntax_tables(dbs.source, target);
      FAIL() << "the merge succeeded";
    } catch (const core::SqliteError& error) {
      EXPECT_EQ(error.what(), c.error);
    }
    EXPECT_EQ(rows_of(target, "SELECT count(*) FROM syntax_files"), std::vector<std::string>{"0"});
    EXPECT_FALSE(attached(target));
    EXPECT_FALSE(target.in_transaction());
  }
}

TEST(MergeTest, AFailingCommitIsReportedAndNothingPersists) {
  // A declaration whose parent does not exist violates the deferred foreign key
  // once enforcement is on, so the COMMIT fails; the transaction stays open and
  // the source stays in use, which makes the DETACH fail as well.
  Databases dbs;
  testing::write_syntax_database(dbs.source, FILES,
                                 {declaration("syntax:9", "src/app.py", "orphan", 3, "syntax:missing")});
  write_converted(dbs.target);
  {
    core::Connection target = core::Connection::open(dbs.target);
    target.exec("PRAGMA foreign_keys = ON");
    try {
      copy_syntax_tables(dbs.source, target);
      FAIL() << "the merge succeeded";
    } catch (const core::SqliteError& error) {
      EXPECT_STREQ(error.what(), "FOREIGN KEY constraint failed");
    }
    target.close();
  }
  core::Connection reopened = core::Connection::open(dbs.target);
  EXPECT_EQ(rows_of(reopened, "SELECT count(*) FROM syntax_files"), std::vector<std::string>{"0"});
  EXPECT_EQ(rows_of(reopened, "SELECT count(*) FROM syntax_symbols"), std::vector<std::string>{"0"});
}

TEST(MergeTest, AnOpenTransactionOfTheCallerIsNotRolledBack) {
  Databases dbs;
  testing::write_syntax_database(dbs.source, FILES, SYMBOLS);
  write_converted(dbs.target);
  core::Connection target = core::Connection::open(dbs.target);
  target.exec(SYNTAX_SCHEMA);
  target.exec("BEGIN; INSERT INTO syntax_files (file_path, in_scope, state) VALUES ('mine.py', 1, 'parsed')");
  try {
    copy_syntax_tables(dbs.source, target);
    FAIL() << "the merge succeeded";
  } catch (const core::SqliteError& error) {
    EXPECT_STREQ(error.what(), "cannot start a transaction within a transaction");
  }
  EXPECT_TRUE(target.in_transaction());
  EXPECT_EQ(rows_of(target, "SELECT file_path FROM syntax_files"), std::vector<std::string>{"mine.py"});
}

}  // namespace
}  // namespace kolvex::declstore
