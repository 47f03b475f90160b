// The pipeline's glue around the optional semantic stage.
//
// The glue calls the semantic library's prepare and finish halves directly. The
// stage is "not available" when no model is given and the embedding components
// are not installed (semantic::embedding_components_missing, which loads
// nothing): the prepare half then reports one "semantic indexing skipped — …"
// line and the run goes on without the stage. Every failure of the two halves
// costs one line to the caller's diagnostics sink and an absent or false
// result; the navigation snapshot is published either way.
//
// Runs on the caller's thread; a work record belongs to one thread from the
// prepare half to the finish half.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/diagnostics.h"
#include "semantic/finish.h"
#include "semantic/model.h"
#include "semantic/prepare.h"

namespace kolvex::syntax {
class ParserPool;
}
namespace kolvex::declstore {
struct SourceManifest;
}

namespace kolvex::pipeline {

// Repository-relative file path to the chunks cut from the build's parse tree.
using PreparedChunks = semantic::PreparedChunkMap;

// The model of the stage: the one given (tests), else the process-wide
// default, which counts only when the embedding components are installed.
// Null when the stage is not available.
std::shared_ptr<semantic::SemanticModel> semantic_stage_model(std::shared_ptr<semantic::SemanticModel> model);

namespace detail {

// Prepare half: the work record, or none after one line to `diagnostics`
// (the stage is not available, or preparing failed). A null model means the
// process-wide default.
std::optional<semantic::SemanticWork> prepare_semantic_stage(
    const std::filesystem::path& repo_path, const std::string& slug, const std::optional<std::filesystem::path>& root,
    const std::vector<std::string>& include_prefixes, const declstore::SourceManifest* manifest,
    core::Diagnostics& diagnostics, std::shared_ptr<semantic::SemanticModel> model = nullptr);

// Finish half: true when the vector table was replaced and the report's lines
// went to `diagnostics`; false after one line.
bool finish_semantic_stage(semantic::SemanticWork& work, const PreparedChunks& prepared_chunks,
                           syntax::ParserPool& pool, core::Diagnostics& diagnostics);

// Both halves for callers that share no syntax build: no manifest, no prepared
// chunks, a fresh parser pool.
bool run_semantic_stage(const std::filesystem::path& repo_path, const std::string& slug,
                        const std::optional<std::filesystem::path>& root,
                        const std::vector<std::string>& include_prefixes, core::Diagnostics& diagnostics,
                        std::shared_ptr<semantic::SemanticModel> model = nullptr);

// Hands the report's lines to `diagnostics`, in order.
void report_semantic_summary(const semantic::SemanticIndexReport& report, core::Diagnostics& diagnostics);

}  // namespace detail
}  // namespace kolvex::pipeline
