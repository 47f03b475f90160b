// The read side of the published snapshot layout (platform/snapshot_layout.h):
// the pointer file that names the live versioned snapshot database of a set of
// coordinates (project, repository, branch) and the metadata sibling of that
// version.
//
// A snapshot directory is <root>/scip/<project>/<repo>/<branch>. Each coordinate
// must be a single, safe path component (not empty, not "." or "..", no "/" and
// no NUL byte); anything else is rejected with core::ValueError before a path is
// built. The pointer's content, once trimmed, must likewise be the bare name of
// a file in that directory; any other content counts as nothing published.
//
// Nothing here keeps state or caches: every call reads the file afresh, and no
// file is created or changed. The publishing side writes every versioned file
// once and swaps the pointer by an atomic rename, so a reader sees the old or the
// new content whole.
//
// Thread-safety: every function may run on any number of threads at once.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"

namespace kolvex::snapmount {

// The branch coordinate callers use for "the default branch"; nothing here reads it.
inline constexpr std::string_view DEFAULT_BRANCH_MARKER = "default";

// Nothing is published for the coordinates: no pointer file (or no snapshot
// directory), an empty pointer, a pointer that names no file of its directory,
// or a pointer naming a database that does not exist.
using core::GenericError;
KOLVEX_DECLARE_ERROR(IndexNotFoundError, GenericError);

// The parsed metadata sibling of one version. A member holding JSON null is
// absent; `project`, `repo` and `branch` fall back to the requested coordinates
// only when their member is missing. Values are not type-checked: a member that
// is neither a string nor null is carried as its JSON text.
struct IndexMetadata {
  std::optional<std::string> project;
  std::optional<std::string> repo;
  std::optional<std::string> branch;
  std::optional<std::string> commit_sha;
  std::optional<std::string> published_at;
  std::optional<std::string> generation;
  std::optional<std::string> source_hash;

  bool operator==(const IndexMetadata&) const = default;
};

// The live version's database name: the pointer's content with surrounding
// white space removed. Throws IndexNotFoundError "no published index for
// P/R@B" (cause: the not-found failure) when the pointer file or a directory
// above it is missing, "empty pointer file for P/R@B" when nothing is left after
// trimming, and "pointer file for P/R@B does not name a file of its directory:
// '<content>'" for a path, "." or "..". Every other read failure (permission,
// a directory in the pointer's place, a path component that is not a
// directory, content that is not UTF-8) passes through as core::OsError or
// core::ValueError.
std::string read_pointer(const std::filesystem::path& filestore_root, std::string_view project,
                         std::string_view repo, std::string_view branch);

// The metadata sibling of the version `pointer_content` names (one trailing
// ".db" replaced by ".metadata.json", else ".metadata.json" appended), or none
// when it cannot be read, is not UTF-8, is not JSON, is not a JSON object, or
// the content is not a bare file name. Never fails because of the file.
std::optional<IndexMetadata> read_metadata(const std::filesystem::path& filestore_root, std::string_view project,
                                           std::string_view repo, std::string_view branch,
                                           std::string_view pointer_content);

namespace detail {

// <root>/scip/<project>/<repo>/<branch>, after checking each coordinate. Touches no file.
std::filesystem::path snapshot_dir(const std::filesystem::path& filestore_root, std::string_view project,
                                   std::string_view repo, std::string_view branch);

// "P/R@B", as the messages name the coordinates.
std::string coordinates_text(std::string_view project, std::string_view repo, std::string_view branch);

}  // namespace detail
}  // namespace kolvex::snapmount
