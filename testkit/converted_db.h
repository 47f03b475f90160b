// Converted SCIP databases for tests: the tables that `scip expt-convert`
// writes (documents, chunks, mentions, global_symbols, defn_enclosing_ranges,
// blobs as one zstd frame each), made from SCIP documents.
//
// The conversion is the one the `scip` stand-in performs (tools/scip), so tests
// read exactly what an indexing run would read. Tests that need data no
// converter writes (a corrupt blob, an enclosing range without its definition)
// change the tables with SQL afterwards.
//
// Thread-safety: no shared state; distinct paths may be written concurrently.
#pragma once

#include <filesystem>
#include <vector>

#include "proto/scip.pb.h"
#include "testkit/scip_builder.h"

namespace kolvex::testkit {

// Writes the converted database of an index holding `documents` to `db_path`
// (replacing a file there). Throws what the conversion throws.
void write_converted_database(const std::filesystem::path& db_path, const std::vector<scip::Document>& documents,
                              const IndexFields& fields = {});

}  // namespace kolvex::testkit
