// One indexing run of a repository, from its path to a published snapshot.
//
// index_repo validates the path and slug, resolves the per-repository choices
// (explicit, else persisted, else default), writes the "indexing" row, builds
// everything in a private scratch directory (capture, syntax snapshot with
// reuse of the previous generation, optional SCIP enrichment, Zoekt build,
// optional semantic stage, revalidation), finalizes and publishes the snapshot
// behind the "current" pointer, records the outcome and retires superseded
// generations. Expected failures of the optional stages are outcomes; every
// other failure after the "indexing" row is recorded and raised as IndexingError.
//
// Runs of one slug never overlap: a run holds an exclusive per-slug lock for its
// whole length, so a second run of the same slug (an `index` beside a `watch`)
// waits for the first. An interruption (core::Interrupted) leaves the row at
// "indexing" and removes the scratch directory.
//
// Runs on the caller's thread and hands its notes and warnings, one line each,
// to the caller's diagnostics sink.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/diagnostics.h"

namespace kolvex::pipeline {

// The named arguments of index_repo; unset means the persisted choice.
struct IndexOptions {
  std::optional<std::string> slug;                            // empty or unset: the directory name
  std::optional<std::filesystem::path> root;                  // data location override
  std::optional<std::string> scheme;                          // Xcode scheme
  std::optional<std::vector<std::string>> semantic_include;   // include prefixes (empty = explicit none)
  std::optional<std::string> language;                        // SCIP language override
  std::optional<bool> scip;                                   // SCIP enablement
  bool watch = false;                                         // a debounced watch reindex
};

// Runs one index run and returns the slug it published under. Throws
// core::ValueError (unusable slug), NotAGitRepositoryError, IndexingError,
// UnsupportedLanguageError, or errors of the configuration steps unchanged.
std::string index_repo(const std::filesystem::path& repo_path, const IndexOptions& options,
                       core::Diagnostics& diagnostics);

}  // namespace kolvex::pipeline
