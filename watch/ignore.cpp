#include "watch/ignore.h"

#include <string>

#include "platform/config.h"

namespace kolvex::watch {

bool should_ignore_path(std::string_view path) { return platform::has_ignored_component(path); }

bool should_ignore_repo_path(std::string_view root, std::string_view path) {
  while (root.size() > 1 && root.ends_with('/')) root.remove_suffix(1);
  if (path == root) return false;
  std::string prefix(root);
  if (!prefix.ends_with('/')) prefix.push_back('/');
  if (path.starts_with(prefix)) return should_ignore_path(path.substr(prefix.size()));
  return should_ignore_path(path);
}

}  // namespace kolvex::watch
