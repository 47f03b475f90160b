// Declaration rules for Swift. Types and extensions both arrive as
// `class_declaration`, told apart by the text of `declaration_kind`: a type is a
// declaration, an extension is context-only and adds the extended type's name to
// the qualification of its members without a row or a parent of its own.
// Protocols, type aliases, associated types, functions and properties bound to a
// closure are the other declarations.
#include "syntax/node_vocabulary.h"
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

constexpr std::string_view EXTENSION_KEYWORD = "extension";

enum Type : TypeIndex {
  CLASS_DECLARATION,
  PROTOCOL_DECLARATION,
  TYPEALIAS_DECLARATION,
  ASSOCIATEDTYPE_DECLARATION,
  FUNCTION_DECLARATION,
  PROTOCOL_FUNCTION_DECLARATION,
  PROPERTY_DECLARATION,
  USER_TYPE,
  TYPE_IDENTIFIER,
  LAMBDA_LITERAL,
  PATTERN,
  BOUND_IDENTIFIER,
  SIMPLE_IDENTIFIER,
};
constexpr std::string_view TYPES[] = {
    "class_declaration",      "protocol_declaration",
    "typealias_declaration",  "associatedtype_declaration",
    "function_declaration",   "protocol_function_declaration",
    "property_declaration",   "user_type",
    "type_identifier",        "lambda_literal",
    "pattern",                "bound_identifier",
    "simple_identifier"};
enum Field : std::size_t { NAME, DECLARATION_KIND, VALUE };
constexpr std::string_view FIELDS[] = {"name", "declaration_kind", "value"};

}  // namespace

// Declared in rules.h: the walk asks the rule only about nodes of these types.
const NodeVocabulary SWIFT_RULE_VOCABULARY(TYPES, FIELDS);

namespace {

// The name of a `class_declaration` written as a `user_type`.
constexpr TypeMask CLASS_NAME_TYPES = mask_of({TYPE_IDENTIFIER});
// The name of a `property_declaration`. The pinned grammar holds a pattern's name
// as a `simple_identifier` (under the field `bound_identifier`); a grammar that
// gives the node the type `bound_identifier` is read the same way.
constexpr TypeMask PROPERTY_NAME_TYPES = mask_of({BOUND_IDENTIFIER, SIMPLE_IDENTIFIER});

// `struct S`, `class S`, `enum S`, ... or `extension S`. A `user_type` name is
// reduced to its first `type_identifier`, so generic arguments and further dotted
// components never reach the qualification.
std::optional<RuleOutcome> class_declaration(const ResolvedVocabulary& v, TSNode node,
                                             std::string_view source) {
  const TSNode kind_node = v.child(node, DECLARATION_KIND);
  const std::string keyword = is_absent(kind_node) ? std::string() : text(source, kind_node);
  TSNode name = v.child(node, NAME);
  if (v.is(name, USER_TYPE)) name = v.child_in(name, CLASS_NAME_TYPES);
  if (keyword == EXTENSION_KEYWORD) {
    if (!is_valid_identifier(name)) return std::nullopt;
    return context_only(text(source, name) + ".");
  }
  return declaration(candidate(name, TYPE));
}

// `var h = { ... }`: a property whose value is a closure, named by the identifier
// inside its pattern.
std::optional<RuleOutcome> closure_property(const ResolvedVocabulary& v, TSNode node) {
  TSNode name = v.child(node, NAME);
  const TSNode value = v.child(node, VALUE);
  if (is_absent(name) || !v.is(value, LAMBDA_LITERAL)) return std::nullopt;
  if (v.is(name, PATTERN)) {
    name = v.child_in(name, PROPERTY_NAME_TYPES);
  } else if (!v.in(name, PROPERTY_NAME_TYPES)) {
    const TSNode inner = v.child_in(name, PROPERTY_NAME_TYPES);
    if (!is_absent(inner)) name = inner;
  }
  return declaration(candidate(name, METHOD));
}

}  // namespace

std::optional<RuleOutcome> rule_swift(TSNode node, std::string_view source) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = SWIFT_RULE_VOCABULARY.of(node);
  switch (v.type(node)) {
    case CLASS_DECLARATION: return class_declaration(v, node, source);
    case PROTOCOL_DECLARATION:
    case TYPEALIAS_DECLARATION:
    case ASSOCIATEDTYPE_DECLARATION: return declaration(candidate(v.child(node, NAME), TYPE));
    case FUNCTION_DECLARATION:
    case PROTOCOL_FUNCTION_DECLARATION: return declaration(candidate(v.child(node, NAME), METHOD));
    case PROPERTY_DECLARATION: return closure_property(v, node);
    default: return std::nullopt;
  }
}

}  // namespace kolvex::syntax
