// Declaration rules for Go: the package clause (a header that qualifies the whole
// file), type specifications and aliases, functions, methods, interface method
// elements, and variables bound to a function literal. A method's receiver type is
// folded into its qualified name as a prefix, without becoming its parent.
#include "syntax/node_vocabulary.h"
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

enum Type : TypeIndex {
  PACKAGE_CLAUSE,
  TYPE_SPEC,
  TYPE_ALIAS,
  FUNCTION_DECLARATION,
  METHOD_ELEM,
  METHOD_DECLARATION,
  VAR_SPEC,
  SHORT_VAR_DECLARATION,
  PACKAGE_IDENTIFIER,
  PARAMETER_DECLARATION,
  POINTER_TYPE,
  TYPE_IDENTIFIER,
  IDENTIFIER,
  EXPRESSION_LIST,
  FUNC_LITERAL,
};
constexpr std::string_view TYPES[] = {
    "package_clause",     "type_spec",         "type_alias",
    "function_declaration", "method_elem",     "method_declaration",
    "var_spec",           "short_var_declaration", "package_identifier",
    "parameter_declaration", "pointer_type",   "type_identifier",
    "identifier",         "expression_list",   "func_literal"};
enum Field : std::size_t { NAME, RECEIVER, TYPE_FIELD, VALUE, LEFT, RIGHT };
constexpr std::string_view FIELDS[] = {"name", "receiver", "type", "value", "left", "right"};

}  // namespace

// Declared in rules.h: the walk asks the rule only about nodes of these types.
const NodeVocabulary GO_RULE_VOCABULARY(TYPES, FIELDS);

namespace {

// The node holds exactly one direct child (anonymous ones count, so a comma
// makes two or more) and it has the given type; that child, or NO_NODE.
TSNode sole_child_of_type(const ResolvedVocabulary& v, TSNode node, TypeIndex type) {
  if (ts_node_child_count(node) != 1) return NO_NODE;
  const TSNode child = ts_node_child(node, 0);
  return v.is(child, type) ? child : NO_NODE;
}

// "T." for a receiver `(r T)`, `(r *T)`, `(T)` or `(*T)`; empty for a generic,
// qualified, parenthesised or doubly indirect receiver type, or none at all.
std::string receiver_prefix(const ResolvedVocabulary& v, TSNode method, std::string_view source) {
  const TSNode receiver = v.child(method, RECEIVER);
  const TSNode declaration = v.child_in(receiver, mask_of({PARAMETER_DECLARATION}));
  TSNode type = v.child(declaration, TYPE_FIELD);
  if (v.is(type, POINTER_TYPE)) type = v.child_in(type, mask_of({TYPE_IDENTIFIER}));
  if (!v.is(type, TYPE_IDENTIFIER)) return {};
  return text(source, type) + ".";
}

std::optional<RuleOutcome> method_declaration(const ResolvedVocabulary& v, TSNode node,
                                              std::string_view source) {
  const TSNode name = v.child(node, NAME);
  if (!is_valid_identifier(name)) return std::nullopt;
  return declaration(candidate(name, METHOD, receiver_prefix(v, node, source)));
}

// `var f = func() {...}`: exactly one name bound to exactly one function literal.
std::optional<RuleOutcome> var_spec(const ResolvedVocabulary& v, TSNode node) {
  const std::vector<TSNode> names = v.field_children(node, NAME);
  if (names.size() != 1 || !v.is(names[0], IDENTIFIER)) return std::nullopt;
  const TSNode value = v.child(node, VALUE);
  if (!v.is(value, EXPRESSION_LIST)) return std::nullopt;
  if (is_absent(sole_child_of_type(v, value, FUNC_LITERAL))) return std::nullopt;
  return declaration(candidate(names[0], METHOD));
}

// `f := func() {...}`: exactly one identifier bound to exactly one function literal.
std::optional<RuleOutcome> short_var_declaration(const ResolvedVocabulary& v, TSNode node) {
  const TSNode left = v.child(node, LEFT);
  const TSNode right = v.child(node, RIGHT);
  if (!v.is(left, EXPRESSION_LIST)) return std::nullopt;
  const TSNode name = sole_child_of_type(v, left, IDENTIFIER);
  if (is_absent(name)) return std::nullopt;
  if (!v.is(right, EXPRESSION_LIST)) return std::nullopt;
  if (is_absent(sole_child_of_type(v, right, FUNC_LITERAL))) return std::nullopt;
  return declaration(candidate(name, METHOD));
}

}  // namespace

std::optional<RuleOutcome> rule_go(TSNode node, std::string_view source) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = GO_RULE_VOCABULARY.of(node);
  switch (v.type(node)) {
    case PACKAGE_CLAUSE:
      return header(candidate(v.child_in(node, mask_of({PACKAGE_IDENTIFIER})), NAMESPACE));
    case TYPE_SPEC:
    case TYPE_ALIAS: return declaration(candidate(v.child(node, NAME), TYPE));
    case FUNCTION_DECLARATION:
    case METHOD_ELEM: return declaration(candidate(v.child(node, NAME), METHOD));
    case METHOD_DECLARATION: return method_declaration(v, node, source);
    case VAR_SPEC: return var_spec(v, node);
    case SHORT_VAR_DECLARATION: return short_var_declaration(v, node);
    default: return std::nullopt;
  }
}

}  // namespace kolvex::syntax
