// Declaration rules for Python: classes, functions (methods, nested functions and
// coroutines alike), `type` alias statements and plain names bound to a lambda.
// Decorators are looked through by the walk before the rule is asked.
#include "syntax/node_vocabulary.h"
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

enum Type : TypeIndex {
  CLASS_DEFINITION,
  FUNCTION_DEFINITION,
  TYPE_ALIAS_STATEMENT,
  ASSIGNMENT,
  TYPE_WRAPPER,
  IDENTIFIER,
  LAMBDA,
};
constexpr std::string_view TYPES[] = {"class_definition", "function_definition",
                                      "type_alias_statement", "assignment", "type", "identifier",
                                      "lambda"};
enum Field : std::size_t { NAME, LEFT, RIGHT };
constexpr std::string_view FIELDS[] = {"name", "left", "right"};

}  // namespace

// Declared in rules.h: the walk asks the rule only about nodes of these types.
const NodeVocabulary PYTHON_RULE_VOCABULARY(TYPES, FIELDS);

namespace {

// `type X = ...`: the name under `left`, or the first child of its `type` wrapper.
std::optional<RuleOutcome> type_alias(const ResolvedVocabulary& v, TSNode node) {
  TSNode name = v.child(node, LEFT);
  if (v.is(name, TYPE_WRAPPER) && ts_node_child_count(name) > 0) name = ts_node_child(name, 0);
  return declaration(candidate(name, TYPE));
}

// `f = lambda: ...` with a single plain name on the left and a bare lambda on the right.
std::optional<RuleOutcome> lambda_binding(const ResolvedVocabulary& v, TSNode node) {
  const TSNode left = v.child(node, LEFT);
  const TSNode right = v.child(node, RIGHT);
  if (!v.is(left, IDENTIFIER) || !v.is(right, LAMBDA)) return std::nullopt;
  return declaration(candidate(left, METHOD));
}

}  // namespace

std::optional<RuleOutcome> rule_python(TSNode node, std::string_view /*source*/) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = PYTHON_RULE_VOCABULARY.of(node);
  switch (v.type(node)) {
    case CLASS_DEFINITION: return declaration(candidate(v.child(node, NAME), TYPE));
    case FUNCTION_DEFINITION: return declaration(candidate(v.child(node, NAME), METHOD));
    case TYPE_ALIAS_STATEMENT: return type_alias(v, node);
    case ASSIGNMENT: return lambda_binding(v, node);
    default: return std::nullopt;
  }
}

}  // namespace kolvex::syntax
