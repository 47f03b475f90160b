// Python declaration rules, read through the whole extraction (pool, walk, rule).
#include <gtest/gtest.h>

#include "syntax/rule_test_support.h"

namespace kolvex::syntax {
namespace {

using test::Row;
using Case = test::RuleCase<Row>;

TEST(PythonRules, VocabularyExistsInTheGrammar) {
  test::expect_vocabulary("python",
                          {"class_definition", "function_definition", "type_alias_statement",
                           "assignment", "identifier", "lambda", "type", "decorated_definition"},
                          {"name", "left", "right", "definition"});
}

TEST(PythonRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"class with a method", "class A:\n    def m(self):\n        pass\n",
       {{"A", "TYPE", ""}, {"A.m", "METHOD", "A"}}},
      {"nested function and coroutine",
       "def outer():\n    def inner():\n        pass\nasync def co():\n    pass\n",
       {{"outer", "METHOD", ""}, {"outer.inner", "METHOD", "outer"}, {"co", "METHOD", ""}}},
      {"class nested in a function, inside blocks",
       "def f():\n    for x in y:\n        if x:\n            class K:\n                pass\n",
       {{"f", "METHOD", ""}, {"f.K", "TYPE", "f"}}},
      {"lambda bound to a plain name", "f = lambda: 0\n", {{"f", "METHOD", ""}}},
      {"annotated lambda binding", "f: Callable = lambda x: x\n", {{"f", "METHOD", ""}}},
      {"chained assignment declares only the inner name", "a = b = lambda: 0\n",
       {{"b", "METHOD", ""}}},
      {"type alias statement", "type Point = tuple[float, float]\n", {{"Point", "TYPE", ""}}},
      // The first node inside the `type` wrapper is taken whole, type parameters included.
      {"generic type alias", "type Pair[T] = tuple[T, T]\n", {{"Pair[T]", "TYPE", ""}}},
      {"lambda bound to an attribute", "self.f = lambda: 0\n", {}},
      {"lambda bound to a tuple", "a, b = lambda: 0, lambda: 1\n", {}},
      {"parenthesised lambda", "f = (lambda: 0)\n", {}},
      {"plain value", "x = 1\nimport os\nfrom a import b\n", {}},
      {"lambda as argument or list element", "g(lambda: 0)\nh = [lambda: 1]\n", {}},
      {"methods of a nameless class fall to the enclosing scope",
       "def outer():\n    class :\n        def m(self):\n            pass\n",
       {{"outer", "METHOD", ""}, {"outer.m", "METHOD", "outer"}}},
  };
  for (const Case& c : cases) test::expect_case("python", c);
}

TEST(PythonRules, DecoratedMethodSpansBytesFromTheDecoratorAndRowsFromTheDef) {
  const std::string source =
      "class A:\n"
      "    @staticmethod\n"
      "    @cache\n"
      "    def f():\n"
      "        pass\n";
  ParserPool pool;
  const ParsedSyntax parsed = extract_file("a.py", source, "python", pool);
  ASSERT_EQ(parsed.symbols.size(), 2u);
  const SyntaxSymbol& a = parsed.symbols[0];
  const SyntaxSymbol& f = parsed.symbols[1];
  EXPECT_EQ(a.qualified_name, "A");
  EXPECT_EQ(a.parent_symbol, std::nullopt);
  EXPECT_EQ(f.name, "f");
  EXPECT_EQ(f.qualified_name, "A.f");
  EXPECT_EQ(f.parent_symbol, a.symbol);

  const std::int64_t decorator = static_cast<std::int64_t>(source.find("@staticmethod"));
  const std::int64_t def = static_cast<std::int64_t>(source.find("def f"));
  const std::int64_t name = def + 4;
  EXPECT_EQ(f.declaration,
            (Span{decorator, static_cast<std::int64_t>(source.size()) - 1, 3, 4, 4, 12}));
  EXPECT_EQ(f.selection, (Span{name, name + 1, 3, 8, 3, 9}));
  // The class itself is not widened by its method's decorators.
  EXPECT_EQ(a.declaration.start_byte, 0);
}

TEST(PythonRules, DecoratedClassAtTopLevelIsWidened) {
  const auto found = test::extract_rows("python", "@dataclass\nclass P:\n    x: int\n");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].qualified_name, "P");
  EXPECT_EQ(found[0].declaration, "@dataclass\nclass P:\n    x: int");
  EXPECT_EQ(found[0].start_line, 1);
}

}  // namespace
}  // namespace kolvex::syntax
