// Declaration walk: turns one parse tree into the ordered declarations of a file.
//
// Every node is visited once, in document order, with an explicit stack of
// frames (never recursion: tree depth is bounded only by memory). The rule of the
// file's language is asked about each node after wrappers are looked through;
// the walk keeps the qualification, the enclosing declaration and the byte range
// of wrappers that the rules cannot see. Pure; one call runs on one thread.
#pragma once

#include <tree_sitter/api.h>

#include <string_view>
#include <vector>

#include "syntax/records.h"
#include "syntax/rules.h"

namespace kolvex::syntax {

// The declarations of the tree under `root`, in pre-order document order.
// `source` must be the bytes the tree was parsed from. A language without a rule
// gives an empty list. Errors of the rules or of slice_text pass through.
std::vector<SyntaxSymbol> walk_declarations(std::string_view language, TSNode root,
                                            std::string_view source, std::string_view file_path,
                                            std::string_view file_hash);

// The same walk with an explicit rule (nullptr: no rule) in place of the rule
// of the language; `language` still selects the wrappers that are looked through.
std::vector<SyntaxSymbol> walk_with_rule(Rule rule, std::string_view language, TSNode root,
                                         std::string_view source, std::string_view file_path,
                                         std::string_view file_hash);

// The span of one node, exactly as tree-sitter reports it.
Span node_span(TSNode node);

}  // namespace kolvex::syntax
