#include "syntax/rules.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "syntax/node_vocabulary.h"
#include "syntax/records.h"

namespace kolvex::syntax {

namespace {

// The languages whose wrappers are looked through.
struct WrapperRow {
  std::string_view language;
  Wrappers wrappers;
};

constexpr WrapperRow WRAPPERS_BY_LANGUAGE[] = {
    {"python", Wrappers::PYTHON},
    {"javascript", Wrappers::SCRIPT},
    {"typescript", Wrappers::SCRIPT},
    {"tsx", Wrappers::SCRIPT},
    {"cpp", Wrappers::CPP},
};

// The wrapper node types and the fields holding the wrapped declaration; a cpp
// template_declaration wraps its first child of a CPP_TEMPLATE_INNER type.
enum WrapperType : TypeIndex {
  DECORATED_DEFINITION,
  EXPORT_STATEMENT,
  TEMPLATE_DECLARATION,
  FIRST_TEMPLATE_INNER,
};
enum WrapperField : std::size_t { DEFINITION, DECLARATION };

constexpr std::size_t WRAPPER_TYPE_COUNT = FIRST_TEMPLATE_INNER + std::size(CPP_TEMPLATE_INNER);
constexpr std::array<std::string_view, WRAPPER_TYPE_COUNT> WRAPPER_TYPES = [] {
  std::array<std::string_view, WRAPPER_TYPE_COUNT> types{"decorated_definition",
                                                         "export_statement",
                                                         "template_declaration"};
  for (std::size_t i = 0; i < std::size(CPP_TEMPLATE_INNER); ++i) {
    types[FIRST_TEMPLATE_INNER + i] = CPP_TEMPLATE_INNER[i];
  }
  return types;
}();
constexpr std::string_view WRAPPER_FIELDS[] = {"definition", "declaration"};

constexpr TypeMask TEMPLATE_INNER_MASK = [] {
  TypeMask mask = 0;
  for (std::size_t i = 0; i < std::size(CPP_TEMPLATE_INNER); ++i) {
    mask |= TypeMask{1} << (FIRST_TEMPLATE_INNER + i);
  }
  return mask;
}();

const NodeVocabulary WRAPPER_VOCABULARY(WRAPPER_TYPES, WRAPPER_FIELDS);

struct DispatchRow {
  std::string_view language;
  Rule rule;
  const NodeVocabulary* vocabulary;  // the types the rule reads
};

// One rule per language; typescript and tsx share one.
constexpr std::array<DispatchRow, 17> DISPATCH = {{
    {"python", &rule_python, &PYTHON_RULE_VOCABULARY},
    {"javascript", &rule_javascript, &SCRIPT_RULE_VOCABULARY},
    {"typescript", &rule_typescript, &SCRIPT_RULE_VOCABULARY},
    {"tsx", &rule_typescript, &SCRIPT_RULE_VOCABULARY},
    {"java", &rule_java, &JAVA_RULE_VOCABULARY},
    {"kotlin", &rule_kotlin, &KOTLIN_RULE_VOCABULARY},
    {"swift", &rule_swift, &SWIFT_RULE_VOCABULARY},
    {"go", &rule_go, &GO_RULE_VOCABULARY},
    {"ruby", &rule_ruby, &RUBY_RULE_VOCABULARY},
    {"rust", &rule_rust, &RUST_RULE_VOCABULARY},
    {"c", &rule_c, &C_CPP_RULE_VOCABULARY},
    {"cpp", &rule_cpp, &C_CPP_RULE_VOCABULARY},
    {"csharp", &rule_csharp, &CSHARP_RULE_VOCABULARY},
    {"php", &rule_php, &PHP_RULE_VOCABULARY},
    {"scala", &rule_scala, &SCALA_RULE_VOCABULARY},
    {"bash", &rule_bash, &BASH_RULE_VOCABULARY},
    {"sql", &rule_sql, &SQL_RULE_VOCABULARY},
}};

template <typename Types>
bool contains_type(const Types& types, std::string_view type) {
  return std::find(std::begin(types), std::end(types), type) != std::end(types);
}

template <typename Types>
TSNode first_child_of_type(TSNode node, const Types& types) {
  if (ts_node_is_null(node)) return NO_NODE;
  TSTreeCursor cursor = ts_tree_cursor_new(node);
  TSNode found = NO_NODE;
  if (ts_tree_cursor_goto_first_child(&cursor)) {
    do {
      TSNode child = ts_tree_cursor_current_node(&cursor);
      if (contains_type(types, std::string_view(ts_node_type(child)))) {
        found = child;
        break;
      }
    } while (ts_tree_cursor_goto_next_sibling(&cursor));
  }
  ts_tree_cursor_delete(&cursor);
  return found;
}

}  // namespace

bool type_in(TSNode node, TypeSet types) {
  return !ts_node_is_null(node) && contains_type(types, node_type(node));
}

bool type_in(TSNode node, std::initializer_list<std::string_view> types) {
  return !ts_node_is_null(node) && contains_type(types, node_type(node));
}

bool is_valid_identifier(TSNode node) {
  if (ts_node_is_null(node)) return false;
  if (ts_node_is_missing(node)) return false;
  return std::strcmp(ts_node_type(node), "ERROR") != 0;
}

TSNode child_of_type(TSNode node, TypeSet types) { return first_child_of_type(node, types); }

TSNode child_of_type(TSNode node, std::initializer_list<std::string_view> types) {
  return first_child_of_type(node, types);
}

std::vector<TSNode> field_children(TSNode node, std::string_view field_name) {
  std::vector<TSNode> found;
  if (ts_node_is_null(node)) return found;
  TSTreeCursor cursor = ts_tree_cursor_new(node);
  if (ts_tree_cursor_goto_first_child(&cursor)) {
    do {
      const char* field = ts_tree_cursor_current_field_name(&cursor);
      if (field != nullptr && field_name == field) found.push_back(ts_tree_cursor_current_node(&cursor));
    } while (ts_tree_cursor_goto_next_sibling(&cursor));
  }
  ts_tree_cursor_delete(&cursor);
  return found;
}

std::string text(std::string_view source, TSNode node) {
  return slice_text(source, ts_node_start_byte(node), ts_node_end_byte(node));
}

std::optional<RuleCandidate> candidate(TSNode identifier, DescriptorKind kind,
                                       std::string qualifier_prefix) {
  if (!is_valid_identifier(identifier)) return std::nullopt;
  return RuleCandidate{identifier, kind, std::move(qualifier_prefix)};
}

std::optional<RuleOutcome> simple(TSNode node, std::string_view field_name, DescriptorKind kind) {
  return declaration(candidate(child_by_field(node, field_name), kind));
}

std::optional<RuleOutcome> declaration(std::optional<RuleCandidate> found) {
  if (!found) return std::nullopt;
  RuleOutcome outcome;
  outcome.candidates.push_back(std::move(*found));
  return outcome;
}

std::optional<RuleOutcome> header(std::optional<RuleCandidate> found) {
  std::optional<RuleOutcome> outcome = declaration(std::move(found));
  if (outcome) outcome->is_header = true;
  return outcome;
}

RuleOutcome context_only(std::string qualifier_extension) {
  RuleOutcome outcome;
  outcome.qualifier_extension = std::move(qualifier_extension);
  return outcome;
}

Wrappers wrappers_of(std::string_view language) {
  for (const WrapperRow& row : WRAPPERS_BY_LANGUAGE) {
    if (row.language == language) return row.wrappers;
  }
  return Wrappers::NONE;
}

namespace {

TSNode unwrap_with(const ResolvedVocabulary& vocabulary, Wrappers wrappers, TSNode node) {
  const TypeIndex type = vocabulary.type(node);
  switch (wrappers) {
    case Wrappers::PYTHON:
      return type == DECORATED_DEFINITION ? vocabulary.child(node, DEFINITION) : NO_NODE;
    case Wrappers::SCRIPT:
      return type == EXPORT_STATEMENT ? vocabulary.child(node, DECLARATION) : NO_NODE;
    case Wrappers::CPP:
      return type == TEMPLATE_DECLARATION ? vocabulary.child_in(node, TEMPLATE_INNER_MASK)
                                          : NO_NODE;
    case Wrappers::NONE:
      break;
  }
  return NO_NODE;
}

}  // namespace

TSNode unwrap(Wrappers wrappers, TSNode node) {
  if (wrappers == Wrappers::NONE || ts_node_is_null(node)) return NO_NODE;
  return unwrap_with(WRAPPER_VOCABULARY.of(node), wrappers, node);
}

WrapperLookup::WrapperLookup(Wrappers wrappers, const TSLanguage* grammar)
    : wrappers_(wrappers),
      vocabulary_(wrappers == Wrappers::NONE || grammar == nullptr
                      ? nullptr
                      : &WRAPPER_VOCABULARY.of(grammar)) {}

bool WrapperLookup::may_wrap(TSSymbol symbol) const {
  if (vocabulary_ == nullptr) return false;
  const TypeIndex type = vocabulary_->type_of_symbol(symbol);
  return type != NO_TYPE && type < FIRST_TEMPLATE_INNER;
}

TSNode WrapperLookup::unwrap(TSNode node) const {
  if (vocabulary_ == nullptr || ts_node_is_null(node)) return NO_NODE;
  return unwrap_with(*vocabulary_, wrappers_, node);
}

TSNode unwrap(std::string_view language, TSNode node) { return unwrap(wrappers_of(language), node); }

Rule rule_for_language(std::string_view language) {
  for (const DispatchRow& row : DISPATCH) {
    if (row.language == language) return row.rule;
  }
  return nullptr;
}

const NodeVocabulary* rule_vocabulary(std::string_view language) {
  for (const DispatchRow& row : DISPATCH) {
    if (row.language == language) return row.vocabulary;
  }
  return nullptr;
}

}  // namespace kolvex::syntax
