// Converted SCIP databases for symbol-search tests: each symbol is either
// defined (an occurrence with the definition role and an enclosing range) or
// only referenced, in a named document.
#pragma once

#include <filesystem>
#include <ostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "defmatch/search.h"

namespace kolvex::defmatch {
// Readable hits in test failure messages.
void PrintTo(const SymbolHit& hit, std::ostream* out);
}  // namespace kolvex::defmatch

namespace kolvex::testkit {

struct Lines {
  int start;  // 0-based, as the converter stores them
  int end;
};

struct TestSymbol {
  std::string symbol;
  std::optional<Lines> definition;  // none: only referenced
  std::string document = "src/app.py";
};

// A SCIP symbol string of a Python package: "scip-python python demo 1.0 " + descriptors.
std::string py_symbol(std::string_view descriptors);

// Writes the converted database of these symbols. Occurrences are written per
// document (documents in order of first mention), symbols in list order, so
// global_symbols ids follow the list within one document.
void write_symbol_database(const std::filesystem::path& path, const std::vector<TestSymbol>& symbols);

}  // namespace kolvex::testkit
