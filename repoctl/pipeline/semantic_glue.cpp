#include "repoctl/pipeline/semantic_glue.h"

#include <iostream>

#include "syntax/parser_pool.h"

namespace kolvex::pipeline {
namespace {

constexpr const char* SKIPPED_PREFIX = "semantic indexing skipped — ";
constexpr const char* FAILED_PREFIX = "warning: semantic indexing failed (index still published): ";

}  // namespace

std::shared_ptr<semantic::SemanticModel> semantic_stage_model(std::shared_ptr<semantic::SemanticModel> model) {
  if (model) return model;
  if (semantic::embedding_components_missing()) return nullptr;
  return semantic::default_semantic_model();
}

namespace detail {

std::optional<semantic::SemanticWork> prepare_semantic_stage(
    const std::filesystem::path& repo_path, const std::string& slug, const std::optional<std::filesystem::path>& root,
    const std::vector<std::string>& include_prefixes, const declstore::SourceManifest* manifest,
    std::shared_ptr<semantic::SemanticModel> model) {
  try {
    model = semantic_stage_model(std::move(model));
    if (!model) {
      std::cerr << SKIPPED_PREFIX
                << "install kolvex-mcp[semantic] (uv tool install), or `uv sync --extra semantic` in a source "
                   "checkout\n";
      return std::nullopt;
    }
    return semantic::prepare_semantic(
        repo_path, slug, {.root = root, .model = model, .include_prefixes = include_prefixes, .manifest = manifest});
  } catch (const std::exception& error) {
    std::cerr << FAILED_PREFIX << error.what() << "\n";
    return std::nullopt;
  }
}

bool finish_semantic_stage(semantic::SemanticWork& work, const PreparedChunks& prepared_chunks,
                           syntax::ParserPool& pool) {
  for (const semantic::SemanticInput& input : work.inputs) {
    auto entry = prepared_chunks.find(input.file_path);
    if (entry == prepared_chunks.end()) continue;
    for (const chunker::Chunk& chunk : entry->second) {
      if (chunk.file_hash != input.file_hash) {
        std::cerr << "debug: semantic: discarding prepared chunks for " << input.file_path
                  << " — file hash changed between syntax capture and semantic finish; re-chunking from source\n";
        break;
      }
    }
  }
  try {
    print_semantic_report(semantic::finish_semantic(work, prepared_chunks, pool));
    return true;
  } catch (const std::exception& error) {
    std::cerr << (semantic::is_extra_missing(error) ? SKIPPED_PREFIX : FAILED_PREFIX) << error.what() << "\n";
    return false;
  }
}

bool run_semantic_stage(const std::filesystem::path& repo_path, const std::string& slug,
                        const std::optional<std::filesystem::path>& root,
                        const std::vector<std::string>& include_prefixes,
                        std::shared_ptr<semantic::SemanticModel> model) {
  std::optional<semantic::SemanticWork> work =
      prepare_semantic_stage(repo_path, slug, root, include_prefixes, nullptr, std::move(model));
  if (!work) return false;
  syntax::ParserPool pool;
  return finish_semantic_stage(*work, PreparedChunks{}, pool);
}

void print_semantic_report(const semantic::SemanticIndexReport& report) {
  std::cerr << "semantic: " << report.rows << " chunks from " << report.files << " files\n";
  for (const semantic::SkippedFile& skipped : report.skipped) {
    std::cerr << "semantic: skipped " << skipped.file_path << " (" << skipped.reason << ")\n";
  }
  if (report.token_stats) {
    std::cerr << "semantic: chunk tokens p50=" << report.token_stats->p50 << " p90=" << report.token_stats->p90
              << " max=" << report.token_stats->max << "\n";
  }
  if (report.prefix_warning && !report.prefix_warning->empty()) {
    std::cerr << "warning: " << *report.prefix_warning << "\n";
  }
  if (!report.truncated) {
    std::cerr << "semantic: could not measure truncation\n";
  } else if (*report.truncated > 0) {
    std::cerr << "warning: " << *report.truncated << " chunks exceeded the model's token limit and were truncated\n";
  }
}

}  // namespace detail
}  // namespace kolvex::pipeline
