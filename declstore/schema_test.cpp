#include "declstore/schema.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/sqlite.h"

namespace kolvex::declstore {
namespace {

// One row of PRAGMA table_info: name, declared type, notnull, default, pk.
using ColumnInfo = std::tuple<std::string, std::string, int, std::optional<std::string>, int>;

std::vector<ColumnInfo> table_info(core::Connection& conn, const std::string& table) {
  core::Statement info = conn.prepare("PRAGMA table_info(" + table + ")");
  std::vector<ColumnInfo> columns;
  while (info.step()) {
    columns.emplace_back(info.column_text(1), info.column_text(2), static_cast<int>(info.column_int(3)),
                         info.column_opt_text(4), static_cast<int>(info.column_int(5)));
  }
  return columns;
}

core::Connection syntax_database() {
  core::Connection conn = core::Connection::open_memory();
  conn.exec(SYNTAX_SCHEMA);
  return conn;
}

TEST(SchemaTest, TablesHaveTheirColumnsInOrder) {
  core::Connection conn = syntax_database();
  const std::optional<std::string> none;
  EXPECT_EQ(table_info(conn, "syntax_files"),
            (std::vector<ColumnInfo>{
                {"file_path", "TEXT", 0, none, 1},
                {"language", "TEXT", 0, none, 0},
                {"file_hash", "TEXT", 0, none, 0},
                {"parser_identity", "TEXT", 0, none, 0},
                {"in_scope", "INTEGER", 1, none, 0},
                {"state", "TEXT", 1, none, 0},
                {"reason", "TEXT", 0, none, 0},
                {"scip_outline", "INTEGER", 1, "0", 0},
                {"scip_definition", "INTEGER", 1, "0", 0},
            }));
  std::vector<ColumnInfo> symbols = {
      {"symbol", "TEXT", 0, none, 1},     {"file_path", "TEXT", 1, none, 0},
      {"name", "TEXT", 1, none, 0},       {"qualified_name", "TEXT", 1, none, 0},
      {"kind", "TEXT", 1, none, 0},       {"parent_symbol", "TEXT", 0, none, 0},
  };
  for (const char* prefix : {"declaration_", "selection_"}) {
    for (const char* field : {"start_byte", "end_byte", "start_line", "start_character", "end_line",
                              "end_character"}) {
      symbols.emplace_back(std::string(prefix) + field, "INTEGER", 1, none, 0);
    }
  }
  EXPECT_EQ(table_info(conn, "syntax_symbols"), symbols);
  EXPECT_EQ(table_info(conn, "kolvex_snapshot"),
            (std::vector<ColumnInfo>{
                {"singleton", "INTEGER", 0, none, 1},
                {"format_version", "INTEGER", 1, none, 0},
                {"generation", "TEXT", 1, none, 0},
                {"commit_sha", "TEXT", 1, none, 0},
                {"published_at", "TEXT", 1, none, 0},
                {"source_hash", "TEXT", 1, none, 0},
                {"scip_state", "TEXT", 1, none, 0},
                {"scip_outlines", "INTEGER", 1, none, 0},
                {"scip_definitions", "INTEGER", 1, none, 0},
                {"scip_references", "INTEGER", 1, none, 0},
                {"scip_calls", "INTEGER", 1, none, 0},
                {"scip_types", "INTEGER", 1, none, 0},
                {"syntax_counts", "TEXT", 1, none, 0},
            }));

  // The column list names the declaration columns in table order.
  std::string names;
  for (const ColumnInfo& column : symbols) names += (names.empty() ? "" : ", ") + std::get<0>(column);
  EXPECT_EQ(SYNTAX_SYMBOL_COLUMNS, names);

  core::Statement indexes =
      conn.prepare("SELECT name, sql FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL ORDER BY name");
  std::vector<std::pair<std::string, std::string>> found;
  while (indexes.step()) found.emplace_back(indexes.column_text(0), indexes.column_text(1));
  EXPECT_EQ(found, (std::vector<std::pair<std::string, std::string>>{
                       {"syntax_symbols_file",
                        "CREATE INDEX syntax_symbols_file ON syntax_symbols(file_path, selection_start_byte)"},
                       {"syntax_symbols_name", "CREATE INDEX syntax_symbols_name ON syntax_symbols(name)"},
                       {"syntax_symbols_qualified",
                        "CREATE INDEX syntax_symbols_qualified ON syntax_symbols(qualified_name)"},
                   }));
}

TEST(SchemaTest, TheScriptRefusesADatabaseThatHasTheTables) {
  core::Connection conn = syntax_database();
  EXPECT_THROW(conn.exec(SYNTAX_SCHEMA), core::SqliteError);
}

TEST(SchemaTest, ConstraintsRejectValuesOutsideTheVocabulary) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"unknown state", "INSERT INTO syntax_files (file_path, in_scope, state) VALUES ('a', 1, 'unknown')"},
      {"in_scope 2", "INSERT INTO syntax_files (file_path, in_scope, state) VALUES ('a', 2, 'parsed')"},
      {"outline flag 2",
       "INSERT INTO syntax_files (file_path, in_scope, state, scip_outline) VALUES ('a', 1, 'parsed', 2)"},
      {"definition flag -1",
       "INSERT INTO syntax_files (file_path, in_scope, state, scip_definition) VALUES ('a', 1, 'parsed', -1)"},
      {"duplicate path",
       "INSERT INTO syntax_files (file_path, in_scope, state) VALUES ('a', 1, 'parsed'), ('a', 1, 'failed')"},
      {"singleton 2",
       "INSERT INTO kolvex_snapshot VALUES (2, 1, 'g', 'c', 'p', 's', 'disabled', 0, 0, 0, 0, 0, '{}')"},
      {"missing generation",
       "INSERT INTO kolvex_snapshot VALUES (1, 1, NULL, 'c', 'p', 's', 'disabled', 0, 0, 0, 0, 0, '{}')"},
  };
  for (const auto& [name, sql] : bad) {
    SCOPED_TRACE(name);
    core::Connection conn = syntax_database();
    EXPECT_THROW(conn.exec(sql), core::SqliteError);
    EXPECT_EQ(conn.query_int("SELECT COUNT(*) FROM syntax_files"), 0);
  }
  core::Connection conn = syntax_database();
  for (std::string_view state : STATE_KEYS) {
    EXPECT_NO_THROW(conn.exec("INSERT INTO syntax_files (file_path, in_scope, state) VALUES ('" +
                              std::string(state) + "', 1, '" + std::string(state) + "')"));
  }
}

