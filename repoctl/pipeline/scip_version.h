// Version gates of the SCIP tools.
//
// Before a SCIP attempt the `scip` tool (and, for Swift, `scip-swift`) is asked
// for its version with "--version"; a tool missing from PATH or older than its
// minimum fails the gate with IndexingError, which the attempt turns into the
// outcome "unavailable". An output without a recognisable three-part version
// passes: whatever is wrong with the tool shows when the attempt runs it.
// Nothing is cached. Functions block on the child process; no shared state.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "repoctl/pipeline/errors.h"

namespace kolvex::pipeline {

// Three-part tool version (major, minor, patch), compared element by element.
using Version = std::array<std::uint64_t, 3>;
// The oldest versions of `scip` and `scip-swift` an attempt runs.
inline constexpr Version MIN_SCIP_VERSION = {0, 9, 0};
inline constexpr Version MIN_SCIP_SWIFT_VERSION = {0, 3, 0};

// The leftmost match of "v?(\d+)\.(\d+)\.(\d+)" anywhere in `output`, as
// integers; none when there is no match. A number too large for 64 bits reads
// as the largest value.
std::optional<Version> parse_scip_version(std::string_view output);

// Returns, or throws IndexingError when `scip` is missing or older than MIN_SCIP_VERSION.
void check_scip_version();
// Returns, or throws IndexingError when `scip-swift` is missing or older than MIN_SCIP_SWIFT_VERSION.
void check_scip_swift_version();

// "0.9.0"
std::string format_version(const Version& version);

namespace detail {

// Standard output, "\n", standard error of "scip --version" (exit status not
// examined). IndexingError "scip not found on PATH — run setup.sh" when missing.
std::string scip_version_output();
// The same for "scip-swift --version".
std::string scip_swift_version_output();

}  // namespace detail
}  // namespace kolvex::pipeline
