#include "platform/config.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "core/error.h"
#include "core/text.h"
#include "platform/snapshot_layout.h"

namespace kolvex::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view APP_DIR = "kolvex";

// An environment variable's value when it is set to an absolute path.
std::optional<fs::path> absolute_env_path(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  fs::path path(value);
  if (!path.is_absolute()) return std::nullopt;  // the XDG rules ignore relative values
  return path;
}

fs::path home_dir() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return fs::path(home);
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && *found->pw_dir != '\0') {
    return fs::path(found->pw_dir);
  }
  throw core::RuntimeError("cannot determine the home directory: HOME is not set and the user has no home entry");
}

void require_slug(std::string_view slug) {
  if (!is_normalised_slug(slug)) {
    throw core::ValueError("not a normalised repository slug: " + core::quote(core::decode_utf8_replace(slug)));
  }
}

bool is_slug_char(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

}  // namespace

bool is_ignored_dir(std::string_view component) noexcept {
  return std::find(IGNORED_DIRS.begin(), IGNORED_DIRS.end(), component) != IGNORED_DIRS.end();
}

bool has_ignored_component(std::string_view path) noexcept {
  std::size_t start = 0;
  while (true) {
    const std::size_t end = path.find('/', start);
    const std::string_view piece =
        path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (is_ignored_dir(piece)) return true;
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
}

std::filesystem::path data_dir(const std::optional<std::filesystem::path>& root) {
  if (root) return *root;
  if (auto xdg = absolute_env_path("XDG_DATA_HOME")) return *xdg / APP_DIR;
  return home_dir() / ".local" / "share" / APP_DIR;
}

std::filesystem::path index_dir(std::string_view slug, const std::optional<std::filesystem::path>& root) {
  require_slug(slug);
  return snapshot_dir(data_dir(root), PROJECT, slug, BRANCH);
}

std::filesystem::path lancedb_dir(const std::optional<std::filesystem::path>& root) {
  return data_dir(root) / "lancedb";
}

std::filesystem::path swift_cache_dir(std::string_view slug) {
  require_slug(slug);
  fs::path cache = absolute_env_path("XDG_CACHE_HOME").value_or(home_dir() / ".cache");
  return cache / APP_DIR / "scip-swift" / std::string(slug);
}

std::filesystem::path shim_dir() { return data_dir() / "shims"; }

std::string repo_slug(std::string_view name) {
  std::string slug;
  slug.reserve(name.size());
  for (char c : name) {
    char mapped = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (!is_slug_char(mapped)) mapped = '-';
    if (mapped == '-' && !slug.empty() && slug.back() == '-') continue;  // collapse runs of "-"
    slug.push_back(mapped);
  }
  std::size_t first = slug.find_first_not_of("-.");
  if (first == std::string::npos) {
    throw core::ValueError("unusable repository slug " + core::quote(core::decode_utf8_replace(name)) +
                           ": a slug needs at least one letter or digit");
  }
  std::size_t last = slug.find_last_not_of("-.");
  slug = slug.substr(first, last - first + 1);
  if (slug.size() > MAX_SLUG_LENGTH) {
    throw core::ValueError("unusable repository slug " + core::quote(core::decode_utf8_replace(name)) + ": longer than " +
                           std::to_string(MAX_SLUG_LENGTH) + " characters");
  }
  return slug;
}

bool is_normalised_slug(std::string_view slug) noexcept {
  if (slug.empty() || slug.size() > MAX_SLUG_LENGTH) return false;
  if (!std::all_of(slug.begin(), slug.end(), is_slug_char)) return false;
  if (slug.find("--") != std::string_view::npos) return false;
  auto is_edge = [](char c) { return c == '-' || c == '.'; };
  return !is_edge(slug.front()) && !is_edge(slug.back());
}

}  // namespace kolvex::platform