TEST(SchemaTest, ADeclarationRowSurvivesReadAndWriteThroughTheColumnList) {
  core::Connection source = syntax_database();
  source.exec(
      "INSERT INTO syntax_symbols VALUES ('syntax:aa', 'src/caf\xc3\xa9.py', 'run', 'Job.run', 'METHOD', NULL, "
      "10, 42, 1, 2, 3, 4, 14, 17, 1, 6, 1, 9)");
  source.exec(
      "INSERT INTO syntax_symbols VALUES ('syntax:bb', 'src/caf\xc3\xa9.py', 'x', 'Job.run.x', 'TERM', 'syntax:aa', "
      "20, 21, 2, 0, 2, 1, 20, 21, 2, 0, 2, 1)");
  core::Connection target = syntax_database();
  std::string markers;
  for (int i = 0; i < SYNTAX_SYMBOL_COLUMN_COUNT; ++i) markers += i ? ", ?" : "?";
  core::Statement insert = target.prepare("INSERT INTO syntax_symbols (" + std::string(SYNTAX_SYMBOL_COLUMNS) +
                                          ") VALUES (" + markers + ")");
  const std::string select = "SELECT " + std::string(SYNTAX_SYMBOL_COLUMNS) + " FROM syntax_symbols ORDER BY symbol";
  core::Statement read = source.prepare(select);
  std::vector<std::vector<core::SqlValue>> original;
  while (read.step()) {
    std::vector<core::SqlValue> row;
    for (int i = 0; i < SYNTAX_SYMBOL_COLUMN_COUNT; ++i) row.push_back(read.column_value(i));
    insert.reset();
    for (int i = 0; i < SYNTAX_SYMBOL_COLUMN_COUNT; ++i) insert.bind(i + 1, row[i]);
    insert.run();
    original.push_back(std::move(row));
  }
  ASSERT_EQ(original.size(), 2u);
  core::Statement reread = target.prepare(select);
  std::vector<std::vector<core::SqlValue>> copied;
  while (reread.step()) {
    std::vector<core::SqlValue> row;
    for (int i = 0; i < SYNTAX_SYMBOL_COLUMN_COUNT; ++i) row.push_back(reread.column_value(i));
    copied.push_back(std::move(row));
  }
  ASSERT_EQ(copied.size(), original.size());
  for (std::size_t r = 0; r < copied.size(); ++r) {
    for (std::size_t c = 0; c < copied[r].size(); ++c) {
      EXPECT_TRUE(copied[r][c].index() == original[r][c].index()) << r << "," << c;
      if (const auto* text = std::get_if<std::string>(&original[r][c])) {
        EXPECT_EQ(std::get<std::string>(copied[r][c]), *text);
      } else if (const auto* number = std::get_if<std::int64_t>(&original[r][c])) {
        EXPECT_EQ(std::get<std::int64_t>(copied[r][c]), *number);
      }
    }
  }
}

