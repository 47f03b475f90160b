#include "declstore/build.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/fs.h"
#include "core/sqlite.h"
#include "platform/symbols.h"
#include "syntax/syntax.h"

namespace kolvex::declstore {

namespace fs = std::filesystem;

namespace {

// Positions of the previous snapshot's syntax_files row as it is read.
constexpr int PREV_FILE_PATH = 0;
constexpr int PREV_FILE_HASH = 2;
constexpr int PREV_PARSER_IDENTITY = 3;
constexpr int PREV_STATE = 5;
constexpr int SYNTAX_FILE_ROW_WIDTH = 7;

// Page cache of the new database, in KiB. The declaration ids are hashes, so their
// primary-key index is written at random places: with SQLite's default 2 MiB cache
// a large repository's build spills and re-reads index pages all the time. The
// cache grows only as far as the database does.
constexpr int BUILD_CACHE_KIB = 64 * 1024;

constexpr std::string_view INSERT_MANIFEST_ONLY_SQL =
    "INSERT INTO syntax_files (file_path, language, file_hash, parser_identity, in_scope, state, reason, "
    "scip_outline, scip_definition) VALUES (?, ?, ?, ?, ?, ?, ?, 0, 0)";
constexpr std::string_view INSERT_PARSED_FILE_SQL =
    "INSERT INTO syntax_files (file_path, language, file_hash, parser_identity, in_scope, state, reason, "
    "scip_outline, scip_definition) VALUES (?, ?, ?, ?, 1, ?, ?, 0, 0)";
constexpr std::string_view PREVIOUS_FILE_ROW_SQL =
    "SELECT file_path, language, file_hash, parser_identity, in_scope, state, reason FROM syntax_files "
    "WHERE file_path = ?";

std::string insert_symbol_sql() {
  std::string markers;
  for (int i = 0; i < SYNTAX_SYMBOL_COLUMN_COUNT; ++i) markers += i == 0 ? "?" : ", ?";
  return "INSERT INTO syntax_symbols (" + std::string(SYNTAX_SYMBOL_COLUMNS) + ") VALUES (" + markers + ")";
}

std::string previous_symbols_sql() {
  return "SELECT " + std::string(SYNTAX_SYMBOL_COLUMNS) + " FROM syntax_symbols WHERE file_path = ?";
}

// The statements of one build, prepared once and reused for every file.
struct Writers {
  core::Statement manifest_only;
  core::Statement parsed_file;
  core::Statement symbol;

  explicit Writers(core::Connection& dest)
      : manifest_only(dest.prepare(INSERT_MANIFEST_ONLY_SQL)),
        parsed_file(dest.prepare(INSERT_PARSED_FILE_SQL)),
        symbol(dest.prepare(insert_symbol_sql())) {}
};

// Statements on the previous snapshot, prepared when first needed so that a
// snapshot is asked only for what the build actually reads.
class PreviousReaders {
 public:
  explicit PreviousReaders(core::Connection& previous) : previous_(previous) {}

  core::Statement& file_row() { return prepared(file_row_, PREVIOUS_FILE_ROW_SQL); }
  core::Statement& symbols() { return prepared(symbols_, previous_symbols_sql()); }

 private:
  core::Statement& prepared(std::optional<core::Statement>& statement, std::string_view sql) {
    if (!statement) statement.emplace(previous_.prepare(sql));
    return *statement;
  }

  core::Connection& previous_;
  std::optional<core::Statement> file_row_;
  std::optional<core::Statement> symbols_;
};

using Row = std::vector<core::SqlValue>;

void insert_manifest_only(Writers& writers, const CapturedFile& captured, std::string_view state) {
  core::Statement& insert = writers.manifest_only;
  insert.reset();
  insert.bind(1, captured.file_path)
      .bind(2, captured.language)
      .bind(3, captured.file_hash)
      .bind_null(4)
      .bind(5, captured.in_scope ? 1 : 0)
      .bind(6, state)
      .bind(7, captured.reason);
  insert.run();
}

void bind_span(core::Statement& insert, int first, const syntax::Span& span) {
  insert.bind(first, span.start_byte)
      .bind(first + 1, span.end_byte)
      .bind(first + 2, span.start_line)
      .bind(first + 3, span.start_character)
      .bind(first + 4, span.end_line)
      .bind(first + 5, span.end_character);
}

// The file row, then every declaration in the extraction's order; the declaration
// rows take their path from the extraction result.
void insert_parsed(Writers& writers, const syntax::ParsedSyntax& parsed) {
  core::Statement& file = writers.parsed_file;
  file.reset();
  file.bind(1, parsed.file_path)
      .bind(2, parsed.language)
      .bind(3, parsed.file_hash)
      .bind(4, parsed.parser_identity)
      .bind(5, parsed.state)
      .bind(6, parsed.reason);
  file.run();

  core::Statement& insert = writers.symbol;
  for (const syntax::SyntaxSymbol& symbol : parsed.symbols) {
    insert.reset();
    insert.bind(1, symbol.symbol)
        .bind(2, parsed.file_path)
        .bind(3, symbol.name)
        .bind(4, symbol.qualified_name)
        .bind(5, platform::kind_text(symbol.kind))
        .bind(6, symbol.parent_symbol);
    bind_span(insert, 7, symbol.declaration);
    bind_span(insert, 13, symbol.selection);
    insert.run();
  }
}

std::optional<Row> previous_syntax_file_row(PreviousReaders& readers, std::string_view file_path) {
  core::Statement& select = readers.file_row();
  select.reset();
  select.bind(1, file_path);
  if (!select.step()) return std::nullopt;
  Row row;
  row.reserve(SYNTAX_FILE_ROW_WIDTH);
  for (int i = 0; i < SYNTAX_FILE_ROW_WIDTH; ++i) row.push_back(select.column_value(i));
  select.reset();
  return row;
}

// Carries a file forward: its syntax_files row with the seven stored values as
// they are (flags start again at 0) and its declaration rows unchanged.
void copy_previous_rows(PreviousReaders& readers, Writers& writers, const Row& row) {
  core::Statement& file = writers.manifest_only;
  file.reset();
  for (int i = 0; i < SYNTAX_FILE_ROW_WIDTH; ++i) file.bind(i + 1, row[static_cast<std::size_t>(i)]);
  file.run();

  core::Statement& select = readers.symbols();
  core::Statement& insert = writers.symbol;
  select.reset();
  select.bind(1, row[PREV_FILE_PATH]);
  while (select.step()) {
    insert.reset();
    for (int i = 0; i < SYNTAX_SYMBOL_COLUMN_COUNT; ++i) insert.bind(i + 1, select.column_value(i));
    insert.run();
  }
  select.reset();
}

bool same_text(const core::SqlValue& value, std::string_view text) {
  const std::string* stored = std::get_if<std::string>(&value);
  return stored != nullptr && *stored == text;
}

void count_state(CoverageCounts& counts, std::string_view state) {
  if (std::int64_t* slot = count_of_state(counts, state)) ++*slot;
}

class Builder {
 public:
  Builder(core::Connection& dest, syntax::ParserPool& pool, const BuildOptions& options, bool has_previous)
      : pool_(pool), options_(options), writers_(dest) {
    if (has_previous) previous_.emplace(*options.previous);
  }

