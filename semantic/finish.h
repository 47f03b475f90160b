// The semantic stage's finish half, and the standalone build of one table.
//
// finish_semantic chunks the work's inputs (taking the chunks the syntax build
// already cut for a file when every one of them carries the input's file hash,
// else reading the file again and chunking it with the run's parser pool),
// encodes only content hashes without a known vector (one embed_texts call, made
// even with nothing to encode, so a missing embedding runtime always fails the
// stage), counts truncated texts, and replaces the slug's vector table with the
// carried rows followed by one new row per chunk, in one overwrite.
//
// A file read again here is hashed from the bytes actually read, and its chunks
// carry that hash, so the stored file hash always describes the stored chunks.
//
// A table is never a mixture of two models. The model's loaded weights must be
// those the work's identity names (WeightsChangedError otherwise, when the model
// file changed between the halves). When the stored vectors the work would
// reuse have another width than the model now gives, every carried and new text
// is encoded again and the table rebuilt whole.
//
// Nothing is caught but a failing truncation count (reported as absent); every
// other failure propagates and leaves the previous table untouched.
//
// index_semantic runs both halves for callers that share no syntax build: no
// manifest, no prepared chunks, a parser pool of its own.
//
// Runs on the caller's thread; a work is finished by one thread at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chunker/chunk.h"
#include "core/error.h"
#include "semantic/model.h"
#include "semantic/prepare.h"

namespace kolvex::syntax {
class ParserPool;
}

namespace kolvex::semantic {

// The embedding model file changed between the two halves of a run.
class WeightsChangedError : public core::RuntimeError {
 public:
  using RuntimeError::RuntimeError;
  const char* type_name() const noexcept override { return "WeightsChangedError"; }
};

// Percentiles of the token estimates of the chunks collected for the inputs.
struct TokenStats {
  std::int64_t p50;
  std::int64_t p90;
  std::int64_t max;

  bool operator==(const TokenStats&) const = default;
};

struct SemanticIndexReport {
  std::int64_t rows = 0;   // rows written: carried plus new
  std::int64_t files = 0;  // the work's admitted count
  std::vector<SkippedFile> skipped;
  std::optional<std::int64_t> truncated;     // none when the count failed
  std::optional<TokenStats> token_stats;     // none when no chunk was collected
  std::optional<std::string> prefix_warning;

  bool operator==(const SemanticIndexReport&) const = default;
};

// Repository-relative path to the chunks cut for that file earlier in the run.
using PreparedChunkMap = std::map<std::string, std::vector<chunker::Chunk>>;

SemanticIndexReport finish_semantic(SemanticWork& work, const PreparedChunkMap& prepared_chunks,
                                    syntax::ParserPool& pool);

struct IndexSemanticOptions {
  std::optional<std::filesystem::path> root;
  std::shared_ptr<SemanticModel> model;  // null: the process-wide default model
  std::vector<std::string> include_prefixes;
};

SemanticIndexReport index_semantic(const std::filesystem::path& repo_path, const std::string& slug,
                                   const IndexSemanticOptions& options = {});

namespace detail {
// The statistics of a list of token estimates (none for an empty list).
std::optional<TokenStats> token_stats(std::vector<std::int64_t> estimates);
}  // namespace detail

}  // namespace kolvex::semantic
