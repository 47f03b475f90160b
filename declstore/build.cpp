#include "declstore/build.h"

#include <sqlite3.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/fs.h"
#include "core/ordered_parallel.h"
#include "core/sqlite.h"
#include "platform/symbols.h"
#include "syntax/syntax.h"

namespace kolvex::declstore {

namespace fs = std::filesystem;

namespace {

// Page cache of the new database, in KiB. The declaration ids are hashes, so their
// primary-key index is written at random places: with SQLite's default 2 MiB cache
// a large repository's build spills and re-reads index pages all the time. The
// cache grows only as far as the database does.
constexpr int BUILD_CACHE_KIB = 64 * 1024;

// Files claimed by the workers and not yet written, per worker. Files are written
// in manifest order, so one slow file (a large header can take seconds) holds back
// every file after it: the window must let the other workers go on meanwhile. A
// file in flight holds its extraction result only, or, when the callback wants it,
// also its bytes and parse tree, which are many times larger: then the window is
// smaller.
constexpr std::size_t FILES_IN_FLIGHT_PER_WORKER = 512;
constexpr std::size_t FILES_IN_FLIGHT_PER_WORKER_WITH_TREES = 32;

// Carried-forward files copied by one pair of statements at most. The batch is
// only a list of paths; the bound keeps one copy statement short.
constexpr std::size_t CARRY_BATCH_FILES = 1024;

// The schema name of the previous snapshot attached to the new database.
constexpr std::string_view PREVIOUS_SCHEMA = "previous";

constexpr std::string_view INSERT_MANIFEST_ONLY_SQL =
    "INSERT INTO syntax_files (file_path, language, file_hash, parser_identity, in_scope, state, reason, "
    "scip_outline, scip_definition) VALUES (?, ?, ?, ?, ?, ?, ?, 0, 0)";
constexpr std::string_view INSERT_PARSED_FILE_SQL =
    "INSERT INTO syntax_files (file_path, language, file_hash, parser_identity, in_scope, state, reason, "
    "scip_outline, scip_definition) VALUES (?, ?, ?, ?, 1, ?, ?, 0, 0)";
// What decides reuse, for every file of the previous snapshot, read once.
constexpr std::string_view PREVIOUS_FILES_SQL =
    "SELECT file_path, file_hash, parser_identity, state FROM syntax_files";
constexpr std::string_view PREVIOUS_FILE_ROW_SQL =
    "SELECT file_path, language, file_hash, parser_identity, in_scope, state, reason FROM syntax_files "
    "WHERE file_path = ?";

// The paths of the carried-forward files waiting to be copied, in manifest order.
constexpr std::string_view CARRY_TABLE_SQL =
    "CREATE TEMP TABLE carry_batch (seq INTEGER PRIMARY KEY, file_path TEXT NOT NULL)";
constexpr std::string_view CARRY_ADD_SQL = "INSERT INTO temp.carry_batch (seq, file_path) VALUES (?, ?)";
constexpr std::string_view CARRY_CLEAR_SQL = "DELETE FROM temp.carry_batch";
// The seven stored values of each file row as they are; the flags start again at 0.
constexpr std::string_view CARRY_FILES_SQL =
    "INSERT INTO main.syntax_files (file_path, language, file_hash, parser_identity, in_scope, state, reason, "
    "scip_outline, scip_definition) "
    "SELECT p.file_path, p.language, p.file_hash, p.parser_identity, p.in_scope, p.state, p.reason, 0, 0 "
    "FROM temp.carry_batch AS c JOIN previous.syntax_files AS p ON p.file_path = c.file_path ORDER BY c.seq";

std::string insert_symbol_sql() {
  std::string markers;
  for (int i = 0; i < SYNTAX_SYMBOL_COLUMN_COUNT; ++i) markers += i == 0 ? "?" : ", ?";
  return "INSERT INTO syntax_symbols (" + std::string(SYNTAX_SYMBOL_COLUMNS) + ") VALUES (" + markers + ")";
}

// The declarations of one file are carried in the order of the previous
// snapshot's syntax_symbols_file index: selection start, then rowid.
std::string previous_symbols_sql() {
  return "SELECT " + std::string(SYNTAX_SYMBOL_COLUMNS) +
         " FROM syntax_symbols WHERE file_path = ? ORDER BY selection_start_byte, rowid";
}

std::string carry_symbols_sql() {
  std::string selected;
  std::string_view columns = SYNTAX_SYMBOL_COLUMNS;
  while (!columns.empty()) {
    const std::size_t comma = columns.find(',');
    std::string_view column = columns.substr(0, comma);
    while (column.starts_with(' ')) column.remove_prefix(1);
    selected += (selected.empty() ? "s." : ", s.") + std::string(column);
    columns = comma == std::string_view::npos ? std::string_view() : columns.substr(comma + 1);
  }
  return "INSERT INTO main.syntax_symbols (" + std::string(SYNTAX_SYMBOL_COLUMNS) + ") SELECT " + selected +
         " FROM temp.carry_batch AS c JOIN previous.syntax_symbols AS s ON s.file_path = c.file_path "
         "ORDER BY c.seq, s.selection_start_byte, s.rowid";
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

// What the previous snapshot stored for a file whose rows can be reused: only rows
// with a text hash and a text identity qualify (rows written without extraction
// have neither).
struct PreviousFile {
  std::string file_hash;
  std::string parser_identity;
  std::optional<std::string> state;
};
using PreviousFiles = std::unordered_map<std::string, PreviousFile>;

PreviousFiles read_previous_files(core::Connection& previous) {
  return reading_previous([&] {
    PreviousFiles files;
    core::Statement select = previous.prepare(PREVIOUS_FILES_SQL);
    while (select.step()) {
      core::SqlValue path = select.column_value(0);
      core::SqlValue hash = select.column_value(1);
      core::SqlValue identity = select.column_value(2);
      core::SqlValue state = select.column_value(3);
      auto* path_text = std::get_if<std::string>(&path);
      auto* hash_text = std::get_if<std::string>(&hash);
      auto* identity_text = std::get_if<std::string>(&identity);
      if (path_text == nullptr || hash_text == nullptr || identity_text == nullptr) continue;
      auto* state_text = std::get_if<std::string>(&state);
      files.emplace(std::move(*path_text),
                    PreviousFile{std::move(*hash_text), std::move(*identity_text),
                                 state_text ? std::optional<std::string>(std::move(*state_text)) : std::nullopt});
    }
    return files;
  });
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

  void add(const std::string& file_path) {
    pending_.push_back(file_path);
    if (pending_.size() >= CARRY_BATCH_FILES) flush();
  }

  void flush() {
    if (pending_.empty()) return;
    std::int64_t copied = 0;
    try {
      for (std::size_t i = 0; i < pending_.size(); ++i) {
        add_.reset();
        add_.bind(1, static_cast<std::int64_t>(i)).bind(2, pending_[i]);
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
    if (copied != static_cast<std::int64_t>(pending_.size())) {
      throw PreviousSnapshotError("the previous snapshot lost " +
                                  std::to_string(static_cast<std::int64_t>(pending_.size()) - copied) +
                                  " of the file rows it listed");
    }
    pending_.clear();
  }

 private:
  core::Connection& dest_;
  core::Connection& previous_;
  core::Statement add_;
  core::Statement clear_;
  std::optional<core::Statement> copy_files_;
  std::optional<core::Statement> copy_symbols_;
  std::vector<std::string> pending_;
};

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
    return stored.file_hash == *entry.file_hash && stored.parser_identity == identity ? &stored : nullptr;
  }

  const SourceManifest& manifest_;
  const BuildOptions& options_;
  const PreviousFiles* previous_;
};

// The writer, on the caller's thread: rows in manifest order, the counts and the
// callback.
class Writer {
 public:
  Writer(core::Connection& dest, const BuildOptions& options, core::Connection* previous)
      : options_(options), writers_(dest) {
    if (previous != nullptr) carry_.emplace(dest, *previous);
  }

  void write(const CapturedFile& entry, FileWork&& work) {
    if (work.kind == FileWork::Kind::CARRIED) {
      carry_->add(entry.file_path);
      ++report_.reused_files;
      if (work.carried_state) count_state(report_.counts, *work.carried_state);
    } else {
      flush_carried();
      if (work.kind == FileWork::Kind::RECORDED) {
        record(entry);
      } else {
        insert_parsed(writers_, *work.parsed);
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

  const SyntaxBuildReport& report() const noexcept { return report_; }

 private:
  void record(const CapturedFile& entry) {
    if (!entry.in_scope) {
      insert_manifest_only(writers_, entry, "skipped");
    } else if (!entry.language) {
      insert_manifest_only(writers_, entry, "unsupported");
      ++report_.counts.unsupported;
    } else {  // over the size limit: recorded, never read
      insert_manifest_only(writers_, entry, "skipped");
      ++report_.counts.skipped;
    }
  }

  const BuildOptions& options_;
  Writers writers_;
  std::optional<CarryBatch> carry_;
  SyntaxBuildReport report_;
};

// Works on the entries on `options.workers` threads (the caller's pool alone when
// there is one) and writes each through `writer` in manifest order.
void build_rows(const SourceManifest& manifest, syntax::ParserPool& pool, const BuildOptions& options,
                const PreviousFiles* previous, Writer& writer) {
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
  writer.flush_carried();
}

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

    core::Connection* previous = nullptr;
    std::optional<PreviousFiles> previous_files;
    if (options.previous != nullptr && reading_previous([&] { return has_syntax_tables(*options.previous); })) {
      previous = options.previous;
      previous_files = read_previous_files(*previous);
      attach_previous(dest, *previous);  // not allowed inside a transaction
      dest.exec(CARRY_TABLE_SQL);
    }
    dest.begin();
    // The declaration ids are hashes: inserting them under live secondary indexes
    // writes every index at random places. The indexes are made again below, in
    // the same transaction, so a failure rolls back to the committed schema.
    dest.exec(DROP_SYNTAX_INDEXES);
    {
      Writer writer(dest, options, previous);
      build_rows(manifest, pool, options, previous_files ? &*previous_files : nullptr, writer);
      report = writer.report();
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
