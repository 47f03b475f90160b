// The stand-in for `scip expt-convert`: turns a SCIP index file into the
// converted SCIP database that indexing reads.
//
// Tables written (0-based lines and characters, as SCIP stores them):
//   documents(id, relative_path)                     one row per document, index order
//   global_symbols(id, symbol, kind, relationships)  one row per distinct non-local symbol
//   chunks(id, document_id, occurrences)              up to OCCURRENCES_PER_CHUNK consecutive
//                                                     occurrences of one document, as one zstd
//                                                     frame of a scip.Document holding them
//   mentions(chunk_id, symbol_id, role)               one row per occurrence of a non-local symbol
//   defn_enclosing_ranges(id, document_id, symbol_id, start_line, end_line)
//                                                     one row per definition of a non-local
//                                                     symbol that carries an enclosing range
// Symbols are numbered in order of first appearance: per document its symbol
// information, then its occurrences; then the index's external symbols. The first
// symbol information of a symbol gives its kind (NULL when unspecified) and, when
// it has relationships, the `relationships` blob (one zstd frame of that
// scip.SymbolInformation; else NULL). Local ("local ...") and empty symbols get
// no rows of their own.
//
// The database is written under a temporary name beside the output and renamed
// into place only when complete, so a failed conversion leaves no database behind.
// Single-threaded; no shared state.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "core/error.h"

namespace kolvex::tools {

inline constexpr std::size_t OCCURRENCES_PER_CHUNK = 256;

// Input that is not a usable SCIP index, or an output that cannot be written.
class ConvertError : public core::Error {
 public:
  using Error::Error;
  const char* type_name() const noexcept override { return "ConvertError"; }
};

void convert_index_file(const std::filesystem::path& index_path, const std::filesystem::path& db_path);

}  // namespace kolvex::tools