  void add(const CapturedFile& entry) {
    if (!entry.in_scope) {
      insert_manifest_only(writers_, entry, "skipped");
      return;
    }
    if (!entry.language) {
      insert_manifest_only(writers_, entry, "unsupported");
      ++report_.counts.unsupported;
      return;
    }
    if (!entry.source_path) {  // over the size limit: recorded, never read
      insert_manifest_only(writers_, entry, "skipped");
      ++report_.counts.skipped;
      return;
    }
    add_candidate(entry, *entry.language);
  }

  const SyntaxBuildReport& report() const noexcept { return report_; }

 private:
  void add_candidate(const CapturedFile& entry, const std::string& language) {
    const std::string identity = syntax::grammar_identity(language);
    std::optional<Row> prev_row;
    if (previous_) prev_row = previous_syntax_file_row(*previous_, entry.file_path);
    const bool can_reuse = prev_row && entry.file_hash && same_text((*prev_row)[PREV_FILE_HASH], *entry.file_hash) &&
                           same_text((*prev_row)[PREV_PARSER_IDENTITY], identity);
    const bool wants_tree = options_.on_parsed && options_.parse_for.contains(entry.file_path);

    if (can_reuse) {
      copy_previous_rows(*previous_, writers_, *prev_row);
      ++report_.reused_files;
      if (const std::string* state = std::get_if<std::string>(&(*prev_row)[PREV_STATE])) {
        count_state(report_.counts, *state);
      }
      if (wants_tree) {
        const std::string bytes = read_captured_bytes(entry);
        const syntax::ParseTree tree = pool_.parse(language, bytes);
        options_.on_parsed(entry, bytes, tree);
      }
      return;
    }

    const std::string bytes = read_captured_bytes(entry);
    syntax::ParsedSyntax parsed = syntax::extract_file(entry.file_path, bytes, language, pool_);
    insert_parsed(writers_, parsed);
    count_state(report_.counts, parsed.state);
    if (wants_tree) {
      // Extraction makes no tree for bytes that are not UTF-8; the callback still gets one.
      const syntax::ParseTree tree = parsed.tree ? *parsed.tree : pool_.parse(language, bytes);
      options_.on_parsed(entry, bytes, tree);
    }
  }

  syntax::ParserPool& pool_;
  const BuildOptions& options_;
  Writers writers_;
  std::optional<PreviousReaders> previous_;
  SyntaxBuildReport report_;
};

}  // namespace

SyntaxBuildReport build_declstore(const fs::path& db_path, const SourceManifest& manifest,
                                  syntax::ParserPool& pool, const BuildOptions& options) {
  if (db_path.has_parent_path()) fs::create_directories(db_path.parent_path());
  core::remove_file_if_exists(db_path);  // the build never adds to an existing database

  core::Connection dest = core::Connection::open(db_path);
  SyntaxBuildReport report;
  try {
    dest.exec("PRAGMA busy_timeout = 5000");
    dest.exec("PRAGMA cache_size = -" + std::to_string(BUILD_CACHE_KIB));
    // The file is made anew by every build and only read later in the same run,
    // and publication syncs the copy it publishes: waiting for the disk here buys nothing.
    dest.exec("PRAGMA synchronous = OFF");
    dest.exec(SYNTAX_SCHEMA);  // tables exist, committed, before the row transaction
    const bool has_previous = options.previous != nullptr && has_syntax_tables(*options.previous);
    dest.begin();
    // The declaration ids are hashes: inserting them under live secondary indexes
    // writes every index at random places. The indexes are made again below, in
    // the same transaction, so a failure rolls back to the committed schema.
    dest.exec(DROP_SYNTAX_INDEXES);
    {
      Builder builder(dest, pool, options, has_previous);
      for (const CapturedFile& entry : manifest.files) {
        core::check_interrupted();  // Ctrl+C unwinds the build like any failure
        builder.add(entry);
      }
      report = builder.report();
    }  // statements finalized before the commit
    dest.exec(SYNTAX_INDEXES);
    dest.commit();
  } catch (...) {
    // Closing without a commit discards every row of the open transaction.
    try {
      dest.close();
    } catch (...) {
    }
    throw;
  }
  dest.close();
  return report;
}

}  // namespace kolvex::declstore
