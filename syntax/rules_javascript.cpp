// Declaration rules for JavaScript, TypeScript and TSX: classes, functions,
// generators, methods, and bindings (variables, class fields, object-literal
// properties) whose value is a function. TypeScript adds interfaces, type aliases,
// enums, namespaces and signatures and falls back to the JavaScript rule for
// everything else. Export statements are looked through by the walk before a rule
// is asked.
#include "syntax/node_vocabulary.h"
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

enum Type : TypeIndex {
  // Declarations whose name is simply the child under `name`.
  CLASS_DECLARATION,
  FUNCTION_DECLARATION,
  GENERATOR_FUNCTION_DECLARATION,
  METHOD_DEFINITION,
  // Expressions: an anonymous one has no `name` child and declares nothing.
  CLASS,
  FUNCTION_EXPRESSION,
  GENERATOR_FUNCTION,
  // Bindings.
  VARIABLE_DECLARATOR,
  FIELD_DEFINITION,
  PAIR,
  // TypeScript.
  ABSTRACT_CLASS_DECLARATION,
  INTERFACE_DECLARATION,
  TYPE_ALIAS_DECLARATION,
  ENUM_DECLARATION,
  INTERNAL_MODULE,
  MODULE,
  FUNCTION_SIGNATURE,
  METHOD_SIGNATURE,
  ABSTRACT_METHOD_SIGNATURE,
  PUBLIC_FIELD_DEFINITION,
  // Parts of bindings.
  ARROW_FUNCTION,
  IDENTIFIER,
  PROPERTY_IDENTIFIER,
  STRING,
};
constexpr std::string_view TYPES[] = {
    "class_declaration",          "function_declaration",   "generator_function_declaration",
    "method_definition",          "class",                  "function_expression",
    "generator_function",         "variable_declarator",    "field_definition",
    "pair",                       "abstract_class_declaration", "interface_declaration",
    "type_alias_declaration",     "enum_declaration",       "internal_module",
    "module",                     "function_signature",     "method_signature",
    "abstract_method_signature",  "public_field_definition", "arrow_function",
    "identifier",                 "property_identifier",    "string"};
enum Field : std::size_t { NAME, VALUE, PROPERTY, KEY };
constexpr std::string_view FIELDS[] = {"name", "value", "property", "key"};

}  // namespace

// Declared in rules.h: the walk asks the rule only about nodes of these types.
// JavaScript, TypeScript and TSX share one vocabulary; the TypeScript names are
// simply absent from the JavaScript grammar.
const NodeVocabulary SCRIPT_RULE_VOCABULARY(TYPES, FIELDS);

namespace {

// The values that make a binding a function. A class expression is not among them.
constexpr TypeMask JS_CALLABLE_VALUES = mask_of({FUNCTION_EXPRESSION, ARROW_FUNCTION,
                                                 GENERATOR_FUNCTION});

// Object-literal keys that name a method; computed and numeric keys do not.
constexpr TypeMask JS_PAIR_KEY_TYPES = mask_of({PROPERTY_IDENTIFIER, STRING});

std::optional<RuleOutcome> named(const ResolvedVocabulary& v, TSNode node, DescriptorKind kind) {
  return declaration(candidate(v.child(node, NAME), kind));
}

// A binding declares the node under `name_field` when the child under `value`
// is a function.
std::optional<RuleOutcome> callable_binding(const ResolvedVocabulary& v, TSNode node,
                                            Field name_field) {
  if (!v.in(v.child(node, VALUE), JS_CALLABLE_VALUES)) return std::nullopt;
  return declaration(candidate(v.child(node, name_field), METHOD));
}

// `const f = () => ...`: only a plain identifier binds a name (a destructuring
// pattern does not).
std::optional<RuleOutcome> variable_declarator(const ResolvedVocabulary& v, TSNode node) {
  if (!v.is(v.child(node, NAME), IDENTIFIER)) return std::nullopt;
  return callable_binding(v, node, NAME);
}

// `{ a: function() {} }` and `{ 'a': () => {} }`: the key is kept as written,
// quotes included.
std::optional<RuleOutcome> pair(const ResolvedVocabulary& v, TSNode node) {
  if (!v.in(v.child(node, KEY), JS_PAIR_KEY_TYPES)) return std::nullopt;
  return callable_binding(v, node, KEY);
}

std::optional<RuleOutcome> javascript(const ResolvedVocabulary& v, TypeIndex type, TSNode node) {
  switch (type) {
    case CLASS_DECLARATION:
    case CLASS: return named(v, node, TYPE);
    case FUNCTION_DECLARATION:
    case GENERATOR_FUNCTION_DECLARATION:
    case METHOD_DEFINITION:
    case FUNCTION_EXPRESSION:
    case GENERATOR_FUNCTION: return named(v, node, METHOD);
    case VARIABLE_DECLARATOR: return variable_declarator(v, node);
    // Any node under `property` is accepted: a private name keeps its "#".
    case FIELD_DEFINITION: return callable_binding(v, node, PROPERTY);
    case PAIR: return pair(v, node);
    default: return std::nullopt;
  }
}

}  // namespace

std::optional<RuleOutcome> rule_javascript(TSNode node, std::string_view /*source*/) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = SCRIPT_RULE_VOCABULARY.of(node);
  return javascript(v, v.type(node), node);
}

std::optional<RuleOutcome> rule_typescript(TSNode node, std::string_view /*source*/) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = SCRIPT_RULE_VOCABULARY.of(node);
  const TypeIndex type = v.type(node);
  switch (type) {
    case ABSTRACT_CLASS_DECLARATION:
    case INTERFACE_DECLARATION:
    case TYPE_ALIAS_DECLARATION:
    case ENUM_DECLARATION: return named(v, node, TYPE);
    case INTERNAL_MODULE:
    case MODULE: return named(v, node, NAMESPACE);
    case FUNCTION_SIGNATURE:
    case METHOD_SIGNATURE:
    case ABSTRACT_METHOD_SIGNATURE: return named(v, node, METHOD);
    case PUBLIC_FIELD_DEFINITION: return callable_binding(v, node, NAME);
    default: return javascript(v, type, node);
  }
}

}  // namespace kolvex::syntax
