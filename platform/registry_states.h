// The registry's two vocabularies: the status of a repository's last run and
// the state of its SCIP stage (also the outcome of one SCIP attempt).
//
// Each is an enum with one table of the texts that registry.db stores and the
// command line prints; the texts are frozen. Text becomes an enum only where it
// enters the system: reading the registry file, or anything parsing outside
// input. Constant tables and pure functions; any thread may call them.
#pragma once

#include <iosfwd>
#include <string_view>

namespace kolvex::platform {

// The status of a repository's row. Texts: "indexing" while a run works,
// "indexed", "partial" (published with syntax or SCIP extraction gaps),
// "degraded" (published, but an enabled SCIP attempt failed, was unavailable
// or was skipped), "failed" (a required stage failed), and "search-only",
// which only older registries hold.
enum class RepoStatus { INDEXING, INDEXED, PARTIAL, DEGRADED, FAILED, SEARCH_ONLY };

// The SCIP stage state of a run. Texts: "available", "failed", "unavailable",
// "unsupported", "disabled". A SCIP attempt ends in one of the first three.
enum class ScipState { AVAILABLE, FAILED, UNAVAILABLE, UNSUPPORTED, DISABLED };

// The stored text of a status.
std::string_view status_text(RepoStatus status) noexcept;
// The status whose text is `text`; throws core::ValueError for any other text
// ("unknown registry status 'X'").
RepoStatus status_from_text(std::string_view text);

// The stored text of a SCIP stage state.
std::string_view scip_state_text(ScipState state) noexcept;
// The state whose text is `text`; throws core::ValueError for any other text
// ("unknown SCIP stage state 'X'").
ScipState scip_state_from_text(std::string_view text);

// Both print their stored text.
std::ostream& operator<<(std::ostream& out, RepoStatus status);
std::ostream& operator<<(std::ostream& out, ScipState state);

}  // namespace kolvex::platform
