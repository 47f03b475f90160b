// Ruby and Rust declaration rules, read through the whole extraction (pool, walk, rule).
#include <gtest/gtest.h>

#include "syntax/rule_test_support.h"

namespace kolvex::syntax {
namespace {

using test::Row;
using Case = test::RuleCase<Row>;

TEST(RubyRustRules, VocabularyExistsInTheGrammars) {
  test::expect_vocabulary("ruby",
                          {"class", "module", "scope_resolution", "method", "singleton_method",
                           "alias", "singleton_class", "assignment", "identifier", "lambda"},
                          {"name", "scope", "left", "right"});
  test::expect_vocabulary(
      "rust",
      {"struct_item", "enum_item", "union_item", "trait_item", "type_item", "associated_type",
       "function_item", "function_signature_item", "mod_item", "impl_item", "let_declaration",
       "identifier", "closure_expression"},
      {"name", "type", "pattern", "value"});
}

TEST(RubyRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"module, class, instance and singleton method",
       "module M\n  class C\n    def run; end\n    def self.build; end\n  end\nend\n",
       {{"M", "TYPE", ""}, {"M.C", "TYPE", "M"}, {"M.C.run", "METHOD", "M.C"},
        {"M.C.build", "METHOD", "M.C"}}},
      {"class named by a nested scope resolution",
       "class A::B::Foo\n  def bar; end\nend\n",
       {{"A::B.Foo", "TYPE", ""}, {"A::B.Foo.bar", "METHOD", "A::B.Foo"}}},
      {"module named by a scope resolution is a TYPE", "module A::Foo\nend\n",
       {{"A.Foo", "TYPE", ""}}},
      {"leading double colon is still qualified by the enclosing module",
       "module M\n  class ::Foo\n  end\nend\n", {{"M", "TYPE", ""}, {"M.Foo", "TYPE", "M"}}},
      {"singleton class block adds nothing",
       "class Foo\n  class << self\n    def create; end\n  end\nend\n",
       {{"Foo", "TYPE", ""}, {"Foo.create", "METHOD", "Foo"}}},
      {"alias is a method named by its new name",
       "class Foo\n  alias to_s inspect\nend\n",
       {{"Foo", "TYPE", ""}, {"Foo.to_s", "METHOD", "Foo"}}},
      {"lambda bound to a local", "square = ->(x) { x * x }\n", {{"square", "METHOD", ""}}},
      {"lambda bound to a constant, an ivar or an attribute; a plain value",
       "Square = ->(x) { x }\n@sq = ->(x) { x }\nself.sq = ->(x) { x }\nsquare = 42\n"
       "square ||= ->(x) { x }\n",
       {}},
      {"class without a name: its methods fall to the enclosing scope",
       "class\n  def run; end\nend\n", {{"run", "METHOD", ""}}},
      {"scope resolution without its last component",
       "module M; class ::; def run; end; end; end\n",
       {{"M", "TYPE", ""}, {"M.run", "METHOD", "M"}}},
  };
  for (const Case& c : cases) test::expect_case("ruby", c);
}

TEST(RubyRules, ScopedClassIsNamedByItsLeafAndSelectsOnlyIt) {
  const auto found = test::extract_rows("ruby", "class A::B::Foo\nend\n");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].name, "Foo");
  EXPECT_EQ(found[0].qualified_name, "A::B.Foo");
  const ParsedSyntax parsed = test::extract_snippet("ruby", "class A::B::Foo\nend\n");
  ASSERT_EQ(parsed.symbols.size(), 1u);
  EXPECT_EQ(parsed.symbols[0].selection.start_byte, 12);
  EXPECT_EQ(parsed.symbols[0].selection.end_byte, 15);
}

TEST(RustRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"impl members are qualified by the type and parented to the module",
       "mod geo {\n  struct Point;\n  impl Point {\n    fn new() -> Point { Point }\n  }\n}\n",
       {{"geo", "NAMESPACE", ""}, {"geo.Point", "TYPE", "geo"}, {"geo.Point.new", "METHOD", "geo"}}},
      {"generic impl keeps the type text", "impl<T> Stack<T> {\n  fn push(&mut self) {}\n}\n",
       {{"Stack<T>.push", "METHOD", ""}}},
      {"trait impl and inherent impl qualify alike",
       "impl fmt::Display for Point {\n  fn fmt(&self) {}\n}\nimpl Point {\n  fn new() {}\n}\n",
       {{"Point.fmt", "METHOD", ""}, {"Point.new", "METHOD", ""}}},
      {"impl type with lifetimes, bounds and references",
       "impl<'a> Parser<'a> { fn a() {} }\n"
       "impl<T: Clone> From<T> for Wrapper<T> { fn b() {} }\n"
       "impl Shape for &Point { fn c() {} }\n",
       {{"Parser<'a>.a", "METHOD", ""}, {"Wrapper<T>.b", "METHOD", ""},
        {"&Point.c", "METHOD", ""}}},
      {"impl whose type is missing qualifies nothing",
       "mod m {\n  impl<T> {\n    fn g() {}\n  }\n}\n",
       {{"m", "NAMESPACE", ""}, {"m.g", "METHOD", "m"}}},
      {"trait with a signature and an associated type",
       "trait Shape {\n  fn area(&self) -> f64;\n  type Unit;\n}\n",
       {{"Shape", "TYPE", ""}, {"Shape.area", "METHOD", "Shape"}, {"Shape.Unit", "TYPE", "Shape"}}},
      {"module without a body is no header", "mod tests;\nfn run() {}\n",
       {{"tests", "NAMESPACE", ""}, {"run", "METHOD", ""}}},
      {"enum, union and type alias", "enum E { A, B }\nunion U { a: u8 }\ntype Id = u32;\n",
       {{"E", "TYPE", ""}, {"U", "TYPE", ""}, {"Id", "TYPE", ""}}},
      {"closure bound to a plain name",
       "fn main() {\n  let add = |a, b| a + b;\n  let (f, g) = (|| 1, || 2);\n  let x = 5;\n"
       "  let h = Box::new(|| 1);\n  let k;\n}\n",
       {{"main", "METHOD", ""}, {"main.add", "METHOD", "main"}}},
      {"items that declare nothing",
       "const C: u8 = 1;\nstatic S: u8 = 2;\nmacro_rules! m { () => {} }\nuse std::fmt;\n"
       "struct P { x: u8 }\n",
       {{"P", "TYPE", ""}}},
  };
  for (const Case& c : cases) test::expect_case("rust", c);
}

}  // namespace
}  // namespace kolvex::syntax
