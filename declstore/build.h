// The syntax snapshot build: a run's manifest to a fresh syntax database.
//
// build_declstore creates the database anew (an existing file is replaced), runs
// the schema script, and writes one syntax_files row per manifest entry and the
// syntax_symbols rows of every captured file of a known language, all in one
// transaction. A captured file whose path the previous snapshot holds with the
// same file hash under the same grammar identity is carried forward: its rows are
// copied unchanged, declaration ids included, without extracting it again. Every
// other captured file is read from its copy (never from the working tree) and
// extracted.
//
// Extraction runs ahead on worker threads, one parser pool per worker, within a
// bounded window of files; the caller's thread writes every row in manifest order,
// so rows, ids and their order do not depend on the number of workers. Carried
// rows are copied in bulk inside the new database from the previous snapshot's
// file, attached read-only (carry.h). When the previous snapshot is a syntax-only
// database, the build starts instead from a copy of its file and rewrites only
// the rows that differ (previous_copy.h); the result is the same.
//
// The shared-parse callback receives, in manifest order and on the caller's
// thread, the bytes and a parse tree of each captured file whose path is in
// `parse_for`: the extraction's own tree, or one fresh parse for a carried-forward
// file or one whose bytes are not UTF-8. The file's rows are written before the
// call. The tree is valid only during the call.
//
// Any failure (grammar errors, unreadable copies, database errors, an exception
// from the callback, Ctrl+C) stops the workers and ends the build with nothing
// committed; the database file then holds only the empty tables. The first
// failure in manifest order is the one raised. A database error while reading the
// previous snapshot is raised as PreviousSnapshotError, so that the caller can
// build again without it.
//
// Thread-safety: call from one thread. The caller's pool is used only on the
// calling thread (with one worker, for every parse; with several, by nobody but
// the callback); the previous snapshot connection is used only on that thread.
// Worker threads never outlive the call.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "core/error.h"
#include "declstore/capture.h"
#include "declstore/previous_copy.h"
#include "declstore/schema.h"

namespace kolvex::core {
class Connection;
}

namespace kolvex::syntax {
class ParserPool;
class ParseTree;
}  // namespace kolvex::syntax

namespace kolvex::declstore {

// Called with the manifest entry, the bytes of its copy and a tree of those bytes.
using ParsedCallback =
    std::function<void(const CapturedFile& captured, std::string_view data, const syntax::ParseTree& tree)>;

// Reading the previous snapshot failed (a damaged page, a table without the
// expected columns, a file that cannot be attached): its SQLite error is the cause.
// Errors of the new database are never this type.
class PreviousSnapshotError : public core::RuntimeError {
 public:
  using RuntimeError::RuntimeError;
  const char* type_name() const noexcept override { return "PreviousSnapshotError"; }
};

struct BuildOptions {
  // The previously published snapshot, a connection to a database file (read
  // only, never closed here); null: none. A snapshot without syntax_files is
  // treated like none.
  core::Connection* previous = nullptr;
  // Paths whose parse tree the callback wants, compared exactly with file_path.
  std::unordered_set<std::string> parse_for;
  // The shared-parse callback; without it parse_for has no effect.
  ParsedCallback on_parsed;
  // Extraction threads; 0 means one per core. With 1 every file is extracted on
  // the calling thread with the caller's pool.
  unsigned workers = 0;
  // Start from a copy of the previous snapshot's file when it is a syntax-only
  // snapshot, rewriting only the rows that differ; false writes every row. Both
  // give the same database.
  bool copy_previous = true;
  // A page check of the previous snapshot's file the caller started earlier, so
  // that it overlaps the caller's own work; null: the build starts one when it
  // needs it. Used only when it checks the file of `previous`.
  PageCheck* previous_check = nullptr;
  // The layout of the previous snapshot's declarations and its file rows, read
  // by the caller's LayoutRead while it did other work; null: the build reads
  // them when it needs them. Used only when it read the file of `previous`.
  LayoutRead* previous_layout = nullptr;
  // A copy of the previous snapshot's file the caller started earlier; null: a
  // build over a copy copies the file when it needs it. Taken only when it copies
  // the file of `previous`.
  CopyAhead* previous_copy = nullptr;
  // Work of the caller that needs nothing of the database, called at most once
  // so that it overlaps the build's last steps; its exception fails the build as
  // one from on_parsed does. A build from nothing calls it on the calling thread
  // once the last row is written, while another thread makes the secondary
  // indexes (their failure is raised first). A build over a copy of the previous
  // snapshot calls it on a thread of its own: as soon as the previous snapshot is
  // found to be one it can start from when there is no callback (the build may
  // then use the caller's pool meanwhile), otherwise once the last callback has
  // returned; its failure is raised first, before one of the previous snapshot.
  // Should that build start from nothing after all, the work goes on meanwhile
  // and the build waits for it where it would have called it.
  std::function<void()> alongside;
};

// Builds the syntax database at `db_path` (parent directories created) from
// `manifest`. Throws whatever failed (PreviousSnapshotError for the previous
// snapshot); see the header comment.
SyntaxBuildReport build_declstore(const std::filesystem::path& db_path, const SourceManifest& manifest,
                                  syntax::ParserPool& pool, const BuildOptions& options = {});

}  // namespace kolvex::declstore
