#include "semantic/backend.h"

#include <any>

#include "chunker/chunk_file.h"
#include "semantic/extra_missing.h"
#include "semantic/finish.h"
#include "semantic/prepare.h"

namespace kolvex::semantic {
namespace {

SemanticWork& work_of(const pipeline::SemanticWork& work) {
  if (!work.state) throw core::GenericError("the semantic work record is empty");
  return *static_cast<SemanticWork*>(work.state.get());
}

PreparedChunkMap chunks_of(const pipeline::PreparedChunks& prepared) {
  PreparedChunkMap chunks;
  for (const auto& [path, entries] : prepared) {
    std::vector<chunker::Chunk>& list = chunks[path];
    for (const pipeline::PreparedChunk& entry : entries) {
      const auto* chunk = std::any_cast<chunker::Chunk>(&entry.chunk);
      if (chunk == nullptr) throw core::GenericError("a prepared chunk of " + path + " is not a chunk record");
      list.push_back(*chunk);
    }
  }
  return chunks;
}

pipeline::SemanticReport report_of(const SemanticIndexReport& report) {
  pipeline::SemanticReport out{.rows = report.rows, .files = report.files};
  for (const SkippedFile& skipped : report.skipped) out.skipped.push_back({skipped.file_path, skipped.reason});
  out.truncated = report.truncated;
  if (report.token_stats) {
    out.token_stats = pipeline::TokenStatsRef{report.token_stats->p50, report.token_stats->p90,
                                              report.token_stats->max};
  }
  out.prefix_warning = report.prefix_warning;
  return out;
}

}  // namespace

bool is_extra_missing(const std::exception& error) {
  return dynamic_cast<const SemanticExtraMissingError*>(&error) != nullptr || is_model_unavailable(error);
}

pipeline::SemanticBackend make_backend(BackendOptions options) {
  std::shared_ptr<SemanticModel> model = std::move(options.model);
  pipeline::SemanticBackend backend;
  backend.prepare = [model](const std::filesystem::path& repo_path, const std::string& slug,
                            const std::optional<std::filesystem::path>& root,
                            const std::vector<std::string>& include_prefixes,
                            const declstore::SourceManifest* manifest) {
    auto work = std::make_shared<SemanticWork>(prepare_semantic(
        repo_path, slug, {.root = root, .model = model, .include_prefixes = include_prefixes, .manifest = manifest}));
    pipeline::SemanticWork out;
    for (const SemanticInput& input : work->inputs) out.inputs.push_back({input.file_path, input.file_hash});
    out.state = std::move(work);
    return out;
  };
  backend.parse_paths = [](const pipeline::SemanticWork& work) { return semantic_parse_paths(work_of(work)); };
  backend.finish = [](pipeline::SemanticWork& work, const pipeline::PreparedChunks& prepared,
                      syntax::ParserPool& pool) {
    return report_of(finish_semantic(work_of(work), chunks_of(prepared), pool));
  };
  backend.is_extra_missing = is_extra_missing;
  backend.chunk_file = [](const std::string& file_path, const std::string& text, const std::string& file_hash,
                          const std::string& language, syntax::ParserPool& pool, const syntax::ParseTree* tree) {
    std::vector<pipeline::PreparedChunk> prepared;
    for (chunker::Chunk& chunk : chunker::chunk_file(file_path, text, file_hash, language, {.tree = tree, .pool = &pool})) {
      std::string hash = chunk.file_hash;
      prepared.push_back({std::move(hash), std::move(chunk)});
    }
    return prepared;
  };
  return backend;
}

bool register_backend() {
  if (embedding_components_missing()) return false;
  pipeline::register_semantic_backend(make_backend());
  return true;
}

}  // namespace kolvex::semantic
