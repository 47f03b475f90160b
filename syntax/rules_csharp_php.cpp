// Declaration rules for C# and PHP.
//
// C#: classes, structs, enums, interfaces, records and delegates (TYPE); methods,
// constructors, destructors and local functions (METHOD); block namespaces
// (NAMESPACE) and file-scoped namespaces (NAMESPACE header: they qualify the rest
// of the file); using aliases (TERM, the alias name); variable declarators whose
// initializer is itself a lambda or anonymous method (METHOD).
//
// PHP: classes, interfaces, traits and enums (TYPE); functions and methods
// (METHOD); named namespaces (NAMESPACE; a header when written without a body);
// plain `$name = function/fn ...` assignments (METHOD, named without the `$`).
//
// Neither rule reads the source bytes.
#include "syntax/node_vocabulary.h"
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

enum CsType : TypeIndex {
  CS_CLASS_DECLARATION,
  CS_STRUCT_DECLARATION,
  CS_ENUM_DECLARATION,
  CS_INTERFACE_DECLARATION,
  CS_RECORD_DECLARATION,
  CS_DELEGATE_DECLARATION,
  CS_METHOD_DECLARATION,
  CS_CONSTRUCTOR_DECLARATION,
  CS_DESTRUCTOR_DECLARATION,
  CS_LOCAL_FUNCTION_STATEMENT,
  CS_NAMESPACE_DECLARATION,
  CS_FILE_SCOPED_NAMESPACE_DECLARATION,
  CS_USING_DIRECTIVE,
  CS_VARIABLE_DECLARATOR,
  CS_LAMBDA_EXPRESSION,
  CS_ANONYMOUS_METHOD_EXPRESSION,
};
constexpr std::string_view CS_TYPES[] = {
    "class_declaration",       "struct_declaration",      "enum_declaration",
    "interface_declaration",   "record_declaration",      "delegate_declaration",
    "method_declaration",      "constructor_declaration", "destructor_declaration",
    "local_function_statement", "namespace_declaration",  "file_scoped_namespace_declaration",
    "using_directive",         "variable_declarator",     "lambda_expression",
    "anonymous_method_expression"};
enum CsField : std::size_t { CS_NAME };
constexpr std::string_view CS_FIELDS[] = {"name"};

enum PhpType : TypeIndex {
  PHP_CLASS_DECLARATION,
  PHP_INTERFACE_DECLARATION,
  PHP_TRAIT_DECLARATION,
  PHP_ENUM_DECLARATION,
  PHP_FUNCTION_DEFINITION,
  PHP_METHOD_DECLARATION,
  PHP_NAMESPACE_DEFINITION,
  PHP_ASSIGNMENT_EXPRESSION,
  PHP_VARIABLE_NAME,
  PHP_ANONYMOUS_FUNCTION,
  PHP_ARROW_FUNCTION,
  PHP_NAME_NODE,
};
constexpr std::string_view PHP_TYPES[] = {
    "class_declaration",     "interface_declaration", "trait_declaration",
    "enum_declaration",      "function_definition",   "method_declaration",
    "namespace_definition",  "assignment_expression", "variable_name",
    "anonymous_function",    "arrow_function",        "name"};
enum PhpField : std::size_t { PHP_NAME, PHP_BODY, PHP_LEFT, PHP_RIGHT };
constexpr std::string_view PHP_FIELDS[] = {"name", "body", "left", "right"};

}  // namespace

// Declared in rules.h: the walk asks the rule only about nodes of these types.
const NodeVocabulary CSHARP_RULE_VOCABULARY(CS_TYPES, CS_FIELDS);
const NodeVocabulary PHP_RULE_VOCABULARY(PHP_TYPES, PHP_FIELDS);

