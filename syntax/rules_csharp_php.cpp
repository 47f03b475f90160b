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
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

constexpr std::string_view CS_TYPES[] = {"class_declaration",     "struct_declaration",
                                         "enum_declaration",      "interface_declaration",
                                         "record_declaration",    "delegate_declaration"};
constexpr std::string_view CS_METHODS[] = {"method_declaration", "constructor_declaration",
                                           "destructor_declaration", "local_function_statement"};
constexpr std::string_view CS_NAMESPACES[] = {"namespace_declaration",
                                              "file_scoped_namespace_declaration"};
// Initializers that make a variable declarator a method.
constexpr std::string_view CS_CALLABLE_VALUES[] = {"lambda_expression",
                                                   "anonymous_method_expression"};

constexpr std::string_view PHP_TYPES[] = {"class_declaration", "interface_declaration",
                                          "trait_declaration", "enum_declaration"};
constexpr std::string_view PHP_METHODS[] = {"function_definition", "method_declaration"};
// Right-hand sides that make an assignment a method.
constexpr std::string_view PHP_CALLABLE_VALUES[] = {"anonymous_function", "arrow_function"};

// A namespace's dotted name is one node, taken whole. Only the file-scoped form
// (`namespace A.B;`) is a header; the block form is an ordinary scope.
std::optional<RuleOutcome> cs_namespace(TSNode node) {
  std::optional<RuleCandidate> found = candidate(child_by_field(node, "name"), NAMESPACE);
  if (node_type(node) == "file_scoped_namespace_declaration") return header(std::move(found));
  return declaration(std::move(found));
}

// The first direct child that no field binds and whose type is a callable value;
// unbound tokens such as "=" are passed over.
TSNode cs_unbound_callable(TSNode node) {
  TSTreeCursor cursor = ts_tree_cursor_new(node);
  TSNode found = NO_NODE;
  if (ts_tree_cursor_goto_first_child(&cursor)) {
    do {
      if (ts_tree_cursor_current_field_name(&cursor) != nullptr) continue;
      const TSNode child = ts_tree_cursor_current_node(&cursor);
      if (type_in(child, CS_CALLABLE_VALUES)) {
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
std::optional<RuleOutcome> cs_callable_declarator(TSNode node) {
  const TSNode name = child_by_field(node, "name");
  if (is_absent(name) || is_absent(cs_unbound_callable(node))) return std::nullopt;
  return declaration(candidate(name, METHOD));
}

// The node naming a namespace. A name of one segment is named by that segment; a
// name of several backslash-separated segments by the whole `namespace_name`, so
// `namespace App\Models;` is declared as App\Models.
TSNode php_namespace_leaf(TSNode full) {
  TSNode only = NO_NODE;
  int segments = 0;
  const uint32_t count = ts_node_child_count(full);
  for (uint32_t i = 0; i < count; ++i) {
    const TSNode child = ts_node_child(full, i);
    if (node_type(child) == "name") {
      only = child;
      ++segments;
    }
  }
  return segments == 1 ? only : full;
}

std::optional<RuleOutcome> php_namespace(TSNode node) {
  const TSNode full = child_by_field(node, "name");
  if (!is_valid_identifier(full)) return std::nullopt;
  std::optional<RuleCandidate> found = candidate(php_namespace_leaf(full), NAMESPACE);
  if (is_absent(child_by_field(node, "body"))) return header(std::move(found));
  return declaration(std::move(found));
}

// `$f = function (...) {...}` or `$f = fn(...) => ...`: declared as f.
std::optional<RuleOutcome> php_callable_assignment(TSNode node) {
  const TSNode left = child_by_field(node, "left");
  const TSNode right = child_by_field(node, "right");
  if (node_type(left) != "variable_name" || !type_in(right, PHP_CALLABLE_VALUES)) {
    return std::nullopt;
  }
  return declaration(candidate(child_of_type(left, {"name"}), METHOD));
}

}  // namespace

std::optional<RuleOutcome> rule_csharp(TSNode node, std::string_view /*source*/) {
  const std::string_view type = node_type(node);
  if (type_in(node, CS_TYPES)) return simple(node, "name", TYPE);
  if (type_in(node, CS_METHODS)) return simple(node, "name", METHOD);
  if (type_in(node, CS_NAMESPACES)) return cs_namespace(node);
  // Only an aliasing directive has a `name` field: the alias is the declared name.
  if (type == "using_directive") return simple(node, "name", TERM);
  if (type == "variable_declarator") return cs_callable_declarator(node);
  return std::nullopt;
}

std::optional<RuleOutcome> rule_php(TSNode node, std::string_view /*source*/) {
  const std::string_view type = node_type(node);
  if (type_in(node, PHP_TYPES)) return simple(node, "name", TYPE);
  if (type_in(node, PHP_METHODS)) return simple(node, "name", METHOD);
  if (type == "namespace_definition") return php_namespace(node);
  if (type == "assignment_expression") return php_callable_assignment(node);
  return std::nullopt;
}

}  // namespace kolvex::syntax
