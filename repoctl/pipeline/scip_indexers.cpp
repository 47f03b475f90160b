#include "repoctl/pipeline/scip_indexers.h"

namespace kolvex::pipeline {
namespace detail {

const std::vector<std::pair<std::string, LanguageIndexer>>& language_indexers() {
  static const std::vector<std::pair<std::string, LanguageIndexer>> table = {
      {".ts", {"typescript", {"scip-typescript", "index"}}},
      {".tsx", {"typescript", {"scip-typescript", "index"}}},
      {".py", {"python", {"scip-python", "index"}}},
      {".java", {"java", {"scip-java", "index"}}},
      {".kt", {"java", {"scip-java", "index"}}},
      {".swift", {"swift", {"scip-swift"}}},
  };
  return table;
}

const LanguageIndexer* indexer_for_suffix(std::string_view suffix) {
  for (const auto& [key, row] : language_indexers()) {
    if (key == suffix) return &row;
  }
  return nullptr;
}

const std::vector<std::string>& ext_priority() {
  static const std::vector<std::string> order = {".ts", ".tsx", ".py", ".java", ".kt", ".swift"};
  return order;
}

}  // namespace detail

const std::vector<std::pair<std::string, Command>>& indexer_by_language() {
  // Derived from the suffix table: a later row of a language replaces the value
  // and keeps the key at its first position.
  static const std::vector<std::pair<std::string, Command>> table = [] {
    std::vector<std::pair<std::string, Command>> out;
    for (const auto& [suffix, row] : detail::language_indexers()) {
      auto it = out.begin();
      for (; it != out.end(); ++it) {
        if (it->first == row.language) break;
      }
      if (it == out.end()) {
        out.emplace_back(row.language, row.command);
      } else {
        it->second = row.command;
      }
    }
    return out;
  }();
  return table;
}

const Command* indexer_for(std::string_view language) {
  for (const auto& [key, command] : indexer_by_language()) {
    if (key == language) return &command;
  }
  return nullptr;
}

bool supports_scip(std::string_view language) { return indexer_for(language) != nullptr; }

}  // namespace kolvex::pipeline
