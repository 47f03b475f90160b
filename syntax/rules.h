// Declaration rules: the contract between the declaration walk and the rule of
// each language, and the small toolkit every rule is written with.
//
// A rule is a pure function of (node, source bytes). The walk calls it once for
// every node it visits (after looking through wrappers with `unwrap`) and the rule
// answers with a RuleOutcome, or std::nullopt when the node declares nothing:
//
//   nullopt                              not a declaration; children walked unchanged
//   outcome with one candidate           declaration; opens a scope for its children
//   ... with is_header = true            package/namespace line: qualifies later siblings
//   outcome without candidate + ext      context-only: children see prefix + extension
//   outcome without candidate, no ext    same effect as nullopt
//
// Rules never throw on their own: an unrecognised shape, or a name that is absent,
// an ERROR node or a missing node, gives nullopt. Candidates are built only
// through `candidate`, which refuses invalid identifiers. Node types and field
// names are compared as exact texts of the pinned grammars.
//
// An absent node is the null TSNode (ts_node_is_null); every helper here accepts
// it and answers "absent" / false / empty for it.
//
// Thread-safety: everything here is a pure function of its arguments and of
// constant tables; any thread may call it.
#pragma once

#include <tree_sitter/api.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/descriptor_kind.h"

namespace kolvex::syntax {

using platform::DescriptorKind;

// The four declaration kinds the rules produce. A function, method, signature or
// named closure is always METHOD; TERM is only for C# using aliases.
inline constexpr DescriptorKind TYPE = DescriptorKind::TYPE;
inline constexpr DescriptorKind METHOD = DescriptorKind::METHOD;
inline constexpr DescriptorKind NAMESPACE = DescriptorKind::NAMESPACE;
inline constexpr DescriptorKind TERM = DescriptorKind::TERM;

// One declaration named by a node. Built only through `candidate`.
struct RuleCandidate {
  TSNode identifier;             // supplies the name (its exact text) and the selection span
  DescriptorKind kind;
  std::string qualifier_prefix;  // source-spelled qualification ending in ".", or empty
};

// What a recognised node contributes. Rules give at most one candidate; the
// walk reads only the first.
struct RuleOutcome {
  std::vector<RuleCandidate> candidates;
  bool is_header = false;           // only together with a candidate
  std::string qualifier_extension;  // only without a candidate; ends in "." when not empty
};

// The rule signature. `source` is the file's bytes, to which all node offsets refer.
using Rule = std::optional<RuleOutcome> (*)(TSNode node, std::string_view source);

// A constant set of node type names (e.g. `inline constexpr std::string_view X[] = {...}`).
using TypeSet = std::span<const std::string_view>;

// --- node access -------------------------------------------------------------

inline constexpr TSNode NO_NODE{};

inline bool is_absent(TSNode node) { return ts_node_is_null(node); }

// The node's grammar type ("class_definition"); empty for an absent node.
inline std::string_view node_type(TSNode node) {
  return ts_node_is_null(node) ? std::string_view{} : std::string_view(ts_node_type(node));
}

// The child under a field, or NO_NODE (also for an absent node).
inline TSNode child_by_field(TSNode node, std::string_view field_name) {
  if (ts_node_is_null(node)) return NO_NODE;
  return ts_node_child_by_field_name(node, field_name.data(),
                                     static_cast<uint32_t>(field_name.size()));
}

// True when the node is present and its type is one of `types`.
bool type_in(TSNode node, TypeSet types);
bool type_in(TSNode node, std::initializer_list<std::string_view> types);

// --- toolkit -----------------------------------------------------------------

// False for an absent node, an ERROR node or a missing node; true for any other
// node, whatever its type and whatever errors lie below it.
bool is_valid_identifier(TSNode node);

// The first direct child (anonymous tokens included) whose type is in `types`.
TSNode child_of_type(TSNode node, TypeSet types);
TSNode child_of_type(TSNode node, std::initializer_list<std::string_view> types);

// Every direct child (anonymous ones included), in order, whose field name under
// `node` is `field_name`. Children and field names are read in one cursor pass.
std::vector<TSNode> field_children(TSNode node, std::string_view field_name);

// The node's source text: its byte range cut from `source`, then decoded strictly
// as UTF-8 (throws Utf8DecodeError from slice_text on invalid bytes).
std::string text(std::string_view source, TSNode node);

// A candidate for `identifier`, or nullopt when it is not a valid identifier.
std::optional<RuleCandidate> candidate(TSNode identifier, DescriptorKind kind,
                                       std::string qualifier_prefix = {});

// The common shape: the child under `field_name` is the declared name.
std::optional<RuleOutcome> simple(TSNode node, std::string_view field_name, DescriptorKind kind);

// Outcome builders for the shapes above. `declaration` and `header` give nullopt
// when the candidate is nullopt.
std::optional<RuleOutcome> declaration(std::optional<RuleCandidate> found);
std::optional<RuleOutcome> header(std::optional<RuleCandidate> found);
RuleOutcome context_only(std::string qualifier_extension = {});

// --- wrappers ----------------------------------------------------------------

// The declaration a wrapper node wraps (python decorated_definition, the export
// statement of the script languages, a cpp template_declaration), or NO_NODE
// when the node is not a wrapper of this language or its wrapped child is missing.
TSNode unwrap(std::string_view language, TSNode node);

// The wrappers of one language, named once so that a walk does not compare the
// language's name on every node: unwrap(wrappers_of(language), node) equals
// unwrap(language, node).
enum class Wrappers : std::uint8_t { NONE, PYTHON, SCRIPT, CPP };
Wrappers wrappers_of(std::string_view language);
TSNode unwrap(Wrappers wrappers, TSNode node);

class NodeVocabulary;
class ResolvedVocabulary;

// The wrappers of one language resolved against its grammar once, for a walk
// over one tree: telling a wrapper then costs a symbol comparison instead of
// finding the grammar's resolution on every node. For nodes of that grammar,
// lookup.unwrap(node) equals unwrap(wrappers, node). A null grammar (an absent
// tree) has no wrappers.
class WrapperLookup {
 public:
  WrapperLookup(Wrappers wrappers, const TSLanguage* grammar);
  TSNode unwrap(TSNode node) const;
  // False when a node of the grammar's (public) symbol `symbol` is never looked
  // through: unwrap gives NO_NODE for it.
  bool may_wrap(TSSymbol symbol) const;

