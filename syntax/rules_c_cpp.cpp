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
#include "syntax/rules.h"

#include <utility>

namespace kolvex::syntax {

namespace {

constexpr std::string_view C_SPECIFIER_TYPES[] = {"struct_specifier", "union_specifier",
                                                  "enum_specifier"};
constexpr std::string_view C_DECLARATOR_OWNERS[] = {"declaration", "function_definition",
                                                    "type_definition"};
constexpr std::string_view CPP_DECLARATOR_OWNERS[] = {"declaration", "function_definition",
                                                      "type_definition", "field_declaration"};
// Wrappers that change nothing about what the name is.
constexpr std::string_view C_TRANSPARENT_WRAPPERS[] = {"parenthesized_declarator",
                                                       "attributed_declarator"};
// Operators that make the name a function.
constexpr std::string_view C_FUNCTION_WRAPPERS[] = {"function_declarator"};
// Operators that make the name an object (and override an outer function operator).
constexpr std::string_view C_VARIABLE_WRAPPERS[] = {"pointer_declarator", "array_declarator",
                                                    "reference_declarator"};
// Names split into a leaf and a dotted qualifier prefix.
constexpr std::string_view QUALIFIED_LEAF_TYPES[] = {"qualified_identifier"};
// Tokens of a parenthesized declarator that are never the wrapped declarator.
constexpr std::string_view PARENTHESIS_TOKENS[] = {"(", ")", "ms_call_modifier"};

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
TSNode declarator_inner(TSNode node) {
  const TSNode field = child_by_field(node, "declarator");
  if (!is_absent(field)) return field;
  const uint32_t count = ts_node_child_count(node);
  for (uint32_t i = 0; i < count; ++i) {
    const TSNode child = ts_node_child(node, i);
    if (!type_in(child, PARENTHESIS_TOKENS)) return child;
  }
  return NO_NODE;
}

// The declarator an operator applies to. A reference declarator holds it as its
// only named child rather than under a `declarator` field (`T& get()`).
TSNode operator_operand(TSNode node) {
  const TSNode field = child_by_field(node, "declarator");
  if (!is_absent(field) || node_type(node) != "reference_declarator") return field;
  return ts_node_named_child_count(node) > 0 ? ts_node_named_child(node, 0) : NO_NODE;
}

// A::B::f -> (f, "A.B."): each scope's text, as written, followed by ".". A
// qualified node lacking its scope or its name is itself the leaf.
std::pair<TSNode, std::string> flatten_qualified_name(TSNode node, std::string_view source) {
  std::string prefix;
  if (is_absent(node)) return {NO_NODE, prefix};
  while (type_in(node, QUALIFIED_LEAF_TYPES)) {
    const TSNode scope = child_by_field(node, "scope");
    const TSNode name = child_by_field(node, "name");
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
std::optional<DeclaredName> declarator_walk(TSNode declarator, std::string_view source,
                                            bool is_typedef) {
  Operator first_op = Operator::NONE;
  TSNode node = declarator;
  while (!is_absent(node)) {
    if (type_in(node, C_TRANSPARENT_WRAPPERS)) {
      node = declarator_inner(node);
    } else if (type_in(node, C_FUNCTION_WRAPPERS)) {
      first_op = Operator::FUNCTION;
      node = operator_operand(node);
    } else if (type_in(node, C_VARIABLE_WRAPPERS)) {
      first_op = Operator::VARIABLE;
      node = operator_operand(node);
    } else {
      auto [leaf, prefix] = flatten_qualified_name(node, source);
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
std::optional<RuleOutcome> specifier_rule(TSNode node) {
  const TSNode name = child_by_field(node, "name");
  if (!is_valid_identifier(name)) return std::nullopt;
  if (is_absent(child_by_field(node, "body"))) {
    const TSNode parent = ts_node_parent(node);
    if (node_type(parent) == "declaration" && !is_absent(child_by_field(parent, "declarator"))) {
      return std::nullopt;
    }
  }
  return declaration(candidate(name, TYPE));
}

// A node with a `declarator` field; only its first declarator is read.
std::optional<RuleOutcome> declarator_owner_rule(TSNode node, std::string_view source) {
  const TSNode declarator = child_by_field(node, "declarator");
  if (is_absent(declarator)) return std::nullopt;
  std::optional<DeclaredName> found =
      declarator_walk(declarator, source, node_type(node) == "type_definition");
  if (!found) return std::nullopt;
  return declaration(candidate(found->leaf, found->kind, std::move(found->prefix)));
}

// A namespace is named by the whole text of its name (A::B included). An
// anonymous namespace is there only for its members: they see the enclosing
// qualification and parent.
std::optional<RuleOutcome> cpp_namespace(TSNode node) {
  const TSNode name = child_by_field(node, "name");
  if (!is_valid_identifier(name)) return context_only();
  return declaration(candidate(name, NAMESPACE));
}

}  // namespace

std::optional<RuleOutcome> rule_c(TSNode node, std::string_view source) {
  if (type_in(node, C_SPECIFIER_TYPES)) return specifier_rule(node);
  if (type_in(node, C_DECLARATOR_OWNERS)) return declarator_owner_rule(node, source);
  return std::nullopt;
}

std::optional<RuleOutcome> rule_cpp(TSNode node, std::string_view source) {
  const std::string_view type = node_type(node);
  if (type_in(node, C_SPECIFIER_TYPES) || type == "class_specifier") return specifier_rule(node);
  if (type_in(node, CPP_DECLARATOR_OWNERS)) return declarator_owner_rule(node, source);
  if (type == "namespace_definition") return cpp_namespace(node);
  if (type == "namespace_alias_definition") return simple(node, "name", NAMESPACE);
  if (type == "alias_declaration") return simple(node, "name", TYPE);
  return std::nullopt;
}

}  // namespace kolvex::syntax
