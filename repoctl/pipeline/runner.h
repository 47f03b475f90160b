// Starting the pipeline's external programs.
//
// run() starts one step of a run (the SCIP indexer and converter,
// zoekt-git-index, the zoekt.name pin) and turns its failures into the
// pipeline's errors with the step name, the command line and the tool's
// complete output. The git probes read a repository directly: the commit of
// HEAD, the tracked paths and the number of tracked blobs. The last two can
// also be read from the run's one index listing (declstore::list_index), which
// holds the same records as their own git runs would.
//
// Tool output is decoded as UTF-8 with replacement (an odd byte never fails a
// run), and "\r\n" and a lone "\r" read as "\n". Standard input of a child is
// /dev/null, so a tool never waits on the terminal. Nothing here has a time
// limit. Every function blocks its calling thread and keeps no state; they may
// be called from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "declstore/index_listing.h"
#include "repoctl/pipeline/errors.h"

namespace kolvex::pipeline {

// An argument list, program name first; started directly, never by a shell.
using Command = std::vector<std::string>;

// A finished child process.
struct CompletedProcess {
  Command args;
  int returncode = 0;
  std::string stdout_text;
  std::string stderr_text;
};

// Variables laid over the process environment for one child.
using EnvOverrides = std::map<std::string, std::string>;

// The commit of HEAD, trimmed. NotAGitRepositoryError when the path is not a
// git working tree ("git rev-parse --is-inside-work-tree" must print "true":
// a bare repository or a .git directory is not one); IndexingError when the
// repository has no commits. A git that cannot be started is not translated.
std::string git_head(const std::filesystem::path& repo_path);

// The tracked paths, in git's order (from "git ls-files -z").
std::vector<std::string> git_tracked_files(const std::filesystem::path& repo_path);

// The number of index entries other than submodule links (from "git ls-files -s -z").
std::int64_t tracked_blob_count(const std::filesystem::path& repo_path);

// The same two from the run's index listing ("--stage" prints every record that
// the plain listing prints, in the same order, with its mode): the paths of all
// records, unmerged stages included, decoded as the probe decodes its output;
// and the records whose mode is not a submodule link. A listing git refused
// raises the probe's own NotAGitRepositoryError.
std::vector<std::string> git_tracked_files(const declstore::IndexListing& listing);
std::int64_t tracked_blob_count(const declstore::IndexListing& listing);

// Decodes captured output: UTF-8 with replacement, "\r\n" and "\r" as "\n".
std::string decode_output(std::string_view bytes);

// Exit statuses that say a program never ran: 127 from the dynamic loader (a
// shared library missing) or from env (a script's interpreter missing), 126
// when env found the program but could not execute it.
inline constexpr int NOT_STARTED_EXIT_STATUSES[] = {126, 127};

// The runner's IndexingError (same message, same type name in reports) for a
// tool whose exit status is one of NOT_STARTED_EXIT_STATUSES. start_problem()
// names what kept it from starting: the first non-blank line of its standard
// error, stripped, or "exit status N" when it wrote none.
class ToolNotStartedError : public IndexingError {
 public:
  ToolNotStartedError(std::string message, std::string start_problem)
      : IndexingError(std::move(message)), start_problem_(std::move(start_problem)) {}
  const char* type_name() const noexcept override { return "IndexingError"; }
  const std::string& start_problem() const noexcept { return start_problem_; }

 private:
  std::string start_problem_;
};

namespace detail {

// Runs `cmd` in `cwd` with `env` laid over the process environment (empty:
// unchanged). Returns when the exit status is 0. MissingBinaryError "<step>
// failed: <program> not found on PATH — run setup.sh" when the program or the
// working directory does not exist; IndexingError "<step> failed (<cmd>):\n
// <stdout>\n<stderr>" for any other exit status (a signal included), as a
// ToolNotStartedError for NOT_STARTED_EXIT_STATUSES. Other start failures
// (core::ProcessStartError) pass unchanged. With `finishes_if_orphaned` the
// command is left to finish when kolvex dies (core::ProcessOptions).
CompletedProcess run(const Command& cmd, const std::filesystem::path& cwd, std::string_view step,
                     const EnvOverrides& env = {}, bool finishes_if_orphaned = false);

}  // namespace detail
}  // namespace kolvex::pipeline
