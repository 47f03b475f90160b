// The git index of a working tree, listed once and read by several stages.
//
// list_index runs `git -C <repo> ls-files --stage -t -z` once and keeps every
// record, unmerged stages included, in git's order, with whether the entry has
// the skip-worktree bit (outside a sparse checkout: git keeps no file for it in
// the working tree). Capture takes the stage-0
// entries of it; the pipeline derives from the same records what it would
// otherwise ask git for twice more: the tracked paths of language detection (the
// plain `git ls-files -z` prints exactly these paths in this order, an unmerged
// path once per stage) and the tracked-blob count (`-s` is `--stage`). A listing
// that git refused is kept rather than thrown, so that each reader raises its own
// error in git's words, as if it had run git itself.
//
// Thread-safety: list_index keeps no state and may run on any thread; an
// IndexListing is not changed after it is made and may be read from any thread.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kolvex::declstore {

// One record "<tag> <mode> <object> <stage>\t<path>" of the listing.
struct IndexEntry {
  std::string mode;   // index mode, as listed ("100644", "120000", "160000", ...)
  std::string stage;  // "0", or "1" to "3" for an unmerged entry
  std::string path;   // repository-relative, raw bytes as git prints them with -z
  bool skip_worktree = false;  // outside the sparse checkout
};

struct IndexListing {
  std::filesystem::path repo_path;  // the working tree, as the caller named it
  bool ok = false;                  // git exited with status 0
  std::string git_stderr;           // git's standard error, raw bytes
  std::vector<IndexEntry> entries;  // every well-formed record, in git's order

  // True when `entry` is a stage-0 entry (capture's view of the index).
  static bool merged(const IndexEntry& entry) { return entry.stage == "0"; }
};

// Lists the index of `repo_path`. A git that cannot be started throws
// core::ProcessStartError; a git that exits with an error gives ok == false.
IndexListing list_index(const std::filesystem::path& repo_path);

}  // namespace kolvex::declstore
