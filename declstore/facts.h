// The facts of the generation a snapshot database holds.
//
// read_snapshot_facts reads the one kolvex_snapshot row that finalization wrote
// (a syntax database, or a converted SCIP database with the syntax tables). A
// table without its row, a row missing one of its four texts, or a counts text
// that does not give the five counts fails closed with SnapshotCorruptionError;
// facts are never invented. A legacy snapshot, which has no kolvex_snapshot
// table, gets facts derived from its converter tables (scip_state "legacy", the
// three texts and the counts absent). That derivation decodes every occurrences
// blob, so its result is remembered per database file in a process-wide cache of
// the LEGACY_FACTS_CACHE_MAX_SIZE most recently used files; published files
// never change, so an entry is never refreshed. In-memory and temporary
// databases are derived on every call and never cached.
//
// Nothing here writes; a read-only connection suffices. Thread-safety: callers
// on any number of threads may use it at once, each with its own connection (or
// one the wrapper shares safely). The cache is guarded by a mutex that is held
// only for its map operations, never while a derivation reads the database, so
// two callers that miss on the same file both derive and store equal records.
#pragma once

#include <cstddef>

#include "core/error.h"
#include "declstore/schema.h"

namespace kolvex::core {
class Connection;
}

namespace kolvex::declstore {

// kolvex_snapshot exists but its row is missing or cannot be trusted.
class SnapshotCorruptionError : public core::RuntimeError {
 public:
  using RuntimeError::RuntimeError;
  const char* type_name() const noexcept override { return "SnapshotCorruptionError"; }
};

inline constexpr std::size_t LEGACY_FACTS_CACHE_MAX_SIZE = 64;

// The facts of the snapshot database behind `conn` (lent, never closed).
// Raises SnapshotCorruptionError; database errors and the decoding errors of a
// legacy derivation pass unchanged (and leave nothing cached).
SnapshotFacts read_snapshot_facts(core::Connection& conn);

}  // namespace kolvex::declstore