TEST(SchemaTest, CountsTextListsEveryStateInOrder) {
  EXPECT_EQ(format_syntax_counts(CoverageCounts{3, 0, 0, 0, 1}),
            R"({"parsed": 3, "partial": 0, "failed": 0, "skipped": 0, "unsupported": 1})");
  EXPECT_EQ(format_syntax_counts(CoverageCounts{}),
            R"({"parsed": 0, "partial": 0, "failed": 0, "skipped": 0, "unsupported": 0})");
  CoverageCounts counts;
  for (std::size_t i = 0; i < STATE_KEYS.size(); ++i) *count_of_state(counts, STATE_KEYS[i]) = 10 + i;
  EXPECT_EQ(counts, (CoverageCounts{10, 11, 12, 13, 14}));
  EXPECT_EQ(count_of_state(counts, "unknown"), nullptr);
}

TEST(SchemaTest, ProbesTellTheKindsOfSnapshotDatabaseApart) {
  struct Case {
    std::string name;
    std::string setup;
    bool syntax;
    bool scip;
  };
  const std::vector<Case> cases = {
      {"legacy snapshot", "CREATE TABLE documents (id INTEGER PRIMARY KEY, relative_path TEXT)", false, true},
      {"empty database", "", false, false},
      {"syntax database", std::string(SYNTAX_SCHEMA), true, false},
      {"merged database",
       std::string(SYNTAX_SCHEMA) + "CREATE TABLE documents (id INTEGER PRIMARY KEY, relative_path TEXT);", true,
       true},
      {"views and indexes do not count",
       "CREATE TABLE t (x); CREATE VIEW documents AS SELECT 1; CREATE INDEX syntax_files ON t(x);", false, false},
      {"names match exactly", "CREATE TABLE Documents (x); CREATE TABLE syntax_files_old (x);", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    core::Connection conn = core::Connection::open_memory();
    if (!c.setup.empty()) conn.exec(c.setup);
    EXPECT_EQ(has_syntax_tables(conn), c.syntax);
    EXPECT_EQ(has_scip_tables(conn), c.scip);
    EXPECT_EQ(has_scip_conversion_tables(conn), c.scip);
  }
  // Tables of an attached database are not the connection's own.
  core::Connection conn = core::Connection::open_memory();
  conn.exec("ATTACH DATABASE ':memory:' AS other; CREATE TABLE other.syntax_files (x);");
  EXPECT_FALSE(has_syntax_tables(conn));
  EXPECT_TRUE(has_table(conn, "sqlite_master") == false);
}

}  // namespace
}  // namespace kolvex::declstore
