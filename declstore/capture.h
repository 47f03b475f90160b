// Source capture and revalidation.
//
// capture_sources decides, once per indexing run, which of a repository's tracked
// files the run works from and freezes their bytes: it lists the stage-0 entries of
// the git index (`git ls-files --stage -z`), classifies every entry, copies the
// bytes of each captured file (in scope, of a known language, not a symbolic link,
// at most MAX_SOURCE_BYTES) into the scratch directory as "00000001.src",
// "00000002.src", ... and returns the manifest: one CapturedFile per entry and the
// source digest. validate_sources repeats the pass later without writing copies
// and fails when the digest differs. Paths are kept as the raw bytes git lists.
//
// Files are opened without following a final symbolic link and without blocking,
// so a FIFO or a link swapped in after the check fails that path instead of
// hanging or reading outside the repository. Modification times are never used.
//
// Thread-safety: the functions keep no state; one call runs on one thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace kolvex::declstore {

// The largest captured file: a file of exactly this size is captured, one byte more is not.
inline constexpr std::size_t MAX_SOURCE_BYTES = 1048576;

// Exclusion reasons, as stored in CapturedFile::reason and in syntax_files.reason.
inline constexpr std::string_view REASON_SUBMODULE = "submodule";
inline constexpr std::string_view REASON_SYMLINK = "symlink";
inline constexpr std::string_view REASON_IGNORED_DIRECTORY = "ignored directory";
inline constexpr std::string_view REASON_UNSUPPORTED_EXTENSION = "unsupported extension";
inline constexpr std::string_view REASON_TOO_LARGE = "file exceeds 1 MiB syntax limit";

// One stage-0 entry of the git index.
struct CapturedFile {
  // Repository-relative path exactly as git lists it ("/" separators, raw bytes).
  std::string file_path;
  // Language of the path's suffix; absent out of scope and for an unsupported suffix.
  std::optional<std::string> language;
  // SHA-256 of the captured bytes (64 lower-case hex digits); only for a captured file.
  std::optional<std::string> file_hash;
  // The captured copy; only for a captured file, and only when copies were written.
  std::optional<std::filesystem::path> source_path;
  // False for submodules, symbolic links and paths through an ignored name.
  bool in_scope;
  // Why the entry was not captured; absent exactly for a captured file.
  std::optional<std::string> reason;

  bool operator==(const CapturedFile&) const = default;
};

struct SourceManifest {
  std::vector<CapturedFile> files;  // one per stage-0 entry, in listing order
  std::string source_hash;          // the source digest, 64 lower-case hex digits

  bool operator==(const SourceManifest&) const = default;
};

// A tracked file cannot be captured: the index listing failed, a tracked path
// leads outside the repository, or an eligible file vanished or failed to read.
class SourceCaptureError : public core::RuntimeError {
 public:
  using RuntimeError::RuntimeError;
  const char* type_name() const noexcept override { return "SourceCaptureError"; }
};
// The sources changed between capture_sources and validate_sources.
class SourceChangedError : public core::RuntimeError {
 public:
  using RuntimeError::RuntimeError;
  const char* type_name() const noexcept override { return "SourceChangedError"; }
};

// Captures the tracked sources of the working tree at `repo_path`, writing copies
// into `scratch_dir` (created with its parents when missing). Throws
// SourceCaptureError; git start failures and errors writing copies pass unchanged.
SourceManifest capture_sources(const std::filesystem::path& repo_path,
                               const std::filesystem::path& scratch_dir);

// The captured bytes of `file`, read from its scratch copy. Throws core::OsError
// when the copy cannot be read and core::ValueError when the entry has no copy.
std::string read_captured_bytes(const CapturedFile& file);

// Scans again without writing copies and throws SourceChangedError
// ("tracked sources changed since capture in <repo_path>") when the digest differs
// from the manifest's. A file that vanished or cannot be read changes the digest
// instead of failing the scan.
void validate_sources(const std::filesystem::path& repo_path, const SourceManifest& manifest);

}  // namespace kolvex::declstore
