// The path-ignore rule of watch mode: events under version-control, vendor,
// cache and build directories do not count as changes.
//
// should_ignore_path splits a path at every "/" and is true when any piece
// equals one of the ignored names exactly (same case, whole piece). There is no
// normalisation: no case folding, no backslash splitting, no "." or ".."
// resolution. should_ignore_repo_path applies the same rule to the part of a
// path below the watched repository's root only, so that a repository that
// itself sits inside, say, a "build" folder is still watched.
//
// Thread-safety: pure functions over constant data.
#pragma once

#include <string_view>

namespace kolvex::watch {

bool should_ignore_path(std::string_view path);

// The rule applied to `path` relative to `root` (both absolute, as the watcher
// reports them). A path that is not below `root` is judged whole.
bool should_ignore_repo_path(std::string_view root, std::string_view path);

}  // namespace kolvex::watch
