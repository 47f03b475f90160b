// Symbol-definition search: a natural-language query to ranked definition
// locations in a converted SCIP database (tables global_symbols, documents and
// defn_enclosing_ranges).
//
// search_symbols extracts the query's tokens, ranks the matching candidates of
// the database's lower-cased name map (cached per database file, see
// lower_map.h) and probes the CANDIDATE_SCAN_CAP best for a definition range,
// in ranked order, until `limit` hits are found. Candidates without a
// definition (symbols defined outside the repository) are skipped silently;
// a symbol with several definition ranges yields the first one stored. Hits are
// not de-duplicated. A query without tokens, or a limit below 1, gives no hits
// without touching the connection.
//
// Best-effort by contract, for the caller to forgive: nothing is caught here.
// SQLite errors (a database without the converter's tables, a closed
// connection), failures of the name map and a definition row with a missing
// path or line (core::ValueError) reach the caller, never a partial list.
//
// The connection is lent for the call: only read, never closed, no transaction
// opened. Thread-safety: callers may run on any threads, each with a
// connection the core wrapper lets it use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/descriptor_kind.h"

namespace kolvex::core {
class Connection;
}

namespace kolvex::defmatch {

// Default number of hits, the one hybrid search uses.
inline constexpr int SYMBOL_TOP_K = 10;

// One symbol-definition location; lines are 1-based and inclusive.
struct SymbolHit {
  std::string file_path;
  std::int64_t start_line;
  std::int64_t end_line;
  std::string dotted_path;
  platform::DescriptorKind kind;

  bool operator==(const SymbolHit&) const = default;
};

std::vector<SymbolHit> search_symbols(core::Connection& conn, std::string_view query, int limit = SYMBOL_TOP_K);

namespace detail {
// Most ranked candidates probed for a definition in one search.
inline constexpr std::size_t CANDIDATE_SCAN_CAP = 200;
}  // namespace detail

}  // namespace kolvex::defmatch
