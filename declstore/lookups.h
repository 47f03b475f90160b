// Read-side lookups of the syntax snapshot tables: a file's declarations, one
// declaration by id, declarations whose dotted name matches a query, and a
// file's parse outcome with its SCIP coverage bits (the per-file routing signal
// between SCIP answers and syntax answers).
//
// Callers ask has_syntax_tables first: on a snapshot without the syntax tables
// every lookup fails with the engine's missing-table error. Not-found answers
// are an empty list, an absent value or the pair ("unknown", absent); every
// error (database errors, a stored kind the vocabulary does not know) passes
// unchanged. Nothing is written, no transaction is opened, the connection is
// never closed.
//
// find_syntax_symbols matches against a name map of every eligible declaration.
// For a published snapshot (a connection opened read-only with immutable=1, as
// the query side opens them) the map is built once and kept in a process-wide
// cache of the NAME_MAP_CACHE_MAX_SIZE most recently used maps, keyed by the
// database file's path, device, inode, size and modification time and by
// uncovered_only; published files never change, so an entry is never
// refreshed. Any other connection (a database being built, in-memory or
// temporary) gets a new map on every call and never touches the cache. A build
// that fails stores nothing, so its error is raised again by every call.
//
// Thread-safety: any number of threads may call at once, each with its own
// connection or one the connection wrapper shares safely. The cache's mutex is
// held only for its map operations, never while a map is built: concurrent
// misses on one file each build an equal map and the later store wins. A map in
// use stays valid after its entry is evicted.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "syntax/records.h"

namespace kolvex::core {
class Connection;
}

namespace kolvex::declstore {

// One file's parse state with its SCIP coverage bits.
struct FileProviderCoverage {
  std::string state;
  std::optional<std::string> reason;
  bool scip_outline;
  bool scip_definition;

  bool operator==(const FileProviderCoverage&) const = default;
};

// The state answered for a path that syntax_files does not hold.
inline constexpr std::string_view UNKNOWN_FILE_STATE = "unknown";

inline constexpr std::size_t NAME_MAP_CACHE_MAX_SIZE = 64;

struct FindOptions {
  // Only declarations of files without SCIP definitions, so that syntax answers
  // fill in where SCIP has none.
  bool uncovered_only = true;
};

// The declarations of `file_path` (matched exactly), by ascending selection start byte.
std::vector<syntax::SyntaxSymbol> file_symbols(core::Connection& conn, std::string_view file_path);

// The declaration with id `symbol`, or none.
std::optional<syntax::SyntaxSymbol> get_syntax_symbol(core::Connection& conn, std::string_view symbol);

// The declarations whose qualified name matches `query` by the symbol
// vocabulary's case-sensitive dotted-suffix rule, in the matcher's order (a
// candidate it lists twice comes back twice). Candidate lists longer than the
// connection's bound-parameter limit are read in batches, with the same answer.
std::vector<syntax::SyntaxSymbol> find_syntax_symbols(core::Connection& conn, std::string_view query,
                                                      const FindOptions& options = {});

// The stored (state, reason) of `path`, or (UNKNOWN_FILE_STATE, none).
std::pair<std::string, std::optional<std::string>> file_coverage(core::Connection& conn, std::string_view path);

// The stored state, reason and coverage bits of `path`, or none.
std::optional<FileProviderCoverage> file_provider_coverage(core::Connection& conn, std::string_view path);

}  // namespace kolvex::declstore
