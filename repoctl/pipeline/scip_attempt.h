// The optional SCIP enrichment of one run: check the SCIP tools, run the
// language's indexer into the scratch directory ("index.scip"), convert it with
// "scip expt-convert" ("index.db"), and check that the conversion is a SQLite
// database with the converter's tables.
//
// Every expected failure is an outcome, never an error: a missing, too old or
// unexecutable tool is "unavailable"; an indexer or converter that fails, or a
// conversion that is missing, not SQLite, or lacks one of the converter's
// tables is "failed". Only unexpected errors leave the attempt. It prints
// nothing and runs its child processes one after another on the caller's thread.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "platform/registry_states.h"
#include "repoctl/pipeline/runner.h"

namespace kolvex::pipeline {

// The outcome of one SCIP attempt: AVAILABLE carries db_path; FAILED and
// UNAVAILABLE carry a one-line reason and the complete failure text. The
// registry records the state as the run's SCIP stage state.
struct ScipAttempt {
  platform::ScipState state = platform::ScipState::AVAILABLE;
  std::optional<std::string> reason;
  std::optional<std::string> stderr;
  std::optional<std::filesystem::path> db_path;
};

// The tables every converted SCIP database has; readers of a snapshot rely on all of them.
inline constexpr std::array<std::string_view, 5> CONVERTER_TABLES = {"documents", "chunks", "mentions",
                                                                      "global_symbols", "defn_enclosing_ranges"};

namespace detail {

// Both must occur in an indexer's output for the old-bash launcher failure of scip-java.
inline constexpr std::array<std::string_view, 2> BASH_SHIM_TOKENS = {"LAUNCHER_ARGS[@]", "unbound variable"};
inline constexpr std::string_view BASH_SHIM_REMEDY =
    "scip-java's generated javac wrapper requires bash >= 4.4, but this machine's default bash is older "
    "(macOS ships 3.2). Install a newer bash (`brew install bash`), re-run setup.sh to create the shim, "
    "then reindex.";

// The outcome record of a failure text: reason = its first non-blank line, else
// `fallback_reason` when given and not empty, else the state's text; stderr = the text.
ScipAttempt attempt_from_text(std::string_view text, platform::ScipState state,
                              const std::optional<std::string>& fallback_reason = std::nullopt);
// attempt_from_text of the error's message, with the error type's name as fallback.
ScipAttempt attempt_from_exception(const core::Error& error, platform::ScipState state);

// Runs the attempt for `language` (a key of indexer_by_language()).
ScipAttempt attempt_scip(const std::filesystem::path& repo_path, std::string_view language,
                         const std::optional<std::string>& scheme, std::string_view slug,
                         const std::filesystem::path& scratch);

// scip-typescript indexes the project a tsconfig.json describes. When the
// repository has none at its top level, the attempt writes one into `scratch`
// (returned as the indexer's project argument) that describes what a bare
// tsconfig.json beside the sources would: every TypeScript file of the
// repository, the package directories left out, type packages found from the
// repository upwards. The working tree is never written to, and the indexer,
// run in the repository, still names documents relative to it. With a
// tsconfig.json of the repository's own there are no extra arguments. Throws
// core::ValueError when the repository's path is not UTF-8 (a project file
// cannot name it), which makes the attempt "failed".
std::vector<std::string> typescript_project_arguments(const std::filesystem::path& repo_path,
                                                      const std::filesystem::path& scratch);

// The stand-in project file for a repository at `repo_root` (absolute, links resolved).
std::string standin_tsconfig(const std::filesystem::path& repo_root);

// True when the repository's top level holds an entry "*.xcodeproj" or "*.xcworkspace".
bool prefers_xcodebuild(const std::filesystem::path& repo_path);

// The scip-swift command: with an Xcode project or workspace, base + "--build-tool",
// "xcodebuild" (+ "--scheme", scheme when not empty); always "--cache-dir", cache_dir.
Command swift_indexer_cmd(const Command& base_cmd, const std::filesystem::path& repo_path,
                          const std::optional<std::string>& scheme, const std::filesystem::path& cache_dir);

// Environment overrides of scip-java: GRADLE_OPTS with "-Dorg.gradle.parallel=false"
// appended; PATH with the shim directory in front when it holds a "bash".
EnvOverrides java_indexer_env();

// True when the indexer's output shows the old-bash launcher failure of scip-java.
bool bash_shim_failure(std::string_view output);

}  // namespace detail
}  // namespace kolvex::pipeline
