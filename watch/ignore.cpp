#include "watch/ignore.h"

#include <string>
#include <unordered_set>

namespace kolvex::watch {
namespace {

const std::unordered_set<std::string_view> IGNORED_PATH_PARTS = {
    ".git", "node_modules", ".venv",       "__pycache__", "dist",      "build",
    ".scip-cache", ".build", "DerivedData", ".index-store", "IndexStore", ".swiftpm",
};

}  // namespace

bool should_ignore_path(std::string_view path) {
  std::size_t start = 0;
  while (true) {
    std::size_t end = path.find('/', start);
    std::string_view piece = path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (IGNORED_PATH_PARTS.contains(piece)) return true;
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
}

bool should_ignore_repo_path(std::string_view root, std::string_view path) {
  while (root.size() > 1 && root.ends_with('/')) root.remove_suffix(1);
  if (path == root) return false;
  std::string prefix(root);
  if (!prefix.ends_with('/')) prefix.push_back('/');
  if (path.starts_with(prefix)) return should_ignore_path(path.substr(prefix.size()));
  return should_ignore_path(path);
}

}  // namespace kolvex::watch
