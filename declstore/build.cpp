#include "declstore/build.h"

#include <sqlite3.h>

#include <array>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/closing.h"
#include "core/error.h"
#include "core/fs.h"
#include "core/ordered_parallel.h"
#include "core/sqlite.h"
#include "declstore/previous_copy.h"
#include "platform/descriptor_kind.h"
#include "syntax/syntax.h"

namespace kolvex::declstore {

namespace fs = std::filesystem;

namespace {

// Page cache of a database built from nothing, in KiB. The declaration ids are
// hashes, so their primary-key index is written at random places; the pages
// evicted meanwhile stay in the system's file cache, and the writer keeps ahead
// of the extraction workers all the same: a larger cache here only grows the
// process by its size, many times over on a large repository.
constexpr int FRESH_BUILD_CACHE_KIB = 2 * 1024;
// Page cache of a build over a copy of the previous snapshot, in KiB. Rows moved
// into carried order are deleted and written again under the live indexes, at
// places all over the file: with a small cache every move reads pages again.
constexpr int COPY_BUILD_CACHE_KIB = 64 * 1024;
// Page cache while the secondary indexes are made, in KiB. Each index is sorted
// and then appended page after page, so a large cache buys nothing there, while
// SQLite sizes its in-memory sort runs by the cache: with a large cache it would
// gather one run of every key in fresh memory before writing a page.
constexpr int INDEX_CACHE_KIB = 4 * 1024;
// Page size of a database built from nothing, in bytes. Rows are tens of bytes
// and keys are 64-hex-digit hashes: with SQLite's 4 KiB default, inserting the
// hashes at random places splits and rebalances pages eight times as often, and
// the indexes are made of eight times as many pages. Readers take any page size.
constexpr int BUILD_PAGE_SIZE = 32 * 1024;

// Files claimed by the workers and not yet written, per worker. Files are written
// in manifest order, so one slow file (a large header can take seconds) holds back
// every file after it: the window must let the other workers go on meanwhile. A
// file in flight holds its extraction result only, or, when the callback wants it,
// also its bytes and parse tree, which are many times larger: then the window is
// smaller.
constexpr std::size_t FILES_IN_FLIGHT_PER_WORKER = 512;
constexpr std::size_t FILES_IN_FLIGHT_PER_WORKER_WITH_TREES = 32;

// The share of a copy's declaration rows above which rows that move on are not
// deleted one by one under the live indexes: the rows before them are set aside,
// the table emptied at once, and the indexes made again after the last row, as a
// build from nothing does.
constexpr std::int64_t MOVED_ROWS_REBUILD_DIVISOR = 4;

// Carried-forward files copied by one pair of statements at most. The batch is
// only a list of paths; the bound keeps one copy statement short.
constexpr std::size_t CARRY_BATCH_FILES = 1024;
// Rows moved into carried order by one pair of statements at most.
constexpr std::size_t MOVE_BATCH_ROWS = 65536;

// The schema name of the previous snapshot attached to the new database.
constexpr std::string_view PREVIOUS_SCHEMA = "previous";

constexpr std::string_view INSERT_MANIFEST_ONLY_SQL =
    "INSERT INTO syntax_files (file_path, language, file_hash, parser_identity, in_scope, state, reason, "
    "scip_outline, scip_definition) VALUES (?, ?, ?, ?, ?, ?, ?, 0, 0)";
constexpr std::string_view INSERT_PARSED_FILE_SQL =
    "INSERT INTO syntax_files (file_path, language, file_hash, parser_identity, in_scope, state, reason, "
    "scip_outline, scip_definition) VALUES (?, ?, ?, ?, 1, ?, ?, 0, 0)";
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
// What a copy of the previous snapshot holds besides the rows a build writes.
constexpr std::string_view EMPTY_COPY_SQL = "DELETE FROM main.kolvex_snapshot";
// The file rows of the copy from a rowid on, which a build from its copy no
// longer wants; and a kept row written again in place, its path unchanged.
constexpr std::string_view DELETE_FILES_FROM_SQL = "DELETE FROM main.syntax_files WHERE rowid >= ?";
constexpr std::string_view UPDATE_FILE_SQL =
    "UPDATE main.syntax_files SET language = ?, file_hash = ?, parser_identity = ?, in_scope = ?, state = ?, "
    "reason = ?, scip_outline = 0, scip_definition = 0 WHERE rowid = ?";
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

std::string insert_symbol_sql(bool with_rowid) {
  std::string markers = with_rowid ? "?, " : "";
  for (int i = 0; i < SYNTAX_SYMBOL_COLUMN_COUNT; ++i) markers += i == 0 ? "?" : ", ?";
  return "INSERT INTO syntax_symbols (" + std::string(with_rowid ? "rowid, " : "") +
         std::string(SYNTAX_SYMBOL_COLUMNS) + ") VALUES (" + markers + ")";
}

// Makes the secondary indexes of the rows written, with the cache they want.
void create_indexes(core::Connection& dest) {
  dest.exec("PRAGMA cache_size = -" + std::to_string(INDEX_CACHE_KIB));
  dest.exec(SYNTAX_INDEXES);
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

// Runs `read` and turns a database error into PreviousSnapshotError.
template <typename Read>
auto reading_previous(Read&& read) {
  try {
    return read();
  } catch (const core::SqliteError& error) {
    throw PreviousSnapshotError(error.message(), std::current_exception());
  }
}

// The previous snapshot's file rows: those the caller read ahead when they were
// read from its file, otherwise read now. A database error is a
// PreviousSnapshotError.
PreviousFiles previous_file_rows(core::Connection& previous, const BuildOptions& options) {
  LayoutRead* read_ahead = options.previous_layout;
  if (read_ahead != nullptr && read_ahead->database() == main_database_file(previous)) {
    if (std::optional<PreviousFiles> files = read_ahead->take_files()) return std::move(*files);
  }
  return reading_previous([&] { return read_previous_files(previous); });
}

// Attaches the previous snapshot's file read-only under PREVIOUS_SCHEMA.
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

// Carried-forward files, copied in bulk from the attached previous snapshot. Files
// are added in manifest order; flush() writes every pending one, and runs before
// any other row is written so that rows keep manifest order.
class CarryBatch {
 public:
  CarryBatch(core::Connection& dest, core::Connection& previous)
      : dest_(dest), previous_(previous), add_(dest.prepare(CARRY_ADD_SQL)), clear_(dest.prepare(CARRY_CLEAR_SQL)) {
    // Statements naming the previous snapshot's columns: a snapshot without them
    // fails here, before any file is worked on.
    reading_previous([&] {
      copy_files_.emplace(dest.prepare(CARRY_FILES_SQL));
      copy_symbols_.emplace(dest.prepare(carry_symbols_sql()));
    });
  }

  void add(const std::string& file_path, bool with_file = true, bool with_symbols = true) {
    if (!with_file && !with_symbols) return;
    pending_.push_back(file_path);
    with_file_.push_back(with_file);
    with_symbols_.push_back(with_symbols);
    files_ += with_file ? 1 : 0;
    if (pending_.size() >= CARRY_BATCH_FILES) flush();
  }

  void flush() {
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

 private:
  core::Connection& dest_;
  core::Connection& previous_;
  core::Statement add_;
  core::Statement clear_;
  std::optional<core::Statement> copy_files_;
  std::optional<core::Statement> copy_symbols_;
  std::vector<std::string> pending_;
  std::vector<bool> with_file_;
  std::vector<bool> with_symbols_;
  std::int64_t files_ = 0;  // of pending_, those whose file row is copied
};

// Where the declarations of each file go in a build that starts from a copy of
// the previous snapshot. Rows are numbered as a build from nothing numbers them:
// file after file, in manifest order. As long as a file's new rows take exactly
// the rowids of its old run, that run stays where it is: a carried file's rows
// are kept (rewritten at their place when they are not yet in carried order) and
// a changed file's are replaced. From the first file whose rows would move on,
// every later row of the copy is deleted and the rest is written after the last
// row kept, as a build from nothing writes it.
class CopyPlacement {
 public:
  CopyPlacement(core::Connection& dest, core::Connection& previous, const DeclarationLayout& layout)
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

  bool moved_on() const noexcept { return moved_on_; }

  // The number of rows the copy holds for `path`.
  std::int64_t old_count(const std::string& path) const {
    auto found = layout_.runs.find(path);
    return found == layout_.runs.end() ? 0 : found->second.count;
  }

  // When `count` new rows of `path` take exactly the rowids of its old run, the
  // next ones in order: that run, now taken.
  std::optional<DeclarationRun> take_place(const std::string& path, std::int64_t count) {
    if (moved_on_) return std::nullopt;
    DeclarationRun run{.first_rowid = next_rowid_, .count = 0, .contiguous = true, .ordered = true};
    if (auto found = layout_.runs.find(path); found != layout_.runs.end()) run = found->second;
    if (run.count != count || (count != 0 && (!run.contiguous || run.first_rowid != next_rowid_))) {
      return std::nullopt;
    }
    next_rowid_ += count;
    return run;
  }

  // Deletes every row of the copy from the next rowid on; later rows are written
  // after the last one kept. When most rows go, the table is emptied at once and
  // its secondary indexes are made again by finish().
  void move_on(core::Connection& dest) {
    flush_reorders();
    moved_on_ = true;
    const std::int64_t kept = next_rowid_ - 1;
    if ((layout_.rows - kept) * MOVED_ROWS_REBUILD_DIVISOR > layout_.rows) {
      dest.exec(set_aside_rows_sql(next_rowid_));
      dest.exec(DROP_SYNTAX_INDEXES);
      dest.exec(restore_rows_sql());
      indexes_dropped_ = true;
      return;
    }
    delete_from_.reset();
    delete_from_.bind(1, next_rowid_);
    delete_from_.run();
  }

  // After the last entry: the rows of files that are gone, and the indexes.
  void finish(core::Connection& dest) {
    flush_reorders();
    if (!moved_on_) move_on(dest);
    if (indexes_dropped_) create_indexes(dest);
  }

  // Deletes the rows of a run taken over by new rows.
  void clear(const DeclarationRun& run) {
    if (run.count == 0) return;
    delete_run_.reset();
    delete_run_.bind(1, run.first_rowid).bind(2, run.first_rowid + run.count - 1);
    delete_run_.run();
  }

  // Puts a carried file's run in carried order: only its displaced rows are
  // written again, together with those of other files. The run belongs to no
  // other file and stays where it is until then.
  void reorder(const std::string& path, const DeclarationRun& run) {
    pending_moves_.insert(pending_moves_.end(), run.moves.begin(), run.moves.end());
    pending_paths_.push_back(path);
    if (pending_moves_.size() >= MOVE_BATCH_ROWS) flush_reorders();
  }

 private:
  void flush_reorders() {
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

  core::Connection& dest_;
  core::Connection& previous_;
  const DeclarationLayout& layout_;
  core::Statement delete_run_;
  core::Statement delete_from_;
  core::Statement add_move_;
  core::Statement delete_moved_;
  core::Statement clear_moves_;
  std::optional<core::Statement> insert_moved_;
  std::vector<std::pair<std::int64_t, std::int64_t>> pending_moves_;  // old rowid, new rowid
  std::vector<std::string> pending_paths_;                             // the files they belong to
  std::int64_t next_rowid_ = 1;
  bool moved_on_ = false;
  bool indexes_dropped_ = false;
};

// Where the file rows go in a build that starts from a copy of the previous
// snapshot. File rows are numbered as a build from nothing numbers them, in
// manifest order. As long as each entry's path is the one the copy holds at the
// next rowid, the entry's row takes that place: a carried file's row stays as it
// is (its flags cleared when they are not), any other is written again in place.
// From the first entry whose path lies elsewhere, every later file row of the
// copy is deleted and the rest is appended, as a build from nothing writes it.
class FileRowPlacement {
 public:
  FileRowPlacement(core::Connection& dest, const PreviousFiles& previous)
      : previous_(previous),
        delete_from_(dest.prepare(DELETE_FILES_FROM_SQL)),
        clear_flags_(dest.prepare(CLEAR_FILE_FLAGS_SQL)) {}

  bool moved_on() const noexcept { return moved_on_; }

  // The copy's row whose place the entry's row takes: the one at the next rowid,
  // when it holds the entry's path.
  const PreviousFile* take_place(const std::string& path) {
    if (moved_on_) return nullptr;
    auto found = previous_.find(path);
    if (found == previous_.end() || found->second.rowid != next_rowid_) return nullptr;
    ++next_rowid_;
    return &found->second;
  }

  // Keeps a carried file's row, `kept`, as a carried row is written.
  void keep(const PreviousFile& kept) {
    if (kept.flags_clear) return;
    clear_flags_.reset();
    clear_flags_.bind(1, kept.rowid);
    clear_flags_.run();
  }

  // Deletes every file row of the copy from the next rowid on; later rows are
  // appended after the last one kept.
  void move_on() {
    moved_on_ = true;
    delete_from_.reset();
    delete_from_.bind(1, next_rowid_);
    delete_from_.run();
  }

  // After the last entry: the rows of files that are gone.
  void finish() {
    if (!moved_on_) move_on();
  }

 private:
  const PreviousFiles& previous_;
  core::Statement delete_from_;
  core::Statement clear_flags_;
  std::int64_t next_rowid_ = 1;
  bool moved_on_ = false;
};

// The statements of one build, prepared once and reused for every file.
struct Writers {
  core::Statement manifest_only;
  core::Statement parsed_file;
  core::Statement symbol;
  core::Statement symbol_at;  // with an explicit rowid
  core::Statement file_at;    // a file row written again in place

  explicit Writers(core::Connection& dest)
      : manifest_only(dest.prepare(INSERT_MANIFEST_ONLY_SQL)),
        parsed_file(dest.prepare(INSERT_PARSED_FILE_SQL)),
        symbol(dest.prepare(insert_symbol_sql(false))),
        symbol_at(dest.prepare(insert_symbol_sql(true))),
        file_at(dest.prepare(UPDATE_FILE_SQL)) {}
};

// The file row of an entry written without extraction; with `rowid`, in place of
// the copy's row of the same path there.
void insert_manifest_only(Writers& writers, const CapturedFile& captured, std::string_view state,
                          std::optional<std::int64_t> rowid = std::nullopt) {
  core::Statement& write = rowid ? writers.file_at : writers.manifest_only;
  write.reset();
  int next = 1;
  if (!rowid) write.bind(next++, captured.file_path);
  write.bind(next, captured.language)
      .bind(next + 1, captured.file_hash)
      .bind_null(next + 2)
      .bind(next + 3, captured.in_scope ? 1 : 0)
      .bind(next + 4, state)
      .bind(next + 5, captured.reason);
  if (rowid) write.bind(next + 6, *rowid);
  write.run();
}

// A text parameter, or NULL when absent.
core::SqlParam text_or_null(const std::optional<std::string>& text) {
  return text ? core::SqlParam(std::string_view(*text)) : core::SqlParam(core::Null{});
}

// The six columns of a span, from `first` on.
void put_span(std::span<core::SqlParam> params, std::size_t first, const syntax::Span& span) {
  params[first] = span.start_byte;
  params[first + 1] = span.end_byte;
  params[first + 2] = span.start_line;
  params[first + 3] = span.start_character;
  params[first + 4] = span.end_line;
  params[first + 5] = span.end_character;
}

// The file row, then every declaration in the extraction's order; the declaration
// rows take their path from the extraction result. With `file_rowid` the file row
// is written in place of the copy's row of the same path there. With
// `first_rowid` the declarations are numbered from it, otherwise after the last
// row. Each row is bound and written under one lock of the connection, its texts
// bound in place.
void insert_parsed(Writers& writers, const syntax::ParsedSyntax& parsed,
                   std::optional<std::int64_t> first_rowid = std::nullopt,
                   std::optional<std::int64_t> file_rowid = std::nullopt) {
  if (file_rowid) {
    const std::array<core::SqlParam, 7> file_row = {std::string_view(parsed.language),
                                                     std::string_view(parsed.file_hash),
                                                     std::string_view(parsed.parser_identity),
                                                     std::int64_t{1},
                                                     std::string_view(parsed.state),
                                                     text_or_null(parsed.reason),
                                                     *file_rowid};
    writers.file_at.run_with(file_row);
  } else {
    const std::array<core::SqlParam, 6> file_row = {std::string_view(parsed.file_path),
                                                     std::string_view(parsed.language),
                                                     std::string_view(parsed.file_hash),
                                                     std::string_view(parsed.parser_identity),
                                                     std::string_view(parsed.state),
                                                     text_or_null(parsed.reason)};
    writers.parsed_file.run_with(file_row);
  }

  core::Statement& insert = first_rowid ? writers.symbol_at : writers.symbol;
  // The rowid first, when it is given, then the columns.
  std::array<core::SqlParam, 1 + SYNTAX_SYMBOL_COLUMN_COUNT> row;
  const std::span<core::SqlParam> params = std::span<core::SqlParam>(row).subspan(1);
  const std::span<const core::SqlParam> bound = first_rowid ? std::span<const core::SqlParam>(row) : params;
  std::int64_t rowid = first_rowid.value_or(0);
  for (const syntax::SyntaxSymbol& symbol : parsed.symbols) {
    row[0] = rowid++;
    params[0] = std::string_view(symbol.symbol);
    params[1] = std::string_view(parsed.file_path);
    params[2] = std::string_view(symbol.name);
    params[3] = std::string_view(symbol.qualified_name);
    params[4] = platform::kind_text(symbol.kind);
    params[5] = text_or_null(symbol.parent_symbol);
    put_span(params, 6, symbol.declaration);
    put_span(params, 12, symbol.selection);
    insert.run_with(bound);
  }
}

void count_state(CoverageCounts& counts, std::string_view state) {
  if (std::int64_t* slot = count_of_state(counts, state)) ++*slot;
}

// What a worker made of one manifest entry, for the writer.
struct FileWork {
  enum class Kind { RECORDED, CARRIED, EXTRACTED };
  Kind kind = Kind::RECORDED;
  // CARRIED: the state stored in the previous snapshot.
  std::optional<std::string> carried_state;
  // EXTRACTED: the result, without its tree.
  std::optional<syntax::ParsedSyntax> parsed;
  // Only for a file the callback wants: its bytes and a tree of them.
  std::string bytes;
  std::optional<syntax::ParseTree> tree;
};

// The part of the build that can run on any worker: the reuse decision, reading
// the copy, extraction and the callback's parse. It touches only the pool it is
// given and the read-only previous files.
class FileWorker {
 public:
  FileWorker(const SourceManifest& manifest, const BuildOptions& options, const PreviousFiles* previous)
      : manifest_(manifest), options_(options), previous_(previous) {}

  FileWork operator()(std::size_t index, syntax::ParserPool& pool) const {
    const CapturedFile& entry = manifest_.files[index];
    FileWork work;
    if (!entry.in_scope || !entry.language || !entry.source_path) return work;
    const std::string& language = *entry.language;
    const std::string identity = syntax::grammar_identity(language);
    const bool wants_tree = options_.on_parsed && options_.parse_for.contains(entry.file_path);

    if (const PreviousFile* stored = reusable(entry, identity)) {
      work.kind = FileWork::Kind::CARRIED;
      work.carried_state = stored->state;
      if (wants_tree) {
        work.bytes = read_captured_bytes(entry);
        work.tree.emplace(pool.parse(language, work.bytes));
      }
      return work;
    }

    work.kind = FileWork::Kind::EXTRACTED;
    std::string bytes = read_captured_bytes(entry);
    work.parsed.emplace(syntax::extract_file(entry.file_path, bytes, language, pool));
    if (wants_tree) {
      // Extraction makes no tree for bytes that are not UTF-8; the callback still gets one.
      work.tree.emplace(work.parsed->tree ? std::move(*work.parsed->tree) : pool.parse(language, bytes));
      work.bytes = std::move(bytes);
    }
    work.parsed->tree.reset();
    return work;
  }

 private:
  // The previous row of the entry when the same bytes were extracted under the same grammar identity.
  const PreviousFile* reusable(const CapturedFile& entry, const std::string& identity) const {
    if (previous_ == nullptr || !entry.file_hash) return nullptr;
    auto found = previous_->find(entry.file_path);
    if (found == previous_->end()) return nullptr;
    const PreviousFile& stored = found->second;
    return stored.reusable && stored.file_hash == *entry.file_hash && stored.parser_identity == identity ? &stored
                                                                                                          : nullptr;
  }

  const SourceManifest& manifest_;
  const BuildOptions& options_;
  const PreviousFiles* previous_;
};

// The writer, on the caller's thread: rows in manifest order, the counts and the
// callback.
class Writer {
 public:
  // With `layout` and `previous_files`, `dest` is a copy of the previous snapshot
  // whose declarations lie as `layout` says and whose file rows lie as
  // `previous_files` says.
  Writer(core::Connection& dest, const BuildOptions& options, core::Connection* previous,
         const DeclarationLayout* layout = nullptr, const PreviousFiles* previous_files = nullptr)
      : dest_(dest), options_(options), writers_(dest) {
    if (previous != nullptr) carry_.emplace(dest, *previous);
    if (layout != nullptr) placement_.emplace(dest, *previous, *layout);
    if (previous_files != nullptr) file_rows_.emplace(dest, *previous_files);
  }

  void write(const CapturedFile& entry, FileWork&& work) {
    const PreviousFile* kept = nullptr;  // over a copy: the file row whose place this one takes
    if (file_rows_) {
      kept = file_rows_->take_place(entry.file_path);
      if (kept == nullptr && !file_rows_->moved_on()) file_rows_->move_on();
    }
    const std::optional<std::int64_t> file_place = kept ? std::optional<std::int64_t>(kept->rowid) : std::nullopt;
    std::optional<DeclarationRun> place;  // over a copy: the old run these rows take
    if (placement_) {
      const std::int64_t count = work.kind == FileWork::Kind::CARRIED ? placement_->old_count(entry.file_path)
                                 : work.kind == FileWork::Kind::EXTRACTED
                                     ? static_cast<std::int64_t>(work.parsed->symbols.size())
                                     : 0;
      place = placement_->take_place(entry.file_path, count);
      if (!place && !placement_->moved_on()) {
        flush_carried();
        placement_->move_on(dest_);
      }
    }
    if (work.kind == FileWork::Kind::CARRIED) {
      if (kept != nullptr) file_rows_->keep(*kept);
      carry_->add(entry.file_path, /*with_file=*/!file_place, /*with_symbols=*/!place);
      if (place && !place->ordered) placement_->reorder(entry.file_path, *place);
      ++report_.reused_files;
      if (work.carried_state) count_state(report_.counts, *work.carried_state);
    } else {
      flush_carried();
      if (work.kind == FileWork::Kind::RECORDED) {
        record(entry, file_place);
      } else {
        if (place) placement_->clear(*place);
        insert_parsed(writers_, *work.parsed,
                      place ? std::optional<std::int64_t>(place->first_rowid) : std::nullopt, file_place);
        count_state(report_.counts, work.parsed->state);
      }
    }
    if (work.tree) {
      flush_carried();  // the callback comes after the file's rows
      options_.on_parsed(entry, work.bytes, *work.tree);
    }
  }

  void flush_carried() {
    if (carry_) carry_->flush();
  }

  // After the last entry: pending carried rows, and over a copy the rows of
  // files that are gone.
  void finish() {
    flush_carried();
    if (placement_) placement_->finish(dest_);
    if (file_rows_) file_rows_->finish();
  }

  const SyntaxBuildReport& report() const noexcept { return report_; }

 private:
  void record(const CapturedFile& entry, std::optional<std::int64_t> rowid) {
    if (!entry.in_scope) {
      insert_manifest_only(writers_, entry, "skipped", rowid);
    } else if (!entry.language) {
      insert_manifest_only(writers_, entry, "unsupported", rowid);
      ++report_.counts.unsupported;
    } else {  // over the size limit: recorded, never read
      insert_manifest_only(writers_, entry, "skipped", rowid);
      ++report_.counts.skipped;
    }
  }

  core::Connection& dest_;
  const BuildOptions& options_;
  Writers writers_;
  std::optional<CarryBatch> carry_;
  std::optional<CopyPlacement> placement_;
  std::optional<FileRowPlacement> file_rows_;
  SyntaxBuildReport report_;
};

// Works on the entries on `options.workers` threads (the caller's pool alone when
// there is one) and writes each through `writer` in manifest order;
// `rows_handed_over` runs once the last entry is written and the last callback
// made, before the writer's last step.
void build_rows(const SourceManifest& manifest, syntax::ParserPool& pool, const BuildOptions& options,
                const PreviousFiles* previous, Writer& writer, const std::function<void()>& rows_handed_over = {}) {
  const unsigned workers = options.workers == 0 ? core::default_worker_count() : options.workers;
  // Workers never touch the caller's pool: the callback may use it meanwhile.
  std::vector<syntax::ParserPool> worker_pools(workers > 1 ? workers : 0);
  const FileWorker file_worker(manifest, options, previous);
  const bool trees_in_flight = options.on_parsed && !options.parse_for.empty();
  const std::size_t window =
      workers * (trees_in_flight ? FILES_IN_FLIGHT_PER_WORKER_WITH_TREES : FILES_IN_FLIGHT_PER_WORKER);
  core::ordered_parallel<FileWork>(
      manifest.files.size(), {.workers = workers, .window = window},
      [&](std::size_t index, unsigned worker) {
        return file_worker(index, worker_pools.empty() ? pool : worker_pools[worker]);
      },
      [&](std::size_t index, FileWork&& work) { writer.write(manifest.files[index], std::move(work)); });
  if (rows_handed_over) rows_handed_over();
  writer.finish();
}

// The settings of a connection that writes a build. The file is made anew by
// every build and only read later in the same run, and publication syncs the file
// it publishes: waiting for the disk here buys nothing.
void tune_build_connection(core::Connection& dest, int cache_kib) {
  dest.exec("PRAGMA busy_timeout = 5000");
  dest.exec("PRAGMA cache_size = -" + std::to_string(cache_kib));
  dest.exec("PRAGMA synchronous = OFF");
}

// The caller's work alongside a build (BuildOptions::alongside): on a thread of
// its own from start() on, or on the calling thread by run_here_or_wait(). wait()
// (or the destructor) joins the thread.
class AlongsideThread {
 public:
  explicit AlongsideThread(const std::function<void()>& work) : work_(work) {}
  ~AlongsideThread() { wait(); }
  AlongsideThread(const AlongsideThread&) = delete;
  AlongsideThread& operator=(const AlongsideThread&) = delete;

  bool has_work() const { return static_cast<bool>(work_); }

  // Starts the work on a thread of its own, the first time only.
  void start() {
    if (!work_ || started_) return;
    started_ = true;
    thread_ = std::thread([this] { error_ = run(); });
  }

  // Runs the work on the calling thread unless it has started already, and
  // waits for it; its failure, if it failed.
  std::exception_ptr run_here_or_wait() {
    if (work_ && !started_) {
      started_ = true;
      error_ = run();
    }
    return wait();
  }

  // Waits for the work; its failure, if it failed.
  std::exception_ptr wait() {
    if (thread_.joinable()) thread_.join();
    return error_;
  }

 private:
  std::exception_ptr run() noexcept {
    try {
      work_();
    } catch (...) {
      return std::current_exception();
    }
    return nullptr;
  }

  const std::function<void()>& work_;
  bool started_ = false;
  std::exception_ptr error_;  // written by the thread until joined
  std::thread thread_;
};

// Makes the secondary indexes of a build from nothing on another thread while
// the caller's thread runs the work alongside, or waits for it when it started
// earlier; the indexes' failure is raised first, and only once both have ended.
// The connection is used by that thread alone meanwhile.
void make_indexes(core::Connection& dest, AlongsideThread& alongside) {
  if (!alongside.has_work()) {
    create_indexes(dest);
    return;
  }
  std::exception_ptr index_error;
  std::thread indexing([&dest, &index_error] {
    try {
      create_indexes(dest);
    } catch (...) {
      index_error = std::current_exception();
    }
  });
  const std::exception_ptr alongside_error = alongside.run_here_or_wait();
  indexing.join();
  if (index_error) std::rethrow_exception(index_error);
  if (alongside_error) std::rethrow_exception(alongside_error);
}

bool is_damage(const core::SqliteError& error) {
  const int primary = error.code() & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// Replaces whatever a failed build left at `db_path` with a database that holds
// the empty tables, as a failed build from nothing leaves it. Best effort: the
// build's own failure is what the caller hears about.
void leave_empty_tables(const fs::path& db_path) noexcept {
  try {
    core::remove_file_if_exists(db_path);
    core::remove_file_if_exists(fs::path(db_path.native() + "-journal"));
    core::Connection empty = core::Connection::open(db_path);
    empty.exec(SYNTAX_SCHEMA);
    empty.close();
  } catch (...) {
  }
}

// The rows of a build over the copy at `db_path`, written in one transaction.
SyntaxBuildReport write_over_copy(const fs::path& db_path, const SourceManifest& manifest, syntax::ParserPool& pool,
                                  const BuildOptions& options, PageCheck& check, const DeclarationLayout& layout,
                                  AlongsideThread& alongside) {
  core::Connection& previous = *options.previous;
  const PreviousFiles previous_files = previous_file_rows(previous, options);
  // Only the writer, on the caller's thread, uses the new database.
  core::Connection dest = core::Connection::open(db_path, {.one_thread = true});
  return core::with_closing(dest, [&] {
    try {
      tune_build_connection(dest, COPY_BUILD_CACHE_KIB);
      // A failed build replaces the file (leave_empty_tables), so nothing is ever
      // rolled back: the rollback journal would only copy every changed page.
      dest.query_text("PRAGMA journal_mode = OFF");
      attach_previous(dest, previous);
      dest.exec(CARRY_TABLE_SQL);
      dest.exec(MOVES_TABLE_SQL);
      dest.begin();
      dest.exec(EMPTY_COPY_SQL);
      SyntaxBuildReport report;
      {
        Writer writer(dest, options, &previous, &layout, &previous_files);
        build_rows(manifest, pool, options, &previous_files, writer, [&alongside] { alongside.start(); });
        report = writer.report();
      }  // statements finalized before the commit
      if (std::optional<std::string> problem = check.problem()) {
        throw PreviousSnapshotError(sqlite3_errstr(SQLITE_CORRUPT),
                                    std::make_exception_ptr(core::SqliteError(*problem, SQLITE_CORRUPT)));
      }
      dest.commit();
      return report;
    } catch (const core::SqliteError& error) {
      // The copy holds the previous snapshot's pages: a damaged page is its damage.
      if (is_damage(error)) throw PreviousSnapshotError(error.message(), std::current_exception());
      throw;
    }
  });
}

// The build over a copy of the previous snapshot's file (see previous_copy.h).
// Absent, with nothing written, when the previous snapshot is not a plain syntax
// snapshot or its file cannot be copied: then the build starts from nothing. On a
// failure the caller leaves the empty tables at `db_path`.
std::optional<SyntaxBuildReport> build_over_copy(const fs::path& db_path, const SourceManifest& manifest,
                                                 syntax::ParserPool& pool, const BuildOptions& options,
                                                 AlongsideThread& alongside) {
  core::Connection& previous = *options.previous;
  if (!reading_previous([&] { return has_syntax_tables(previous) && is_plain_syntax_snapshot(previous); })) {
    return std::nullopt;
  }
  // The caller's work needs nothing of the rows: it runs while they are written,
  // from now on when there is no callback, otherwise from the last callback on.
  // Should the build start from nothing after all, it goes on meanwhile.
  if (!options.on_parsed) alongside.start();
  // The copy keeps every page it does not rewrite: they are checked meanwhile,
  // from the start, since the check reads the whole file.
  const fs::path source = main_database_file(previous);
  std::optional<PageCheck> own_check;
  PageCheck& check = options.previous_check != nullptr && options.previous_check->database() == source
                         ? *options.previous_check
                         : own_check.emplace(source);
  // What the caller read ahead serves when it was read from this file.
  std::optional<DeclarationLayout> layout_read_ahead;
  if (options.previous_layout != nullptr && options.previous_layout->database() == source) {
    layout_read_ahead = options.previous_layout->take();
  }
  const DeclarationLayout layout =
      layout_read_ahead ? std::move(*layout_read_ahead)
                        : reading_previous([&] { return read_declaration_layout(previous); });
  // A snapshot written by extraction stores runs out of carried order (the first
  // reindex after a build from nothing carries them all): when more than a share
  // of the rows would move, rewriting them under the live indexes costs more than
  // writing every row anew.
  if (layout.displaced_rows * MOVED_ROWS_REBUILD_DIVISOR > layout.rows) return std::nullopt;
  const bool copied_ahead = options.previous_copy != nullptr && options.previous_copy->database() == source &&
                            options.previous_copy->take_to(db_path);
  if (!copied_ahead) {
    try {
      core::copy_file_contents(source, db_path);
    } catch (const core::OsError&) {
      core::remove_file_if_exists(db_path);
      return std::nullopt;
    }
  }

  const SyntaxBuildReport report =
      write_over_copy(db_path, manifest, pool, options, check, layout, alongside);
  if (std::exception_ptr error = alongside.wait()) std::rethrow_exception(error);
  return report;
}

}  // namespace

SyntaxBuildReport build_declstore(const fs::path& db_path, const SourceManifest& manifest,
                                  syntax::ParserPool& pool, const BuildOptions& options) {
  if (db_path.has_parent_path()) fs::create_directories(db_path.parent_path());
  core::remove_file_if_exists(db_path);  // the build never adds to an existing database

  AlongsideThread alongside(options.alongside);
  if (options.previous != nullptr && options.copy_previous) {
    std::optional<SyntaxBuildReport> report;
    try {
      report = build_over_copy(db_path, manifest, pool, options, alongside);
    } catch (...) {
      leave_empty_tables(db_path);
      // The work's failure comes first: after a failure of the previous snapshot
      // the caller builds again, and by then the work has run.
      if (std::exception_ptr error = alongside.wait()) std::rethrow_exception(error);
      throw;
    }
    if (report) return *report;
  }

  // Only the writer, on the caller's thread, uses the new database.
  core::Connection dest = core::Connection::open(db_path, {.one_thread = true});
  // Closing without a commit discards every row of the open transaction.
  return core::with_closing(dest, [&] {
    tune_build_connection(dest, FRESH_BUILD_CACHE_KIB);
    dest.exec("PRAGMA page_size = " + std::to_string(BUILD_PAGE_SIZE));  // before the first table
    dest.exec(SYNTAX_SCHEMA);  // tables exist, committed, before the row transaction

    core::Connection* previous = nullptr;
    std::optional<PreviousFiles> previous_files;
    if (options.previous != nullptr && reading_previous([&] { return has_syntax_tables(*options.previous); })) {
      previous = options.previous;
      previous_files = previous_file_rows(*previous, options);
      attach_previous(dest, *previous);  // not allowed inside a transaction
      dest.exec(CARRY_TABLE_SQL);
    }
    dest.begin();
    // The declaration ids are hashes: inserting them under live secondary indexes
    // writes every index at random places. The indexes are made again below, in
    // the same transaction, so a failure rolls back to the committed schema.
    dest.exec(DROP_SYNTAX_INDEXES);
    SyntaxBuildReport report;
    {
      Writer writer(dest, options, previous);
      build_rows(manifest, pool, options, previous_files ? &*previous_files : nullptr, writer);
      report = writer.report();
    }  // statements finalized before the commit
    make_indexes(dest, alongside);
    dest.commit();
    return report;
  });
}

}  // namespace kolvex::declstore
