#include "testkit/scip_builder.h"

#include <zstd.h>

#include <fstream>
#include <memory>
#include <stdexcept>

namespace kolvex::testkit {
namespace {

void write_single(scip::SingleLineRange* typed, const std::vector<std::int32_t>& range) {
  typed->set_line(range[0]);
  typed->set_start_character(range[1]);
  typed->set_end_character(range[2]);
}

void write_multi(scip::MultiLineRange* typed, const std::vector<std::int32_t>& range) {
  typed->set_start_line(range[0]);
  typed->set_start_character(range[1]);
  typed->set_end_line(range[2]);
  typed->set_end_character(range[3]);
}

void check_typed(const std::vector<std::int32_t>& range) {
  if (range.size() != 3 && range.size() != 4) {
    throw std::invalid_argument("a typed range has 3 or 4 values, not " + std::to_string(range.size()));
  }
}

}  // namespace

scip::Occurrence scip_occurrence(std::string symbol, std::vector<std::int32_t> range, std::int32_t roles,
                                 RangeForm form) {
  scip::Occurrence occ;
  occ.set_symbol(std::move(symbol));
  occ.set_symbol_roles(roles);
  if (form == RangeForm::packed) {
    occ.mutable_range()->Add(range.begin(), range.end());
  } else {
    check_typed(range);
    if (range.size() == 3) {
      write_single(occ.mutable_single_line_range(), range);
    } else {
      write_multi(occ.mutable_multi_line_range(), range);
    }
  }
  return occ;
}

void set_enclosing_range(scip::Occurrence& occ, std::vector<std::int32_t> range, RangeForm form) {
  if (form == RangeForm::packed) {
    occ.mutable_enclosing_range()->Clear();
    occ.mutable_enclosing_range()->Add(range.begin(), range.end());
    return;
  }
  check_typed(range);
  if (range.size() == 3) {
    write_single(occ.mutable_single_line_enclosing_range(), range);
  } else {
    write_multi(occ.mutable_multi_line_enclosing_range(), range);
  }
}

scip::Relationship scip_relationship(std::string symbol, RelationshipFlags flags) {
  scip::Relationship rel;
  rel.set_symbol(std::move(symbol));
  rel.set_is_reference(flags.is_reference);
  rel.set_is_implementation(flags.is_implementation);
  rel.set_is_type_definition(flags.is_type_definition);
  rel.set_is_definition(flags.is_definition);
  return rel;
}

scip::SymbolInformation scip_symbol(std::string symbol, SymbolFields fields) {
  scip::SymbolInformation info;
  info.set_symbol(std::move(symbol));
  info.set_kind(static_cast<scip::SymbolInformation::Kind>(fields.kind));
  info.set_display_name(std::move(fields.display_name));
  info.set_enclosing_symbol(std::move(fields.enclosing_symbol));
  for (auto& line : fields.documentation) info.add_documentation(std::move(line));
  for (auto& rel : fields.relationships) *info.add_relationships() = std::move(rel);
  return info;
}

scip::Document scip_document(std::string relative_path, std::vector<scip::Occurrence> occurrences,
                             std::vector<scip::SymbolInformation> symbols, std::string language) {
  scip::Document doc;
  doc.set_relative_path(std::move(relative_path));
  doc.set_language(std::move(language));
  for (auto& occ : occurrences) *doc.add_occurrences() = std::move(occ);
  for (auto& info : symbols) *doc.add_symbols() = std::move(info);
  return doc;
}

scip::Index scip_index(std::vector<scip::Document> documents, IndexFields fields) {
  scip::Index index;
  scip::Metadata* metadata = index.mutable_metadata();
  metadata->set_project_root(std::move(fields.project_root));
  metadata->set_text_document_encoding(scip::UTF8);
  metadata->mutable_tool_info()->set_name(std::move(fields.tool_name));
  metadata->mutable_tool_info()->set_version(std::move(fields.tool_version));
  for (auto& doc : documents) *index.add_documents() = std::move(doc);
  for (auto& info : fields.external_symbols) *index.add_external_symbols() = std::move(info);
  return index;
}

void write_scip_index(const std::filesystem::path& path, const scip::Index& index) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out || !index.SerializeToOstream(&out) || !out.flush()) {
    throw std::runtime_error("cannot write SCIP index " + path.string());
  }
}

std::string zstd_frame(std::string_view bytes, bool declare_size) {
  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> cctx(ZSTD_createCCtx(), &ZSTD_freeCCtx);
  if (!cctx) throw std::bad_alloc();
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, declare_size ? 1 : 0);
  std::string out(ZSTD_compressBound(bytes.size()), '\0');
  std::size_t size = ZSTD_compress2(cctx.get(), out.data(), out.size(), bytes.data(), bytes.size());
  if (ZSTD_isError(size)) throw std::runtime_error(std::string("zstd compression failed: ") + ZSTD_getErrorName(size));
  out.resize(size);
  return out;
}

std::string occurrences_blob(const std::vector<scip::Occurrence>& occurrences, bool declare_size) {
  scip::Document doc;
  for (const auto& occ : occurrences) *doc.add_occurrences() = occ;
  return zstd_frame(doc.SerializeAsString(), declare_size);
}

std::string relationships_blob(const std::vector<scip::Relationship>& relationships, bool declare_size) {
  scip::SymbolInformation info;
  for (const auto& rel : relationships) *info.add_relationships() = rel;
  return zstd_frame(info.SerializeAsString(), declare_size);
}

}  // namespace kolvex::testkit
