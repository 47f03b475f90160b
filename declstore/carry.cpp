#include "declstore/carry.h"

#include <sqlite3.h>

#include <string_view>

#include "declstore/schema.h"

namespace kolvex::declstore {

namespace {

// Carried-forward files copied by one pair of statements at most. The batch is
// only a list of paths; the bound keeps one copy statement short.
constexpr std::size_t CARRY_BATCH_FILES = 1024;
// Rows moved into carried order by one pair of statements at most.
constexpr std::size_t MOVE_BATCH_ROWS = 65536;

// The schema name of the previous snapshot attached to the new database.
constexpr std::string_view PREVIOUS_SCHEMA = "previous";

constexpr std::string_view PREVIOUS_FILE_ROW_SQL =
    "SELECT file_path, language, file_hash, parser_identity, in_scope, state, reason FROM syntax_files "
    "WHERE file_path = ?";

// The paths of the carried-forward files waiting to be copied, in manifest order,
// and whether their file row and their declarations are copied (a build that
// starts from a copy of the previous snapshot keeps those already in place).
constexpr std::string_view CARRY_TABLE_SQL =
    "CREATE TEMP TABLE carry_batch (seq INTEGER PRIMARY KEY, file_path TEXT NOT NULL, "
    "with_file INTEGER NOT NULL, with_symbols INTEGER NOT NULL)";
constexpr std::string_view CARRY_ADD_SQL =
    "INSERT INTO temp.carry_batch (seq, file_path, with_file, with_symbols) VALUES (?, ?, ?, ?)";
constexpr std::string_view CARRY_CLEAR_SQL = "DELETE FROM temp.carry_batch";
// The seven stored values of each file row as they are; the flags start again at 0.
constexpr std::string_view CARRY_FILES_SQL =
    "INSERT INTO main.syntax_files (file_path, language, file_hash, parser_identity, in_scope, state, reason, "
    "scip_outline, scip_definition) "
    "SELECT p.file_path, p.language, p.file_hash, p.parser_identity, p.in_scope, p.state, p.reason, 0, 0 "
    "FROM temp.carry_batch AS c JOIN previous.syntax_files AS p ON p.file_path = c.file_path "
    "WHERE c.with_file = 1 ORDER BY c.seq";

// The rows of the previous snapshot that a build from its copy no longer wants:
// the run of one file, or everything from a rowid on.
constexpr std::string_view DELETE_RUN_SQL = "DELETE FROM main.syntax_symbols WHERE rowid BETWEEN ? AND ?";
constexpr std::string_view DELETE_FROM_SQL = "DELETE FROM main.syntax_symbols WHERE rowid >= ?";
// The file rows of the copy from a rowid on, which a build from its copy no
// longer wants; and the flags of a kept carried row, which start again at 0.
constexpr std::string_view DELETE_FILES_FROM_SQL = "DELETE FROM main.syntax_files WHERE rowid >= ?";
constexpr std::string_view CLEAR_FILE_FLAGS_SQL =
    "UPDATE main.syntax_files SET scip_outline = 0, scip_definition = 0 WHERE rowid = ?";

// Setting aside the rows before a rowid (bound as text into the statement, since
// CREATE TABLE … AS takes no parameters), emptying the table, and writing them back.
std::string set_aside_rows_sql(std::int64_t before_rowid) {
  return "CREATE TEMP TABLE kept_rows AS SELECT rowid AS kept_rowid, " + std::string(SYNTAX_SYMBOL_COLUMNS) +
         " FROM main.syntax_symbols WHERE rowid < " + std::to_string(before_rowid) +
         "; DELETE FROM main.syntax_symbols;";
}
std::string restore_rows_sql() {
  return "INSERT INTO main.syntax_symbols (rowid, " + std::string(SYNTAX_SYMBOL_COLUMNS) +
         ") SELECT kept_rowid, " + std::string(SYNTAX_SYMBOL_COLUMNS) +
         " FROM temp.kept_rows ORDER BY kept_rowid; DROP TABLE temp.kept_rows;";
}

// The declaration columns prefixed by `alias` and a dot, in table order.
std::string qualified_symbol_columns(std::string_view alias) {
  std::string selected;
  std::string_view columns = SYNTAX_SYMBOL_COLUMNS;
  while (!columns.empty()) {
    const std::size_t comma = columns.find(',');
    std::string_view column = columns.substr(0, comma);
    while (column.starts_with(' ')) column.remove_prefix(1);
    selected += (selected.empty() ? "" : ", ") + std::string(alias) + "." + std::string(column);
    columns = comma == std::string_view::npos ? std::string_view() : columns.substr(comma + 1);
  }
  return selected;
}

// The rows that carried order puts at another rowid of their run, by old and
// new rowid (the layout of the previous snapshot says which): deleted, then
// written at their new rowids from the previous snapshot, whose rows the copy
// holds unchanged. The rows that stay are not touched, and the rowids the moved
// rows leave free are the ones they fill, since rows only change places within
// their run. The moves of many files are made by one pair of statements.
constexpr std::string_view MOVES_TABLE_SQL =
    "CREATE TEMP TABLE moved_rows (old_rowid INTEGER PRIMARY KEY, new_rowid INTEGER NOT NULL)";
constexpr std::string_view MOVE_ADD_SQL = "INSERT INTO temp.moved_rows (old_rowid, new_rowid) VALUES (?, ?)";
constexpr std::string_view MOVES_CLEAR_SQL = "DELETE FROM temp.moved_rows";
constexpr std::string_view DELETE_MOVED_SQL =
    "DELETE FROM main.syntax_symbols WHERE rowid IN (SELECT old_rowid FROM temp.moved_rows)";
std::string insert_moved_sql() {
  return "INSERT INTO main.syntax_symbols (rowid, " + std::string(SYNTAX_SYMBOL_COLUMNS) + ") SELECT m.new_rowid, " +
         qualified_symbol_columns("s") +
         " FROM temp.moved_rows AS m JOIN previous.syntax_symbols AS s ON s.rowid = m.old_rowid ORDER BY m.new_rowid";
}

// The declarations of one file are carried in the order of the previous
// snapshot's syntax_symbols_file index: selection start, then rowid.
std::string previous_symbols_sql() {
  return "SELECT " + std::string(SYNTAX_SYMBOL_COLUMNS) +
         " FROM syntax_symbols WHERE file_path = ? ORDER BY selection_start_byte, rowid";
}

std::string carry_symbols_sql() {
  return "INSERT INTO main.syntax_symbols (" + std::string(SYNTAX_SYMBOL_COLUMNS) + ") SELECT " +
         qualified_symbol_columns("s") +
         " FROM temp.carry_batch AS c JOIN previous.syntax_symbols AS s ON s.file_path = c.file_path "
         "WHERE c.with_symbols = 1 ORDER BY c.seq, s.selection_start_byte, s.rowid";
}

// Reads the rows of `paths` through the previous snapshot's own connection, the
// way they were once read file by file, and throws PreviousSnapshotError when that
// fails: after a bulk copy failed, it tells a damaged previous snapshot from a
// failing new database.
void check_previous_rows(core::Connection& previous, const std::vector<std::string>& paths) {
  reading_previous([&] {
    core::Statement file = previous.prepare(PREVIOUS_FILE_ROW_SQL);
    core::Statement symbols = previous.prepare(previous_symbols_sql());
    for (const std::string& path : paths) {
      for (core::Statement* statement : {&file, &symbols}) {
        statement->reset();
        statement->bind(1, path);
        while (statement->step()) {
          for (int i = 0; i < statement->column_count(); ++i) statement->column_value(i);
        }
      }
    }
  });
}

}  // namespace

PreviousFiles previous_file_rows(core::Connection& previous, const BuildOptions& options) {
  LayoutRead* read_ahead = options.previous_layout;
  if (read_ahead != nullptr && read_ahead->database() == main_database_file(previous)) {
    if (std::optional<PreviousFiles> files = read_ahead->take_files()) return std::move(*files);
  }
  return reading_previous([&] { return read_previous_files(previous); });
}

void attach_previous(core::Connection& dest, core::Connection& previous) {
  reading_previous([&] {
    const char* file = sqlite3_db_filename(previous.raw(), "main");
    if (file == nullptr || *file == '\0') throw core::SqliteError("the previous snapshot is not a database file");
    core::Statement attach = dest.prepare("ATTACH ? AS " + std::string(PREVIOUS_SCHEMA));
    attach.bind(1, core::sqlite_uri(file, /*read_only=*/true, /*immutable=*/false));
    attach.run();
    const std::string schema(PREVIOUS_SCHEMA);
    if (sqlite3_db_readonly(dest.raw(), schema.c_str()) != 1) {
      throw core::SqliteError("the previous snapshot was not attached read-only");
    }
  });
  dest.exec(CARRY_TABLE_SQL);
  dest.exec(MOVES_TABLE_SQL);
}

// --- CarryBatch ---

CarryBatch::CarryBatch(core::Connection& dest, core::Connection& previous)
    : dest_(dest), previous_(previous), add_(dest.prepare(CARRY_ADD_SQL)), clear_(dest.prepare(CARRY_CLEAR_SQL)) {
  reading_previous([&] {
    copy_files_.emplace(dest.prepare(CARRY_FILES_SQL));
    copy_symbols_.emplace(dest.prepare(carry_symbols_sql()));
  });
}

void CarryBatch::add(const std::string& file_path, bool with_file, bool with_symbols) {
  if (!with_file && !with_symbols) return;
  pending_.push_back(file_path);
  with_file_.push_back(with_file);
  with_symbols_.push_back(with_symbols);
  files_ += with_file ? 1 : 0;
  if (pending_.size() >= CARRY_BATCH_FILES) flush();
}

void CarryBatch::flush() {
  if (pending_.empty()) return;
  std::int64_t copied = 0;
  try {
    for (std::size_t i = 0; i < pending_.size(); ++i) {
      add_.reset();
      add_.bind(1, static_cast<std::int64_t>(i))
          .bind(2, pending_[i])
          .bind(3, with_file_[i] ? 1 : 0)
          .bind(4, with_symbols_[i] ? 1 : 0);
      add_.run();
    }
    copy_files_->reset();
    copy_files_->run();
    copied = dest_.changes();
    copy_symbols_->reset();
    copy_symbols_->run();
    clear_.reset();
    clear_.run();
  } catch (const core::SqliteError&) {
    check_previous_rows(previous_, pending_);
    throw;  // the previous snapshot reads fine: the new database failed
  }
  // Every path was listed by the previous snapshot when the build began.
  if (copied != files_) {
    throw PreviousSnapshotError("the previous snapshot lost " + std::to_string(files_ - copied) +
                                " of the file rows it listed");
  }
  pending_.clear();
  with_file_.clear();
  with_symbols_.clear();
  files_ = 0;
}

// --- CopyPlacement ---

CopyPlacement::CopyPlacement(core::Connection& dest, core::Connection& previous, const DeclarationLayout& layout)
    : dest_(dest),
      previous_(previous),
      layout_(layout),
      delete_run_(dest.prepare(DELETE_RUN_SQL)),
      delete_from_(dest.prepare(DELETE_FROM_SQL)),
      add_move_(dest.prepare(MOVE_ADD_SQL)),
      delete_moved_(dest.prepare(DELETE_MOVED_SQL)),
      clear_moves_(dest.prepare(MOVES_CLEAR_SQL)) {
  reading_previous([&] { insert_moved_.emplace(dest.prepare(insert_moved_sql())); });
}

std::int64_t CopyPlacement::old_count(const std::string& path) const {
  auto found = layout_.runs.find(path);
  return found == layout_.runs.end() ? 0 : found->second.count;
}

std::optional<DeclarationRun> CopyPlacement::take_place(const std::string& path, std::int64_t count) {
  if (moved_on_) return std::nullopt;
  DeclarationRun run{.first_rowid = next_rowid_, .count = 0, .contiguous = true, .ordered = true};
  if (auto found = layout_.runs.find(path); found != layout_.runs.end()) run = found->second;
  if (run.count != count || (count != 0 && (!run.contiguous || run.first_rowid != next_rowid_))) {
    return std::nullopt;
  }
  next_rowid_ += count;
  return run;
}

void CopyPlacement::move_on() {
  flush_reorders();
  moved_on_ = true;
  const std::int64_t kept = next_rowid_ - 1;
  if ((layout_.rows - kept) * MOVED_ROWS_REBUILD_DIVISOR > layout_.rows) {
    dest_.exec(set_aside_rows_sql(next_rowid_));
    dest_.exec(DROP_SYNTAX_INDEXES);
    dest_.exec(restore_rows_sql());
    indexes_dropped_ = true;
    return;
  }
  delete_from_.reset();
  delete_from_.bind(1, next_rowid_);
  delete_from_.run();
}

bool CopyPlacement::finish() {
  flush_reorders();
  if (!moved_on_) move_on();
  return indexes_dropped_;
}

void CopyPlacement::clear(const DeclarationRun& run) {
  if (run.count == 0) return;
  delete_run_.reset();
  delete_run_.bind(1, run.first_rowid).bind(2, run.first_rowid + run.count - 1);
  delete_run_.run();
}

void CopyPlacement::reorder(const std::string& path, const DeclarationRun& run) {
  pending_moves_.insert(pending_moves_.end(), run.moves.begin(), run.moves.end());
  pending_paths_.push_back(path);
  if (pending_moves_.size() >= MOVE_BATCH_ROWS) flush_reorders();
}

void CopyPlacement::flush_reorders() {
  if (pending_moves_.empty()) return;
  try {
    for (const auto& [old_rowid, new_rowid] : pending_moves_) {
      add_move_.reset();
      add_move_.bind(1, old_rowid).bind(2, new_rowid);
      add_move_.run();
    }
    std::int64_t moved = 0;
    for (core::Statement* statement : {&delete_moved_, &*insert_moved_, &clear_moves_}) {
      statement->reset();
      statement->run();
      if (statement == &*insert_moved_) moved = dest_.changes();
    }
    if (moved != static_cast<std::int64_t>(pending_moves_.size())) {
      throw PreviousSnapshotError("the previous snapshot lost " +
                                  std::to_string(static_cast<std::int64_t>(pending_moves_.size()) - moved) +
                                  " of the declaration rows it listed");
    }
  } catch (const core::SqliteError&) {
    check_previous_rows(previous_, pending_paths_);
    throw;
  }
  pending_moves_.clear();
  pending_paths_.clear();
}

// --- FileRowPlacement ---

FileRowPlacement::FileRowPlacement(core::Connection& dest, const PreviousFiles& previous)
    : previous_(previous),
      delete_from_(dest.prepare(DELETE_FILES_FROM_SQL)),
      clear_flags_(dest.prepare(CLEAR_FILE_FLAGS_SQL)) {}

const PreviousFile* FileRowPlacement::take_place(const std::string& path) {
  if (moved_on_) return nullptr;
  auto found = previous_.find(path);
  if (found == previous_.end() || found->second.rowid != next_rowid_) return nullptr;
  ++next_rowid_;
  return &found->second;
}

void FileRowPlacement::keep(const PreviousFile& kept) {
  if (kept.flags_clear) return;
  clear_flags_.reset();
  clear_flags_.bind(1, kept.rowid);
  clear_flags_.run();
}

void FileRowPlacement::move_on() {
  moved_on_ = true;
  delete_from_.reset();
  delete_from_.bind(1, next_rowid_);
  delete_from_.run();
}

void FileRowPlacement::finish() {
  if (!moved_on_) move_on();
}

}  // namespace kolvex::declstore
