#include "declstore/capture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <system_error>
#include <utility>

#include "core/fs.h"
#include "core/hash.h"
#include "core/process.h"
#include "core/text.h"
#include "platform/config.h"
#include "syntax/syntax.h"

namespace kolvex::declstore {

namespace fs = std::filesystem;

namespace {

// Index modes of entries that are never syntax candidates.
constexpr std::string_view GITLINK_MODE = "160000";
constexpr std::string_view SYMLINK_MODE = "120000";

// Hash-field markers of a revalidation for entries that could not be examined or read.
constexpr std::string_view MISSING_MARKER = "!missing";
constexpr std::string_view UNREADABLE_MARKER = "!error";

struct TrackedEntry {
  std::string mode;
  std::string path;
};

struct Classification {
  bool in_scope;
  std::optional<std::string> reason;
  std::optional<std::string> language;
};

// The stage-0 entries of the git index, in listing order. Paths stay the raw bytes
// git prints with -z (no quoting; TABs and newlines kept).
std::vector<TrackedEntry> list_tracked_stage0(const fs::path& repo_path) {
  core::ProcessResult result =
      core::run_process({"git", "-C", repo_path.string(), "ls-files", "--stage", "-z"});
  if (!result.ok()) {
    throw SourceCaptureError(repo_path.string() + " is not a git repository (git ls-files --stage: " +
                             std::string(core::strip(result.stderr_text())) + ")");
  }
  std::vector<TrackedEntry> entries;
  std::string_view output = result.stdout_bytes;
  while (!output.empty()) {
    std::size_t end = output.find('\0');
    std::string_view record = output.substr(0, end);
    output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
    if (record.empty()) continue;
    std::size_t tab = record.find('\t');
    if (tab == std::string_view::npos) continue;
    std::string_view header = record.substr(0, tab);
    std::string_view path = record.substr(tab + 1);
    // "<mode> <object> <stage>": exactly three fields split at single spaces.
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
      std::size_t space = header.find(' ', start);
      fields.push_back(header.substr(start, space == std::string_view::npos ? space : space - start));
      if (space == std::string_view::npos) break;
      start = space + 1;
    }
    if (fields.size() != 3) continue;
    if (fields[2] != "0") continue;  // unmerged entries (stages 1-3) are left out
    entries.push_back({std::string(fields[0]), std::string(path)});
  }
  return entries;
}

// True when a component of the path, the file name included, is an ignored name.
bool is_ignored_path(std::string_view path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    std::string_view component =
        path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (!component.empty() && component != "." && platform::is_ignored_dir(component)) return true;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return false;
}

Classification classify(std::string_view mode, std::string_view path) {
  if (mode == GITLINK_MODE) return {false, std::string(REASON_SUBMODULE), std::nullopt};
  if (mode == SYMLINK_MODE) return {false, std::string(REASON_SYMLINK), std::nullopt};
  if (is_ignored_path(path)) return {false, std::string(REASON_IGNORED_DIRECTORY), std::nullopt};
  std::optional<std::string_view> language = syntax::language_for_path(path);
  return {true, std::nullopt, language ? std::optional<std::string>(*language) : std::nullopt};
}

// True when `ancestor` equals `path` or is one of its ancestors (component-wise).
bool is_within(const fs::path& path, const fs::path& ancestor) {
  auto p = path.begin();
  for (auto a = ancestor.begin(); a != ancestor.end(); ++a, ++p) {
    if (p == path.end() || *p != *a) return false;
  }
  return true;
}

// The entry's path inside the working tree, unresolved, so the caller can examine
// the entry itself without following a final link. Directory links inside the
// repository are accepted; anything whose parent resolves outside it is refused.
fs::path resolve_safe(const fs::path& repo_path, const std::string& rel_path) {
  fs::path candidate = repo_path / fs::path(rel_path);
  fs::path root = fs::weakly_canonical(fs::absolute(repo_path));
  fs::path parent = fs::weakly_canonical(fs::absolute(candidate).parent_path());
  if (!is_within(parent, root)) {
    throw SourceCaptureError("tracked path escapes repository: " + core::quote(rel_path));
  }
  return candidate;
}

// Reads at most `limit` + 1 bytes: enough to tell that a file grew over the limit
// without reading all of it.
std::string read_bounded(const fs::path& path, std::size_t limit) {
  core::UniqueFd fd = core::open_regular_file_nofollow(path);
  std::string bytes;
  char buffer[65536];
  while (bytes.size() <= limit) {
    std::size_t want = std::min(sizeof buffer, limit + 1 - bytes.size());
    ssize_t got = ::read(fd.get(), buffer, want);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw core::os_error(errno, path);
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return bytes;
}

std::string fact(std::string_view path, std::string_view mode, bool in_scope, std::string_view file_hash) {
  std::string line;
  line.reserve(path.size() + mode.size() + file_hash.size() + 5);
  line.append(path).append("\t").append(mode).append("\t").append(in_scope ? "1" : "0").append("\t");
  line.append(file_hash);
  return line;
}

std::string copy_name(std::size_t counter) {
  char name[32];
  std::snprintf(name, sizeof name, "%08zu.src", counter);
  return name;
}

SourceManifest scan(const fs::path& repo_path, const std::optional<fs::path>& scratch_dir, bool strict) {
  std::vector<CapturedFile> records;
  core::Sha256 digest;
  bool first_fact = true;
  auto add_fact = [&](const std::string& line) {
    if (!first_fact) digest.update("\n");
    first_fact = false;
    digest.update(line);
  };
  std::size_t counter = 0;

  for (const TrackedEntry& entry : list_tracked_stage0(repo_path)) {
    core::check_interrupted();
    const std::string& path = entry.path;
    Classification kind = classify(entry.mode, path);
    if (!kind.in_scope) {
      records.push_back({path, std::nullopt, std::nullopt, std::nullopt, false, kind.reason});
      add_fact(fact(path, entry.mode, false, ""));
      continue;
    }
    if (!kind.language) {
      records.push_back({path, std::nullopt, std::nullopt, std::nullopt, true,
                         std::string(REASON_UNSUPPORTED_EXTENSION)});
      add_fact(fact(path, entry.mode, true, ""));
      continue;
    }
    fs::path candidate = resolve_safe(repo_path, path);

    struct stat status {};
    if (::lstat(candidate.c_str(), &status) != 0) {
      int error = errno;
      if (strict) {
        throw SourceCaptureError("tracked file disappeared: " + path,
                                 std::make_exception_ptr(core::os_error(error, candidate)));
      }
      add_fact(fact(path, entry.mode, true, MISSING_MARKER));
      continue;
    }
    if (S_ISLNK(status.st_mode)) {
      records.push_back({path, std::nullopt, std::nullopt, std::nullopt, false, std::string(REASON_SYMLINK)});
      add_fact(fact(path, entry.mode, false, ""));
      continue;
    }
    auto add_oversized = [&] {
      records.push_back({path, kind.language, std::nullopt, std::nullopt, true, std::string(REASON_TOO_LARGE)});
      add_fact(fact(path, entry.mode, true, ""));
    };
    if (static_cast<std::uintmax_t>(status.st_size) > MAX_SOURCE_BYTES) {
      add_oversized();
      continue;
    }

    std::string bytes;
    try {
      bytes = read_bounded(candidate, MAX_SOURCE_BYTES);
    } catch (const core::OsError&) {
      if (strict) {
        throw SourceCaptureError("failed to read tracked file: " + path, std::current_exception());
      }
      add_fact(fact(path, entry.mode, true, UNREADABLE_MARKER));
      continue;
    }
    if (bytes.size() > MAX_SOURCE_BYTES) {  // grew after it was examined
      add_oversized();
      continue;
    }

    std::string file_hash = core::sha256_hex(bytes);
    std::optional<fs::path> source_path;
    if (scratch_dir) {
      ++counter;
      source_path = *scratch_dir / copy_name(counter);
      core::write_file(*source_path, bytes);
    }
    add_fact(fact(path, entry.mode, true, file_hash));
    records.push_back({path, kind.language, std::move(file_hash), std::move(source_path), true, std::nullopt});
  }
  return SourceManifest{std::move(records), digest.hex_digest()};
}

}  // namespace

SourceManifest capture_sources(const fs::path& repo_path, const fs::path& scratch_dir) {
  fs::create_directories(scratch_dir);
  return scan(repo_path, scratch_dir, /*strict=*/true);
}

std::string read_captured_bytes(const CapturedFile& file) {
  if (!file.source_path) throw core::ValueError("no captured copy of " + core::quote(file.file_path));
  return core::read_file(*file.source_path);
}

void validate_sources(const fs::path& repo_path, const SourceManifest& manifest) {
  SourceManifest current = scan(repo_path, std::nullopt, /*strict=*/false);
  if (current.source_hash != manifest.source_hash) {
    throw SourceChangedError("tracked sources changed since capture in " + repo_path.string());
  }
}

}  // namespace kolvex::declstore
