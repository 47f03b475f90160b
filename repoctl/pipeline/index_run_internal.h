// Steps of the index run exposed for tests: failure bookkeeping that never
// replaces the run's own error, and the Zoekt repository name pin.
#pragma once

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/diagnostics.h"

namespace kolvex::platform {
class Registry;
}

namespace kolvex::pipeline::detail {

// Records a failed run; when the registry write itself fails, hands one warning
// line to `diagnostics` instead and returns normally.
void record_failure_best_effort(platform::Registry& registry, std::string_view slug,
                                const std::filesystem::path& repo_path, std::string_view language,
                                std::string_view reason, std::string_view text, core::Diagnostics& diagnostics);

// The repository's git configuration value zoekt.name, or none when git
// reports none (or fails to read it).
std::optional<std::string> read_zoekt_repo_name(const std::filesystem::path& repo_path);

// Sets the repository's git configuration key zoekt.name to the slug, so that
// Zoekt names the repository's shards after it, unless `pinned` (its value as
// read by read_zoekt_repo_name) is the slug already. Its failures fail the run.
void pin_zoekt_repo_name(const std::filesystem::path& repo_path, std::string_view slug,
                         const std::optional<std::string>& pinned);

}  // namespace kolvex::pipeline::detail
