// Declaration rules for Swift. Types and extensions both arrive as
// `class_declaration`, told apart by the text of `declaration_kind`: a type is a
// declaration, an extension is context-only and adds the extended type's name to
// the qualification of its members without a row or a parent of its own.
// Protocols, type aliases, associated types, functions and properties bound to a
// closure are the other declarations.
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

constexpr std::string_view EXTENSION_KEYWORD = "extension";

// The name of a `class_declaration` written as a `user_type`.
constexpr std::string_view CLASS_NAME_TYPES[] = {"type_identifier"};
// The name of a `property_declaration`. The pinned grammar holds a pattern's name
// as a `simple_identifier` (under the field `bound_identifier`); a grammar that
// gives the node the type `bound_identifier` is read the same way.
constexpr std::string_view PROPERTY_NAME_TYPES[] = {"bound_identifier", "simple_identifier"};

struct NamedRow {
  std::string_view type;
  DescriptorKind kind;
};

constexpr NamedRow SWIFT_NAMED[] = {
    {"protocol_declaration", TYPE},
    {"typealias_declaration", TYPE},
    {"associatedtype_declaration", TYPE},
    {"function_declaration", METHOD},
    {"protocol_function_declaration", METHOD},
};

const NamedRow* find_row(std::string_view type, std::span<const NamedRow> table) {
  for (const NamedRow& row : table) {
    if (row.type == type) return &row;
  }
  return nullptr;
}

// `struct S`, `class S`, `enum S`, ... or `extension S`. A `user_type` name is
// reduced to its first `type_identifier`, so generic arguments and further dotted
// components never reach the qualification.
std::optional<RuleOutcome> class_declaration(TSNode node, std::string_view source) {
  const TSNode kind_node = child_by_field(node, "declaration_kind");
  const std::string keyword = is_absent(kind_node) ? std::string() : text(source, kind_node);
  TSNode name = child_by_field(node, "name");
  if (node_type(name) == "user_type") name = child_of_type(name, CLASS_NAME_TYPES);
  if (keyword == EXTENSION_KEYWORD) {
    if (!is_valid_identifier(name)) return std::nullopt;
    return context_only(text(source, name) + ".");
  }
  return declaration(candidate(name, TYPE));
}

// `var h = { ... }`: a property whose value is a closure, named by the identifier
// inside its pattern.
std::optional<RuleOutcome> closure_property(TSNode node) {
  TSNode name = child_by_field(node, "name");
  const TSNode value = child_by_field(node, "value");
  if (is_absent(name) || node_type(value) != "lambda_literal") return std::nullopt;
  if (node_type(name) == "pattern") {
    name = child_of_type(name, PROPERTY_NAME_TYPES);
  } else if (!type_in(name, PROPERTY_NAME_TYPES)) {
    const TSNode inner = child_of_type(name, PROPERTY_NAME_TYPES);
    if (!is_absent(inner)) name = inner;
  }
  return declaration(candidate(name, METHOD));
}

}  // namespace

std::optional<RuleOutcome> rule_swift(TSNode node, std::string_view source) {
  const std::string_view type = node_type(node);
  if (type == "class_declaration") return class_declaration(node, source);
  if (const NamedRow* row = find_row(type, SWIFT_NAMED)) return simple(node, "name", row->kind);
  if (type == "property_declaration") return closure_property(node);
  return std::nullopt;
}

}  // namespace kolvex::syntax
