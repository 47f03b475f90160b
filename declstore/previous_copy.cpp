#include "declstore/previous_copy.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <thread>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "core/fs.h"
#include "core/sqlite.h"
#include "core/thread_annotations.h"
#include "declstore/schema.h"

namespace kolvex::declstore {

namespace {

// Every schema object but its root page, in one order for both databases.
constexpr std::string_view SCHEMA_OBJECTS_SQL =
    "SELECT type, name, tbl_name, ifnull(sql, '') FROM sqlite_master ORDER BY type, name";

// The runs of every file: the covering index on (file_path, selection_start_byte)
// gives each file's rows in the order a carried-forward file is written.
constexpr std::string_view LAYOUT_SQL =
    "SELECT file_path, rowid FROM syntax_symbols ORDER BY file_path, selection_start_byte, rowid";

// What decides reuse, and where each file's row lies, for every file row.
constexpr std::string_view PREVIOUS_FILES_SQL =
    "SELECT file_path, file_hash, parser_identity, state, rowid, scip_outline = 0 AND scip_definition = 0 "
    "FROM syntax_files";

using SchemaObject = std::tuple<std::string, std::string, std::string, std::string>;

std::vector<SchemaObject> schema_objects(core::Connection& conn) {
  std::vector<SchemaObject> objects;
  core::Statement select = conn.prepare(SCHEMA_OBJECTS_SQL);
  while (select.step()) {
    objects.emplace_back(select.column_text(0), select.column_text(1), select.column_text(2),
                         select.column_text(3));
  }
  return objects;
}

const std::vector<SchemaObject>& fresh_schema_objects() {
  static const std::vector<SchemaObject> objects = [] {
    core::Connection fresh = core::Connection::open_memory();
    fresh.exec(SYNTAX_SCHEMA);
    std::vector<SchemaObject> listed = schema_objects(fresh);
    fresh.close();
    return listed;
  }();
  return objects;
}

}  // namespace

std::filesystem::path main_database_file(core::Connection& conn) {
  const char* file = sqlite3_db_filename(conn.raw(), "main");
  return file == nullptr ? std::filesystem::path() : std::filesystem::path(file);
}

bool is_plain_syntax_snapshot(core::Connection& conn) {
  if (main_database_file(conn).empty()) return false;
  // A write-ahead log may hold pages that a copy of the main file lacks.
  if (conn.query_text("PRAGMA journal_mode").value_or("") == "wal") return false;
  return schema_objects(conn) == fresh_schema_objects();
}

DeclarationLayout read_declaration_layout(core::Connection& conn) {
  DeclarationLayout layout;
  core::Statement select = conn.prepare(LAYOUT_SQL);
  std::string path;
  std::vector<std::int64_t> rowids;  // the current file's, in carried order
  auto close_run = [&] {
    if (rowids.empty()) return;
    const auto [least, greatest] = std::minmax_element(rowids.begin(), rowids.end());
    const auto count = static_cast<std::int64_t>(rowids.size());
    DeclarationRun run{.first_rowid = *least, .count = count, .contiguous = *greatest - *least + 1 == count};
    if (run.contiguous) {
      // Carried order puts the k-th row at first_rowid + k.
      for (std::int64_t k = 0; k < count; ++k) {
        const std::int64_t rowid = rowids[static_cast<std::size_t>(k)];
        if (rowid != run.first_rowid + k) run.moves.emplace_back(rowid, run.first_rowid + k);
      }
      run.displaced = static_cast<std::int64_t>(run.moves.size());
    } else {
      run.displaced = count;
    }
    run.ordered = run.displaced == 0;
    layout.rows += count;
    layout.displaced_rows += run.displaced;
    layout.runs.emplace(std::move(path), run);
    rowids.clear();
  };
  while (select.step()) {
    std::string file = select.column_text(0);
    if (!rowids.empty() && file != path) close_run();
    if (rowids.empty()) path = std::move(file);
    rowids.push_back(select.column_int(1));
  }
  close_run();
  return layout;
}

namespace {

// `read` of the database file on a read-only connection of its own, into
// `result`; left empty when it fails.
template <typename T, typename Read>
std::thread read_on_thread(const std::filesystem::path& database, std::optional<T>& result, Read read) {
  return std::thread([&database, &result, read] {
    try {
      core::Connection conn = core::Connection::open(database, {.read_only = true});
      result = read(conn);
      conn.close();
    } catch (const std::exception&) {
      result.reset();
    }
  });
}

}  // namespace

LayoutRead::LayoutRead(const std::filesystem::path& database) : database_(database) {
  worker_ = read_on_thread(database_, layout_, read_declaration_layout);
  try {
    files_worker_ = read_on_thread(database_, files_, read_previous_files);
  } catch (...) {
    worker_.join();  // a thread that could not start must not leave the first one running unjoined
    throw;
  }
}

LayoutRead::~LayoutRead() {
  if (worker_.joinable()) worker_.join();
  if (files_worker_.joinable()) files_worker_.join();
}

std::optional<DeclarationLayout> LayoutRead::take() {
  if (worker_.joinable()) worker_.join();
  return std::exchange(layout_, std::nullopt);
}

std::optional<PreviousFiles> LayoutRead::take_files() {
  if (files_worker_.joinable()) files_worker_.join();
  return std::exchange(files_, std::nullopt);
}

PreviousFiles read_previous_files(core::Connection& conn) {
  PreviousFiles files;
  core::Statement select = conn.prepare(PREVIOUS_FILES_SQL);
  while (select.step()) {
    core::SqlValue path = select.column_value(0);
    core::SqlValue hash = select.column_value(1);
    core::SqlValue identity = select.column_value(2);
    core::SqlValue state = select.column_value(3);
    auto* path_text = std::get_if<std::string>(&path);
    if (path_text == nullptr) continue;
    auto* hash_text = std::get_if<std::string>(&hash);
    auto* identity_text = std::get_if<std::string>(&identity);
    auto* state_text = std::get_if<std::string>(&state);
    PreviousFile file{.reusable = hash_text != nullptr && identity_text != nullptr,
                      .rowid = select.column_int(4),
                      .flags_clear = select.column_int(5) == 1};
    if (file.reusable) {
      file.file_hash = std::move(*hash_text);
      file.parser_identity = std::move(*identity_text);
      if (state_text != nullptr) file.state = std::move(*state_text);
    }
    files.emplace(std::move(*path_text), std::move(file));
  }
  return files;
}

CopyAhead::CopyAhead(const std::filesystem::path& database, const std::filesystem::path& copy, bool write_back)
    : database_(database), copy_(copy) {
  worker_ = std::thread([this, write_back] {
    try {
      core::copy_file_contents(database_, copy_);
      if (write_back) core::start_writeback(copy_);
      copied_ = true;
    } catch (const std::exception&) {
      copied_ = false;
    }
  });
}

CopyAhead::~CopyAhead() {
  if (worker_.joinable()) worker_.join();
  if (!taken_) {
    try {
      core::remove_file_if_exists(copy_);
    } catch (const std::exception&) {
      // Left in the scratch directory, which goes with the run.
    }
  }
}

bool CopyAhead::take_to(const std::filesystem::path& target) {
  if (worker_.joinable()) worker_.join();
  if (!copied_ || taken_) return false;
  taken_ = ::rename(copy_.c_str(), target.c_str()) == 0;
  return taken_;
}

struct PageCheck::State {
  core::Mutex mutex;
  sqlite3* handle GUARDED_BY(mutex) = nullptr;  // set while the worker's connection is open
  bool stopping GUARDED_BY(mutex) = false;
  std::optional<std::string> problem GUARDED_BY(mutex);
  std::thread worker;

