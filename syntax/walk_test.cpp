// The declaration walk, driven by small rules written here so that every answer
// shape (header, context-only, qualifier prefix, pending wrapper extension) is
// exercised on real Python trees.
#include "syntax/walk.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "syntax/rule_test_support.h"
#include "testkit/deep_input.h"

namespace kolvex::syntax {
namespace {

struct Walked {
  std::string qualified_name;
  std::string parent;  // qualified name of the parent, "" when absent
  std::int64_t start_byte;
  std::int64_t start_line;

  bool operator==(const Walked&) const = default;
};

void PrintTo(const Walked& w, std::ostream* out) {
  *out << "{" << w.qualified_name << ", parent=" << w.parent << ", byte=" << w.start_byte
       << ", line=" << w.start_line << "}";
}

std::vector<Walked> walk(Rule rule, const std::string& source) {
  ParserPool pool;
  ParseTree tree = pool.parse("python", source);
  const auto symbols = walk_with_rule(rule, "python", tree.root_node(), source, "w.py", "hash");
  std::map<std::string, std::string> names;
  std::vector<Walked> out;
  for (const SyntaxSymbol& s : symbols) {
    names[s.symbol] = s.qualified_name;
    out.push_back(Walked{s.qualified_name, s.parent_symbol ? names.at(*s.parent_symbol) : "",
                         s.declaration.start_byte, s.declaration.start_line});
  }
  return out;
}

// `import x` is a header; `dotted_name` would be declared if a header's own
// children were ever visited; functions are plain declarations.
std::optional<RuleOutcome> header_rule(TSNode node, std::string_view) {
  const std::string_view type = node_type(node);
  if (type == "import_statement") return header(candidate(child_by_field(node, "name"), NAMESPACE));
  if (type == "dotted_name") return declaration(candidate(node, TERM));
  if (type == "function_definition" || type == "class_definition") return simple(node, "name", METHOD);
  return std::nullopt;
}

TEST(Walk, HeaderQualifiesAndParentsLaterSiblings) {
  const std::string source =
      "def before(): pass\nimport pkg\nclass A:\n    def m(): pass\nimport sub\ndef f(): pass\n";
  const std::vector<Walked> expected = {
      {"before", "", 0, 0},
      {"pkg", "", 19, 1},
      {"pkg.A", "pkg", 30, 2},
      {"pkg.A.m", "pkg.A", 43, 3},
      {"pkg.sub", "pkg", 57, 4},
      {"pkg.sub.f", "pkg.sub", 68, 5},
  };
  EXPECT_EQ(walk(&header_rule, source), expected);
}

// A class is context-only: its name extends the prefix of its members.
std::optional<RuleOutcome> extension_rule(TSNode node, std::string_view source) {
  const std::string_view type = node_type(node);
  if (type == "class_definition") return context_only(text(source, child_by_field(node, "name")) + ".");
  if (type == "function_definition") return simple(node, "name", METHOD);
  return std::nullopt;
}

std::optional<RuleOutcome> empty_extension_rule(TSNode node, std::string_view source) {
  if (node_type(node) == "class_definition") return context_only();
  return extension_rule(node, source);
}

std::optional<RuleOutcome> absent_rule(TSNode node, std::string_view source) {
  if (node_type(node) == "class_definition") return std::nullopt;
  return extension_rule(node, source);
}

// Small nodes and nodes with many children are walked alike: siblings in any
// number at every level, a wrapper among them, a header part-way, and a long
// statement without declarations between declarations.
TEST(Walk, ManySiblingsAtEveryLevel) {
  for (int n : {1, 2, 8, 9, 30, 100}) {
    std::string source;
    std::vector<Walked> expected;
    std::int64_t line = 0;
    for (int i = 0; i < n; ++i) {
      const std::string f = "f" + std::to_string(i);
      // The decorator widens the bytes of the declaration, not its rows.
      expected.push_back({f, "", static_cast<std::int64_t>(source.size()), line + 1});
      source += "@d\ndef " + f + "():\n";
      expected.push_back({f + ".g", f, static_cast<std::int64_t>(source.size() + 4), line + 2});
      source += "    def g(): pass\n";
      line += 3;
      if (i == 0) {
        source += "global a0";
        for (int a = 1; a < n + 10; ++a) source += ", a" + std::to_string(a);
        source += "\n";
        ++line;
      }
    }
    expected.push_back({"pkg", "", static_cast<std::int64_t>(source.size()), line});
    source += "import pkg\n";
    expected.push_back({"pkg.C", "pkg", static_cast<std::int64_t>(source.size()), line + 1});
    source += "class C:\n";
    line += 2;
    for (int j = 0; j < n; ++j) {
      const std::string m = "pkg.C.m" + std::to_string(j);
      expected.push_back({m, "pkg.C", static_cast<std::int64_t>(source.size() + 4), line});
      source += "    def m" + std::to_string(j) + "(self):\n";
      expected.push_back({m + ".h", m, static_cast<std::int64_t>(source.size() + 8), line + 1});
      source += "        def h(): pass\n";
      line += 2;
    }
    EXPECT_EQ(walk(&header_rule, source), expected) << n;
  }
}

TEST(Walk, ContextOnlyOutcomes) {
  const std::string source = "def outer():\n    class S:\n        def g(): pass\n";
  EXPECT_EQ(walk(&extension_rule, source),
            (std::vector<Walked>{{"outer", "", 0, 0}, {"outer.S.g", "outer", 34, 2}}));
  // An empty extension changes nothing: exactly as if the rule had not answered.
  EXPECT_EQ(walk(&empty_extension_rule, source), walk(&absent_rule, source));
  EXPECT_EQ(walk(&empty_extension_rule, source),
            (std::vector<Walked>{{"outer", "", 0, 0}, {"outer.g", "outer", 34, 2}}));
}

std::optional<RuleOutcome> prefix_rule(TSNode node, std::string_view) {
  if (node_type(node) == "function_definition") {
    return declaration(candidate(child_by_field(node, "name"), METHOD, "Recv."));
  }
  return std::nullopt;
}

TEST(Walk, QualifierPrefixJoinsTheNameButCreatesNoParent) {
  EXPECT_EQ(walk(&prefix_rule, "def f():\n    def g(): pass\n"),
            (std::vector<Walked>{{"Recv.f", "", 0, 0}, {"Recv.f.Recv.g", "Recv.f", 13, 1}}));
}

TEST(Walk, WrapperExtensionReachesEveryDeclarationBelowANonDeclaration) {
  // The decorated class declares nothing: both of its methods take the
  // decorator's bytes, a function nested in a method does not.
  const std::string source =
      "@wrap\nclass A:\n    def f():\n        def inner(): pass\n    def g(): pass\n";
  const std::vector<Walked> expected = {
      {"f", "", 0, 2}, {"f.inner", "f", 36, 3}, {"g", "", 0, 4}};
  EXPECT_EQ(walk(&absent_rule, source), expected);
  // A context-only node carries the extension on as well.
  EXPECT_EQ(walk(&extension_rule, source),
            (std::vector<Walked>{{"A.f", "", 0, 2}, {"A.f.inner", "A.f", 36, 3}, {"A.g", "", 0, 4}}));
}

TEST(Walk, EmptyTreesAndLanguagesWithoutRule) {
  ParserPool pool;
  ParseTree empty = pool.parse("python", "");
  EXPECT_EQ(ts_node_child_count(empty.root_node()), 0u);
  EXPECT_TRUE(walk_declarations("python", empty.root_node(), "", "e.py", "h").empty());

  const std::string source = "class A:\n    pass\n";
  ParseTree tree = pool.parse("python", source);
  EXPECT_TRUE(walk_declarations("no-such-language", tree.root_node(), source, "a", "h").empty());
  EXPECT_EQ(walk_declarations("python", tree.root_node(), source, "a", "h").size(), 1u);
}

TEST(Walk, NodeSpanIsTreeSittersOwn) {
  const std::string source = "x = 1\n  # c\ndef f(): pass\n";
  ParserPool pool;
  ParseTree tree = pool.parse("python", source);
  TSNode name = test::find_node(tree.root_node(), "identifier", 1);
  EXPECT_EQ(node_span(name), (Span{16, 17, 2, 4, 2, 5}));
}

// Declares every integer literal, so a walk that reaches the bottom of a deep
// tree says so.
std::optional<RuleOutcome> integer_rule(TSNode node, std::string_view) {
  if (node_type(node) == "integer") return declaration(candidate(node, TERM));
  return std::nullopt;
}

constexpr std::size_t DEEP_NESTING = 50000;
constexpr std::size_t SMALL_STACK_BYTES = 256 * 1024;

TEST(Walk, DeepTreeWalksOnASmallStack) {
  const std::string source =
      "x = " + std::string(DEEP_NESTING, '(') + "7" + std::string(DEEP_NESTING, ')') + "\n";
  ParserPool pool;
  ParseTree tree = pool.parse("python", source);
  // The tree really is that deep.
  std::size_t depth = 0;
  std::size_t deepest = 0;
  TSTreeCursor cursor = ts_tree_cursor_new(tree.root_node());
  for (bool more = true; more;) {
    if (ts_tree_cursor_goto_first_child(&cursor)) {
      deepest = std::max(deepest, ++depth);
      continue;
    }
    while (!ts_tree_cursor_goto_next_sibling(&cursor)) {
      if (!ts_tree_cursor_goto_parent(&cursor)) {
        more = false;
        break;
      }
      --depth;
    }
  }
  ts_tree_cursor_delete(&cursor);
  ASSERT_GT(deepest, DEEP_NESTING);

  std::vector<SyntaxSymbol> symbols;
  testkit::run_on_small_stack(SMALL_STACK_BYTES, [&] {
    symbols = walk_with_rule(&integer_rule, "python", tree.root_node(), source, "deep.py", "h");
  });
  ASSERT_EQ(symbols.size(), 1u);
  EXPECT_EQ(symbols[0].name, "7");
  EXPECT_EQ(symbols[0].selection.start_byte, static_cast<std::int64_t>(4 + DEEP_NESTING));
}

}  // namespace
}  // namespace kolvex::syntax

