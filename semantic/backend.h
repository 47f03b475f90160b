// The semantic index as the indexing pipeline binds it.
//
// The pipeline reaches the semantic stage only through its SemanticBackend
// table (repoctl/pipeline/semantic_glue.h). make_backend fills that table with
// this library's prepare and finish halves, the chunker and the test that tells
// "semantic components are not installed" apart from other failures;
// register_backend registers it. The `kolvex` program calls register_backend at
// start-up.
//
// The library counts as available when the embedding runtime can be bound and
// the process-wide model's file is in the model store: only then does
// register_backend register it. Otherwise nothing is registered, and the
// pipeline skips the stage with its "semantic indexing skipped — install …" line
// while the command line's install offer sees the components as missing, both
// without loading anything. A vector store or runtime that turns out to be
// missing later, or a model that vanished, ends the stage with "semantic
// indexing skipped — <reason>" (is_extra_missing).
//
// Registration is thread-safe (the pipeline guards it); the entry points run on
// the caller's thread like the halves they call.
#pragma once

#include <memory>

#include "repoctl/pipeline/semantic_glue.h"
#include "semantic/model.h"

namespace kolvex::semantic {

struct BackendOptions {
  // The model of the semantic stage (null: the process-wide default model).
  std::shared_ptr<SemanticModel> model;
};

pipeline::SemanticBackend make_backend(BackendOptions options = {});

// Registers make_backend() with the pipeline when the embedding components are
// available; true when it did.
bool register_backend();

// True when `error` means that a semantic component is not installed.
bool is_extra_missing(const std::exception& error);

}  // namespace kolvex::semantic
