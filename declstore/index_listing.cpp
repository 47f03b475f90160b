#include "declstore/index_listing.h"

#include <string_view>

#include "core/process.h"

namespace kolvex::declstore {
namespace {

// The status tag `ls-files -t` gives an entry with the skip-worktree bit.
constexpr char SKIP_WORKTREE_TAG = 'S';

}  // namespace

IndexListing list_index(const std::filesystem::path& repo_path) {
  core::ProcessResult result =
      core::run_process({"git", "-C", repo_path.string(), "ls-files", "--stage", "-t", "-z"});
  IndexListing listing{.repo_path = repo_path, .ok = result.ok(), .git_stderr = std::move(result.stderr_bytes)};
  if (!listing.ok) return listing;

  // Records end with NUL; the path keeps every later TAB and newline (-z never quotes).
  std::string_view output = result.stdout_bytes;
  while (!output.empty()) {
    const std::size_t end = output.find('\0');
    const std::string_view record = output.substr(0, end);
    output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
    const std::size_t tab = record.find('\t');
    if (tab == std::string_view::npos) continue;
    std::string_view header = record.substr(0, tab);
    // "<tag> " first: one letter, "S" for an entry outside the sparse checkout.
    if (header.size() < 2 || header[1] != ' ') continue;
    const bool skip_worktree = header[0] == SKIP_WORKTREE_TAG;
    header.remove_prefix(2);
    // "<mode> <object> <stage>": exactly three fields split at single spaces.
    const std::size_t first = header.find(' ');
    if (first == std::string_view::npos) continue;
    const std::size_t second = header.find(' ', first + 1);
    if (second == std::string_view::npos || header.find(' ', second + 1) != std::string_view::npos) continue;
    listing.entries.push_back({std::string(header.substr(0, first)), std::string(header.substr(second + 1)),
                               std::string(record.substr(tab + 1)), skip_worktree});
  }
  return listing;
}

}  // namespace kolvex::declstore
