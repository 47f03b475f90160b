// Declaration walk: turns one parse tree into the ordered declarations of a file.
//
// Every node is visited once, in document order, with an explicit stack of
// frames (never recursion: tree depth is bounded only by memory). The rule of the
// file's language is asked about each node after wrappers are looked through;
// the walk keeps the qualification, the enclosing declaration and the byte range
// of wrappers that the rules cannot see. Pure; one call runs on one thread.
//
// The work and output of one file are bounded: a declaration (or a qualifying
// context) nested deeper than MAX_DECLARATION_DEPTH levels is left out with
// everything below it, and once the qualified names of a file reach its budget
// (qualified_name_budget) no later declaration is produced. A file that meets
// either bound says so in the walk's `bound_reason`, so that each qualified name
// (which repeats every enclosing name) can never make the output grow with the
// square of the nesting.
#pragma once

#include <tree_sitter/api.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "syntax/records.h"
#include "syntax/rules.h"

namespace kolvex::syntax {

// Declarations and qualifying contexts are stored up to this many levels of
// nesting; no real source comes near it.
inline constexpr std::size_t MAX_DECLARATION_DEPTH = 128;
// The qualified names of one file may take this many bytes per byte of the
// file, and never less than MIN_QUALIFIED_NAME_BUDGET in all.
inline constexpr std::size_t QUALIFIED_NAME_BYTES_PER_SOURCE_BYTE = 16;
inline constexpr std::size_t MIN_QUALIFIED_NAME_BUDGET = 64 * 1024;

// The qualified-name budget of a source of `source_bytes` bytes.
std::size_t qualified_name_budget(std::size_t source_bytes);

// The bound reasons, exactly as the walk reports them.
std::string depth_bound_reason();
std::string name_budget_reason(std::size_t budget);

// The outcome of one bounded walk: the declarations in walk order, and, when a
// bound left declarations out, why ("; " between the reasons, the depth first).
struct DeclarationWalk {
  std::vector<SyntaxSymbol> symbols;
  std::optional<std::string> bound_reason;
};

// The declarations of the tree under `root` with the bounds applied and
// reported; otherwise exactly walk_declarations.
DeclarationWalk walk_file_declarations(std::string_view language, TSNode root,
                                       std::string_view source, std::string_view file_path,
                                       std::string_view file_hash);

// The declarations of the tree under `root`, in pre-order document order.
// `source` must be the bytes the tree was parsed from. A language without a rule
// gives an empty list. Errors of the rules or of slice_text pass through. The
// bounds apply; their reason is dropped.
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