 private:
  Wrappers wrappers_;
  const ResolvedVocabulary* vocabulary_;  // null when there is nothing to look through
};

// The rules of rule_for_language never answer for a node without children:
// every name they declare, and every qualification they add, is read from a
// node's descendants, and a wrapper wraps a child. A walk with one of them may
// therefore pass over leaves without asking.

// The node types a cpp template_declaration is looked through to.
inline constexpr std::string_view CPP_TEMPLATE_INNER[] = {
    "class_specifier",  "function_definition", "declaration",  "alias_declaration",
    "struct_specifier", "union_specifier",     "enum_specifier"};

// --- the rules of each language ----------------------------------------------

std::optional<RuleOutcome> rule_python(TSNode node, std::string_view source);      // rules_python.cpp
std::optional<RuleOutcome> rule_javascript(TSNode node, std::string_view source);  // rules_javascript.cpp
std::optional<RuleOutcome> rule_typescript(TSNode node, std::string_view source);  // typescript and tsx
std::optional<RuleOutcome> rule_java(TSNode node, std::string_view source);        // rules_jvm.cpp
std::optional<RuleOutcome> rule_kotlin(TSNode node, std::string_view source);
std::optional<RuleOutcome> rule_swift(TSNode node, std::string_view source);       // rules_swift.cpp
std::optional<RuleOutcome> rule_go(TSNode node, std::string_view source);          // rules_go.cpp
std::optional<RuleOutcome> rule_ruby(TSNode node, std::string_view source);        // rules_ruby_rust.cpp
std::optional<RuleOutcome> rule_rust(TSNode node, std::string_view source);
std::optional<RuleOutcome> rule_scala(TSNode node, std::string_view source);       // rules_scala_bash_sql.cpp
std::optional<RuleOutcome> rule_bash(TSNode node, std::string_view source);
std::optional<RuleOutcome> rule_sql(TSNode node, std::string_view source);
std::optional<RuleOutcome> rule_csharp(TSNode node, std::string_view source);      // rules_csharp_php.cpp
std::optional<RuleOutcome> rule_php(TSNode node, std::string_view source);
std::optional<RuleOutcome> rule_c(TSNode node, std::string_view source);           // rules_c_cpp.cpp
std::optional<RuleOutcome> rule_cpp(TSNode node, std::string_view source);

// The vocabularies the rules above read node types through (beside each rule).
// A rule compares a node's type only with its vocabulary and answers nullopt for
// every other type, so a walk with the rule passes over nodes of other types
// without asking it.
extern const NodeVocabulary PYTHON_RULE_VOCABULARY;
extern const NodeVocabulary SCRIPT_RULE_VOCABULARY;  // javascript, typescript, tsx
extern const NodeVocabulary JAVA_RULE_VOCABULARY;
extern const NodeVocabulary KOTLIN_RULE_VOCABULARY;
extern const NodeVocabulary SWIFT_RULE_VOCABULARY;
extern const NodeVocabulary GO_RULE_VOCABULARY;
extern const NodeVocabulary RUBY_RULE_VOCABULARY;
extern const NodeVocabulary RUST_RULE_VOCABULARY;
extern const NodeVocabulary SCALA_RULE_VOCABULARY;
extern const NodeVocabulary BASH_RULE_VOCABULARY;
extern const NodeVocabulary SQL_RULE_VOCABULARY;
extern const NodeVocabulary CSHARP_RULE_VOCABULARY;
extern const NodeVocabulary PHP_RULE_VOCABULARY;
extern const NodeVocabulary C_CPP_RULE_VOCABULARY;  // c, cpp

// The rule of a language (the dispatch table of the walk), or nullptr when the
// language has none.
Rule rule_for_language(std::string_view language);

// The vocabulary of rule_for_language(language), or nullptr when the language
// has no rule.
const NodeVocabulary* rule_vocabulary(std::string_view language);

}  // namespace kolvex::syntax
