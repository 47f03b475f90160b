// Helpers for tests of declaration rules (header-only, needs GoogleTest).
//
// extract_rows parses a snippet with a fresh pool and returns one comparable row
// per declaration; RuleCase and expect_case hold and check one row of a table of
// snippets; expect_vocabulary checks that node types and field names a rule
// compares against exist in the compiled grammar of a language (a rule written
// against a name the grammar lacks would silently never fire).
#pragma once

#include <gtest/gtest.h>
#include <tree_sitter/api.h>

#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "syntax/syntax.h"

namespace kolvex::syntax::test {

// One declaration, as tests compare it.
struct SymbolRow {
  std::string name;
  std::string qualified_name;
  std::string kind;         // kind text: "TYPE", "METHOD", "NAMESPACE", "TERM"
  std::string parent;       // qualified name of the parent declaration; "" at top level
  std::string declaration;  // the source bytes of the declaration span
  std::int64_t start_line;  // rows of the declaration span
  std::int64_t end_line;

  bool operator==(const SymbolRow&) const = default;
};

// The short form most tables need.
struct Row {
  std::string qualified_name;
  std::string kind;
  std::string parent;

  bool operator==(const Row&) const = default;
};

inline void PrintTo(const SymbolRow& row, std::ostream* out) {
  *out << "{name=" << row.name << " qualified=" << row.qualified_name << " kind=" << row.kind
       << " parent=" << row.parent << " declaration=[" << row.declaration << "] lines="
       << row.start_line << "-" << row.end_line << "}";
}

inline void PrintTo(const Row& row, std::ostream* out) {
  *out << "{" << row.qualified_name << ", " << row.kind << ", parent=" << row.parent << "}";
}

// The ParsedSyntax of a snippet (path "snippet", fresh pool).
inline ParsedSyntax extract_snippet(std::string_view language, std::string_view source) {
  ParserPool pool;
  return extract_file("snippet", source, language, pool);
}

inline std::vector<SymbolRow> extract_rows(std::string_view language, std::string_view source) {
  const ParsedSyntax parsed = extract_snippet(language, source);
  std::map<std::string, std::string> qualified_by_id;
  std::vector<SymbolRow> rows;
  for (const SyntaxSymbol& symbol : parsed.symbols) {
    qualified_by_id[symbol.symbol] = symbol.qualified_name;
    std::string parent;
    if (symbol.parent_symbol) {
      auto found = qualified_by_id.find(*symbol.parent_symbol);
      parent = found == qualified_by_id.end() ? "<unknown parent>" : found->second;
    }
    rows.push_back(SymbolRow{
        symbol.name, symbol.qualified_name, std::string(platform::kind_text(symbol.kind)), parent,
        std::string(source.substr(static_cast<std::size_t>(symbol.declaration.start_byte),
                                  static_cast<std::size_t>(symbol.declaration.end_byte -
                                                           symbol.declaration.start_byte))),
        symbol.declaration.start_line, symbol.declaration.end_line});
  }
  return rows;
}

inline std::vector<Row> rows(std::string_view language, std::string_view source) {
  std::vector<Row> out;
  for (const SymbolRow& row : extract_rows(language, source)) {
    out.push_back(Row{row.qualified_name, row.kind, row.parent});
  }
  return out;
}

// The first node of `type` in pre-order under `root` (anonymous nodes included),
// or the null node. Iterative, so deep trees are fine.
inline TSNode find_node(TSNode root, std::string_view type, int occurrence = 0) {
  TSTreeCursor cursor = ts_tree_cursor_new(root);
  TSNode found{};
  for (;;) {
    TSNode node = ts_tree_cursor_current_node(&cursor);
    if (type == ts_node_type(node) && occurrence-- == 0) {
      found = node;
      break;
    }
    if (ts_tree_cursor_goto_first_child(&cursor)) continue;
    bool advanced = false;
    while (!advanced) {
      if (ts_tree_cursor_goto_next_sibling(&cursor)) {
        advanced = true;
      } else if (!ts_tree_cursor_goto_parent(&cursor)) {
        break;
      }
    }
    if (!advanced) break;
  }
  ts_tree_cursor_delete(&cursor);
  return found;
}

// The compiled grammar of a language (loads its module through a pool).
inline const TSLanguage* compiled_grammar(std::string_view language) {
  ParserPool pool;
  return pool.parse(language, "").language();
}

// No two declarations of the snippet share an id.
inline void expect_unique_ids(std::string_view language, std::string_view source) {
  std::set<std::string> ids;
  for (const SyntaxSymbol& symbol : extract_snippet(language, source).symbols) {
    EXPECT_TRUE(ids.insert(symbol.symbol).second) << "duplicate id of " << symbol.qualified_name;
  }
}

// One snippet of a rule table and the declarations it must yield, either as
// short rows (Row) or as full rows with spans (SymbolRow).
template <class Expected>
struct RuleCase {
  const char* title;
  const char* source;
  std::vector<Expected> expected;
};

// The snippet yields exactly the expected rows, and no two of its declarations
// share an id. A failure names the language and the case's title, at the line
// of the caller.
template <class Expected>
void expect_case(std::string_view language, const RuleCase<Expected>& c,
                 const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  // The builtins (GCC and Clang) name the call site, as std::source_location
  // does where the standard library provides it.
  const ::testing::ScopedTrace trace(file, line, std::string(language) + ": " + c.title);
  if constexpr (std::is_same_v<Expected, Row>) {
    EXPECT_EQ(rows(language, c.source), c.expected);
  } else {
    static_assert(std::is_same_v<Expected, SymbolRow>, "a case expects Row or SymbolRow");
    EXPECT_EQ(extract_rows(language, c.source), c.expected);
  }
  expect_unique_ids(language, c.source);
}

// Every named node type and every field name exists in the language's grammar.
inline void expect_vocabulary(std::string_view language,
                              const std::vector<std::string_view>& node_types,
                              const std::vector<std::string_view>& field_names) {
  SCOPED_TRACE(std::string(language));
  const TSLanguage* grammar = compiled_grammar(language);
  ASSERT_NE(grammar, nullptr);
  for (std::string_view type : node_types) {
    const TSSymbol symbol = ts_language_symbol_for_name(
        grammar, type.data(), static_cast<uint32_t>(type.size()), /*is_named=*/true);
    EXPECT_NE(symbol, 0) << "node type '" << type << "' is not in the " << language << " grammar";
  }
  for (std::string_view field : field_names) {
    const TSFieldId id =
        ts_language_field_id_for_name(grammar, field.data(), static_cast<uint32_t>(field.size()));
    EXPECT_NE(id, 0) << "field '" << field << "' is not in the " << language << " grammar";
  }
}

}  // namespace kolvex::syntax::test
