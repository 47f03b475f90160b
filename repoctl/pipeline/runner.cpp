#include "repoctl/pipeline/runner.h"

#include <algorithm>

#include "core/process.h"
#include "core/text.h"

namespace kolvex::pipeline {
namespace {

// Git index mode of a submodule (gitlink) entry.
constexpr std::string_view GITLINK_MODE = "160000";

// Runs git with "-C <repo>" and the given arguments, in the process's own
// working directory and environment.
core::ProcessResult run_git(const std::filesystem::path& repo_path, const std::vector<std::string>& args) {
  Command argv = {"git", "-C", repo_path.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return core::run_process(argv);
}

std::string trimmed_stderr(std::string_view stderr_bytes) {
  return std::string(core::strip(decode_output(stderr_bytes)));
}

std::string trimmed_stderr(const core::ProcessResult& result) { return trimmed_stderr(result.stderr_bytes); }

std::string probe_message(const std::filesystem::path& repo_path, std::string_view what,
                          std::string_view probe, std::string_view error_text) {
  std::string message = repo_path.string();
  message += what;
  message += " (";
  message += probe;
  message += ": ";
  message += error_text;
  message += ")";
  return message;
}

}  // namespace

std::string decode_output(std::string_view bytes) {
  std::string text = core::decode_utf8_replace(bytes);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string git_head(const std::filesystem::path& repo_path) {
  // One git process answers both: whether the path is inside a work tree (first
  // line), then HEAD (second line). A HEAD that does not resolve fails the call
  // after the first answer was printed.
  core::ProcessResult probe = run_git(repo_path, {"rev-parse", "--is-inside-work-tree", "HEAD"});
  const std::string output = decode_output(probe.stdout_bytes);
  const std::size_t end_of_first = output.find('\n');
  std::string answer(core::strip(output.substr(0, end_of_first)));
  if (answer != "true") {
    // A bare repository or a .git directory answers "false" with status 0; git
    // then says nothing on standard error, so its answer stands in the message.
    std::string error_text = trimmed_stderr(probe);
    if (error_text.empty()) error_text = answer;
    throw NotAGitRepositoryError(
        probe_message(repo_path, " is not a git repository", "git rev-parse --is-inside-work-tree", error_text));
  }
  if (!probe.ok()) {
    throw IndexingError(
        probe_message(repo_path, " has no commits yet", "git rev-parse HEAD", trimmed_stderr(probe)));
  }
  return std::string(core::strip(end_of_first == std::string::npos ? std::string() : output.substr(end_of_first + 1)));
}

std::vector<std::string> git_tracked_files(const std::filesystem::path& repo_path) {
  core::ProcessResult listing = run_git(repo_path, {"ls-files", "-z"});
  if (!listing.ok()) {
    throw NotAGitRepositoryError(
        probe_message(repo_path, " is not a git repository", "git ls-files", trimmed_stderr(listing)));
  }
  std::string text = decode_output(listing.stdout_bytes);
  std::vector<std::string> paths;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) paths.emplace_back(text, start, end - start);
    start = end + 1;
  }
  return paths;
}

std::int64_t tracked_blob_count(const std::filesystem::path& repo_path) {
  core::ProcessResult listing = run_git(repo_path, {"ls-files", "-s", "-z"});
  if (!listing.ok()) {
    throw NotAGitRepositoryError(
        probe_message(repo_path, " is not a git repository", "git ls-files -s", trimmed_stderr(listing)));
  }
  const std::string gitlink = std::string(GITLINK_MODE) + " ";
  std::string_view text = listing.stdout_bytes;
  std::int64_t count = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\0', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view record = text.substr(start, end - start);
    if (!record.empty() && !core::starts_with(record, gitlink)) ++count;
    start = end + 1;
  }
  return count;
}

std::vector<std::string> git_tracked_files(const declstore::IndexListing& listing) {
  if (!listing.ok) {
    throw NotAGitRepositoryError(probe_message(listing.repo_path, " is not a git repository", "git ls-files",
                                               trimmed_stderr(listing.git_stderr)));
  }
  std::vector<std::string> paths;
  paths.reserve(listing.entries.size());
  for (const declstore::IndexEntry& entry : listing.entries) {
    // Decoded path by path: NUL separates the records and decodes alone.
    std::string path = decode_output(entry.path);
    if (!path.empty()) paths.push_back(std::move(path));
  }
  return paths;
}

std::int64_t tracked_blob_count(const declstore::IndexListing& listing) {
  if (!listing.ok) {
    throw NotAGitRepositoryError(probe_message(listing.repo_path, " is not a git repository", "git ls-files -s",
                                               trimmed_stderr(listing.git_stderr)));
  }
  return static_cast<std::int64_t>(
      std::count_if(listing.entries.begin(), listing.entries.end(),
                    [](const declstore::IndexEntry& entry) { return entry.mode != GITLINK_MODE; }));
}

namespace detail {

CompletedProcess run(const Command& cmd, const std::filesystem::path& cwd, std::string_view step,
                     const EnvOverrides& env, bool finishes_if_orphaned) {
  core::ProcessOptions options;
  options.cwd = cwd;
  options.finishes_if_orphaned = finishes_if_orphaned;
  for (const auto& [name, value] : env) options.env[name] = value;
  core::ProcessResult result;
  try {
    result = core::run_process(cmd, options);
  } catch (const core::ProcessStartError& error) {
    if (!error.not_found()) throw;
    throw MissingBinaryError(std::string(step) + " failed: " + cmd.at(0) + " not found on PATH — run setup.sh",
                             std::current_exception());
  }
  CompletedProcess completed{cmd, result.returncode, decode_output(result.stdout_bytes),
                             decode_output(result.stderr_bytes)};
  if (completed.returncode != 0) {
    std::string message = std::string(step) + " failed (" + core::join(cmd, " ") + "):\n" + completed.stdout_text +
                          "\n" + completed.stderr_text;
    if (std::ranges::find(NOT_STARTED_EXIT_STATUSES, completed.returncode) != std::end(NOT_STARTED_EXIT_STATUSES)) {
      std::optional<std::string> line = core::first_non_blank_line(completed.stderr_text);
      std::string problem =
          line ? std::string(core::strip(*line)) : "exit status " + std::to_string(completed.returncode);
      throw ToolNotStartedError(std::move(message), std::move(problem));
    }
    throw IndexingError(std::move(message));
  }
  return completed;
}

}  // namespace detail
}  // namespace kolvex::pipeline
