// Declaration rules for Ruby and Rust.
//
// Ruby: classes and modules (both TYPE; a name written as a scope resolution such
// as A::B::Foo is declared under its last component, the scope's text folded into
// the qualified name), methods, singleton methods, aliases and plain locals bound
// to a lambda literal. `class << self` is context-only and adds no qualification.
//
// Rust: structs, enums, unions, traits, type aliases and associated types (TYPE),
// functions with or without a body (METHOD), modules (NAMESPACE, never a header)
// and plain locals bound to a closure. An impl block is context-only: its members
// are qualified by the implemented type's source text but parented to whatever
// encloses the block.
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

constexpr std::string_view RUBY_TYPES[] = {"class", "module"};
constexpr std::string_view RUBY_METHODS[] = {"method", "singleton_method"};

constexpr std::string_view RUST_TYPES[] = {"struct_item", "enum_item",  "union_item",
                                           "trait_item",  "type_item",  "associated_type"};
constexpr std::string_view RUST_METHODS[] = {"function_item", "function_signature_item"};

// A class or module name: a plain constant, or a scope resolution whose leaf is
// the declared name and whose scope text (as written, `::` included) plus "." is
// the qualifier prefix. Only the outermost scope resolution is looked at.
std::optional<RuleOutcome> ruby_class_or_module(TSNode node, std::string_view source) {
  const TSNode name = child_by_field(node, "name");
  if (node_type(name) == "scope_resolution") {
    const TSNode leaf = child_by_field(name, "name");
    const TSNode scope = child_by_field(name, "scope");
    std::string prefix = is_absent(scope) ? std::string() : text(source, scope) + ".";
    return declaration(candidate(leaf, TYPE, std::move(prefix)));
  }
  return declaration(candidate(name, TYPE));
}

// `name = ->(x) { ... }`: a plain local on the left and a lambda literal on the right.
std::optional<RuleOutcome> ruby_lambda_binding(TSNode node) {
  const TSNode left = child_by_field(node, "left");
  const TSNode right = child_by_field(node, "right");
  if (node_type(left) != "identifier" || node_type(right) != "lambda") return std::nullopt;
  return declaration(candidate(left, METHOD));
}

// An impl block qualifies its members by the implemented type, whatever its shape
// (generics, lifetimes, references and paths stay as written); the trait never
// enters the qualification. A missing or broken type adds nothing.
std::optional<RuleOutcome> rust_impl(TSNode node, std::string_view source) {
  const TSNode target = child_by_field(node, "type");
  if (!is_valid_identifier(target)) return std::nullopt;
  return context_only(text(source, target) + ".");
}

// `let name = |..| ...`: a plain identifier pattern bound directly to a closure.
std::optional<RuleOutcome> rust_closure_binding(TSNode node) {
  const TSNode pattern = child_by_field(node, "pattern");
  const TSNode value = child_by_field(node, "value");
  if (node_type(pattern) != "identifier" || node_type(value) != "closure_expression") {
    return std::nullopt;
  }
  return declaration(candidate(pattern, METHOD));
}

}  // namespace

std::optional<RuleOutcome> rule_ruby(TSNode node, std::string_view source) {
  const std::string_view type = node_type(node);
  if (type_in(node, RUBY_TYPES)) return ruby_class_or_module(node, source);
  if (type_in(node, RUBY_METHODS)) return simple(node, "name", METHOD);
  if (type == "alias") return simple(node, "name", METHOD);
  if (type == "singleton_class") return context_only();
  if (type == "assignment") return ruby_lambda_binding(node);
  return std::nullopt;
}

std::optional<RuleOutcome> rule_rust(TSNode node, std::string_view source) {
  const std::string_view type = node_type(node);
  if (type_in(node, RUST_TYPES)) return simple(node, "name", TYPE);
  if (type_in(node, RUST_METHODS)) return simple(node, "name", METHOD);
  if (type == "mod_item") return simple(node, "name", NAMESPACE);
  if (type == "impl_item") return rust_impl(node, source);
  if (type == "let_declaration") return rust_closure_binding(node);
  return std::nullopt;
}

}  // namespace kolvex::syntax
