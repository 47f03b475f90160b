#include "repoctl/pipeline/semantic_glue.h"

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
    core::Diagnostics& diagnostics, std::shared_ptr<semantic::SemanticModel> model) {
  try {
    model = semantic_stage_model(std::move(model));
    if (!model) {
      diagnostics.line(std::string(SKIPPED_PREFIX) +
                       "install kolvex-mcp[semantic] (uv tool install), or `uv sync --extra semantic` in a source "
                       "checkout");
      return std::nullopt;
    }
    return semantic::prepare_semantic(
        repo_path, slug, {.root = root, .model = model, .include_prefixes = include_prefixes, .manifest = manifest});
  } catch (const std::exception& error) {
    diagnostics.line(FAILED_PREFIX + std::string(error.what()));
    return std::nullopt;
  }
}

bool finish_semantic_stage(semantic::SemanticWork& work, const PreparedChunks& prepared_chunks,
                           syntax::ParserPool& pool, core::Diagnostics& diagnostics) {
  for (const semantic::SemanticInput& input : work.inputs) {
    auto entry = prepared_chunks.find(input.file_path);
    if (entry == prepared_chunks.end()) continue;
    for (const chunker::Chunk& chunk : entry->second) {
      if (chunk.file_hash != input.file_hash) {
        diagnostics.line("debug: semantic: discarding prepared chunks for " + input.file_path +
                         " — file hash changed between syntax capture and semantic finish; re-chunking from source");
        break;
      }
    }
  }
  try {
    report_semantic_summary(semantic::finish_semantic(work, prepared_chunks, pool), diagnostics);
    return true;
  } catch (const std::exception& error) {
    diagnostics.line((semantic::is_extra_missing(error) ? SKIPPED_PREFIX : FAILED_PREFIX) + std::string(error.what()));
    return false;
  }
}

bool run_semantic_stage(const std::filesystem::path& repo_path, const std::string& slug,
                        const std::optional<std::filesystem::path>& root,
                        const std::vector<std::string>& include_prefixes, core::Diagnostics& diagnostics,
                        std::shared_ptr<semantic::SemanticModel> model) {
  std::optional<semantic::SemanticWork> work =
      prepare_semantic_stage(repo_path, slug, root, include_prefixes, nullptr, diagnostics, std::move(model));
  if (!work) return false;
  syntax::ParserPool pool;
  return finish_semantic_stage(*work, PreparedChunks{}, pool, diagnostics);
}

void report_semantic_summary(const semantic::SemanticIndexReport& report, core::Diagnostics& diagnostics) {
  diagnostics.line("semantic: " + std::to_string(report.rows) + " chunks from " + std::to_string(report.files) +
                   " files");
  for (const semantic::SkippedFile& skipped : report.skipped) {
    diagnostics.line("semantic: skipped " + skipped.file_path + " (" + skipped.reason + ")");
  }
  if (report.token_stats) {
    diagnostics.line("semantic: chunk tokens p50=" + std::to_string(report.token_stats->p50) +
                     " p90=" + std::to_string(report.token_stats->p90) +
                     " max=" + std::to_string(report.token_stats->max));
  }
  if (report.prefix_warning && !report.prefix_warning->empty()) {
    diagnostics.line("warning: " + *report.prefix_warning);
  }
  if (!report.truncated) {
    diagnostics.line("semantic: could not measure truncation");
  } else if (*report.truncated > 0) {
    diagnostics.line("warning: " + std::to_string(*report.truncated) +
                     " chunks exceeded the model's token limit and were truncated");
  }
}

}  // namespace detail
}  // namespace kolvex::pipeline
