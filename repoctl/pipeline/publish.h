// The pipeline's operations on the published snapshot layout
// (platform/snapshot_layout.h).
//
// One directory per slug (platform::index_dir) holds the versioned snapshot
// databases, their metadata siblings and the pointer file, which names the live
// database by its bare file name (no path, no line end). Publication is crash-safe: the database
// copy, the metadata sibling and the temporary pointer reach stable storage
// before the pointer is renamed into place, and the directory after it, so a
// reader sees either the old or the new generation. The database is copied
// under a temporary name and renamed into place once complete; a failed step
// removes what it wrote, so a full disk is left as it was found and the
// failure can still be recorded. Retirement deletes superseded generations
// (and the copies of runs killed mid-way, whose temporary names match too) but
// never the database that "current" names.
//
// No locks: one run per slug at a time is assumed. Functions are stateless.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::core {
class Connection;
}

namespace kolvex::pipeline {

// The members of a metadata sibling, in the order they are written.
struct SnapshotMetadata {
  std::string project;
  std::string repo;
  std::string branch;
  std::string commit_sha;
  std::string published_at;
  std::string generation;
  std::string source_hash;
};

// The metadata sibling's bytes: one JSON object on one line, ", " and ": "
// separators, non-ASCII as \u escapes, no line end.
std::string metadata_json(const SnapshotMetadata& metadata);

// Moves `source`, the run's own final database, to target_dir/versioned_name:
// flushed to stable storage, then renamed into place, so its bytes are not
// written again. When the directory lies on another file system it is copied as
// copy_snapshot_database copies it. On failure nothing appears in target_dir and
// `source` stays where it was (a failed copy leaves it too).
void move_snapshot_database(const std::filesystem::path& source, const std::filesystem::path& target_dir,
                            std::string_view versioned_name);

// Copies `source` (content and permission bits) to target_dir/versioned_name
// through a temporary copy that is flushed to stable storage and renamed into
// place. On failure nothing of the copy remains; the OsError keeps the errno of
// the failing call (ENOSPC: "No space left on device").
void copy_snapshot_database(const std::filesystem::path& source, const std::filesystem::path& target_dir,
                            std::string_view versioned_name);

// Writes the metadata sibling of `versioned_name` in `target_dir` and flushes
// it; on failure the sibling is removed again.
void write_metadata_sibling(const std::filesystem::path& target_dir, std::string_view versioned_name,
                            const SnapshotMetadata& metadata);

// The database name that the pointer of `target_dir` holds, trimmed, when it is
// a bare file name of that directory; none when there is no pointer, it cannot
// be read as UTF-8, or it holds anything else (a path, "..", an empty text).
std::optional<std::string> read_pointer_name(const std::filesystem::path& target_dir);

// True when the converted SCIP database behind `conn` has rows in both
// `chunks` and `mentions` (both counted, in that order). A missing table throws.
bool index_has_navigation_data(core::Connection& conn);

namespace detail {

// Switches the pointer of `target_dir` to `versioned_name`: writes and flushes
// ".current.tmp-<pid>", renames it over "current", calls `on_live` (the run is
// published from here on), flushes the directory. When the write or the rename
// fails, the pointer is unchanged and the temporary file is removed; when the
// flush of the directory fails, the new pointer is already in place.
void publish_atomically(const std::filesystem::path& target_dir, std::string_view versioned_name,
                        const std::function<void()>& on_live = {});

// Removes what a run that failed before its pointer swap wrote into
// `target_dir` for `versioned_name`: the copy in progress, the database and its
// metadata sibling. Missing files and failures are ignored: the run's own
// failure is the one reported.
void discard_unpublished_snapshot(const std::filesystem::path& target_dir, std::string_view versioned_name) noexcept;

// Deletes, in name order, every snapshot database ("index-*.db") of index_dir(slug, root) other
// than `keep` and the database the pointer names, each with its metadata
// sibling (missing files are no error), and returns the database paths
// deleted. A missing directory gives an empty list; any other failure stops
// at that entry and throws.
std::vector<std::filesystem::path> retire_superseded_snapshots(std::string_view slug,
                                                               const std::optional<std::filesystem::path>& root,
                                                               std::string_view keep);

}  // namespace detail
}  // namespace kolvex::pipeline
