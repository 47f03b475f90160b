#include "chunker/admission.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <utility>

#include "core/error.h"
#include "core/hash.h"
#include "core/process.h"
#include "core/text.h"
#include "platform/config.h"

namespace kolvex::chunker {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view BANNER_TAG = "banner:";
constexpr std::string_view LONG_LINE_TAG = "long-line:";
constexpr std::string_view TOO_LARGE_TAG = "too-large:";

// The suffix of the last path component: from its last "." to the end, when that
// "." is neither the component's first nor its last character.
std::optional<std::string_view> suffix_of(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return std::nullopt;
  return name.substr(dot);
}

// True when `path` lies at or below `root` (both absolute and resolved).
bool is_within(const fs::path& path, const fs::path& root) {
  auto [root_end, path_it] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
  (void)path_it;
  return root_end == root.end();
}

// A regular file, following symbolic links. A link is accepted only when it
// resolves inside the repository: what lies outside is never read into the index.
bool is_admissible_file(const fs::path& path, const fs::file_status& own_status, const fs::path& resolved_repo) {
  std::error_code ec;
  if (fs::is_symlink(own_status)) {
    fs::path target = fs::canonical(path, ec);
    if (ec || !is_within(target, resolved_repo)) return false;
  }
  fs::file_status status = fs::status(path, ec);
  return !ec && fs::is_regular_file(status);
}

struct PendingEntry {
  fs::path path;
  std::string rel;
};

// The entries of `directory` in name order; none when it cannot be listed.
std::vector<PendingEntry> list_sorted(const fs::path& directory, const std::string& rel_prefix) {
  std::vector<PendingEntry> entries;
  std::error_code ec;
  fs::directory_iterator it(directory, fs::directory_options::skip_permission_denied, ec);
  if (ec) return entries;
  for (fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    std::string name = it->path().filename().string();
    entries.push_back({it->path(), rel_prefix.empty() ? name : rel_prefix + "/" + name});
  }
  if (ec) entries.clear();
  // Byte order of UTF-8 names is code-point order.
  std::sort(entries.begin(), entries.end(), [](const PendingEntry& a, const PendingEntry& b) {
    return a.path.filename().string() < b.path.filename().string();
  });
  return entries;
}

}  // namespace

std::string hash_file(std::string_view data) { return core::sha256_hex(data); }

std::optional<std::string> language_for(std::string_view path) {
  std::optional<std::string_view> suffix = suffix_of(path);
  if (!suffix) return std::nullopt;
  for (const LanguageRow& row : LANGUAGES) {
    if (row.suffix == *suffix) return std::string(row.language);
  }
  return std::nullopt;
}

bool force_included(std::string_view rel_path, const std::vector<std::string>& include_prefixes) {
  for (const std::string& prefix : include_prefixes) {
    if (rel_path == prefix) return true;
    std::string_view directory = prefix;
    while (!directory.empty() && directory.back() == '/') directory.remove_suffix(1);
    if (rel_path.size() > directory.size() && core::starts_with(rel_path, directory) &&
        rel_path[directory.size()] == '/') {
      return true;
    }
  }
  return false;
}

std::optional<std::string> skip_reason(std::string_view rel_path, std::string_view source,
                                       const std::vector<std::string>& include_prefixes) {
  if (force_included(rel_path, include_prefixes)) return std::nullopt;
  // The markers are ASCII, so ASCII lower-casing finds what Unicode lower-casing finds.
  std::string head = core::ascii_lower(core::code_point_slice(source, 0, BANNER_SCAN_CHARS));
  for (std::string_view marker : GENERATED_BANNERS) {
    if (head.find(marker) != std::string::npos) return std::string(BANNER_TAG) + std::string(marker);
  }
  for (std::string_view line : core::splitlines(source)) {
    // A line of at most MAX_LINE_CHARS bytes cannot have more code points.
    if (line.size() <= MAX_LINE_CHARS) continue;
    std::size_t length = core::code_point_length(line);
    if (length > MAX_LINE_CHARS) return std::string(LONG_LINE_TAG) + std::to_string(length);
  }
  return std::nullopt;
}

