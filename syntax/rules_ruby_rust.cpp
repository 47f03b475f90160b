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
#include "syntax/node_vocabulary.h"
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

enum RubyType : TypeIndex {
  RB_CLASS,
  RB_MODULE,
  RB_METHOD,
  RB_SINGLETON_METHOD,
  RB_ALIAS,
  RB_SINGLETON_CLASS,
  RB_ASSIGNMENT,
  RB_SCOPE_RESOLUTION,
  RB_IDENTIFIER,
  RB_LAMBDA,
};
constexpr std::string_view RUBY_TYPES[] = {
    "class",           "module",          "method",     "singleton_method", "alias",
    "singleton_class", "assignment",      "scope_resolution", "identifier", "lambda"};
enum RubyField : std::size_t { RB_NAME, RB_SCOPE, RB_LEFT, RB_RIGHT };
constexpr std::string_view RUBY_FIELDS[] = {"name", "scope", "left", "right"};

enum RustType : TypeIndex {
  RS_STRUCT_ITEM,
  RS_ENUM_ITEM,
  RS_UNION_ITEM,
  RS_TRAIT_ITEM,
  RS_TYPE_ITEM,
  RS_ASSOCIATED_TYPE,
  RS_FUNCTION_ITEM,
  RS_FUNCTION_SIGNATURE_ITEM,
  RS_MOD_ITEM,
  RS_IMPL_ITEM,
  RS_LET_DECLARATION,
  RS_IDENTIFIER,
  RS_CLOSURE_EXPRESSION,
};
constexpr std::string_view RUST_TYPES[] = {
    "struct_item",   "enum_item",      "union_item",      "trait_item",
    "type_item",     "associated_type", "function_item",  "function_signature_item",
    "mod_item",      "impl_item",      "let_declaration", "identifier",
    "closure_expression"};
enum RustField : std::size_t { RS_NAME, RS_TYPE, RS_PATTERN, RS_VALUE };
constexpr std::string_view RUST_FIELDS[] = {"name", "type", "pattern", "value"};

}  // namespace

// Declared in rules.h: the walk asks the rule only about nodes of these types.
const NodeVocabulary RUBY_RULE_VOCABULARY(RUBY_TYPES, RUBY_FIELDS);
const NodeVocabulary RUST_RULE_VOCABULARY(RUST_TYPES, RUST_FIELDS);

namespace {

// A class or module name: a plain constant, or a scope resolution whose leaf is
// the declared name and whose scope text (as written, `::` included) plus "." is
// the qualifier prefix. Only the outermost scope resolution is looked at.
std::optional<RuleOutcome> ruby_class_or_module(const ResolvedVocabulary& v, TSNode node,
                                                std::string_view source) {
  const TSNode name = v.child(node, RB_NAME);
  if (v.is(name, RB_SCOPE_RESOLUTION)) {
    const TSNode leaf = v.child(name, RB_NAME);
    const TSNode scope = v.child(name, RB_SCOPE);
    std::string prefix = is_absent(scope) ? std::string() : text(source, scope) + ".";
    return declaration(candidate(leaf, TYPE, std::move(prefix)));
  }
  return declaration(candidate(name, TYPE));
}

// `name = ->(x) { ... }`: a plain local on the left and a lambda literal on the right.
std::optional<RuleOutcome> ruby_lambda_binding(const ResolvedVocabulary& v, TSNode node) {
  const TSNode left = v.child(node, RB_LEFT);
  const TSNode right = v.child(node, RB_RIGHT);
  if (!v.is(left, RB_IDENTIFIER) || !v.is(right, RB_LAMBDA)) return std::nullopt;
  return declaration(candidate(left, METHOD));
}

// An impl block qualifies its members by the implemented type, whatever its shape
// (generics, lifetimes, references and paths stay as written); the trait never
// enters the qualification. A missing or broken type adds nothing.
std::optional<RuleOutcome> rust_impl(const ResolvedVocabulary& v, TSNode node,
                                     std::string_view source) {
  const TSNode target = v.child(node, RS_TYPE);
  if (!is_valid_identifier(target)) return std::nullopt;
  return context_only(text(source, target) + ".");
}

// `let name = |..| ...`: a plain identifier pattern bound directly to a closure.
std::optional<RuleOutcome> rust_closure_binding(const ResolvedVocabulary& v, TSNode node) {
  const TSNode pattern = v.child(node, RS_PATTERN);
  const TSNode value = v.child(node, RS_VALUE);
  if (!v.is(pattern, RS_IDENTIFIER) || !v.is(value, RS_CLOSURE_EXPRESSION)) return std::nullopt;
  return declaration(candidate(pattern, METHOD));
}

}  // namespace

std::optional<RuleOutcome> rule_ruby(TSNode node, std::string_view source) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = RUBY_RULE_VOCABULARY.of(node);
  switch (v.type(node)) {
    case RB_CLASS:
    case RB_MODULE: return ruby_class_or_module(v, node, source);
    case RB_METHOD:
    case RB_SINGLETON_METHOD:
    case RB_ALIAS: return declaration(candidate(v.child(node, RB_NAME), METHOD));
    case RB_SINGLETON_CLASS: return context_only();
    case RB_ASSIGNMENT: return ruby_lambda_binding(v, node);
    default: return std::nullopt;
  }
}

std::optional<RuleOutcome> rule_rust(TSNode node, std::string_view source) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = RUST_RULE_VOCABULARY.of(node);
  switch (v.type(node)) {
    case RS_STRUCT_ITEM:
    case RS_ENUM_ITEM:
    case RS_UNION_ITEM:
    case RS_TRAIT_ITEM:
    case RS_TYPE_ITEM:
    case RS_ASSOCIATED_TYPE: return declaration(candidate(v.child(node, RS_NAME), TYPE));
    case RS_FUNCTION_ITEM:
    case RS_FUNCTION_SIGNATURE_ITEM: return declaration(candidate(v.child(node, RS_NAME), METHOD));
    case RS_MOD_ITEM: return declaration(candidate(v.child(node, RS_NAME), NAMESPACE));
    case RS_IMPL_ITEM: return rust_impl(v, node, source);
    case RS_LET_DECLARATION: return rust_closure_binding(v, node);
    default: return std::nullopt;
  }
}

}  // namespace kolvex::syntax
