// What the SCIP data of a snapshot database covers, and the in-scope file counts.
//
// scip_capability_facts reads a converted SCIP database's documents, chunks and
// defn_enclosing_ranges (on a database without `documents` it reads nothing and
// answers no coverage) and decodes every occurrences blob exactly once. A
// document covers the syntax_files row whose file_path equals its relative_path
// byte for byte. Finalization stores the result; the facts reader derives it for
// legacy snapshots. coverage_counts_from_syntax_files counts the in-scope rows of
// syntax_files by state.
//
// Both only read. Undecodable blobs raise blobcodec::OccurrenceDecodeError (a
// non-blob value std::invalid_argument); database errors pass unchanged.
// Thread-safety: stateless; the connection belongs to the caller's thread.
#pragma once

#include <set>
#include <string>

#include "declstore/schema.h"

namespace kolvex::core {
class Connection;
}

namespace kolvex::declstore {

struct ScipCapabilityFacts {
  // Documents with an enclosing-range row or a non-local definition occurrence.
  std::set<std::string> outline_paths;
  // Documents with a non-local definition occurrence (a subset of outline_paths).
  std::set<std::string> definition_paths;
  // Any non-local occurrence, of any role.
  bool has_references = false;
  // References, and at least one enclosing-range row that belongs to a document.
  bool has_calls = false;
  // The database carries relationship (type) data.
  bool has_types = false;

  bool operator==(const ScipCapabilityFacts&) const = default;
};

// A document-local symbol starts with this prefix; every other symbol text,
// the empty one included, is non-local.
inline constexpr std::string_view LOCAL_SYMBOL_PREFIX = "local ";

ScipCapabilityFacts scip_capability_facts(core::Connection& conn);

CoverageCounts coverage_counts_from_syntax_files(core::Connection& conn);

}  // namespace kolvex::declstore
