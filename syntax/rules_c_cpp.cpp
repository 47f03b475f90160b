// Declaration rules for C and C++.
//
// C and C++ hide a declared name inside a declarator that wraps it in pointer,
// array, reference, function and parenthesis operators. The rules peel the
// declarator down to the name and let the operator nearest the name decide: a
// name that is directly a function is a METHOD, a plain object (variable,
// function pointer, data member) declares nothing, and every name a typedef
// introduces is a TYPE. Struct, union, enum and (C++) class specifiers are TYPE
// unless they only give the type of a declaration of something else.
//
// C++ adds namespaces, namespace aliases, alias declarations and member
// declarations, and splits an out-of-line name such as A::B::f into the leaf f
// and the qualifier prefix "A.B.". Templates never reach the rule as such: the
// walk looks through a template_declaration to the declaration inside it.
//
// Both peeling loops iterate; nothing here recurses.
#include "syntax/node_vocabulary.h"
#include "syntax/rules.h"

#include <utility>

namespace kolvex::syntax {

namespace {

enum Type : TypeIndex {
  STRUCT_SPECIFIER,
  UNION_SPECIFIER,
  ENUM_SPECIFIER,
  CLASS_SPECIFIER,
  DECLARATION,
  FUNCTION_DEFINITION,
  TYPE_DEFINITION,
  FIELD_DECLARATION,
  NAMESPACE_DEFINITION,
  NAMESPACE_ALIAS_DEFINITION,
  ALIAS_DECLARATION,
  PARENTHESIZED_DECLARATOR,
  ATTRIBUTED_DECLARATOR,
  FUNCTION_DECLARATOR,
  POINTER_DECLARATOR,
  ARRAY_DECLARATOR,
  REFERENCE_DECLARATOR,
  QUALIFIED_IDENTIFIER,
  OPEN_PARENTHESIS,
  CLOSE_PARENTHESIS,
  MS_CALL_MODIFIER,
};
constexpr std::string_view TYPES[] = {
    "struct_specifier",         "union_specifier",          "enum_specifier",
    "class_specifier",          "declaration",              "function_definition",
    "type_definition",          "field_declaration",        "namespace_definition",
    "namespace_alias_definition", "alias_declaration",      "parenthesized_declarator",
    "attributed_declarator",    "function_declarator",      "pointer_declarator",
    "array_declarator",         "reference_declarator",     "qualified_identifier",
    "(",                        ")",                        "ms_call_modifier"};
enum Field : std::size_t { NAME, BODY, DECLARATOR, SCOPE };
constexpr std::string_view FIELDS[] = {"name", "body", "declarator", "scope"};

}  // namespace

// Declared in rules.h: the walk asks the rule only about nodes of these types.
// C and C++ share one vocabulary; the C++ names are simply absent from C.
const NodeVocabulary C_CPP_RULE_VOCABULARY(TYPES, FIELDS);

namespace {

// Wrappers that change nothing about what the name is.
constexpr TypeMask C_TRANSPARENT_WRAPPERS = mask_of({PARENTHESIZED_DECLARATOR,
                                                     ATTRIBUTED_DECLARATOR});
// Operators that make the name a function.
constexpr TypeMask C_FUNCTION_WRAPPERS = mask_of({FUNCTION_DECLARATOR});
// Operators that make the name an object (and override an outer function operator).
constexpr TypeMask C_VARIABLE_WRAPPERS = mask_of({POINTER_DECLARATOR, ARRAY_DECLARATOR,
                                                  REFERENCE_DECLARATOR});
// Tokens of a parenthesized declarator that are never the wrapped declarator.
constexpr TypeMask PARENTHESIS_TOKENS = mask_of({OPEN_PARENTHESIS, CLOSE_PARENTHESIS,
                                                 MS_CALL_MODIFIER});

// The operator nearest the name, as the declarator walk last saw it.
enum class Operator { NONE, FUNCTION, VARIABLE };

struct DeclaredName {
  TSNode leaf;
  std::string prefix;
  DescriptorKind kind;
};

// The declarator inside a transparent wrapper: its `declarator` field, else its
// first child that is not a parenthesis or a calling-convention modifier
// (`(__stdcall *fp)` wraps `*fp`, never `__stdcall`).
TSNode declarator_inner(const ResolvedVocabulary& v, TSNode node) {
  const TSNode field = v.child(node, DECLARATOR);
  if (!is_absent(field)) return field;
  const uint32_t count = ts_node_child_count(node);
  for (uint32_t i = 0; i < count; ++i) {
    const TSNode child = ts_node_child(node, i);
    if (!v.in(child, PARENTHESIS_TOKENS)) return child;
  }
  return NO_NODE;
}

// The declarator an operator applies to. A reference declarator holds it as its
// only named child rather than under a `declarator` field (`T& get()`).
TSNode operator_operand(const ResolvedVocabulary& v, TSNode node) {
  const TSNode field = v.child(node, DECLARATOR);
  if (!is_absent(field) || !v.is(node, REFERENCE_DECLARATOR)) return field;
  return ts_node_named_child_count(node) > 0 ? ts_node_named_child(node, 0) : NO_NODE;
}

// A::B::f -> (f, "A.B."): each scope's text, as written, followed by ".". A
// qualified node lacking its scope or its name is itself the leaf.
std::pair<TSNode, std::string> flatten_qualified_name(const ResolvedVocabulary& v, TSNode node,
                                                      std::string_view source) {
  std::string prefix;
  if (is_absent(node)) return {NO_NODE, prefix};
  while (v.is(node, QUALIFIED_IDENTIFIER)) {
    const TSNode scope = v.child(node, SCOPE);
    const TSNode name = v.child(node, NAME);
    if (is_absent(scope) || is_absent(name)) break;
    prefix += text(source, scope);
    prefix += '.';
    node = name;
  }
  return {node, prefix};
}

// Peels a declarator from the outside in. A typedef declares a TYPE whatever the
// operators; otherwise only a name whose nearest operator is a function is a
// METHOD, and everything else (variables, arrays, function pointers, data
// members, declarators with an initializer) declares nothing.
std::optional<DeclaredName> declarator_walk(const ResolvedVocabulary& v, TSNode declarator,
                                            std::string_view source, bool is_typedef) {
  Operator first_op = Operator::NONE;
  TSNode node = declarator;
  while (!is_absent(node)) {
    const TypeIndex type = v.type(node);
    const TypeMask bit = type == NO_TYPE ? 0 : TypeMask{1} << type;
    if ((bit & C_TRANSPARENT_WRAPPERS) != 0) {
      node = declarator_inner(v, node);
    } else if ((bit & C_FUNCTION_WRAPPERS) != 0) {
      first_op = Operator::FUNCTION;
      node = operator_operand(v, node);
    } else if ((bit & C_VARIABLE_WRAPPERS) != 0) {
      first_op = Operator::VARIABLE;
      node = operator_operand(v, node);
    } else {
      auto [leaf, prefix] = flatten_qualified_name(v, node, source);
      if (!is_valid_identifier(leaf)) return std::nullopt;
      if (is_typedef) return DeclaredName{leaf, std::move(prefix), TYPE};
      if (first_op == Operator::FUNCTION) return DeclaredName{leaf, std::move(prefix), METHOD};
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// A struct, union, enum or class specifier. With a body it is a definition;
// without one it declares the type unless it merely types the declarator of an
// enclosing declaration (`struct S *p;`). The name is never split.
std::optional<RuleOutcome> specifier_rule(const ResolvedVocabulary& v, TSNode node) {
  const TSNode name = v.child(node, NAME);
  if (!is_valid_identifier(name)) return std::nullopt;
  if (is_absent(v.child(node, BODY))) {
    const TSNode parent = ts_node_parent(node);
    if (v.is(parent, DECLARATION) && !is_absent(v.child(parent, DECLARATOR))) {
      return std::nullopt;
    }
  }
  return declaration(candidate(name, TYPE));
}

// A node with a `declarator` field; only its first declarator is read.
std::optional<RuleOutcome> declarator_owner_rule(const ResolvedVocabulary& v, TSNode node,
                                                 std::string_view source, bool is_typedef) {
  const TSNode declarator = v.child(node, DECLARATOR);
  if (is_absent(declarator)) return std::nullopt;
  std::optional<DeclaredName> found = declarator_walk(v, declarator, source, is_typedef);
  if (!found) return std::nullopt;
  return declaration(candidate(found->leaf, found->kind, std::move(found->prefix)));
}

// A namespace is named by the whole text of its name (A::B included). An
// anonymous namespace is there only for its members: they see the enclosing
// qualification and parent.
std::optional<RuleOutcome> cpp_namespace(const ResolvedVocabulary& v, TSNode node) {
  const TSNode name = v.child(node, NAME);
  if (!is_valid_identifier(name)) return context_only();
  return declaration(candidate(name, NAMESPACE));
}

}  // namespace

std::optional<RuleOutcome> rule_c(TSNode node, std::string_view source) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = C_CPP_RULE_VOCABULARY.of(node);
  switch (v.type(node)) {
    case STRUCT_SPECIFIER:
    case UNION_SPECIFIER:
    case ENUM_SPECIFIER: return specifier_rule(v, node);
    case DECLARATION:
    case FUNCTION_DEFINITION: return declarator_owner_rule(v, node, source, false);
    case TYPE_DEFINITION: return declarator_owner_rule(v, node, source, true);
    default: return std::nullopt;
  }
}

std::optional<RuleOutcome> rule_cpp(TSNode node, std::string_view source) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = C_CPP_RULE_VOCABULARY.of(node);
  switch (v.type(node)) {
    case STRUCT_SPECIFIER:
    case UNION_SPECIFIER:
    case ENUM_SPECIFIER:
    case CLASS_SPECIFIER: return specifier_rule(v, node);
    case DECLARATION:
    case FUNCTION_DEFINITION:
    case FIELD_DECLARATION: return declarator_owner_rule(v, node, source, false);
    case TYPE_DEFINITION: return declarator_owner_rule(v, node, source, true);
    case NAMESPACE_DEFINITION: return cpp_namespace(v, node);
    case NAMESPACE_ALIAS_DEFINITION: return declaration(candidate(v.child(node, NAME), NAMESPACE));
    case ALIAS_DECLARATION: return declaration(candidate(v.child(node, NAME), TYPE));
    default: return std::nullopt;
  }
}

}  // namespace kolvex::syntax
