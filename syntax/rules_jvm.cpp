// Declaration rules for Java and Kotlin: types, methods and constructors, package
// lines (headers that qualify the rest of the file), Java modules, Kotlin
// companion objects, type aliases and properties bound to a lambda. A rule looks
// only at the node and its direct children; the walk does the descent.
#include "syntax/node_vocabulary.h"
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

enum JavaType : TypeIndex {
  J_CLASS_DECLARATION,
  J_INTERFACE_DECLARATION,
  J_ENUM_DECLARATION,
  J_RECORD_DECLARATION,
  J_ANNOTATION_TYPE_DECLARATION,
  J_METHOD_DECLARATION,
  J_CONSTRUCTOR_DECLARATION,
  J_COMPACT_CONSTRUCTOR_DECLARATION,
  J_ANNOTATION_TYPE_ELEMENT_DECLARATION,
  J_MODULE_DECLARATION,
  J_PACKAGE_DECLARATION,
  J_IDENTIFIER,
  J_SCOPED_IDENTIFIER,
};
constexpr std::string_view JAVA_TYPES[] = {
    "class_declaration",       "interface_declaration",
    "enum_declaration",        "record_declaration",
    "annotation_type_declaration", "method_declaration",
    "constructor_declaration", "compact_constructor_declaration",
    "annotation_type_element_declaration",
    // A module is a declaration with a scope of its own, not a header.
    "module_declaration",      "package_declaration",
    "identifier",              "scoped_identifier"};

enum KotlinType : TypeIndex {
  K_CLASS_DECLARATION,
  K_OBJECT_DECLARATION,
  K_FUNCTION_DECLARATION,
  K_COMPANION_OBJECT,
  K_TYPE_ALIAS,
  K_PACKAGE_HEADER,
  K_PROPERTY_DECLARATION,
  K_VARIABLE_DECLARATION,
  K_IDENTIFIER,
  K_QUALIFIED_IDENTIFIER,
  K_LAMBDA_LITERAL,
};
constexpr std::string_view KOTLIN_TYPES[] = {
    "class_declaration", "object_declaration",   "function_declaration",
    "companion_object",  "type_alias",           "package_header",
    "property_declaration", "variable_declaration", "identifier",
    "qualified_identifier", "lambda_literal"};

enum Field : std::size_t { NAME, TYPE_FIELD };
constexpr std::string_view FIELDS[] = {"name", "type"};

}  // namespace

// Declared in rules.h: the walk asks the rule only about nodes of these types.
const NodeVocabulary JAVA_RULE_VOCABULARY(JAVA_TYPES, FIELDS);
const NodeVocabulary KOTLIN_RULE_VOCABULARY(KOTLIN_TYPES, FIELDS);

namespace {

// The name of a Java `package_declaration` and of a Kotlin `package_header`.
constexpr TypeMask JAVA_HEADER_NAME_TYPES = mask_of({J_IDENTIFIER, J_SCOPED_IDENTIFIER});
constexpr TypeMask KOTLIN_HEADER_NAME_TYPES = mask_of({K_IDENTIFIER, K_QUALIFIED_IDENTIFIER});

std::optional<RuleOutcome> named(const ResolvedVocabulary& v, TSNode node, DescriptorKind kind) {
  return declaration(candidate(v.child(node, NAME), kind));
}

// A package line: its (possibly dotted) name is one NAMESPACE that qualifies and
// parents every later sibling.
std::optional<RuleOutcome> package_header(const ResolvedVocabulary& v, TSNode node,
                                          TypeMask name_types) {
  return header(candidate(v.child_in(node, name_types), NAMESPACE));
}

// A named companion object is a type of its own; an unnamed one is transparent,
// so its members belong to the enclosing type.
std::optional<RuleOutcome> companion_object(const ResolvedVocabulary& v, TSNode node) {
  const TSNode name = v.child(node, NAME);
  if (!is_valid_identifier(name)) return context_only();
  return declaration(candidate(name, TYPE));
}

// `val f = { ... }`. The grammar gives the property no `value` field, so the
// value is the property's direct `lambda_literal` child.
std::optional<RuleOutcome> lambda_property(const ResolvedVocabulary& v, TSNode node) {
  const TSNode variable = v.child_in(node, mask_of({K_VARIABLE_DECLARATION}));
  const TSNode value = v.child_in(node, mask_of({K_LAMBDA_LITERAL}));
  if (is_absent(variable) || is_absent(value)) return std::nullopt;
  return declaration(candidate(v.child_in(variable, mask_of({K_IDENTIFIER})), METHOD));
}

}  // namespace

std::optional<RuleOutcome> rule_java(TSNode node, std::string_view /*source*/) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = JAVA_RULE_VOCABULARY.of(node);
  switch (v.type(node)) {
    case J_CLASS_DECLARATION:
    case J_INTERFACE_DECLARATION:
    case J_ENUM_DECLARATION:
    case J_RECORD_DECLARATION:
    case J_ANNOTATION_TYPE_DECLARATION: return named(v, node, TYPE);
    case J_METHOD_DECLARATION:
    case J_CONSTRUCTOR_DECLARATION:
    case J_COMPACT_CONSTRUCTOR_DECLARATION:
    case J_ANNOTATION_TYPE_ELEMENT_DECLARATION: return named(v, node, METHOD);
    case J_MODULE_DECLARATION: return named(v, node, NAMESPACE);
    case J_PACKAGE_DECLARATION: return package_header(v, node, JAVA_HEADER_NAME_TYPES);
    default: return std::nullopt;
  }
}

std::optional<RuleOutcome> rule_kotlin(TSNode node, std::string_view /*source*/) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = KOTLIN_RULE_VOCABULARY.of(node);
  switch (v.type(node)) {
    case K_CLASS_DECLARATION:
    case K_OBJECT_DECLARATION: return named(v, node, TYPE);
    case K_FUNCTION_DECLARATION: return named(v, node, METHOD);
    case K_COMPANION_OBJECT: return companion_object(v, node);
    case K_TYPE_ALIAS: return declaration(candidate(v.child(node, TYPE_FIELD), TYPE));
    case K_PACKAGE_HEADER: return package_header(v, node, KOTLIN_HEADER_NAME_TYPES);
    case K_PROPERTY_DECLARATION: return lambda_property(v, node);
    default: return std::nullopt;
  }
}

}  // namespace kolvex::syntax
