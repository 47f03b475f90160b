// Declaration rules for Python: classes, functions (methods, nested functions and
// coroutines alike), `type` alias statements and plain names bound to a lambda.
// Decorators are looked through by the walk before the rule is asked.
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

// `type X = ...`: the name under `left`, or the first child of its `type` wrapper.
std::optional<RuleOutcome> type_alias(TSNode node) {
  TSNode name = child_by_field(node, "left");
  if (node_type(name) == "type" && ts_node_child_count(name) > 0) name = ts_node_child(name, 0);
  return declaration(candidate(name, TYPE));
}

// `f = lambda: ...` with a single plain name on the left and a bare lambda on the right.
std::optional<RuleOutcome> lambda_binding(TSNode node) {
  const TSNode left = child_by_field(node, "left");
  const TSNode right = child_by_field(node, "right");
  if (node_type(left) != "identifier" || node_type(right) != "lambda") return std::nullopt;
  return declaration(candidate(left, METHOD));
}

}  // namespace

std::optional<RuleOutcome> rule_python(TSNode node, std::string_view /*source*/) {
  const std::string_view type = node_type(node);
  if (type == "class_definition") return simple(node, "name", TYPE);
  if (type == "function_definition") return simple(node, "name", METHOD);
  if (type == "type_alias_statement") return type_alias(node);
  if (type == "assignment") return lambda_binding(node);
  return std::nullopt;
}

}  // namespace kolvex::syntax
