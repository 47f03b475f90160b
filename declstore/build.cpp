#include "declstore/build.h"

#include <sqlite3.h>

#include <algorithm>
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
#include "declstore/carry.h"
#include "declstore/previous_copy.h"
#include "platform/descriptor_kind.h"
#include "syntax/syntax.h"

namespace kolvex::declstore {

namespace fs = std::filesystem;

namespace {

// Page cache of a database built from nothing, in KiB. The declaration ids are
// hashes, so their primary-key index is written at random places, and every page
// of it that the cache cannot hold is written out and read back again later. On
// a large repository (310,000 declarations, an id index of 26 MiB) a 16 MiB cache
// wrote and read back 1.3 GiB each way, and the writer finished its rows a third
// of a second after the last file was parsed; with 32 MiB the build took 7% less
// time. A larger cache bought no more. The cache is a bound, not an allocation:
// a repository whose pages fit in less never uses the rest.
constexpr int FRESH_BUILD_CACHE_KIB = 32 * 1024;
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
// Bytes of extraction results made and not yet written, at most (but always the
// file the writer waits for). Once the database outgrows its page cache the
// writer is slower than the workers, and a window of files alone would then hold
// thousands of files' declarations, more the larger the tree.
constexpr std::size_t RESULT_BYTES_IN_FLIGHT = std::size_t{16} << 20;

constexpr std::string_view INSERT_MANIFEST_ONLY_SQL =
    "INSERT INTO syntax_files (file_path, language, file_hash, parser_identity, in_scope, state, reason, "
    "scip_outline, scip_definition) VALUES (?, ?, ?, ?, ?, ?, ?, 0, 0)";
constexpr std::string_view INSERT_PARSED_FILE_SQL =
    "INSERT INTO syntax_files (file_path, language, file_hash, parser_identity, in_scope, state, reason, "
    "scip_outline, scip_definition) VALUES (?, ?, ?, ?, 1, ?, ?, 0, 0)";

// What a copy of the previous snapshot holds besides the rows a build writes.
constexpr std::string_view EMPTY_COPY_SQL = "DELETE FROM main.kolvex_snapshot";
// The file row of a changed file written again in place in a build over a copy,
// its path unchanged.
constexpr std::string_view UPDATE_FILE_SQL =
    "UPDATE main.syntax_files SET language = ?, file_hash = ?, parser_identity = ?, in_scope = ?, state = ?, "
    "reason = ?, scip_outline = 0, scip_definition = 0 WHERE rowid = ?";

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
                          const std::optional<std::int64_t>& rowid) {
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

// The heap bytes a string holds beyond its own object.
std::size_t heap_bytes(const std::string& text) {
  return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
}

// What a file's result holds in memory, near enough to bound the results in
// flight. A tree is bounded by the smaller window instead.
std::size_t result_bytes(const FileWork& work) {
  std::size_t bytes = sizeof(FileWork) + heap_bytes(work.bytes);
  if (work.parsed) {
    bytes += work.parsed->symbols.capacity() * sizeof(syntax::SyntaxSymbol);
    for (const syntax::SyntaxSymbol& symbol : work.parsed->symbols) {
      bytes += heap_bytes(symbol.symbol) + heap_bytes(symbol.file_path) + heap_bytes(symbol.name) +
               heap_bytes(symbol.qualified_name) + (symbol.parent_symbol ? heap_bytes(*symbol.parent_symbol) : 0);
    }
  }
  return bytes;
}

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
        placement_->move_on();
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
    if (placement_ && placement_->finish()) create_indexes(dest_);
    if (file_rows_) file_rows_->finish();
  }

  const SyntaxBuildReport& report() const noexcept { return report_; }

