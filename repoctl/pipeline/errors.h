// The pipeline's fixed vocabulary: the SCIP indexer tables, the tool version
// minima, the markers of the known scip-java launcher failure, the pipeline's
// error types and the record of one SCIP attempt's outcome.
//
// Everything here is built once when the library loads and is read-only
// afterwards; every function is pure and may be called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"

namespace kolvex::pipeline {

// An argument list, program name first; started directly, never by a shell.
using Command = std::vector<std::string>;

// A SCIP language and the base argument list of its indexer.
struct LanguageIndexer {
  std::string language;
  Command command;
};

using core::GenericError;

// A pipeline step failed: a child process, a tool version gate, a repository
// without commits, the one-slug-per-path rule, or a stage of a run.
KOLVEX_DECLARE_ERROR(IndexingError, GenericError);
// The program of a step started by the process runner is not on PATH.
KOLVEX_DECLARE_ERROR(MissingBinaryError, IndexingError);
// No tracked file has a SCIP-indexable suffix, or a persisted language
// override is no longer supported.
KOLVEX_DECLARE_ERROR(UnsupportedLanguageError, GenericError);
// The repository path is not a git working tree.
KOLVEX_DECLARE_ERROR(NotAGitRepositoryError, GenericError);

// Three-part tool version (major, minor, patch), compared element by element.
using Version = std::array<std::uint64_t, 3>;
inline constexpr Version MIN_SCIP_VERSION = {0, 9, 0};
inline constexpr Version MIN_SCIP_SWIFT_VERSION = {0, 3, 0};

// The outcome of one SCIP attempt. "available" carries db_path; "failed" and
// "unavailable" carry a one-line reason and the complete failure text.
struct ScipAttempt {
  std::string state;
  std::optional<std::string> reason;
  std::optional<std::string> stderr;
  std::optional<std::filesystem::path> db_path;
};

// The SCIP languages in the order of the indexer table: the languages for which
// an attempt is possible. Sorted, they are the command line's --language choices.
const std::vector<std::pair<std::string, Command>>& indexer_by_language();
// The base indexer argument list of `language`, or null when it has no indexer.
const Command* indexer_for(std::string_view language);
// True when `language` has a SCIP indexer.
bool supports_scip(std::string_view language);

namespace detail {

// Suffix (dot included, case-sensitive) to SCIP language and indexer, in table order.
const std::vector<std::pair<std::string, LanguageIndexer>>& language_indexers();
// The row of `suffix`, or null when the suffix is not in the table.
const LanguageIndexer* indexer_for_suffix(std::string_view suffix);
// Tie-break order of the suffixes: earlier wins.
const std::vector<std::string>& ext_priority();

// Both must occur in an indexer's output for the old-bash launcher failure of scip-java.
inline constexpr std::array<std::string_view, 2> BASH_SHIM_TOKENS = {"LAUNCHER_ARGS[@]", "unbound variable"};
inline constexpr std::string_view BASH_SHIM_REMEDY =
    "scip-java's generated javac wrapper requires bash >= 4.4, but this machine's default bash is older "
    "(macOS ships 3.2). Install a newer bash (`brew install bash`), re-run setup.sh to create the shim, "
    "then reindex.";

// Git index mode of a submodule (gitlink) entry.
inline constexpr std::string_view GITLINK_MODE = "160000";

// The outcome record of a failure text: reason = its first non-blank line, else
// `fallback_reason` when given and not empty, else `state`; stderr = the text.
ScipAttempt attempt_from_text(std::string_view text, std::string_view state,
                              const std::optional<std::string>& fallback_reason = std::nullopt);
// attempt_from_text of the error's message, with the error type's name as fallback.
ScipAttempt attempt_from_exception(const core::Error& error, std::string_view state);

}  // namespace detail
}  // namespace kolvex::pipeline
