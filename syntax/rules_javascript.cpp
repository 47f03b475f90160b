// Declaration rules for JavaScript, TypeScript and TSX: classes, functions,
// generators, methods, and bindings (variables, class fields, object-literal
// properties) whose value is a function. TypeScript adds interfaces, type aliases,
// enums, namespaces and signatures and falls back to the JavaScript rule for
// everything else. Export statements are looked through by the walk before a rule
// is asked.
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

// The values that make a binding a function. A class expression is not among them.
constexpr std::string_view JS_CALLABLE_VALUES[] = {"function_expression", "arrow_function",
                                                   "generator_function"};

// Object-literal keys that name a method; computed and numeric keys do not.
constexpr std::string_view JS_PAIR_KEY_TYPES[] = {"property_identifier", "string"};

// A node type of one row of a rule table and the kind it declares.
struct NamedRow {
  std::string_view type;
  DescriptorKind kind;
};

// Declarations whose name is simply the child under `name`.
constexpr NamedRow JS_NAMED[] = {
    {"class_declaration", TYPE},
    {"function_declaration", METHOD},
    {"generator_function_declaration", METHOD},
    {"method_definition", METHOD},
    // Expressions: an anonymous one has no `name` child and declares nothing.
    {"class", TYPE},
    {"function_expression", METHOD},
    {"generator_function", METHOD},
};

constexpr NamedRow TS_NAMED[] = {
    {"abstract_class_declaration", TYPE},
    {"interface_declaration", TYPE},
    {"type_alias_declaration", TYPE},
    {"enum_declaration", TYPE},
    {"internal_module", NAMESPACE},
    {"module", NAMESPACE},
    {"function_signature", METHOD},
    {"method_signature", METHOD},
    {"abstract_method_signature", METHOD},
};

// A binding declares the node under `name_field` when the child under `value`
// is a function.
std::optional<RuleOutcome> callable_binding(TSNode node, std::string_view name_field) {
  if (!type_in(child_by_field(node, "value"), JS_CALLABLE_VALUES)) return std::nullopt;
  return declaration(candidate(child_by_field(node, name_field), METHOD));
}

// `const f = () => ...`: only a plain identifier binds a name (a destructuring
// pattern does not).
std::optional<RuleOutcome> variable_declarator(TSNode node) {
  if (node_type(child_by_field(node, "name")) != "identifier") return std::nullopt;
  return callable_binding(node, "name");
}

// `{ a: function() {} }` and `{ 'a': () => {} }`: the key is kept as written,
// quotes included.
std::optional<RuleOutcome> pair(TSNode node) {
  if (!type_in(child_by_field(node, "key"), JS_PAIR_KEY_TYPES)) return std::nullopt;
  return callable_binding(node, "key");
}

// The row of `type` in a table, or nullptr.
const NamedRow* find_row(std::string_view type, std::span<const NamedRow> table) {
  for (const NamedRow& row : table) {
    if (row.type == type) return &row;
  }
  return nullptr;
}

}  // namespace

std::optional<RuleOutcome> rule_javascript(TSNode node, std::string_view /*source*/) {
  const std::string_view type = node_type(node);
  if (const NamedRow* row = find_row(type, JS_NAMED)) return simple(node, "name", row->kind);
  if (type == "variable_declarator") return variable_declarator(node);
  // Any node under `property` is accepted: a private name keeps its "#".
  if (type == "field_definition") return callable_binding(node, "property");
  if (type == "pair") return pair(node);
  return std::nullopt;
}

std::optional<RuleOutcome> rule_typescript(TSNode node, std::string_view source) {
  const std::string_view type = node_type(node);
  if (const NamedRow* row = find_row(type, TS_NAMED)) return simple(node, "name", row->kind);
  if (type == "public_field_definition") return callable_binding(node, "name");
  return rule_javascript(node, source);
}

}  // namespace kolvex::syntax
