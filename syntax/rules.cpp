#include "syntax/rules.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "syntax/records.h"

namespace kolvex::syntax {

namespace {

// Wrapper node type -> field holding the wrapped declaration, per language.
struct UnwrapRow {
  std::string_view language;
  std::string_view wrapper;
  std::string_view field;
};

constexpr UnwrapRow UNWRAP_FIELD[] = {
    {"python", "decorated_definition", "definition"},
    {"javascript", "export_statement", "declaration"},
    {"typescript", "export_statement", "declaration"},
    {"tsx", "export_statement", "declaration"},
};

struct DispatchRow {
  std::string_view language;
  Rule rule;
};

// One rule per language; typescript and tsx share one.
constexpr std::array<DispatchRow, 17> DISPATCH = {{
    {"python", &rule_python},
    {"javascript", &rule_javascript},
    {"typescript", &rule_typescript},
    {"tsx", &rule_typescript},
    {"java", &rule_java},
    {"kotlin", &rule_kotlin},
    {"swift", &rule_swift},
    {"go", &rule_go},
    {"ruby", &rule_ruby},
    {"rust", &rule_rust},
    {"c", &rule_c},
    {"cpp", &rule_cpp},
    {"csharp", &rule_csharp},
    {"php", &rule_php},
    {"scala", &rule_scala},
    {"bash", &rule_bash},
    {"sql", &rule_sql},
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

TSNode unwrap(std::string_view language, TSNode node) {
  if (ts_node_is_null(node)) return NO_NODE;
  const std::string_view type = node_type(node);
  for (const UnwrapRow& row : UNWRAP_FIELD) {
    if (row.language == language && row.wrapper == type) return child_by_field(node, row.field);
  }
  if (language == "cpp" && type == "template_declaration") {
    return child_of_type(node, CPP_TEMPLATE_INNER);
  }
  return NO_NODE;
}

Rule rule_for_language(std::string_view language) {
  for (const DispatchRow& row : DISPATCH) {
    if (row.language == language) return row.rule;
  }
  return nullptr;
}

}  // namespace kolvex::syntax
