// Rows a syntax build carries forward from the previous snapshot.
//
// A carried-forward file keeps the seven stored values of its file row and every
// declaration row, in carried order: selection start byte, then previous rowid.
// A build from nothing copies them in bulk from the previous snapshot's file,
// attached read-only to the new database (CarryBatch). A build over a copy of
// that file (previous_copy.h) keeps the rows that already lie where a build from
// nothing would write them, and rewrites only the others (CopyPlacement for the
// declarations, FileRowPlacement for the file rows); CarryBatch then copies what
// is not in place.
//
// A database error while reading the previous snapshot is raised as
// PreviousSnapshotError. When a bulk statement fails, the rows it read are read
// again through the previous snapshot's own connection to tell which database
// failed: an error of the new database passes unchanged.
//
// Thread-safety: everything here runs on the build's writer thread, with the new
// database's connection and the previous snapshot's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/sqlite.h"
#include "declstore/build.h"
#include "declstore/previous_copy.h"

namespace kolvex::declstore {

// The share of a copy's declaration rows above which rows that move are not
// rewritten under the live indexes: a build over a copy whose layout displaces
// more starts from nothing, and one that must delete more from the first file
// that moves on sets aside the rows before it, empties the table and leaves the
// secondary indexes to be made again, as a build from nothing does.
inline constexpr std::int64_t MOVED_ROWS_REBUILD_DIVISOR = 4;

// Runs `read` and turns a database error into PreviousSnapshotError.
template <typename Read>
auto reading_previous(Read&& read) {
  try {
    return read();
  } catch (const core::SqliteError& error) {
    throw PreviousSnapshotError(error.message(), std::current_exception());
  }
}

// The previous snapshot's file rows: those the caller read ahead
// (BuildOptions::previous_layout) when they were read from its file, otherwise
// read now.
PreviousFiles previous_file_rows(core::Connection& previous, const BuildOptions& options);

// Attaches the previous snapshot's file read-only to `dest` and makes the
// temporary tables the carrying uses. Not allowed inside a transaction.
void attach_previous(core::Connection& dest, core::Connection& previous);

// Carried-forward files, copied in bulk from the attached previous snapshot. Files
// are added in manifest order; flush() writes every pending one, and runs before
// any other row is written so that rows keep manifest order.
class CarryBatch {
 public:
  // Prepares the copy statements: a previous snapshot without the columns they
  // name fails here, before any file is worked on.
  CarryBatch(core::Connection& dest, core::Connection& previous);

  // Adds a file whose file row (`with_file`) and declarations (`with_symbols`)
  // are to be copied; a file with neither is left out.
  void add(const std::string& file_path, bool with_file = true, bool with_symbols = true);
  void flush();

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
  // `layout` is where the copy's declarations lie; it must outlive the placement.
  CopyPlacement(core::Connection& dest, core::Connection& previous, const DeclarationLayout& layout);

  bool moved_on() const noexcept { return moved_on_; }

  // The number of rows the copy holds for `path`.
  std::int64_t old_count(const std::string& path) const;

  // When `count` new rows of `path` take exactly the rowids of its old run, the
  // next ones in order: that run, now taken.
  std::optional<DeclarationRun> take_place(const std::string& path, std::int64_t count);

  // Deletes every row of the copy from the next rowid on; later rows are written
  // after the last one kept. When most rows go, the table is emptied at once and
  // its secondary indexes are dropped (see finish()).
  void move_on();

  // After the last entry: deletes the rows of files that are gone. True when the
  // secondary indexes were dropped and must be made again.
  [[nodiscard]] bool finish();

  // Deletes the rows of a run taken over by new rows.
  void clear(const DeclarationRun& run);

  // Puts a carried file's run in carried order: only its displaced rows are
  // written again, together with those of other files. The run belongs to no
  // other file and stays where it is until then.
  void reorder(const std::string& path, const DeclarationRun& run);

 private:
  void flush_reorders();

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
  // `previous` are the copy's file rows; they must outlive the placement.
  FileRowPlacement(core::Connection& dest, const PreviousFiles& previous);

  bool moved_on() const noexcept { return moved_on_; }

  // The copy's row whose place the entry's row takes: the one at the next rowid,
  // when it holds the entry's path.
  const PreviousFile* take_place(const std::string& path);

  // Keeps a carried file's row, `kept`, as a carried row is written.
  void keep(const PreviousFile& kept);

  // Deletes every file row of the copy from the next rowid on; later rows are
  // appended after the last one kept.
  void move_on();

  // After the last entry: the rows of files that are gone.
  void finish();

 private:
  const PreviousFiles& previous_;
  core::Statement delete_from_;
  core::Statement clear_flags_;
  std::int64_t next_rowid_ = 1;
  bool moved_on_ = false;
};

}  // namespace kolvex::declstore
