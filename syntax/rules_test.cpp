// The rule toolkit: identifier validity, candidates, field children, wrappers,
// the dispatch table, and the node names the toolkit itself relies on.
#include "syntax/rules.h"

#include <gtest/gtest.h>

#include "syntax/languages.h"
#include "syntax/rule_test_support.h"

namespace kolvex::syntax {
namespace {

using test::find_node;

TSNode first_missing(TSNode root) {
  TSTreeCursor cursor = ts_tree_cursor_new(root);
  TSNode found{};
  for (bool more = true; more;) {
    TSNode node = ts_tree_cursor_current_node(&cursor);
    if (ts_node_is_missing(node)) {
      found = node;
      break;
    }
    if (ts_tree_cursor_goto_first_child(&cursor)) continue;
    while (!ts_tree_cursor_goto_next_sibling(&cursor)) {
      if (!ts_tree_cursor_goto_parent(&cursor)) {
        more = false;
        break;
      }
    }
  }
  ts_tree_cursor_delete(&cursor);
  return found;
}

TEST(RuleToolkit, WrapperAndTemplateVocabularyExists) {
  test::expect_vocabulary("python", {"decorated_definition"}, {"definition"});
  for (const char* language : {"javascript", "typescript", "tsx"}) {
    test::expect_vocabulary(language, {"export_statement"}, {"declaration"});
  }
  std::vector<std::string_view> cpp_types(std::begin(CPP_TEMPLATE_INNER), std::end(CPP_TEMPLATE_INNER));
  cpp_types.push_back("template_declaration");
  test::expect_vocabulary("cpp", cpp_types, {});
}

TEST(RuleToolkit, DispatchTableCoversEveryLanguage) {
  for (const FactoryRow& row : FACTORIES) EXPECT_NE(rule_for_language(row.language), nullptr) << row.language;
  EXPECT_EQ(rule_for_language("typescript"), rule_for_language("tsx"));
  EXPECT_EQ(rule_for_language("cobol"), nullptr);
}

TEST(RuleToolkit, IdentifierValidity) {
  ParserPool pool;
  // The parser inserts a zero-width identifier where the method name is missing.
  ParseTree java = pool.parse("java", "class A { void () {} }");
  TSNode missing = first_missing(java.root_node());
  ASSERT_FALSE(ts_node_is_null(missing));
  EXPECT_EQ(ts_node_start_byte(missing), ts_node_end_byte(missing));
  EXPECT_FALSE(is_valid_identifier(missing));
  EXPECT_EQ(simple(find_node(java.root_node(), "method_declaration"), "name", METHOD), std::nullopt);
  EXPECT_FALSE(is_valid_identifier(NO_NODE));

  ParseTree tree = pool.parse("python", "x = 'text'\n");
  EXPECT_TRUE(is_valid_identifier(find_node(tree.root_node(), "string")));

  ParseTree errors = pool.parse("python", "def (:\n");
  TSNode error = find_node(errors.root_node(), "ERROR");
  ASSERT_FALSE(ts_node_is_null(error));
  EXPECT_FALSE(is_valid_identifier(error));
  // Errors below a node do not make the node itself invalid.
  ParseTree nested = pool.parse("python", "x = [1, (]\n");
  TSNode list = find_node(nested.root_node(), "expression_statement");
  ASSERT_TRUE(ts_node_has_error(list));
  EXPECT_TRUE(is_valid_identifier(list));
}

TEST(RuleToolkit, CandidatesAndSimpleOutcomes) {
  const std::string source = "class A:\n    pass\n";
  ParserPool pool;
  ParseTree tree = pool.parse("python", source);
  TSNode cls = find_node(tree.root_node(), "class_definition");

  EXPECT_EQ(candidate(NO_NODE, TYPE), std::nullopt);
  std::optional<RuleCandidate> found = candidate(child_by_field(cls, "name"), TYPE);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->qualifier_prefix, "");
  EXPECT_EQ(text(source, found->identifier), "A");

  EXPECT_EQ(simple(cls, "no_such_field", TYPE), std::nullopt);
  // The field's node is taken whatever its type.
  std::optional<RuleOutcome> body = simple(cls, "body", METHOD);
  ASSERT_TRUE(body);
  ASSERT_EQ(body->candidates.size(), 1u);
  EXPECT_EQ(node_type(body->candidates[0].identifier), "block");
  EXPECT_FALSE(body->is_header);
  EXPECT_EQ(body->qualifier_extension, "");

