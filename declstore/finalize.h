// Finalizing a snapshot database before publication: per-file SCIP coverage
// flags and the one-row facts table.
//
// finalize_snapshot resets scip_outline and scip_definition of every file,
// sets them for the files that the converter data of `conn` covers (none on a
// syntax-only database), derives the capability facts (each occurrence blob
// decoded exactly once), writes the single kolvex_snapshot row and commits. An
// undecodable blob raises blobcodec::OccurrenceDecodeError and leaves nothing
// persisted; database errors propagate.
//
// Runs on the caller's thread; the caller owns `conn`.
#pragma once

#include <string>

#include "declstore/schema.h"

namespace kolvex::core {
class Connection;
}

namespace kolvex::declstore {

// The named arguments of finalize_snapshot; all are required.
struct FinalizeOptions {
  std::string generation;
  std::string commit_sha;
  std::string published_at;
  std::string source_hash;
  std::string scip_state;
};

SnapshotFacts finalize_snapshot(core::Connection& conn, const FinalizeOptions& options);

}  // namespace kolvex::declstore
