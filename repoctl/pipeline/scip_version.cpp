#include "repoctl/pipeline/scip_version.h"

#include <limits>

#include "core/process.h"
#include "repoctl/pipeline/runner.h"

namespace kolvex::pipeline {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads a maximal run of digits at `pos`; false when there is none.
bool read_number(std::string_view text, std::size_t& pos, std::uint64_t& value) {
  std::size_t start = pos;
  value = 0;
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  while (pos < text.size() && is_digit(text[pos])) {
    std::uint64_t digit = static_cast<std::uint64_t>(text[pos] - '0');
    value = value > (max - digit) / 10 ? max : value * 10 + digit;
    ++pos;
  }
  return pos > start;
}

std::string probe(const char* program, std::string_view missing_message) {
  core::ProcessResult result;
  try {
    result = core::run_process({program, "--version"});
  } catch (const core::ProcessStartError& error) {
    if (!error.not_found()) throw;
    throw IndexingError(std::string(missing_message), std::current_exception());
  }
  return decode_output(result.stdout_bytes) + "\n" + decode_output(result.stderr_bytes);
}

void gate(const std::string& output, const Version& minimum, std::string_view tool, std::string_view consequence) {
  std::optional<Version> current = parse_scip_version(output);
  if (!current || *current >= minimum) return;
  std::string message(tool);
  message += " v" + format_version(*current) + " is too old (need >= v" + format_version(minimum) + "): ";
  message += consequence;
  message += " Re-run setup.sh, and remove any older ";
  message += tool;
  message += " earlier on PATH.";
  throw IndexingError(message);
}

}  // namespace

std::optional<Version> parse_scip_version(std::string_view output) {
  // A greedy digit run is never followed by a digit, so taking each run whole
  // finds the same leftmost match as the pattern; an optional "v" before the
  // first number changes no group.
  for (std::size_t start = 0; start < output.size(); ++start) {
    if (!is_digit(output[start])) continue;
    std::size_t pos = start;
    Version version{};
    if (!read_number(output, pos, version[0])) continue;
    if (pos >= output.size() || output[pos] != '.') continue;
    ++pos;
    if (!read_number(output, pos, version[1])) continue;
    if (pos >= output.size() || output[pos] != '.') continue;
    ++pos;
    if (!read_number(output, pos, version[2])) continue;
    return version;
  }
  return std::nullopt;
}

std::string format_version(const Version& version) {
  return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]);
}

void check_scip_version() {
  gate(detail::scip_version_output(), MIN_SCIP_VERSION, "scip",
       "it cannot read scip.proto's typed_range oneof, so occurrence positions are dropped and navigation "
       "returns empty results.");
}

void check_scip_swift_version() {
  gate(detail::scip_swift_version_output(), MIN_SCIP_SWIFT_VERSION, "scip-swift",
       "versions before 0.3.0 dispatch xcodebuild incorrectly for .xcodeproj repos and produce broken indexes.");
}

namespace detail {

std::string scip_version_output() { return probe("scip", "scip not found on PATH — run setup.sh"); }

std::string scip_swift_version_output() {
  return probe("scip-swift", "scip-swift not found on PATH — run setup.sh");
}

}  // namespace detail
}  // namespace kolvex::pipeline
