// Go declaration rules, read through the whole extraction (pool, walk, rule).
#include <gtest/gtest.h>

#include "syntax/rule_test_support.h"

namespace kolvex::syntax {
namespace {

using test::Row;
using test::SymbolRow;
using Case = test::RuleCase<SymbolRow>;

TEST(GoRules, VocabularyExistsInTheGrammar) {
  test::expect_vocabulary(
      "go",
      {"package_clause", "package_identifier", "type_spec", "type_alias", "function_declaration",
       "method_declaration", "method_elem", "var_spec", "short_var_declaration",
       "parameter_declaration", "pointer_type", "type_identifier", "identifier",
       "expression_list", "func_literal"},
      {"name", "receiver", "type", "value", "left", "right"});
}

TEST(GoRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"package, struct, method with a pointer receiver, function",
       "package shapes\n\ntype Circle struct{}\n\nfunc (c *Circle) Area() int { return 1 }\n\n"
       "func New() *Circle { return nil }\n",
       {{"shapes", "shapes", "NAMESPACE", "", "package shapes", 0, 0},
        {"Circle", "shapes.Circle", "TYPE", "shapes", "Circle struct{}", 2, 2},
        {"Area", "shapes.Circle.Area", "METHOD", "shapes",
         "func (c *Circle) Area() int { return 1 }", 4, 4},
        {"New", "shapes.New", "METHOD", "shapes", "func New() *Circle { return nil }", 6, 6}}},
      {"no package clause", "type Circle struct{}\nfunc (c Circle) Area() {}\n",
       {{"Circle", "Circle", "TYPE", "", "Circle struct{}", 0, 0},
        {"Area", "Circle.Area", "METHOD", "", "func (c Circle) Area() {}", 1, 1}}},
      {"package clause without a name qualifies nothing", "package\ntype Circle struct{}\n",
       {{"Circle", "Circle", "TYPE", "", "Circle struct{}", 1, 1}}},
      // Error recovery reads the nameless method as a function literal: no row, and
      // what it holds is qualified by the package alone.
      {"method without a name", "package shapes\nfunc (c *Circle) () {\n  handler := func() {}\n}\n",
       {{"shapes", "shapes", "NAMESPACE", "", "package shapes", 0, 0},
        {"handler", "shapes.handler", "METHOD", "shapes", "handler := func() {}", 2, 2}}},
      {"interface method elements; grouped type specifications and aliases",
       "package shapes\ntype Shape interface {\n  Area() float64\n}\ntype (\n  A = int\n  B struct{}\n)\n",
       {{"shapes", "shapes", "NAMESPACE", "", "package shapes", 0, 0},
        {"Shape", "shapes.Shape", "TYPE", "shapes", "Shape interface {\n  Area() float64\n}", 1, 3},
        {"Area", "shapes.Shape.Area", "METHOD", "shapes.Shape", "Area() float64", 2, 2},
        {"A", "shapes.A", "TYPE", "shapes", "A = int", 5, 5},
        {"B", "shapes.B", "TYPE", "shapes", "B struct{}", 6, 6}}},
      {"variables bound to one function literal",
       "package shapes\nvar handler = func() {}\nvar (\n  grouped = func() {}\n)\n"
       "var typed func() = func() {}\n",
       {{"shapes", "shapes", "NAMESPACE", "", "package shapes", 0, 0},
        {"handler", "shapes.handler", "METHOD", "shapes", "handler = func() {}", 1, 1},
        {"grouped", "shapes.grouped", "METHOD", "shapes", "grouped = func() {}", 3, 3},
        {"typed", "shapes.typed", "METHOD", "shapes", "typed func() = func() {}", 5, 5}}},
      {"other variable shapes declare nothing",
       "var a, b = func() {}, func() {}\nvar c func()\nvar d = (func() {})\nvar e = f(func() {})\n"
       "var g, h = func() {}\nconst k = 1\nvar v = 2\nimport \"os\"\n"
       "type S struct {\n  field func()\n}\n",
       {{"S", "S", "TYPE", "", "S struct {\n  field func()\n}", 8, 10}}},
      {"short variable declaration inside a function body",
       "package shapes\nfunc main() {\n  handler := func() {}\n  a, b := func() {}, 1\n"
       "  c := func() {}, 2\n  handler = func() {}\n}\n",
       {{"shapes", "shapes", "NAMESPACE", "", "package shapes", 0, 0},
        {"main", "shapes.main", "METHOD", "shapes",
         "func main() {\n  handler := func() {}\n  a, b := func() {}, 1\n"
         "  c := func() {}, 2\n  handler = func() {}\n}",
         1, 6},
        {"handler", "shapes.main.handler", "METHOD", "shapes.main", "handler := func() {}", 2, 2}}},
  };
  for (const Case& c : cases) test::expect_case("go", c);
}

TEST(GoRules, ReceiverTypeBecomesAPrefixOnlyWhenItIsAPlainTypeName) {
  struct Receiver {
    const char* receiver;
    const char* qualified_name;
  };
  const Receiver receivers[] = {
      {"(c Circle)", "shapes.Circle.Area"},
      {"(c *Circle)", "shapes.Circle.Area"},
      {"(Circle)", "shapes.Circle.Area"},
      {"(*Circle)", "shapes.Circle.Area"},
      {"(c Circle, d Other)", "shapes.Circle.Area"},
      {"(l *List[T])", "shapes.Area"},
      {"(l List[T])", "shapes.Area"},
      {"(p **Circle)", "shapes.Area"},
      {"(p pkg.Circle)", "shapes.Area"},
      {"(p (Circle))", "shapes.Area"},
      {"()", "shapes.Area"},
  };
  for (const Receiver& r : receivers) {
    const std::string source = std::string("package shapes\nfunc ") + r.receiver + " Area() {}\n";
    SCOPED_TRACE(source);
    // The method's parent is the package, never its receiver type.
    EXPECT_EQ(test::rows("go", source),
              (std::vector<Row>{{"shapes", "NAMESPACE", ""}, {r.qualified_name, "METHOD", "shapes"}}));
  }
}

}  // namespace
}  // namespace kolvex::syntax
