// Declaration rules for Java and Kotlin: types, methods and constructors, package
// lines (headers that qualify the rest of the file), Java modules, Kotlin
// companion objects, type aliases and properties bound to a lambda. A rule looks
// only at the node and its direct children; the walk does the descent.
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

// The name of a Java `package_declaration` and of a Kotlin `package_header`.
constexpr std::string_view JAVA_HEADER_NAME_TYPES[] = {"identifier", "scoped_identifier"};
constexpr std::string_view KOTLIN_HEADER_NAME_TYPES[] = {"identifier", "qualified_identifier"};

constexpr std::string_view KOTLIN_VARIABLE_DECLARATION[] = {"variable_declaration"};
constexpr std::string_view KOTLIN_IDENTIFIER[] = {"identifier"};
constexpr std::string_view KOTLIN_LAMBDA[] = {"lambda_literal"};

// A node type whose declared name is the child under `name`, and its kind.
struct NamedRow {
  std::string_view type;
  DescriptorKind kind;
};

constexpr NamedRow JAVA_NAMED[] = {
    {"class_declaration", TYPE},
    {"interface_declaration", TYPE},
    {"enum_declaration", TYPE},
    {"record_declaration", TYPE},
    {"annotation_type_declaration", TYPE},
    {"method_declaration", METHOD},
    {"constructor_declaration", METHOD},
    {"compact_constructor_declaration", METHOD},
    {"annotation_type_element_declaration", METHOD},
    // A module is a declaration with a scope of its own, not a header.
    {"module_declaration", NAMESPACE},
};

constexpr NamedRow KOTLIN_NAMED[] = {
    {"class_declaration", TYPE},
    {"object_declaration", TYPE},
    {"function_declaration", METHOD},
};

const NamedRow* find_row(std::string_view type, std::span<const NamedRow> table) {
  for (const NamedRow& row : table) {
    if (row.type == type) return &row;
  }
  return nullptr;
}

// A package line: its (possibly dotted) name is one NAMESPACE that qualifies and
// parents every later sibling.
std::optional<RuleOutcome> package_header(TSNode node, TypeSet name_types) {
  return header(candidate(child_of_type(node, name_types), NAMESPACE));
}

// A named companion object is a type of its own; an unnamed one is transparent,
// so its members belong to the enclosing type.
std::optional<RuleOutcome> companion_object(TSNode node) {
  const TSNode name = child_by_field(node, "name");
  if (!is_valid_identifier(name)) return context_only();
  return declaration(candidate(name, TYPE));
}

// `val f = { ... }`. The grammar gives the property no `value` field, so the
// value is the property's direct `lambda_literal` child.
std::optional<RuleOutcome> lambda_property(TSNode node) {
  const TSNode variable = child_of_type(node, KOTLIN_VARIABLE_DECLARATION);
  const TSNode value = child_of_type(node, KOTLIN_LAMBDA);
  if (is_absent(variable) || is_absent(value)) return std::nullopt;
  return declaration(candidate(child_of_type(variable, KOTLIN_IDENTIFIER), METHOD));
}

}  // namespace

std::optional<RuleOutcome> rule_java(TSNode node, std::string_view /*source*/) {
  const std::string_view type = node_type(node);
  if (const NamedRow* row = find_row(type, JAVA_NAMED)) return simple(node, "name", row->kind);
  if (type == "package_declaration") return package_header(node, JAVA_HEADER_NAME_TYPES);
  return std::nullopt;
}

std::optional<RuleOutcome> rule_kotlin(TSNode node, std::string_view /*source*/) {
  const std::string_view type = node_type(node);
  if (const NamedRow* row = find_row(type, KOTLIN_NAMED)) return simple(node, "name", row->kind);
  if (type == "companion_object") return companion_object(node);
  if (type == "type_alias") return simple(node, "type", TYPE);
  if (type == "package_header") return package_header(node, KOTLIN_HEADER_NAME_TYPES);
  if (type == "property_declaration") return lambda_property(node);
  return std::nullopt;
}

}  // namespace kolvex::syntax
