#include "repoctl/pipeline/language.h"

#include <map>

#include "platform/config.h"
#include "repoctl/pipeline/errors.h"
#include "repoctl/pipeline/runner.h"

namespace kolvex::pipeline {
namespace {


}  // namespace

std::string_view detection_suffix(std::string_view path) {
  std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
  return name.substr(dot);
}

namespace {

// The row of the suffix that the most counted paths carry.
const LanguageIndexer& detect_from_paths(const std::vector<std::string>& paths,
                                         const std::filesystem::path& repo_path) {
  std::map<std::string, std::size_t> counts;
  for (const std::string& path : paths) {
    if (platform::has_ignored_component(path)) continue;
    std::string_view suffix = detection_suffix(path);
    if (!detail::indexer_for_suffix(suffix)) continue;
    ++counts[std::string(suffix)];
  }
  const std::string* best = nullptr;
  std::size_t best_count = 0;
  for (const std::string& suffix : detail::ext_priority()) {
    auto it = counts.find(suffix);
    if (it != counts.end() && it->second > best_count) {
      best = &suffix;
      best_count = it->second;
    }
  }
  if (!best) {
    throw UnsupportedLanguageError("no supported source files (.ts/.tsx/.py/.java/.kt/.swift) tracked under " +
                                   repo_path.string());
  }
  return *detail::indexer_for_suffix(*best);
}

}  // namespace

const LanguageIndexer& detect_language(const std::filesystem::path& repo_path) {
  return detect_from_paths(git_tracked_files(repo_path), repo_path);
}

const LanguageIndexer& detect_language(const declstore::IndexListing& listing) {
  return detect_from_paths(git_tracked_files(listing), listing.repo_path);
}

namespace detail {

std::optional<std::string> resolve_language(platform::Registry& registry, std::string_view slug,
                                            const std::optional<std::string>& language) {
  if (language) return language;
  std::optional<platform::RegisteredRepo> row = registry.get(slug);
  return row ? row->language_override : std::nullopt;
}

std::optional<std::string> resolve_scheme(platform::Registry& registry, std::string_view slug,
                                          const std::optional<std::string>& scheme) {
  if (scheme) return scheme;
  std::optional<platform::RegisteredRepo> row = registry.get(slug);
  return row ? row->scheme_override : std::nullopt;
}

std::vector<std::string> resolve_semantic_include(platform::Registry& registry, std::string_view slug,
                                                  const std::optional<std::vector<std::string>>& include) {
  if (include) return *include;
  std::optional<platform::RegisteredRepo> row = registry.get(slug);
  return row ? row->semantic_include : std::vector<std::string>{};
}

bool resolve_scip_enabled(platform::Registry& registry, std::string_view slug, std::optional<bool> cli) {
  if (cli) return *cli;
  std::optional<platform::RegisteredRepo> row = registry.get(slug);
  return row ? row->scip_enabled : true;
}

bool scip_suppressed(const std::optional<platform::RegisteredRepo>& entry, const SuppressionOptions& options) {
  if (!options.watch) return false;
  if (!entry) return false;
  if (!options.scip_enabled) return false;
  // The stored failure speaks for the language it was recorded under; it only
  // stands for this run when this run resolved that same, indexable language.
  if (!supports_scip(options.resolved_language) || entry->language != options.resolved_language) return false;
  if (entry->scip_state != platform::ScipState::FAILED && entry->scip_state != platform::ScipState::UNAVAILABLE) {
    return false;
  }
  if (entry->scip_failed_at_sha != options.head || options.explicit_scip == true) return false;
  if (options.language && options.language != entry->language_override) return false;
  if (options.scheme && options.scheme != entry->scheme_override) return false;
  return true;
}

}  // namespace detail
}  // namespace kolvex::pipeline
