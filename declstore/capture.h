// Source capture and revalidation.
//
// capture_sources decides, once per indexing run, which of a repository's tracked
// files the run works from and freezes their bytes: it lists the stage-0 entries of
// the git index (`git ls-files --stage -z`, or a listing the caller already took),
// classifies every entry (one with the skip-worktree bit and no file in the
// working tree is out of scope: the sparse checkout left it out), copies the bytes of each captured file (in scope, of a
// known language, not a symbolic link, at most MAX_SOURCE_BYTES) into the scratch
// directory and returns the manifest: one CapturedFile per entry and the source
// digest. validate_sources repeats the pass later on a fresh listing without
// writing copies and fails when the digest differs. Paths are kept as the raw
// bytes git lists.
//
// The copies lie back to back, in listing order, in one pack file of the scratch
// directory (COPY_PACK_NAME): a captured file's source_path names the pack and
// copy_offset/copy_size its slice. read_captured_bytes is the one way to read it.
//
// Files are examined, read and hashed on a pool of worker threads; one consumer
// assembles the manifest and writes the pack in listing order, so the manifest,
// the digest and the error raised (that of the first failing entry in listing
// order) are those of a one-by-one scan. Each parent directory of a tracked path
// is resolved once per scan. Files are opened without following a final symbolic
// link and without blocking, so a FIFO or a link swapped in after the check fails
// that path instead of hanging or reading outside the repository. The digest
// never covers modification times.
//
// A capture can also keep what it saw of each captured file before reading it
// (device, inode, size, modification and change times in nanoseconds) beside the
// file's hash: CaptureRecords. Revalidation given those records takes a file's
// hash from them instead of reading the file again when the file still looks the
// same and both its times are older than the moment the capture began (taken
// from the clock the file system stamps files with). Any write after that moment
// gives the file a time at least that late, so such a file cannot have changed
// since it was read; a file whose times are not older is always read again, as
// is one whose record differs in any field or is missing.
//
// A capture can also start from the records of an earlier capture of the same
// working tree (CaptureOptions::known). A captured file that still looks as
// recorded, with both its times older than the moment that earlier capture
// began, is then neither read nor copied: its hash is taken from the record and
// its entry names the working-tree file itself as its copy (CapturedFile::unread).
// Reading such an entry through read_captured_bytes reads the file and checks its
// bytes against the hash, so a later stage sees exactly the bytes a read during
// the capture would have given, or fails as revalidation would.
//
// Thread-safety: the functions keep no state and may be called from any thread;
// each call joins its own workers before it returns or throws (also on Ctrl+C).
// read_captured_bytes may be called from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/error.h"
#include "declstore/index_listing.h"

namespace kolvex::declstore {

// The largest captured file: a file of exactly this size is captured, one byte more is not.
inline constexpr std::size_t MAX_SOURCE_BYTES = 1048576;

// The file of the scratch directory that holds a capture's copies.
inline constexpr std::string_view COPY_PACK_NAME = "sources.pack";

// Exclusion reasons, as stored in CapturedFile::reason and in syntax_files.reason.
inline constexpr std::string_view REASON_SUBMODULE = "submodule";
inline constexpr std::string_view REASON_SYMLINK = "symlink";
inline constexpr std::string_view REASON_IGNORED_DIRECTORY = "ignored directory";
inline constexpr std::string_view REASON_UNSUPPORTED_EXTENSION = "unsupported extension";
inline constexpr std::string_view REASON_TOO_LARGE = "file exceeds 1 MiB syntax limit";
inline constexpr std::string_view REASON_SPARSE = "outside sparse checkout";

// One stage-0 entry of the git index.
struct CapturedFile {
  // Repository-relative path exactly as git lists it ("/" separators, raw bytes).
  std::string file_path;
  // Language of the path's suffix; absent out of scope and for an unsupported suffix.
  std::optional<std::string> language;
  // SHA-256 of the captured bytes (64 lower-case hex digits); only for a captured file.
  std::optional<std::string> file_hash;
  // The file that holds the captured copy (the pack); only for a captured file,
  // and only when copies were written.
  std::optional<std::filesystem::path> source_path;
  // False for submodules, symbolic links, paths through an ignored name and
  // entries a sparse checkout left out of the working tree.
  bool in_scope;
  // Why the entry was not captured; absent exactly for a captured file.
  std::optional<std::string> reason;
  // The copy's slice of the file at source_path: copy_size bytes from
  // copy_offset. An absent size means the whole file is the copy.
  std::uint64_t copy_offset = 0;
  std::optional<std::uint64_t> copy_size;
  // True when the capture did not read the file (see the header comment):
  // source_path is the working-tree file and copy_size its size.
  bool unread = false;

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

// What the file system said of a file: enough to tell that it was not written,
// replaced or touched.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;

