// The revision that pins the weights of a model file: the revision the file
// records under REVISION_KEY, or, when it records none, "sha256:" followed by the
// SHA-256 of the file's bytes. Two files with different weights never share a
// revision, so a vector table labelled with it never mixes vectors of two models.
//
// Hashing a model file costs a read of the whole file, so results are cached in a
// small SQLite database (by default data_dir()/model-revisions.db) keyed by the
// file's stamp: device, inode, size and modification time in nanoseconds. A file
// that is replaced or rewritten gets another stamp and is read again; an
// unchanged one costs a stat and one lookup. A cache that cannot be opened, read
// or written is passed over (the revision is then computed every time), so the
// cache can only save work, never change a result.
//
// Thread-safety: every function may be called from any thread and any number of
// processes at once; each call uses its own cache connection, and SQLite's
// transactions keep the cache whole when runs write it concurrently.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/error.h"

namespace kolvex::embeddings {

// Start of a revision derived from the bytes of a model file.
inline constexpr std::string_view DIGEST_REVISION_PREFIX = "sha256:";

// What identifies one version of a file on disk.
struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;

  bool operator==(const FileStamp&) const = default;
};

// The model file kept changing while its revision was being determined.
using core::RuntimeError;
KOLVEX_DECLARE_ERROR(ModelFileChangingError, RuntimeError);

// The stamp of the file `path` names (links followed). core::OsError when it
// cannot be examined.
FileStamp stamp_file(const std::filesystem::path& path);

struct WeightsRevision {
  FileStamp stamp;       // the version of the file the revision belongs to
  std::string revision;  // recorded revision, or DIGEST_REVISION_PREFIX + 64 hex digits
};

// The cache used when none is given: data_dir()/model-revisions.db.
std::filesystem::path default_revision_cache();

// The revision of the weights in `model_file`, read from `cache` when it holds
// the file's current stamp, else determined from the file and stored there.
// core::OsError when the file cannot be opened or read; ModelFileChangingError
// when it changes under every attempt to read it.
WeightsRevision weights_revision(const std::filesystem::path& model_file,
                                 const std::filesystem::path& cache = default_revision_cache());

}  // namespace kolvex::embeddings
