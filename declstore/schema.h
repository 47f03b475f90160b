// The syntax snapshot tables and the records that describe their contents.
//
// Every snapshot database the system publishes carries three tables of its own:
// `syntax_files` (one row per tracked entry of a run's manifest), `syntax_symbols`
// (one row per extracted declaration) and `kolvex_snapshot` (the single facts row
// of one published generation). This header fixes their SQL, the vocabulary of
// file states, the per-state counts, the facts record and the table probes with
// which readers tell the kinds of snapshot database apart (a converted SCIP
// database with the syntax tables, a syntax-only database, and a legacy snapshot
// without `syntax_files`) before issuing table-specific SQL.
//
// Thread-safety: constants and records are immutable; the probes only read and
// use the connection passed in, on the caller's thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex::core {
class Connection;
}

namespace kolvex::declstore {

// Written into every facts row.
inline constexpr std::int64_t FORMAT_VERSION = 1;

// The syntax file states, in the order of the CHECK list, of CoverageCounts' fields
// and of the members of the counts text.
inline constexpr std::array<std::string_view, 5> STATE_KEYS = {
    "parsed", "partial", "failed", "skipped", "unsupported"};

// The schema script: syntax_files, syntax_symbols, its three indexes, kolvex_snapshot.
// No existence guards: it runs only on a database that lacks these tables.
extern const std::string_view SYNTAX_SCHEMA;
// The three CREATE INDEX statements of SYNTAX_SCHEMA, and the script that drops
// them: bulk writers drop the indexes inside their transaction and create them
// again before committing, which builds each index in one sorted pass.
extern const std::string_view SYNTAX_INDEXES;
extern const std::string_view DROP_SYNTAX_INDEXES;

// The eighteen columns of syntax_symbols in table order. Every statement that
// writes or selects whole declaration rows names its columns through this list,
// so a row read by one statement can be written back by another unchanged.
inline constexpr std::string_view SYNTAX_SYMBOL_COLUMNS =
    "symbol, file_path, name, qualified_name, kind, parent_symbol, "
    "declaration_start_byte, declaration_end_byte, declaration_start_line, "
    "declaration_start_character, declaration_end_line, declaration_end_character, "
    "selection_start_byte, selection_end_byte, selection_start_line, "
    "selection_start_character, selection_end_line, selection_end_character";
inline constexpr int SYNTAX_SYMBOL_COLUMN_COUNT = 18;

// The number of in-scope syntax_files rows in each state.
struct CoverageCounts {
  std::int64_t parsed = 0;
  std::int64_t partial = 0;
  std::int64_t failed = 0;
  std::int64_t skipped = 0;
  std::int64_t unsupported = 0;

  bool operator==(const CoverageCounts&) const = default;
};

// The count field of a state name, or null for a name outside STATE_KEYS.
std::int64_t* count_of_state(CoverageCounts& counts, std::string_view state) noexcept;
std::int64_t count_of_state(const CoverageCounts& counts, std::string_view state) noexcept;

// The counts text stored in kolvex_snapshot.syntax_counts:
// {"parsed": 3, "partial": 0, "failed": 0, "skipped": 0, "unsupported": 1}
std::string format_syntax_counts(const CoverageCounts& counts);

// What one syntax build produced.
struct SyntaxBuildReport {
  CoverageCounts counts;
  // Files whose rows were carried forward from the previous snapshot.
  std::int64_t reused_files = 0;

  bool operator==(const SyntaxBuildReport&) const = default;
};

// The facts of one published generation as read back from a snapshot database.
// scip_state is a SCIP stage state, or "legacy" for facts derived from a snapshot
// without a facts table (then the three texts and the counts are absent).
struct SnapshotFacts {
  std::optional<std::string> generation;
  std::optional<std::string> commit_sha;
  std::optional<std::string> source_hash;
  std::string scip_state;
  std::optional<CoverageCounts> syntax_counts;
  bool scip_outlines = false;
  bool scip_definitions = false;
  bool scip_references = false;
  bool scip_calls = false;
  bool scip_types = false;

  bool operator==(const SnapshotFacts&) const = default;
};

// Whether the main schema of `conn` holds a table named exactly `name`, asked of
// sqlite_master (a view or an index of that name does not count). Database errors
// pass to the caller.
bool has_table(core::Connection& conn, std::string_view name);

// True for a syntax database and a merged converted SCIP database; false for a
// legacy snapshot. Callers ask this before any syntax lookup.
bool has_syntax_tables(core::Connection& conn);

// True when the database carries the SCIP converter's tables (the presence of
// `documents` stands for all of them). False for a syntax-only database, on which
// no statement naming a converter table may run.
bool has_scip_tables(core::Connection& conn);
bool has_scip_conversion_tables(core::Connection& conn);

}  // namespace kolvex::declstore
