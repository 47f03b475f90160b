// Fixed locations, the slug rule and fixed values shared by the indexing
// pipeline, the command line, the semantic index and the published-snapshot
// reader.
//
// Locations follow the XDG base-directory rules: the data directory is
// $XDG_DATA_HOME/kolvex (else ~/.local/share/kolvex) unless a root is given, in
// which case the root itself is the data directory. Every per-slug location
// checks that the slug is already normalised (a single, safe path component)
// before joining it into a path. No function creates a directory.
//
// Thread-safety: every function is pure apart from reading the environment and
// may be called from any thread; the constants never change.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex::platform {

// Directory names whose contents are never indexed: a repository-relative path
// is ignored when any of its components (the file name included) equals one of
// them exactly (case-sensitive).
inline constexpr std::array<std::string_view, 12> IGNORED_DIRS = {
    ".git",         "node_modules", ".venv",        "__pycache__", "dist",     "build",
    ".scip-cache",  ".build",       "DerivedData",  ".index-store", "IndexStore", ".swiftpm",
};

// True when `component` is a member of IGNORED_DIRS.
bool is_ignored_dir(std::string_view component) noexcept;
// True when a piece of `path` between "/" separators, the last one included, is
// a member of IGNORED_DIRS: whole pieces, same case, no normalisation (no "."
// or ".." resolution, no backslash splitting). Capture, language detection and
// the watch rule all judge paths by it.
bool has_ignored_component(std::string_view path) noexcept;

// The "project" and "branch" coordinates of every published snapshot: the
// published-snapshot reader finds a slug's snapshots under
// <data dir>/scip/PROJECT/<slug>/BRANCH.
inline constexpr std::string_view PROJECT = "local";
inline constexpr std::string_view BRANCH = "default";

// Longest slug accepted, in bytes; shard names and file names derived from a
// slug must stay below the usual 255-byte limit of one path component.
inline constexpr std::size_t MAX_SLUG_LENGTH = 200;

// The data directory: `root` as given, else $XDG_DATA_HOME/kolvex (only an
// absolute XDG_DATA_HOME counts), else $HOME/.local/share/kolvex.
std::filesystem::path data_dir(const std::optional<std::filesystem::path>& root = std::nullopt);

// The slug's published snapshot directory: data_dir(root)/scip/PROJECT/<slug>/BRANCH.
// Throws core::ValueError when `slug` is not a normalised slug.
std::filesystem::path index_dir(std::string_view slug,
                                const std::optional<std::filesystem::path>& root = std::nullopt);

// The directory of the vector tables (one "<slug>.lance" per slug): data_dir(root)/lancedb.
std::filesystem::path lancedb_dir(const std::optional<std::filesystem::path>& root = std::nullopt);

// The slug's scip-swift cache directory: $XDG_CACHE_HOME/kolvex/scip-swift/<slug>
// (else $HOME/.cache/kolvex/scip-swift/<slug>). Throws core::ValueError when
// `slug` is not a normalised slug.
std::filesystem::path swift_cache_dir(std::string_view slug);

// The directory in which set-up places a newer `bash` for scip-java: data_dir()/shims.
std::filesystem::path shim_dir();

// The normalised slug of a repository name: ASCII letters lower-cased; digits,
// "." and "-" kept; every other character becomes "-"; runs of "-" collapse to
// one; "-" and "." are trimmed from both ends. Normalising a slug returns it
// unchanged. Throws core::ValueError naming `name` when nothing usable is left
// (e.g. "", ".", "..", "/") or the slug would be longer than MAX_SLUG_LENGTH.
std::string repo_slug(std::string_view name);

// True when `slug` is its own normalised form (what every per-slug location requires).
bool is_normalised_slug(std::string_view slug) noexcept;

}  // namespace kolvex::platform
