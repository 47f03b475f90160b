// The pipeline's error types: one type per contract its caller can act on.
//
// Every error keeps its message and its cause (core/error.h); the types carry
// no other state and may be thrown and caught on any thread.
#pragma once

#include "core/error.h"

namespace kolvex::pipeline {

using core::GenericError;

// A pipeline step failed: a child process, a tool version gate, a repository
// without commits, the one-slug-per-path rule, or a stage of a run.
KOLVEX_DECLARE_ERROR(IndexingError, GenericError);
// The program of a step started by the process runner is not on PATH.
KOLVEX_DECLARE_ERROR(MissingBinaryError, IndexingError);
// No tracked file has a SCIP-indexable suffix, or a persisted language
// override is no longer supported.
KOLVEX_DECLARE_ERROR(UnsupportedLanguageError, GenericError);
// The repository path is not a git working tree.
KOLVEX_DECLARE_ERROR(NotAGitRepositoryError, GenericError);

}  // namespace kolvex::pipeline
