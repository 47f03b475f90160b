#include "syntax/testing.h"

#include <atomic>
#include <map>

#include "core/thread_annotations.h"
#include "syntax/testing_state.h"

namespace kolvex::syntax {

namespace {

struct SeamState {
  core::Mutex mutex;
  std::map<std::string, std::optional<std::string>, std::less<>> versions GUARDED_BY(mutex);
  std::map<std::string, std::filesystem::path, std::less<>> module_paths GUARDED_BY(mutex);
  bool runtime_unbindable GUARDED_BY(mutex) = false;
};

SeamState& seam() {
  static SeamState state;
  return state;
}

// Set while any override is in force, so the normal path takes no lock.
std::atomic<bool> any_override{false};
std::atomic<std::size_t> version_lookup_count{0};
std::atomic<std::size_t> module_load_count{0};

}  // namespace

namespace testing {

void set_not_installed(std::string_view distribution) {
  core::MutexLock lock(seam().mutex);
  seam().versions[std::string(distribution)] = std::nullopt;
  any_override = true;
}

void set_version(std::string_view distribution, std::string_view version) {
  core::MutexLock lock(seam().mutex);
  seam().versions[std::string(distribution)] = std::string(version);
  any_override = true;
}

void set_runtime_unbindable() {
  core::MutexLock lock(seam().mutex);
  seam().runtime_unbindable = true;
  any_override = true;
}

void set_module_path(std::string_view language, const std::filesystem::path& path) {
  core::MutexLock lock(seam().mutex);
  seam().module_paths[std::string(language)] = path;
  any_override = true;
}

void reset() {
  core::MutexLock lock(seam().mutex);
  seam().versions.clear();
  seam().module_paths.clear();
  seam().runtime_unbindable = false;
  any_override = false;
}

std::size_t version_lookups() { return version_lookup_count; }
std::size_t module_loads() { return module_load_count; }

}  // namespace testing

namespace testing_state {

std::optional<std::optional<std::string>> version_override(std::string_view distribution) {
  if (!any_override) return std::nullopt;
  core::MutexLock lock(seam().mutex);
  auto found = seam().versions.find(distribution);
  if (found == seam().versions.end()) return std::nullopt;
  return found->second;
}

bool runtime_unbindable() {
  if (!any_override) return false;
  core::MutexLock lock(seam().mutex);
  return seam().runtime_unbindable;
}

std::optional<std::filesystem::path> module_path_override(std::string_view language) {
  if (!any_override) return std::nullopt;
  core::MutexLock lock(seam().mutex);
  auto found = seam().module_paths.find(language);
  if (found == seam().module_paths.end()) return std::nullopt;
  return found->second;
}

void count_version_lookup() noexcept { ++version_lookup_count; }
void count_module_load() noexcept { ++module_load_count; }

}  // namespace testing_state

}  // namespace kolvex::syntax
