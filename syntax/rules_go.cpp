// Declaration rules for Go: the package clause (a header that qualifies the whole
// file), type specifications and aliases, functions, methods, interface method
// elements, and variables bound to a function literal. A method's receiver type is
// folded into its qualified name as a prefix, without becoming its parent.
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

constexpr std::string_view PACKAGE_NAME_TYPES[] = {"package_identifier"};
constexpr std::string_view RECEIVER_DECLARATION_TYPES[] = {"parameter_declaration"};
constexpr std::string_view POINTER_TARGET_TYPES[] = {"type_identifier"};

struct NamedRow {
  std::string_view type;
  DescriptorKind kind;
};

constexpr NamedRow GO_NAMED[] = {
    {"type_spec", TYPE},
    {"type_alias", TYPE},
    {"function_declaration", METHOD},
    {"method_elem", METHOD},
};

const NamedRow* find_row(std::string_view type, std::span<const NamedRow> table) {
  for (const NamedRow& row : table) {
    if (row.type == type) return &row;
  }
  return nullptr;
}

// The node holds exactly one direct child (anonymous ones count, so a comma
// makes two or more) and it has the given type; that child, or NO_NODE.
TSNode sole_child_of_type(TSNode node, std::string_view type) {
  if (ts_node_child_count(node) != 1) return NO_NODE;
  const TSNode child = ts_node_child(node, 0);
  return node_type(child) == type ? child : NO_NODE;
}

// "T." for a receiver `(r T)`, `(r *T)`, `(T)` or `(*T)`; empty for a generic,
// qualified, parenthesised or doubly indirect receiver type, or none at all.
std::string receiver_prefix(TSNode method, std::string_view source) {
  const TSNode receiver = child_by_field(method, "receiver");
  const TSNode declaration = child_of_type(receiver, RECEIVER_DECLARATION_TYPES);
  TSNode type = child_by_field(declaration, "type");
  if (node_type(type) == "pointer_type") type = child_of_type(type, POINTER_TARGET_TYPES);
  if (node_type(type) != "type_identifier") return {};
  return text(source, type) + ".";
}

std::optional<RuleOutcome> method_declaration(TSNode node, std::string_view source) {
  const TSNode name = child_by_field(node, "name");
  if (!is_valid_identifier(name)) return std::nullopt;
  return declaration(candidate(name, METHOD, receiver_prefix(node, source)));
}

// `var f = func() {...}`: exactly one name bound to exactly one function literal.
std::optional<RuleOutcome> var_spec(TSNode node) {
  const std::vector<TSNode> names = field_children(node, "name");
  if (names.size() != 1 || node_type(names[0]) != "identifier") return std::nullopt;
  const TSNode value = child_by_field(node, "value");
  if (node_type(value) != "expression_list") return std::nullopt;
  if (is_absent(sole_child_of_type(value, "func_literal"))) return std::nullopt;
  return declaration(candidate(names[0], METHOD));
}

// `f := func() {...}`: exactly one identifier bound to exactly one function literal.
std::optional<RuleOutcome> short_var_declaration(TSNode node) {
  const TSNode left = child_by_field(node, "left");
  const TSNode right = child_by_field(node, "right");
  if (node_type(left) != "expression_list") return std::nullopt;
  const TSNode name = sole_child_of_type(left, "identifier");
  if (is_absent(name)) return std::nullopt;
  if (node_type(right) != "expression_list") return std::nullopt;
  if (is_absent(sole_child_of_type(right, "func_literal"))) return std::nullopt;
  return declaration(candidate(name, METHOD));
}

}  // namespace

std::optional<RuleOutcome> rule_go(TSNode node, std::string_view source) {
  const std::string_view type = node_type(node);
  if (type == "package_clause") {
    return header(candidate(child_of_type(node, PACKAGE_NAME_TYPES), NAMESPACE));
  }
  if (const NamedRow* row = find_row(type, GO_NAMED)) return simple(node, "name", row->kind);
  if (type == "method_declaration") return method_declaration(node, source);
  if (type == "var_spec") return var_spec(node);
  if (type == "short_var_declaration") return short_var_declaration(node);
  return std::nullopt;
}

}  // namespace kolvex::syntax
