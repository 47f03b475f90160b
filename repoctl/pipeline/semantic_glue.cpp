#include "repoctl/pipeline/semantic_glue.h"

#include <iostream>
#include <mutex>

#include "core/error.h"
#include "syntax/parser_pool.h"

namespace kolvex::pipeline {
namespace {

constexpr const char* SKIPPED_PREFIX = "semantic indexing skipped — ";
constexpr const char* FAILED_PREFIX = "warning: semantic indexing failed (index still published): ";

std::mutex backend_mutex;
std::shared_ptr<const SemanticBackend> registered_backend;

std::shared_ptr<const SemanticBackend> require_backend() {
  std::shared_ptr<const SemanticBackend> backend = bind_semantic_backend();
  if (!backend) throw core::Error("the semantic index library is not available");
  return backend;
}

}  // namespace

void register_semantic_backend(std::optional<SemanticBackend> backend) {
  std::lock_guard<std::mutex> lock(backend_mutex);
  registered_backend = backend ? std::make_shared<const SemanticBackend>(std::move(*backend)) : nullptr;
}

std::shared_ptr<const SemanticBackend> bind_semantic_backend() {
  std::lock_guard<std::mutex> lock(backend_mutex);
  return registered_backend;
}

std::set<std::string> semantic_parse_paths(const SemanticWork& work) { return require_backend()->parse_paths(work); }

namespace detail {

std::optional<SemanticWork> prepare_semantic_stage(const std::filesystem::path& repo_path, const std::string& slug,
                                                   const std::optional<std::filesystem::path>& root,
                                                   const std::vector<std::string>& include_prefixes,
                                                   const declstore::SourceManifest* manifest) {
  std::shared_ptr<const SemanticBackend> backend = bind_semantic_backend();
  if (!backend) {
    std::cerr << SKIPPED_PREFIX
              << "install kolvex-mcp[semantic] (uv tool install), or `uv sync --extra semantic` in a source "
                 "checkout\n";
    return std::nullopt;
  }
  try {
    return backend->prepare(repo_path, slug, root, include_prefixes, manifest);
  } catch (const std::exception& error) {
    std::cerr << FAILED_PREFIX << error.what() << "\n";
    return std::nullopt;
  }
}

bool finish_semantic_stage(SemanticWork& work, const PreparedChunks& prepared_chunks, syntax::ParserPool& pool) {
  std::shared_ptr<const SemanticBackend> backend = require_backend();
  for (const SemanticInputRef& input : work.inputs) {
    auto entry = prepared_chunks.find(input.file_path);
    if (entry == prepared_chunks.end()) continue;
    for (const PreparedChunk& chunk : entry->second) {
      if (chunk.file_hash != input.file_hash) {
        std::cerr << "debug: semantic: discarding prepared chunks for " << input.file_path
                  << " — file hash changed between syntax capture and semantic finish; re-chunking from source\n";
        break;
      }
    }
  }
  try {
    SemanticReport report = backend->finish(work, prepared_chunks, pool);
    print_semantic_report(report);
    return true;
  } catch (const std::exception& error) {
    bool missing = backend->is_extra_missing && backend->is_extra_missing(error);
    std::cerr << (missing ? SKIPPED_PREFIX : FAILED_PREFIX) << error.what() << "\n";
    return false;
  }
}

bool run_semantic_stage(const std::filesystem::path& repo_path, const std::string& slug,
                        const std::optional<std::filesystem::path>& root,
                        const std::vector<std::string>& include_prefixes) {
  std::optional<SemanticWork> work = prepare_semantic_stage(repo_path, slug, root, include_prefixes, nullptr);
  if (!work) return false;
  syntax::ParserPool pool;
  return finish_semantic_stage(*work, PreparedChunks{}, pool);
}

void print_semantic_report(const SemanticReport& report) {
  std::cerr << "semantic: " << report.rows << " chunks from " << report.files << " files\n";
  for (const SkippedFileRef& skipped : report.skipped) {
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
