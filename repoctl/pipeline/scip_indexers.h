// The SCIP indexer tables: which tracked-file suffix makes a repository a SCIP
// language, the indexer program of each language, and the order in which
// suffixes break a tie.
//
// The tables are built once on first use and read-only afterwards; every
// function is pure and may be called from any thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "repoctl/pipeline/runner.h"

namespace kolvex::pipeline {

// A SCIP language and the base argument list of its indexer.
struct LanguageIndexer {
  std::string language;
  Command command;
};

// The SCIP languages in the order of the indexer table: the languages for which
// an attempt is possible. Sorted, they are the command line's --language choices.
const std::vector<std::pair<std::string, Command>>& indexer_by_language();
// The base indexer argument list of `language`, or null when it has no indexer.
const Command* indexer_for(std::string_view language);
// True when `language` has a SCIP indexer.
bool supports_scip(std::string_view language);

namespace detail {

// Suffix (dot included, case-sensitive) to SCIP language and indexer, in table order.
const std::vector<std::pair<std::string, LanguageIndexer>>& language_indexers();
// The row of `suffix`, or null when the suffix is not in the table.
const LanguageIndexer* indexer_for_suffix(std::string_view suffix);
// Tie-break order of the suffixes: earlier wins.
const std::vector<std::string>& ext_priority();

}  // namespace detail
}  // namespace kolvex::pipeline