namespace {

// Initializers that make a variable declarator a method.
constexpr TypeMask CS_CALLABLE_VALUES = mask_of({CS_LAMBDA_EXPRESSION,
                                                 CS_ANONYMOUS_METHOD_EXPRESSION});
// Right-hand sides that make an assignment a method.
constexpr TypeMask PHP_CALLABLE_VALUES = mask_of({PHP_ANONYMOUS_FUNCTION, PHP_ARROW_FUNCTION});

// A namespace's dotted name is one node, taken whole. Only the file-scoped form
// (`namespace A.B;`) is a header; the block form is an ordinary scope.
std::optional<RuleOutcome> cs_namespace(const ResolvedVocabulary& v, TSNode node, bool file_scoped) {
  std::optional<RuleCandidate> found = candidate(v.child(node, CS_NAME), NAMESPACE);
  if (file_scoped) return header(std::move(found));
  return declaration(std::move(found));
}

// The first direct child that no field binds and whose type is a callable value;
// unbound tokens such as "=" are passed over.
TSNode cs_unbound_callable(const ResolvedVocabulary& v, TSNode node) {
  TSTreeCursor cursor = ts_tree_cursor_new(node);
  TSNode found = NO_NODE;
  if (ts_tree_cursor_goto_first_child(&cursor)) {
    do {
      if (ts_tree_cursor_current_field_id(&cursor) != 0) continue;
      const TSNode child = ts_tree_cursor_current_node(&cursor);
      if (v.in(child, CS_CALLABLE_VALUES)) {
        found = child;
        break;
      }
    } while (ts_tree_cursor_goto_next_sibling(&cursor));
  }
  ts_tree_cursor_delete(&cursor);
  return found;
}

// `Func<int> f = () => 1` (field, local or event): only a declarator whose
// initializer is directly a lambda or an anonymous method.
std::optional<RuleOutcome> cs_callable_declarator(const ResolvedVocabulary& v, TSNode node) {
  const TSNode name = v.child(node, CS_NAME);
  if (is_absent(name) || is_absent(cs_unbound_callable(v, node))) return std::nullopt;
  return declaration(candidate(name, METHOD));
}

// The node naming a namespace. A name of one segment is named by that segment; a
// name of several backslash-separated segments by the whole `namespace_name`, so
// `namespace App\Models;` is declared as App\Models.
TSNode php_namespace_leaf(const ResolvedVocabulary& v, TSNode full) {
  TSNode only = NO_NODE;
  int segments = 0;
  TSTreeCursor cursor = ts_tree_cursor_new(full);
  if (ts_tree_cursor_goto_first_child(&cursor)) {
    do {
      const TSNode child = ts_tree_cursor_current_node(&cursor);
      if (v.is(child, PHP_NAME_NODE)) {
        only = child;
        ++segments;
      }
    } while (ts_tree_cursor_goto_next_sibling(&cursor));
  }
  ts_tree_cursor_delete(&cursor);
  return segments == 1 ? only : full;
}

std::optional<RuleOutcome> php_namespace(const ResolvedVocabulary& v, TSNode node) {
  const TSNode full = v.child(node, PHP_NAME);
  if (!is_valid_identifier(full)) return std::nullopt;
  std::optional<RuleCandidate> found = candidate(php_namespace_leaf(v, full), NAMESPACE);
  if (is_absent(v.child(node, PHP_BODY))) return header(std::move(found));
  return declaration(std::move(found));
}

// `$f = function (...) {...}` or `$f = fn(...) => ...`: declared as f.
std::optional<RuleOutcome> php_callable_assignment(const ResolvedVocabulary& v, TSNode node) {
  const TSNode left = v.child(node, PHP_LEFT);
  const TSNode right = v.child(node, PHP_RIGHT);
  if (!v.is(left, PHP_VARIABLE_NAME) || !v.in(right, PHP_CALLABLE_VALUES)) return std::nullopt;
  return declaration(candidate(v.child_in(left, mask_of({PHP_NAME_NODE})), METHOD));
}

}  // namespace

std::optional<RuleOutcome> rule_csharp(TSNode node, std::string_view /*source*/) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = CSHARP_RULE_VOCABULARY.of(node);
  switch (v.type(node)) {
    case CS_CLASS_DECLARATION:
    case CS_STRUCT_DECLARATION:
    case CS_ENUM_DECLARATION:
    case CS_INTERFACE_DECLARATION:
    case CS_RECORD_DECLARATION:
    case CS_DELEGATE_DECLARATION: return declaration(candidate(v.child(node, CS_NAME), TYPE));
    case CS_METHOD_DECLARATION:
    case CS_CONSTRUCTOR_DECLARATION:
    case CS_DESTRUCTOR_DECLARATION:
    case CS_LOCAL_FUNCTION_STATEMENT: return declaration(candidate(v.child(node, CS_NAME), METHOD));
    case CS_NAMESPACE_DECLARATION: return cs_namespace(v, node, false);
    case CS_FILE_SCOPED_NAMESPACE_DECLARATION: return cs_namespace(v, node, true);
    // Only an aliasing directive has a `name` field: the alias is the declared name.
    case CS_USING_DIRECTIVE: return declaration(candidate(v.child(node, CS_NAME), TERM));
    case CS_VARIABLE_DECLARATOR: return cs_callable_declarator(v, node);
    default: return std::nullopt;
  }
}

std::optional<RuleOutcome> rule_php(TSNode node, std::string_view /*source*/) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = PHP_RULE_VOCABULARY.of(node);
  switch (v.type(node)) {
    case PHP_CLASS_DECLARATION:
    case PHP_INTERFACE_DECLARATION:
    case PHP_TRAIT_DECLARATION:
    case PHP_ENUM_DECLARATION: return declaration(candidate(v.child(node, PHP_NAME), TYPE));
    case PHP_FUNCTION_DEFINITION:
    case PHP_METHOD_DECLARATION: return declaration(candidate(v.child(node, PHP_NAME), METHOD));
    case PHP_NAMESPACE_DEFINITION: return php_namespace(v, node);
    case PHP_ASSIGNMENT_EXPRESSION: return php_callable_assignment(v, node);
    default: return std::nullopt;
  }
}

}  // namespace kolvex::syntax