 private:
  void record(const CapturedFile& entry, const std::optional<std::int64_t>& rowid) {
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
      manifest.files.size(), {.workers = workers, .window = window, .budget = RESULT_BYTES_IN_FLIGHT},
      [&](std::size_t index, unsigned worker) {
        return file_worker(index, worker_pools.empty() ? pool : worker_pools[worker]);
      },
      [&](std::size_t index, FileWork&& work) { writer.write(manifest.files[index], std::move(work)); },
      result_bytes);
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
                                  const PreviousFiles& previous_files, AlongsideThread& alongside) {
  core::Connection& previous = *options.previous;
  // Only the writer, on the caller's thread, uses the new database.
  core::Connection dest = core::Connection::open(db_path, {.one_thread = true});
  return core::with_closing(dest, [&] {
    try {
      tune_build_connection(dest, COPY_BUILD_CACHE_KIB);
      // A failed build replaces the file (leave_empty_tables), so nothing is ever
      // rolled back: the rollback journal would only copy every changed page.
      dest.query_text("PRAGMA journal_mode = OFF");
      attach_previous(dest, previous);
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

// Whether every file row and declaration row lies at rowid 1 or later.
bool numbered_from_one(const DeclarationLayout& layout, const PreviousFiles& files) {
  return std::all_of(layout.runs.begin(), layout.runs.end(), [](const auto& run) { return run.second.first_rowid >= 1; }) &&
         std::all_of(files.begin(), files.end(), [](const auto& file) { return file.second.rowid >= 1; });
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
  // A build numbers rows from 1, and the copy's rows are kept or deleted from a
  // rowid on: a row below 1, which no build writes, would stay for good.
  const PreviousFiles previous_files = previous_file_rows(previous, options);
  if (!numbered_from_one(layout, previous_files)) return std::nullopt;
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
      write_over_copy(db_path, manifest, pool, options, check, layout, previous_files, alongside);
  if (std::exception_ptr error = alongside.wait()) std::rethrow_exception(error);
  return report;
}

// The build that writes every row into a new database, the work alongside run
// while it makes its indexes (or waited for, when a build over a copy started
// it already).
SyntaxBuildReport build_from_nothing(const fs::path& db_path, const SourceManifest& manifest,
                                     syntax::ParserPool& pool, const BuildOptions& options,
                                     AlongsideThread& alongside) {
  // Only the writer, on the caller's thread, uses the new database.
  core::Connection dest = core::Connection::open(db_path, {.one_thread = true});
  // Closing without a commit discards every row of the open transaction.
  return core::with_closing(dest, [&] {
    // The page size before the cache size: SQLite turns a cache size in KiB into
    // a number of pages by the page size in force, and keeps that number when the
    // page size of the empty database changes later (eight times the memory).
    dest.exec("PRAGMA page_size = " + std::to_string(BUILD_PAGE_SIZE));  // before the first table
    tune_build_connection(dest, FRESH_BUILD_CACHE_KIB);
    dest.exec(SYNTAX_SCHEMA);  // tables exist, committed, before the row transaction

    core::Connection* previous = nullptr;
    std::optional<PreviousFiles> previous_files;
    if (options.previous != nullptr && reading_previous([&] { return has_syntax_tables(*options.previous); })) {
      previous = options.previous;
      previous_files = previous_file_rows(*previous, options);
      attach_previous(dest, *previous);  // not allowed inside a transaction
    }
    dest.begin();
    // Names come in no order: inserting rows under the live name indexes writes
    // them at random places. The secondary indexes are made again below, each in
    // one sorted pass, in the same transaction, so a failure rolls back to the
    // committed schema. (The file index, whose keys come nearly in order, gains
    // no time kept live, and its pages crowd the id index out of the cache.)
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

}  // namespace

SyntaxBuildReport build_declstore(const fs::path& db_path, const SourceManifest& manifest,
                                  syntax::ParserPool& pool, const BuildOptions& options) {
  if (db_path.has_parent_path()) fs::create_directories(db_path.parent_path());
  core::remove_file_if_exists(db_path);  // the build never adds to an existing database

  AlongsideThread alongside(options.alongside);
  // The work's failure comes first: after a failure of the previous snapshot the
  // caller builds again, and by then the work has run. A build over a copy may
  // have started the work before it turned to a build from nothing.
  auto raise_work_failure_first = [&alongside] {
    if (std::exception_ptr error = alongside.wait()) std::rethrow_exception(error);
  };
  if (options.previous != nullptr && options.copy_previous) {
    std::optional<SyntaxBuildReport> report;
    try {
      report = build_over_copy(db_path, manifest, pool, options, alongside);
    } catch (...) {
      leave_empty_tables(db_path);
      raise_work_failure_first();
      throw;
    }
    if (report) return *report;
  }
  try {
    return build_from_nothing(db_path, manifest, pool, options, alongside);
  } catch (...) {
    raise_work_failure_first();
    throw;
  }
}

}  // namespace kolvex::declstore
