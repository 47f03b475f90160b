// What the library reads of the test seam (testing.h). Internal: without any
// override every function answers "nothing overridden" after one atomic load.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex::syntax::testing_state {

// nullopt: no override; an inner nullopt: the distribution reads as not installed.
std::optional<std::optional<std::string>> version_override(std::string_view distribution);
bool runtime_unbindable();
std::optional<std::filesystem::path> module_path_override(std::string_view language);

void count_version_lookup() noexcept;
void count_module_load() noexcept;

}  // namespace kolvex::syntax::testing_state
