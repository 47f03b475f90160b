#include "semantic/finish.h"

#include <algorithm>
#include <unordered_set>

#include "chunker/admission.h"
#include "chunker/chunk_file.h"
#include "core/clock.h"
#include "core/fs.h"
#include "core/text.h"
#include "declstore/capture.h"
#include "syntax/parser_pool.h"

namespace kolvex::semantic {
namespace {

bool usable(const std::vector<chunker::Chunk>& chunks, const std::string& file_hash) {
  return std::all_of(chunks.begin(), chunks.end(),
                     [&](const chunker::Chunk& chunk) { return chunk.file_hash == file_hash; });
}

// Chunks a file from its current bytes (its capture copy, or its working-tree
// file under the same rule as the prepare half); the chunks carry the hash of
// those bytes.
std::vector<chunker::Chunk> chunk_again(const SemanticWork& work, const SemanticInput& input,
                                        syntax::ParserPool& pool) {
  std::string bytes;
  if (input.source_path == work.repo_path / input.file_path) {
    std::optional<std::string> read = detail::read_repository_file(work.repo_path, input.source_path);
    if (!read) {
      throw core::OsError("file resolves outside the repository: " + core::quote(input.source_path.string()), 0);
    }
    bytes = std::move(*read);
  } else {
    bytes = declstore::read_captured_slice(input.source_path, input.copy_offset, input.copy_size);
  }
  std::string text = core::decode_utf8_replace(bytes);
  return chunker::chunk_file(input.file_path, text, chunker::hash_file(bytes), input.language, {.pool = &pool});
}

Row new_row(const chunker::Chunk& chunk, const Vector& vector, const TableIdentity& identity) {
  return make_row({
      .chunk_id = core::uuid4_hex(),
      .content_hash = chunk.content_hash,
      .file_hash = chunk.file_hash,
      .file_path = chunk.file_path,
      .start_line = chunk.start_line,
      .end_line = chunk.end_line,
      .symbol_name = chunk.symbol_name.value_or(""),
      .language = chunk.language,
      .content = chunk.content,
      .vector = vector,
      .model_name = identity.model_name,
      .model_revision = identity.model_revision,
      .query_prefix = identity.query_prefix,
      .doc_prefix = identity.doc_prefix,
      .content_format = identity.content_format,
  });
}

// The loaded weights must be those the work's identity names; otherwise the
// model file changed after the prepare half took the identity, and the new
// rows would carry a label of other weights.
void require_identity_weights(SemanticWork& work) {
  std::optional<std::string> loaded = work.model->loaded_revision();
  if (!loaded || *loaded == work.identity.model_revision) return;
  throw WeightsChangedError("the embedding model file of " + work.identity.model_name +
                            " changed during the run; the vector table is left as it was and the next run "
                            "rebuilds it");
}

// True when every stored vector the work may reuse has `width` dimensions.
bool widths_agree(const SemanticWork& work, std::size_t width) {
  for (const Row& row : work.carried) {
    if (vector_column(row, "vector").size() != width) return false;
  }
  for (const auto& [hash, vector] : work.vector_by_hash) {
    if (vector.size() != width) return false;
  }
  return true;
}

}  // namespace

namespace detail {

std::optional<TokenStats> token_stats(std::vector<std::int64_t> estimates) {
  if (estimates.empty()) return std::nullopt;
  std::sort(estimates.begin(), estimates.end());
  const std::size_t n = estimates.size();
  const auto p90_index = std::min(static_cast<std::size_t>(0.9 * static_cast<double>(n)), n - 1);
  return TokenStats{estimates[n / 2], estimates[p90_index], estimates.back()};
}

}  // namespace detail

SemanticIndexReport finish_semantic(SemanticWork& work, const PreparedChunkMap& prepared_chunks,
                                    syntax::ParserPool& pool) {
  // 1. Collect chunks.
  std::vector<chunker::Chunk> pending;
  for (const SemanticInput& input : work.inputs) {
    auto entry = prepared_chunks.find(input.file_path);
    if (entry != prepared_chunks.end() && usable(entry->second, input.file_hash)) {
      pending.insert(pending.end(), entry->second.begin(), entry->second.end());
    } else {
      std::vector<chunker::Chunk> chunks = chunk_again(work, input, pool);
      pending.insert(pending.end(), std::make_move_iterator(chunks.begin()), std::make_move_iterator(chunks.end()));
    }
  }

  // 2. Select the content without a known vector, once per content hash.
  std::vector<std::string> new_hashes;
  std::vector<std::string> new_texts;
  std::unordered_set<std::string> selected;
  for (const chunker::Chunk& chunk : pending) {
    if (work.vector_by_hash.count(chunk.content_hash) != 0) continue;
    if (!selected.insert(chunk.content_hash).second) continue;
    new_hashes.push_back(chunk.content_hash);
    new_texts.push_back(chunk.content);
  }

  // 3. Encode (also with nothing to encode: the model must load).
  std::vector<Vector> vectors = work.model->embed_texts(new_texts);
  require_identity_weights(work);
  const bool rebuild = !vectors.empty() && !widths_agree(work, vectors.front().size());
  if (rebuild) {
    // The stored vectors have another width than this model gives under the
    // same identity: they cannot be of this model, so every text is encoded
    // anew and the table rebuilt rather than refused.
    work.vector_by_hash.clear();
    new_hashes.clear();
    new_texts.clear();
    selected.clear();
    for (const Row& row : work.carried) {
      const std::string& hash = text_column(row, "content_hash");
      if (!selected.insert(hash).second) continue;
      new_hashes.push_back(hash);
      new_texts.push_back(text_column(row, "content"));
    }
    for (const chunker::Chunk& chunk : pending) {
      if (!selected.insert(chunk.content_hash).second) continue;
      new_hashes.push_back(chunk.content_hash);
      new_texts.push_back(chunk.content);
    }
    vectors = work.model->embed_texts(new_texts);
    require_identity_weights(work);
  }
  for (std::size_t i = 0; i < new_hashes.size() && i < vectors.size(); ++i) {
    work.vector_by_hash.insert_or_assign(new_hashes[i], std::move(vectors[i]));
  }

  // 4. Count truncation; a failure only leaves the count unknown.
  std::optional<std::int64_t> truncated;
  try {
    truncated = work.model->count_oversized(new_texts);
  } catch (const std::exception&) {
    truncated.reset();
  }

  // 5. Token statistics of the collected chunks.
  std::vector<std::int64_t> estimates;
  estimates.reserve(pending.size());
  for (const chunker::Chunk& chunk : pending) estimates.push_back(chunker::tokens(chunk.content));
  std::optional<TokenStats> stats = detail::token_stats(std::move(estimates));

  // 6. Rows: carried first, then one per pending chunk. In a rebuild the
  // carried rows take their content's new vector.
  std::vector<Row> rows = work.carried;
  rows.reserve(rows.size() + pending.size());
  if (rebuild) {
    for (Row& row : rows) row.set("vector", work.vector_by_hash.at(text_column(row, "content_hash")));
  }
  for (const chunker::Chunk& chunk : pending) {
    auto vector = work.vector_by_hash.find(chunk.content_hash);
    if (vector == work.vector_by_hash.end()) {
      throw core::RuntimeError("the embedding model returned no vector for a chunk of " +
                               core::quote(chunk.file_path));
    }
    rows.push_back(new_row(chunk, vector->second, work.identity));
  }

  // 7. Replace the table.
  work.store->overwrite(work.slug, rows);

  return SemanticIndexReport{static_cast<std::int64_t>(rows.size()), work.admitted, work.skipped, truncated, stats,
                             work.model->prefix_warning()};
}

SemanticIndexReport index_semantic(const std::filesystem::path& repo_path, const std::string& slug,
                                   const IndexSemanticOptions& options) {
  SemanticWork work = prepare_semantic(
      repo_path, slug, {.root = options.root, .model = options.model, .include_prefixes = options.include_prefixes});
  syntax::ParserPool pool;
  return finish_semantic(work, {}, pool);
}

}  // namespace kolvex::semantic