  EXPECT_EQ(header(std::nullopt), std::nullopt);
  EXPECT_TRUE(header(candidate(child_by_field(cls, "name"), NAMESPACE))->is_header);
  EXPECT_EQ(context_only("S.").qualifier_extension, "S.");
  EXPECT_TRUE(context_only().candidates.empty());
}

TEST(RuleToolkit, FieldChildrenAndChildOfType) {
  const std::string source = "import a, b\n";
  ParserPool pool;
  ParseTree tree = pool.parse("python", source);
  TSNode import = find_node(tree.root_node(), "import_statement");
  const std::vector<TSNode> names = field_children(import, "name");
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(text(source, names[0]), "a");
  EXPECT_EQ(text(source, names[1]), "b");
  EXPECT_TRUE(field_children(import, "body").empty());
  EXPECT_TRUE(field_children(NO_NODE, "name").empty());

  // Anonymous tokens count.
  EXPECT_EQ(node_type(child_of_type(import, {"import", "dotted_name"})), "import");
  static constexpr std::string_view NAMES[] = {"dotted_name"};
  EXPECT_EQ(text(source, child_of_type(import, NAMES)), "a");
  EXPECT_TRUE(ts_node_is_null(child_of_type(import, {"nothing"})));
  EXPECT_TRUE(type_in(import, {"x", "import_statement"}));
  EXPECT_FALSE(type_in(NO_NODE, {"import_statement"}));
}

TEST(RuleToolkit, UnwrapIsPerLanguage) {
  ParserPool pool;
  ParseTree py = pool.parse("python", "@d\ndef f(): pass\n");
  TSNode decorated = find_node(py.root_node(), "decorated_definition");
  EXPECT_EQ(node_type(unwrap("python", decorated)), "function_definition");
  EXPECT_TRUE(ts_node_is_null(unwrap("javascript", decorated)));
  EXPECT_TRUE(ts_node_is_null(unwrap("python", find_node(py.root_node(), "function_definition"))));

  for (const char* language : {"javascript", "typescript", "tsx"}) {
    ParseTree js = pool.parse(language, "export function f() {}\nexport { f };\n");
    TSNode exported = find_node(js.root_node(), "export_statement");
    EXPECT_EQ(node_type(unwrap(language, exported)), "function_declaration") << language;
    // An export list wraps no declaration: nothing to look through.
    TSNode list = find_node(js.root_node(), "export_statement", 1);
    EXPECT_TRUE(ts_node_is_null(unwrap(language, list))) << language;
  }

  struct Case {
    const char* source;
    const char* inner;
  };
  const Case cases[] = {
      {"template <typename T> T value;\n", "declaration"},
      {"template <typename T> T id(T x) { return x; }\n", "function_definition"},
      {"template <typename T> class Box {};\n", "class_specifier"},
      {"template <typename T> struct Pair {};\n", "struct_specifier"},
      {"template <typename T> using Ptr = T*;\n", "alias_declaration"},
  };
  for (const Case& c : cases) {
    ParseTree cpp = pool.parse("cpp", c.source);
    TSNode templ = find_node(cpp.root_node(), "template_declaration");
    EXPECT_EQ(node_type(unwrap("cpp", templ)), c.inner) << c.source;
    EXPECT_TRUE(ts_node_is_null(unwrap("c", templ)));
  }
}

// Every node of the tree, in document order.
void collect_nodes(TSNode node, std::vector<TSNode>& out) {
  out.push_back(node);
  for (uint32_t i = 0; i < ts_node_child_count(node); ++i) collect_nodes(ts_node_child(node, i), out);
}

TEST(RuleToolkit, WrapperLookupAgreesWithUnwrapOnEveryNode) {
  struct Case {
    const char* language;
    const char* source;
    int wrapped;  // nodes that are wrappers of the language
  };
  const Case cases[] = {
      {"python", "@d\n@e\ndef f(): pass\nclass A:\n  @p\n  def g(self): pass\n", 2},
      // A default export holds its class under `value`, not `declaration`.
      {"javascript", "export function f() {}\nexport { f };\nexport default class {}\n", 1},
      {"typescript", "export interface I {}\nexport namespace N { export type T = 1; }\n", 3},
      {"tsx", "export const A = () => <div/>;\nexport { A };\n", 1},
      {"cpp", "template <typename T> class B {};\ntemplate <> void f<int>() {}\n", 2},
      {"c", "int main(void) { return 0; }\n", 0},
      {"go", "package p\nfunc F() {}\n", 0},
  };
  ParserPool pool;
  for (const Case& c : cases) {
    ParseTree tree = pool.parse(c.language, c.source);
    const WrapperLookup lookup(wrappers_of(c.language), ts_node_language(tree.root_node()));
    std::vector<TSNode> nodes;
    collect_nodes(tree.root_node(), nodes);
    int wrapped = 0;
    for (TSNode node : nodes) {
      const TSNode expected = unwrap(c.language, node);
      const TSNode found = lookup.unwrap(node);
      EXPECT_TRUE(ts_node_eq(found, expected)) << c.language << " " << node_type(node);
      if (!ts_node_is_null(found)) ++wrapped;
    }
    EXPECT_EQ(wrapped, c.wrapped) << c.language;
    EXPECT_TRUE(ts_node_is_null(lookup.unwrap(NO_NODE)));
  }
  EXPECT_TRUE(ts_node_is_null(WrapperLookup(Wrappers::SCRIPT, nullptr).unwrap(NO_NODE)));
}

}  // namespace
}  // namespace kolvex::syntax
