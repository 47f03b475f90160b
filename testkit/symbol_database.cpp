#include "testkit/symbol_database.h"

#include <algorithm>

#include "proto/scip.pb.h"
#include "testkit/converted_db.h"
#include "testkit/scip_builder.h"

namespace kolvex::defmatch {

void PrintTo(const SymbolHit& hit, std::ostream* out) {
  *out << "{" << hit.file_path << ", " << hit.start_line << ", " << hit.end_line << ", " << hit.dotted_path << ", "
       << platform::kind_text(hit.kind) << "}";
}

}  // namespace kolvex::defmatch

namespace kolvex::testkit {

std::string py_symbol(std::string_view descriptors) {
  return "scip-python python demo 1.0 " + std::string(descriptors);
}

void write_symbol_database(const std::filesystem::path& path, const std::vector<TestSymbol>& symbols) {
  std::vector<std::string> paths;
  std::vector<std::vector<scip::Occurrence>> occurrences;
  for (const TestSymbol& symbol : symbols) {
    auto it = std::find(paths.begin(), paths.end(), symbol.document);
    if (it == paths.end()) {
      paths.push_back(symbol.document);
      occurrences.emplace_back();
      it = std::prev(paths.end());
    }
    auto& list = occurrences[static_cast<std::size_t>(it - paths.begin())];
    if (symbol.definition) {
      auto occ = scip_occurrence(symbol.symbol, {symbol.definition->start, 4, 10}, scip::Definition);
      set_enclosing_range(occ, {symbol.definition->start, 0, symbol.definition->end, 1});
      list.push_back(std::move(occ));
    } else {
      list.push_back(scip_occurrence(symbol.symbol, {0, 0, 3}));
    }
  }
  std::vector<scip::Document> documents;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    documents.push_back(scip_document(paths[i], occurrences[i]));
  }
  write_converted_database(path, documents);
}

}  // namespace kolvex::testkit
