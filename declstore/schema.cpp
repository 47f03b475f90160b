#include "declstore/schema.h"

#include "core/sqlite.h"

namespace kolvex::declstore {

#define SYNTAX_INDEX_STATEMENTS                                                          \
  "CREATE INDEX syntax_symbols_file ON syntax_symbols(file_path, selection_start_byte);\n" \
  "CREATE INDEX syntax_symbols_name ON syntax_symbols(name);\n"                            \
  "CREATE INDEX syntax_symbols_qualified ON syntax_symbols(qualified_name);\n"

const std::string_view SYNTAX_INDEXES = SYNTAX_INDEX_STATEMENTS;

const std::string_view DROP_SYNTAX_INDEXES =
    "DROP INDEX syntax_symbols_file;\n"
    "DROP INDEX syntax_symbols_name;\n"
    "DROP INDEX syntax_symbols_qualified;\n";

const std::string_view SYNTAX_SCHEMA =
    "CREATE TABLE syntax_files (\n"
    "    file_path TEXT PRIMARY KEY,\n"
    "    language TEXT,\n"
    "    file_hash TEXT,\n"
    "    parser_identity TEXT,\n"
    "    in_scope INTEGER NOT NULL CHECK (in_scope IN (0, 1)),\n"
    "    state TEXT NOT NULL CHECK (state IN ('parsed','partial','failed','skipped','unsupported')),\n"
    "    reason TEXT,\n"
    "    scip_outline INTEGER NOT NULL DEFAULT 0 CHECK (scip_outline IN (0, 1)),\n"
    "    scip_definition INTEGER NOT NULL DEFAULT 0 CHECK (scip_definition IN (0, 1))\n"
    ");\n"
    "CREATE TABLE syntax_symbols (\n"
    "    symbol TEXT PRIMARY KEY,\n"
    "    file_path TEXT NOT NULL REFERENCES syntax_files(file_path),\n"
    "    name TEXT NOT NULL,\n"
    "    qualified_name TEXT NOT NULL,\n"
    "    kind TEXT NOT NULL,\n"
    "    parent_symbol TEXT REFERENCES syntax_symbols(symbol) DEFERRABLE INITIALLY DEFERRED,\n"
    "    declaration_start_byte INTEGER NOT NULL,\n"
    "    declaration_end_byte INTEGER NOT NULL,\n"
    "    declaration_start_line INTEGER NOT NULL,\n"
    "    declaration_start_character INTEGER NOT NULL,\n"
    "    declaration_end_line INTEGER NOT NULL,\n"
    "    declaration_end_character INTEGER NOT NULL,\n"
    "    selection_start_byte INTEGER NOT NULL,\n"
    "    selection_end_byte INTEGER NOT NULL,\n"
    "    selection_start_line INTEGER NOT NULL,\n"
    "    selection_start_character INTEGER NOT NULL,\n"
    "    selection_end_line INTEGER NOT NULL,\n"
    "    selection_end_character INTEGER NOT NULL\n"
    ");\n"
    SYNTAX_INDEX_STATEMENTS
    "CREATE TABLE kolvex_snapshot (\n"
    "    singleton INTEGER PRIMARY KEY CHECK (singleton = 1),\n"
    "    format_version INTEGER NOT NULL,\n"
    "    generation TEXT NOT NULL,\n"
    "    commit_sha TEXT NOT NULL,\n"
    "    published_at TEXT NOT NULL,\n"
    "    source_hash TEXT NOT NULL,\n"
    "    scip_state TEXT NOT NULL,\n"
    "    scip_outlines INTEGER NOT NULL,\n"
    "    scip_definitions INTEGER NOT NULL,\n"
    "    scip_references INTEGER NOT NULL,\n"
    "    scip_calls INTEGER NOT NULL,\n"
    "    scip_types INTEGER NOT NULL,\n"
    "    syntax_counts TEXT NOT NULL\n"
    ");\n";

#undef SYNTAX_INDEX_STATEMENTS

namespace {

template <typename Counts>
auto* count_slot(Counts& counts, std::string_view state) noexcept {
  if (state == "parsed") return &counts.parsed;
  if (state == "partial") return &counts.partial;
  if (state == "failed") return &counts.failed;
  if (state == "skipped") return &counts.skipped;
  if (state == "unsupported") return &counts.unsupported;
  return static_cast<decltype(&counts.parsed)>(nullptr);
}

}  // namespace

std::int64_t* count_of_state(CoverageCounts& counts, std::string_view state) noexcept {
  return count_slot(counts, state);
}

std::int64_t count_of_state(const CoverageCounts& counts, std::string_view state) noexcept {
  const std::int64_t* slot = count_slot(counts, state);
  return slot ? *slot : 0;
}

std::string format_syntax_counts(const CoverageCounts& counts) {
  // The stored form is fixed: members in STATE_KEYS order, ", " and ": " separators.
  std::string text = "{";
  bool first = true;
  for (std::string_view state : STATE_KEYS) {
    if (!first) text += ", ";
    first = false;
    text += '"';
    text += state;
    text += "\": ";
    text += std::to_string(count_of_state(counts, state));
  }
  text += '}';
  return text;
}

bool has_table(core::Connection& conn, std::string_view name) {
  core::Statement statement =
      conn.prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  statement.bind(1, name);
  return statement.step();
}

bool has_syntax_tables(core::Connection& conn) { return has_table(conn, "syntax_files"); }

bool has_scip_tables(core::Connection& conn) { return has_scip_conversion_tables(conn); }

bool has_scip_conversion_tables(core::Connection& conn) { return has_table(conn, "documents"); }

}  // namespace kolvex::declstore
