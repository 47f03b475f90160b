// Builds SCIP messages for tests: occurrences with packed or typed ranges,
// symbols with relationships, documents and whole indexes, and the blobs of a
// converted SCIP database (one zstd frame per blob).
//
// Plain functions returning the generated message types, so a test can still
// adjust any field before serialising. Thread-safe: no shared state.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "proto/scip.pb.h"

namespace kolvex::testkit {

// How a range is written: the deprecated packed field, or the typed oneof
// (3 values -> SingleLineRange, 4 -> MultiLineRange).
enum class RangeForm { packed, typed };

// An occurrence of `symbol` at `range` (0-based, SCIP's packed order).
scip::Occurrence scip_occurrence(std::string symbol, std::vector<std::int32_t> range, std::int32_t roles = 0,
                                 RangeForm form = RangeForm::packed);
// Writes `range` as the occurrence's enclosing range.
void set_enclosing_range(scip::Occurrence& occ, std::vector<std::int32_t> range, RangeForm form = RangeForm::packed);

struct RelationshipFlags {
  bool is_reference = false;
  bool is_implementation = false;
  bool is_type_definition = false;
  bool is_definition = false;
};
scip::Relationship scip_relationship(std::string symbol, RelationshipFlags flags = {});

struct SymbolFields {
  std::int32_t kind = 0;  // scip::SymbolInformation::Kind
  std::string display_name;
  std::string enclosing_symbol;
  std::vector<std::string> documentation;
  std::vector<scip::Relationship> relationships;
};
scip::SymbolInformation scip_symbol(std::string symbol, SymbolFields fields = {});

scip::Document scip_document(std::string relative_path, std::vector<scip::Occurrence> occurrences,
                             std::vector<scip::SymbolInformation> symbols = {}, std::string language = "");

struct IndexFields {
  std::string project_root = "file:///repo";
  std::string tool_name = "kolvex-testkit";
  std::string tool_version = "0.0.0";
  std::vector<scip::SymbolInformation> external_symbols;
};
scip::Index scip_index(std::vector<scip::Document> documents, IndexFields fields = {});

// Serialises `index` to `path` (the file an indexer writes, "index.scip").
void write_scip_index(const std::filesystem::path& path, const scip::Index& index);

// `bytes` as one zstd frame; with `declare_size` false the frame header leaves
// the content size unstated.
std::string zstd_frame(std::string_view bytes, bool declare_size = true);
// A `chunks.occurrences` value: a Document holding only these occurrences.
std::string occurrences_blob(const std::vector<scip::Occurrence>& occurrences, bool declare_size = true);
// A `global_symbols.relationships` value: a SymbolInformation holding only these.
std::string relationships_blob(const std::vector<scip::Relationship>& relationships, bool declare_size = true);

}  // namespace kolvex::testkit
