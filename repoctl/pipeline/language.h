// The per-repository choices of a run: the SCIP language detected from the
// tracked files, the four resolvers (explicit value, else the value stored in
// the registry row, else a default) and the watch run's decision to skip a SCIP
// attempt that already failed at the same commit.
//
// All of it runs on the run's thread. The predicate is pure; the resolvers make
// at most one registry lookup each; detection starts one git process, or none
// when it reads the run's index listing.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "declstore/index_listing.h"
#include "platform/registry.h"
#include "repoctl/pipeline/scip_indexers.h"

namespace kolvex::pipeline {

// The SCIP language of the repository: the indexer-table row of the suffix
// that the most tracked files carry (ties go to the earlier suffix of
// ".ts", ".tsx", ".py", ".java", ".kt", ".swift"). Paths with a component in
// the ignored directories do not count. UnsupportedLanguageError "no supported
// source files (.ts/.tsx/.py/.java/.kt/.swift) tracked under <repo>" when no
// file counts; NotAGitRepositoryError from the listing passes unchanged.
const LanguageIndexer& detect_language(const std::filesystem::path& repo_path);
// The same from the run's index listing (the paths of git_tracked_files(listing)).
const LanguageIndexer& detect_language(const declstore::IndexListing& listing);

// The suffix language detection counts for one tracked path: the final
// component from its last "." when that dot is neither its first nor its last
// character; empty otherwise.
std::string_view detection_suffix(std::string_view path);

namespace detail {

// Each returns the explicit value when given (unchanged, also when empty),
// else the stored value of the slug's row, else the default named.
std::optional<std::string> resolve_language(platform::Registry& registry, std::string_view slug,
                                            const std::optional<std::string>& language);  // default: none
std::optional<std::string> resolve_scheme(platform::Registry& registry, std::string_view slug,
                                          const std::optional<std::string>& scheme);  // default: none
std::vector<std::string> resolve_semantic_include(platform::Registry& registry, std::string_view slug,
                                                  const std::optional<std::vector<std::string>>& include);  // default: empty
bool resolve_scip_enabled(platform::Registry& registry, std::string_view slug,
                          std::optional<bool> cli);  // default: true

// The named arguments of scip_suppressed.
struct SuppressionOptions {
  bool watch = false;                           // a debounced watch reindex
  bool scip_enabled = true;                     // the resolved SCIP choice
  std::optional<bool> explicit_scip;            // the run's explicit --scip / --no-scip
  std::optional<std::string> language;          // the explicit language of this run
  std::optional<std::string> scheme;            // the explicit scheme of this run
  std::string head;                             // the commit of this run
  std::string resolved_language;                // the SCIP language this run resolved
};

// True when a watch run skips only its SCIP attempt: the attempt for the
// language this run resolved already failed or was unavailable at this same
// commit, and no explicit choice of this run differs from the stored one.
bool scip_suppressed(const std::optional<platform::RegisteredRepo>& entry, const SuppressionOptions& options);

}  // namespace detail
}  // namespace kolvex::pipeline