std::optional<std::string> oversized_file_reason(std::int64_t size_bytes) {
  if (size_bytes > MAX_FILE_BYTES) return std::string(TOO_LARGE_TAG) + std::to_string(size_bytes);
  return std::nullopt;
}

std::set<std::string> detail::gitignored(const fs::path& repo_path, const std::vector<std::string>& rel_paths,
                                         std::chrono::milliseconds timeout) {
  std::set<std::string> ignored;
  if (rel_paths.empty()) return ignored;
  // -z: paths travel NUL-separated both ways, so names with newlines or quotes
  // come back verbatim instead of quoted.
  std::string input;
  for (std::size_t k = 0; k < rel_paths.size(); ++k) {
    if (k > 0) input += '\0';
    input += rel_paths[k];
  }
  core::ProcessOptions options;
  options.stdin_data = std::move(input);
  options.timeout = timeout;
  core::ProcessResult result;
  try {
    result = core::run_process({"git", "-C", repo_path.string(), "check-ignore", "-z", "--stdin"}, options);
  } catch (const std::exception&) {
    // Not installed, not startable, timed out: nothing is ignored.
    return ignored;
  }
  if (result.returncode != 0) return ignored;
  std::string_view output = result.stdout_bytes;
  while (!output.empty()) {
    std::size_t end = output.find('\0');
    std::string_view path = output.substr(0, end);
    if (!path.empty()) ignored.emplace(path);
    if (end == std::string_view::npos) break;
    output.remove_prefix(end + 1);
  }
  return ignored;
}

std::set<std::string> gitignored(const fs::path& repo_path, const std::vector<std::string>& rel_paths) {
  return detail::gitignored(repo_path, rel_paths,
                            std::chrono::duration_cast<std::chrono::milliseconds>(GIT_CHECK_IGNORE_TIMEOUT));
}

std::vector<SourceFile> iter_source_files(const fs::path& repo_path, const std::vector<std::string>& include_prefixes) {
  std::vector<SourceFile> candidates;
  std::error_code ec;
  if (!fs::is_directory(repo_path, ec)) return candidates;
  fs::path resolved_repo = fs::canonical(repo_path, ec);
  if (ec) return candidates;

  // Pre-order with every directory's entries in name order is the order of the
  // paths sorted by their component sequences (a directory's contents come right
  // after it, before any sibling whose name sorts after it).
  std::vector<PendingEntry> pending = list_sorted(repo_path, "");
  std::reverse(pending.begin(), pending.end());
  while (!pending.empty()) {
    PendingEntry entry = std::move(pending.back());
    pending.pop_back();
    // Only the components below the repository count: a repository inside a
    // directory named like an ignored one is still indexed. An ignored
    // directory is not entered at all (nothing below it could be a candidate).
    if (platform::is_ignored_dir(entry.path.filename().string())) continue;
    fs::file_status own_status = fs::symlink_status(entry.path, ec);
    if (ec) continue;
    if (fs::is_directory(own_status)) {
      std::vector<PendingEntry> children = list_sorted(entry.path, entry.rel);
      for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back(std::move(*it));
      continue;
    }
    if (!is_admissible_file(entry.path, own_status, resolved_repo)) continue;
    if (!language_for(entry.rel)) continue;
    candidates.push_back({std::move(entry.path), std::move(entry.rel)});
  }

  std::vector<std::string> rels;
  rels.reserve(candidates.size());
  for (const SourceFile& candidate : candidates) rels.push_back(candidate.rel);
  std::set<std::string> ignored = gitignored(repo_path, rels);
  if (ignored.empty()) return candidates;
  std::vector<SourceFile> kept;
  kept.reserve(candidates.size());
  for (SourceFile& candidate : candidates) {
    if (!ignored.contains(candidate.rel) || force_included(candidate.rel, include_prefixes)) {
      kept.push_back(std::move(candidate));
    }
  }
  return kept;
}

}  // namespace kolvex::chunker
