// What the pipeline decides around the Zoekt build: the zoekt-git-index
// argument list, the shard names of one slug in the shared ".zoekt" directory,
// the coverage check against the number of tracked files, and the sweep of
// temporary shards that killed builds left behind.
//
// Shard names are "<slug>_v<N>.<NNNNN>.zoekt"; a temporary shard extends a
// shard's name and ends in ".tmp". The slug is matched literally and must be
// followed by "_v", digits and "." — so the names of "api" never match those of
// "api-gateway" or "api_v2". Functions are stateless; the sweep touches only
// its own slug's temporary names, so builds of other repositories may run
// beside it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "repoctl/pipeline/runner.h"

namespace kolvex::pipeline {

// True for a completed shard of `slug`: "<slug>_v<digits>." ... ".zoekt".
bool is_zoekt_shard_of(std::string_view slug, std::string_view file_name);
// True for a temporary shard of `slug`: "<slug>_v<digits>." ... ".zoekt" ... ".tmp".
bool is_zoekt_tmp_shard_of(std::string_view slug, std::string_view file_name);

namespace detail {

// "zoekt-git-index", "-index", <zoekt_dir>, "-incremental=false", "-submodules=false", <repo_path>.
Command zoekt_index_cmd(const std::filesystem::path& zoekt_dir, const std::filesystem::path& repo_path);

// The first "attempting to index <N> total files" in the indexer's output; none without one.
std::optional<std::uint64_t> parse_indexed_file_count(std::string_view output);

// The warning line for an indexer that reports strictly fewer files than
// `expected`; none when it reports as many or more, or no count.
std::optional<std::string> coverage_shortfall_warning(std::string_view slug, std::int64_t expected,
                                                      std::string_view output);

// Deletes the slug's temporary shards in data_dir(root)/.zoekt, in name order,
// and returns the paths deleted. A file that cannot be deleted is skipped; a
// missing directory gives an empty list; a failure to list the directory throws.
std::vector<std::filesystem::path> sweep_zoekt_tmp_orphans(
    std::string_view slug, const std::optional<std::filesystem::path>& root = std::nullopt);

}  // namespace detail
}  // namespace kolvex::pipeline
