// Starting a syntax build from a copy of the previous snapshot's file.
//
// A build writes one file row per manifest entry, in manifest order, and every
// file's declaration rows as one run of consecutive rowids, files in manifest
// order, a carried-forward file's rows in the order of selection start byte, then
// previous rowid. When the previous snapshot is a syntax-only database of this
// schema, a build can start from a copy of its file and rewrite only the rows
// that differ, instead of writing every row again; the rows, their ids and their
// order come out the same.
//
// is_plain_syntax_snapshot tells whether a database qualifies: exactly the tables
// and indexes of SYNTAX_SCHEMA, a rollback journal, a main database file.
// read_declaration_layout reads where each file's run lies, through the index on
// (file_path, selection_start_byte) only; read_previous_files reads each file
// row's rowid and what decides whether the file is carried forward. PageCheck verifies every page of a
// database file on a thread of its own while the build goes on, because a copy
// would otherwise carry a damaged page of an untouched run into the new snapshot.
//
// LayoutRead reads the layout and the file rows on threads of their own, and
// CopyAhead copies the file on one, so that a caller can have them made while it
// does other work before the build.
//
// Thread-safety: the functions use only the connection passed in, on the caller's
// thread. A PageCheck, a LayoutRead or a CopyAhead is owned by one thread; its own
// connection or copy is used only by its worker until joined, and its destructor
// joins that worker.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kolvex::core {
class Connection;
}

namespace kolvex::declstore {

// The declaration rows of one file in a snapshot.
struct DeclarationRun {
  std::int64_t first_rowid = 0;  // the least rowid of the file's rows
  std::int64_t count = 0;
  // The rowids are first_rowid .. first_rowid + count - 1.
  bool contiguous = false;
  // Contiguous, and ascending in (selection_start_byte, rowid) order: the order in
  // which a carried-forward file's rows are written.
  bool ordered = false;
  // Of a contiguous run, the rows that carried order puts at another rowid of the
  // run; of a run that is not contiguous, every row.
  std::int64_t displaced = 0;
  // Of a contiguous run, where carried order puts each displaced row: its rowid
  // and the rowid it takes.
  std::vector<std::pair<std::int64_t, std::int64_t>> moves;
};

// What the previous snapshot stored for a file: only rows with a text hash and a
// text identity can be reused (rows written without extraction have neither).
struct PreviousFile {
  bool reusable = false;
  std::string file_hash;
  std::string parser_identity;
  std::optional<std::string> state;
  std::int64_t rowid = 0;
  bool flags_clear = false;  // both SCIP flags 0, as a carried row is written
};
// By file path.
using PreviousFiles = std::unordered_map<std::string, PreviousFile>;

struct DeclarationLayout {
  // By file path; files without declarations are absent.
  std::unordered_map<std::string, DeclarationRun> runs;
  std::int64_t rows = 0;
  // The displaced rows of every run: those a build over a copy writes again to
  // carry each file in carried order.
  std::int64_t displaced_rows = 0;
};

// Whether `conn` is a syntax-only snapshot whose file a build may start from.
// Database errors pass to the caller.
bool is_plain_syntax_snapshot(core::Connection& conn);

// The file of the connection's main database; empty for a temporary or in-memory one.
std::filesystem::path main_database_file(core::Connection& conn);

// Where every file's declarations lie. Database errors pass to the caller.
DeclarationLayout read_declaration_layout(core::Connection& conn);

// What every file row of the snapshot says of reuse, and where it lies. Database
// errors pass to the caller.
PreviousFiles read_previous_files(core::Connection& conn);

// `PRAGMA quick_check` of a database file, run on its own read-only connection
// and thread from construction on.
class PageCheck {
 public:
  explicit PageCheck(const std::filesystem::path& database);
  ~PageCheck();  // interrupts a check still running and waits for it
  PageCheck(const PageCheck&) = delete;
  PageCheck& operator=(const PageCheck&) = delete;

  // Waits for the check. Absent when every page is sound; otherwise the first
  // problem it reported, or the error that stopped it.
  std::optional<std::string> problem();
  // The file checked.
  const std::filesystem::path& database() const noexcept { return database_; }

 private:
  struct State;
  std::filesystem::path database_;
  std::unique_ptr<State> state_;
};

// read_declaration_layout and read_previous_files of a database file, each run
// on its own read-only connection and thread from construction on.
class LayoutRead {
 public:
  explicit LayoutRead(const std::filesystem::path& database);
  ~LayoutRead();  // waits for the reading
  LayoutRead(const LayoutRead&) = delete;
  LayoutRead& operator=(const LayoutRead&) = delete;

  // Wait for their reading and hand over the layout, or the file rows, once.
  // Absent when the reading failed: the caller reads them on its own connection
  // and meets the error there, as it would have without this.
  std::optional<DeclarationLayout> take();
  std::optional<PreviousFiles> take_files();
  // The file read.
  const std::filesystem::path& database() const noexcept { return database_; }

 private:
  std::filesystem::path database_;
  std::optional<DeclarationLayout> layout_;  // written by the worker until joined
  std::optional<PreviousFiles> files_;       // written by the files worker until joined
  std::thread worker_;
  std::thread files_worker_;
};

// A copy of a database file, made on its own thread from construction on, at
// `copy`: a build over a copy of the previous snapshot then finds the copy made.
// With `write_back`, the copy's pages start on their way to storage as soon as
// it is made, for a caller that will sync the file the build leaves there: the
// build rewrites only some of them.
class CopyAhead {
 public:
  CopyAhead(const std::filesystem::path& database, const std::filesystem::path& copy, bool write_back = false);
  ~CopyAhead();  // waits for the copying, and removes the copy unless it was taken
  CopyAhead(const CopyAhead&) = delete;
  CopyAhead& operator=(const CopyAhead&) = delete;

  // Waits for the copying and renames the copy to `target`, once. False when the
  // copying or the renaming failed: then the caller copies the file itself.
  bool take_to(const std::filesystem::path& target);
  // The file copied.
  const std::filesystem::path& database() const noexcept { return database_; }

 private:
  std::filesystem::path database_;
  std::filesystem::path copy_;
  bool copied_ = false;  // written by the worker until joined
  bool taken_ = false;
  std::thread worker_;
};

}  // namespace kolvex::declstore
