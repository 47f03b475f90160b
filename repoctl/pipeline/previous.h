// Two read-only looks at what is already stored, made by an index run: the live
// snapshot of the slug (offered to the syntax build for reuse) and the one-slug-
// per-path rule.
//
// Runs on the caller's thread; no locks.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "core/sqlite.h"

namespace kolvex::platform {
class Registry;
}

namespace kolvex::pipeline::detail {

// Absolute, every symbolic link followed, "." and ".." removed, no trailing
// separator; the path does not have to exist.
std::filesystem::path canonical_repo_path(const std::filesystem::path& path);
// The lexically normal form of a path without a trailing separator.
std::filesystem::path canonical_text_form(const std::filesystem::path& path);

// The live snapshot of a slug, opened read-only.
struct PreviousSnapshot {
  std::filesystem::path database;  // the file the pointer names
  core::Connection connection;
};

// The database the slug's pointer names, or none when nothing usable is
// published: no pointer, a pointer that is not a bare file name of its directory,
// a named file that is missing, or a database that cannot be opened and read (a
// corrupt previous snapshot only disables reuse). Damage found only later, while
// the build reads the snapshot's rows, is the build's PreviousSnapshotError.
std::optional<PreviousSnapshot> open_previous_snapshot(std::string_view slug,
                                                       const std::optional<std::filesystem::path>& root);

// Throws IndexingError when another slug of the registry holds `repo_path` (the
// canonical path); stored paths are resolved before they are compared, and a row
// whose path cannot be resolved is skipped.
void reject_duplicate_slug_for_path(platform::Registry& registry, std::string_view slug,
                                    const std::filesystem::path& repo_path);

}  // namespace kolvex::pipeline::detail
