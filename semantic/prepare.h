// The semantic stage's prepare half: every decision of a vector table rebuild
// that needs no encoding.
//
// prepare_semantic fixes the configured table identity (the model's identity and
// prefixes, the chunker's CONTENT_FORMAT), reads the previous table's identity
// and, only when it is equal, its rows; walks the repository's candidate files
// (chunker::iter_source_files) and admits or skips each one (size from the file
// system's metadata, then the generated-banner and long-line checks of its
// decoded text; force-included paths escape all three); carries over the rows
// of files whose bytes did not change, and lists the rest as inputs for the
// finish half. Reading the model's identity loads no weights, so this half works
// without the embedding runtime; only the vector store is needed.
//
// Bytes come from capture's copy when the run's manifest names one for the path
// (read through declstore::read_captured_bytes), else from the working tree. A working-tree file reached through a
// symbolic link that resolves outside the repository is never read: it is left
// out like a file the walk does not yield.
//
// Nothing is caught: a missing vector store raises SemanticExtraMissingError, a
// file that vanishes or cannot be read raises core::OsError.
//
// Runs on the caller's thread. A SemanticWork and its store belong to one
// thread from the prepare half to the finish half.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "semantic/model.h"
#include "semantic/row.h"
#include "semantic/store.h"

namespace kolvex::declstore {
struct SourceManifest;
}

namespace kolvex::semantic {

// A file that failed an admission check.
struct SkippedFile {
  std::string file_path;  // repository-relative, "/" separators
  std::string reason;     // "too-large:<bytes>", "banner:<marker>" or "long-line:<chars>"

  bool operator==(const SkippedFile&) const = default;
};

// An admitted file whose vectors are not yet known.
struct SemanticInput {
  std::string file_path;                // repository-relative, "/" separators
  std::filesystem::path source_path;    // the capture's copy or the working-tree file that was read
  std::string file_hash;                // SHA-256 of those bytes, 64 lower-case hex digits
  std::string language;                 // from the chunker's suffix table
  // For a capture's copy, where in source_path its bytes lie (as in
  // declstore::CapturedFile); an absent size means the whole file.
  std::uint64_t copy_offset = 0;
  std::optional<std::uint64_t> copy_size;

  bool operator==(const SemanticInput&) const = default;
};

// Everything the finish half needs to encode and publish one repository's vectors.
struct SemanticWork {
  std::string slug;
  std::filesystem::path repo_path;  // the working tree the walk started from
  std::shared_ptr<SemanticModel> model;
  std::shared_ptr<SemanticStore> store;  // owned by the work; already connected
  TableIdentity identity;
  std::int64_t admitted = 0;
  std::vector<SkippedFile> skipped;  // in walk order
  std::vector<Row> carried;          // rows of unchanged files, as read, file by file in walk order
  std::vector<SemanticInput> inputs; // in walk order
  // Content hash to stored vector; the one member the finish half fills.
  std::unordered_map<std::string, Vector> vector_by_hash;
};

struct PrepareOptions {
  std::optional<std::filesystem::path> root;    // data root for platform::lancedb_dir
  std::shared_ptr<SemanticModel> model;         // null: the process-wide default model
  std::vector<std::string> include_prefixes;    // force-include prefixes
  const declstore::SourceManifest* manifest = nullptr;  // this run's capture of this repository
};

// Throws core::ValueError when `slug` is not a normalised slug (a single, safe
// path component).
SemanticWork prepare_semantic(const std::filesystem::path& repo_path, const std::string& slug,
                              const PrepareOptions& options = {});

// The inputs whose chunking walks declaration nodes of a parse tree (their
// language has declaration node types in the chunker).
std::set<std::string> semantic_parse_paths(const SemanticWork& work);

namespace detail {
// The bytes of a working-tree file of `repo_path`, or none when the path resolves
// outside the repository. core::OsError when it cannot be opened or read, or is
// no regular file.
std::optional<std::string> read_repository_file(const std::filesystem::path& repo_path,
                                                const std::filesystem::path& file);
// Throws core::ValueError unless `slug` is a normalised slug.
void check_slug(const std::string& slug);
}  // namespace detail

}  // namespace kolvex::semantic