  bool operator==(const FileIdentity&) const = default;
};

// What a capture saw of its captured files, by path (see the header comment).
struct CaptureRecords {
  struct Seen {
    FileIdentity identity;
    std::string file_hash;
  };
  // The time the capture began, in nanoseconds since the epoch, from the coarse
  // real-time clock that stamps files.
  std::int64_t began_ns = 0;
  std::unordered_map<std::string, Seen> files;
};

// Bytes the workers of a capture read ahead for the pack, at most, by default.
inline constexpr std::uint64_t PACK_BYTES_IN_FLIGHT = 32 * 1024 * 1024;

struct CaptureOptions {
  // Worker threads that examine, read and hash files; 0 means one per core.
  unsigned workers = 0;
  // Bytes the workers read ahead of the pack, at most (give or take a file per
  // worker): a file that would go over the bound is read by the thread that
  // writes the pack when its turn comes, so memory stays flat however large the
  // files are.
  std::uint64_t pack_bytes_in_flight = PACK_BYTES_IN_FLIGHT;
  // The index listing of this working tree, already taken by the caller; null
  // lists the index now.
  const IndexListing* listing = nullptr;
  // Filled with the capture's records when given; its previous content is replaced.
  CaptureRecords* records = nullptr;
  // The records of an earlier capture of this working tree; null reads every file.
  const CaptureRecords* known = nullptr;
};

// Captures the tracked sources of the working tree at `repo_path`, writing the
// copies into `scratch_dir` (created with its parents when missing; an existing
// pack there is replaced). Throws SourceCaptureError; git start failures and
// errors writing copies pass unchanged.
SourceManifest capture_sources(const std::filesystem::path& repo_path,
                               const std::filesystem::path& scratch_dir, const CaptureOptions& options = {});

// The captured bytes of `file`, read from its slice of the copy. Throws
// core::OsError when the copy cannot be read or is shorter than recorded, and
// core::ValueError when the entry has no copy. An unread entry's file is read
// from the working tree; when its bytes no longer have the entry's hash (or it
// cannot be read) it throws SourceChangedError, as revalidation would.
std::string read_captured_bytes(const CapturedFile& file);

// The same for a slice named apart from its CapturedFile (a stage that kept only
// where the bytes are): `size` bytes from `offset` of `copy`, the whole file when
// `size` is absent.
std::string read_captured_slice(const std::filesystem::path& copy, std::uint64_t offset,
                                std::optional<std::uint64_t> size);

// Scans a fresh listing again (on `workers` threads, 0 meaning one per core)
// without writing copies and throws SourceChangedError ("tracked sources changed
// since capture in <repo_path>") when the digest differs from the manifest's. A
// file that vanished or cannot be read changes the digest instead of failing the
// scan. With `records` of the capture, a file that cannot have changed since is
// not read again.
void validate_sources(const std::filesystem::path& repo_path, const SourceManifest& manifest, unsigned workers = 0,
                      const CaptureRecords* records = nullptr);

}  // namespace kolvex::declstore
