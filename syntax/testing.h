// Test seam of the syntax library: lets tests make the tree-sitter runtime, a
// grammar distribution or a grammar module unavailable, change a declared
// version, and count version lookups and module loads, so that the dependency
// errors and the pool's build-once behaviour can be observed.
//
// For tests only. Overrides are process-wide; `Overrides` undoes them all when it
// goes out of scope. Safe to call from any thread, but tests that override must
// not run extractions concurrently with other tests.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace kolvex::syntax::testing {

// The distribution (RUNTIME_DISTRIBUTION or a grammar distribution) reads as not installed.
void set_not_installed(std::string_view distribution);
// The distribution declares `version` instead of its recorded version.
void set_version(std::string_view distribution, std::string_view version);
// The tree-sitter runtime cannot be bound.
void set_runtime_unbindable();
// The grammar module of `language` is loaded from `path` instead.
void set_module_path(std::string_view language, const std::filesystem::path& path);
// Undoes every override (counters keep counting).
void reset();

// Installed-version lookups and grammar module loads attempted so far.
std::size_t version_lookups();
std::size_t module_loads();

class Overrides {
 public:
  Overrides() = default;
  ~Overrides() { reset(); }
  Overrides(const Overrides&) = delete;
  Overrides& operator=(const Overrides&) = delete;
};

}  // namespace kolvex::syntax::testing
