// The stat record of a slug's captured files, kept between runs beside the
// published snapshots.
//
// After a run publishes, it writes what its capture saw of every captured file
// (declstore::CaptureRecords: device, inode, size, both times in nanoseconds and
// the hash) to <data dir>/.capture-records/<slug>/record, tied to the snapshot it
// published and to the repository's path. The next run of the slug hands the
// record to its capture, which then neither reads nor copies a file that still
// looks as recorded and was last written before the recording capture began
// (declstore/capture.h). The record is only ever a shortcut: one that is
// missing, names another snapshot than the live one or another repository, or
// fails its checksum (damaged, cut short, another format) is ignored and every
// file is read. Entries whose times are not older than the capture's beginning
// are left out, since no later run could trust them.
//
// The file is replaced atomically (a temporary sibling renamed over it) and is
// not flushed to stable storage: after a crash it is at worst missing or
// damaged, and then ignored. Nothing in the published snapshot refers to it.
//
// Runs on the caller's thread; one run per slug at a time (the run lock).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "declstore/capture.h"

namespace kolvex::pipeline::detail {

// <data dir>/.capture-records/<slug>: the slug's directory, removed whole by forget.
std::filesystem::path capture_record_dir(std::string_view slug, const std::optional<std::filesystem::path>& root);

// The record's bytes for the snapshot `snapshot_name` (a bare database file name)
// of the repository at `repo_path`.
std::string encode_capture_record(const declstore::CaptureRecords& records, std::string_view snapshot_name,
                                  const std::filesystem::path& repo_path);

// The records in `bytes` when they are a sound record of exactly that snapshot
// and repository; none otherwise.
std::optional<declstore::CaptureRecords> decode_capture_record(std::string_view bytes, std::string_view snapshot_name,
                                                               const std::filesystem::path& repo_path);

// The slug's record when it belongs to the snapshot the slug's pointer names
// now and to `repo_path`; none otherwise (also when anything cannot be read).
std::optional<declstore::CaptureRecords> load_capture_record(std::string_view slug,
                                                             const std::optional<std::filesystem::path>& root,
                                                             const std::filesystem::path& repo_path);

// Replaces the slug's record with `records`, tied to `snapshot_name`. Best
// effort: a failure leaves no record (and no temporary file), never an error.
void store_capture_record(std::string_view slug, const std::optional<std::filesystem::path>& root,
                          std::string_view snapshot_name, const std::filesystem::path& repo_path,
                          const declstore::CaptureRecords& records) noexcept;

// Removes temporary files that a killed run left in the slug's directory.
void remove_stale_capture_record_files(std::string_view slug,
                                       const std::optional<std::filesystem::path>& root) noexcept;

}  // namespace kolvex::pipeline::detail