namespace kolvex::syntax {
namespace {

// A built-in rule under another address: a walk with it asks about every node
// (leaves, the leaf-only children of a node, and nodes of types outside the
// rule's vocabulary, included) instead of passing over them as the walk with the
// built-in rule itself does.
template <Rule BUILT_IN>
std::optional<RuleOutcome> asked_everywhere(TSNode node, std::string_view source) {
  return BUILT_IN(node, source);
}

struct PassOverCase {
  const char* language;
  Rule asking;
  std::string source;
};

TEST(Walk, PassingOverLeavesAndLeafOnlyNodesChangesNothing) {
  // Declarations beside, inside and after nodes whose children are all leaves
  // (empty parameter lists, type arguments, strings, short paths), in small and
  // large nodes.
  const std::vector<PassOverCase> cases = {
      {"rust", &asked_everywhere<rule_rust>,
       "mod geo { struct Point; impl Point { fn new() -> Point { Point } } }\n"
       "impl<T: Clone> From<T> for Wrapper<T> { fn b() {} }\n"
       "fn main() { let add = |a, b| a + b; let s = \"x\"; }\n"
       "trait Shape { fn area(&self) -> f64; type Unit; }\n"
       "const C: u8 = 1; use std::fmt; struct P { x: u8 }\n"},
      {"typescript", &asked_everywhere<rule_typescript>,
       "export class A<T> { m(): void {} n = () => 1; }\n"
       "namespace N { export function f(x: string[]) { class L {} } }\n"
       "const o = { k: function g() {}, s: `t${1}` };\n"
       "interface I { p(): void } type U = A<number>; enum E { X, Y }\n"},
      {"python", &asked_everywhere<rule_python>,
       "@d()\nclass C:\n    def f(self): pass\n    x = []\n"
       "def g(): return 'a'\nlambda: 0\n"},
      {"go", &asked_everywhere<rule_go>,
       "package p\nimport \"fmt\"\ntype U int\ntype T struct{ a int }\nfunc (t T) M() {}\n"
       "func F() { var x = []int{}; _ = x }\nconst C = 1\n"},
      {"kotlin", &asked_everywhere<rule_kotlin>,
       "package a.b\nclass K {\n  companion object Factory {\n    fun f() {}\n  }\n}\n"
       "object O {\n  val g = { x: Int -> x }\n}\ntypealias T = List<Int>\n"
       "fun main() {\n  val s = \"v$x\"\n  fun local() {}\n}\n"},
      {"cpp", &asked_everywhere<rule_cpp>,
       "namespace n { template <typename T> struct S { void f() {} }; }\n"
       "int g() { return 0; }\nclass K { public: K(); };\n"},
  };
  ParserPool pool;
  for (const PassOverCase& c : cases) {
    SCOPED_TRACE(c.language);
    ParseTree tree = pool.parse(c.language, c.source);
    const auto built_in = walk_declarations(c.language, tree.root_node(), c.source, "p", "h");
    const auto asked =
        walk_with_rule(c.asking, c.language, tree.root_node(), c.source, "p", "h");
    EXPECT_GE(built_in.size(), 3u);
    EXPECT_EQ(built_in, asked);
  }
}

}  // namespace
}  // namespace kolvex::syntax