  // Tells the worker to stop and cuts short a check it is running. A member
  // rather than the destructor's body so that the locking is checked: the
  // analysis skips destructors.
  void stop() EXCLUDES(mutex) {
    core::MutexLock lock(mutex);
    stopping = true;
    if (handle != nullptr) sqlite3_interrupt(handle);
  }
};

PageCheck::PageCheck(const std::filesystem::path& database)
    : database_(database), state_(std::make_unique<State>()) {
  State* state = state_.get();
  state->worker = std::thread([state, database] {
    std::optional<std::string> problem;
    try {
      core::Connection conn = core::Connection::open(database, {.read_only = true});
      {
        core::MutexLock lock(state->mutex);
        if (state->stopping) return;
        state->handle = conn.raw();
      }
      try {
        std::optional<std::string> first = conn.query_text("PRAGMA quick_check");
        if (first != "ok") problem = first.value_or("no answer from the page check");
      } catch (const std::exception& error) {
        problem = error.what();
      }
      {
        core::MutexLock lock(state->mutex);
        state->handle = nullptr;
      }
      conn.close();
    } catch (const std::exception& error) {
      problem = error.what();
    }
    core::MutexLock lock(state->mutex);
    state->problem = std::move(problem);
  });
}

PageCheck::~PageCheck() {
  state_->stop();
  if (state_->worker.joinable()) state_->worker.join();
}

std::optional<std::string> PageCheck::problem() {
  if (state_->worker.joinable()) state_->worker.join();
  core::MutexLock lock(state_->mutex);
  return state_->problem;
}

}  // namespace kolvex::declstore
