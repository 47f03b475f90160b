// C# and PHP declaration rules, read through the whole extraction (pool, walk, rule).
#include <gtest/gtest.h>

#include "syntax/rule_test_support.h"

namespace kolvex::syntax {
namespace {

using test::Row;
using Case = test::RuleCase<Row>;

TEST(CsharpPhpRules, VocabularyExistsInTheGrammars) {
  test::expect_vocabulary(
      "csharp",
      {"class_declaration", "struct_declaration", "enum_declaration", "interface_declaration",
       "record_declaration", "delegate_declaration", "method_declaration",
       "constructor_declaration", "destructor_declaration", "local_function_statement",
       "namespace_declaration", "file_scoped_namespace_declaration", "using_directive",
       "variable_declarator", "lambda_expression", "anonymous_method_expression"},
      {"name"});
  test::expect_vocabulary(
      "php",
      {"class_declaration", "interface_declaration", "trait_declaration", "enum_declaration",
       "function_definition", "method_declaration", "namespace_definition", "namespace_name",
       "assignment_expression", "variable_name", "name", "anonymous_function", "arrow_function"},
      {"name", "body", "left", "right"});
}

TEST(CsharpRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"file-scoped namespace qualifies the rest of the file",
       "namespace A.B;\nclass C { }\n", {{"A.B", "NAMESPACE", ""}, {"A.B.C", "TYPE", "A.B"}}},
      {"block namespace is an ordinary scope",
       "namespace A.B { class C { } }\nclass D { }\n",
       {{"A.B", "NAMESPACE", ""}, {"A.B.C", "TYPE", "A.B"}, {"D", "TYPE", ""}}},
      {"type declarations",
       "class K { }\nstruct S { }\nenum E { X, Y }\ninterface I { }\nrecord R(int X);\n"
       "delegate void D();\n",
       {{"K", "TYPE", ""}, {"S", "TYPE", ""}, {"E", "TYPE", ""}, {"I", "TYPE", ""},
        {"R", "TYPE", ""}, {"D", "TYPE", ""}}},
      {"members that declare nothing",
       "class K {\n  int P { get; set; }\n  int f;\n  int this[int i] => i;\n"
       "  public static K operator +(K a, K b) => a;\n"
       "  event EventHandler E { add { } remove { } }\n}\n",
       {{"K", "TYPE", ""}}},
      {"constructor, destructor and local function",
       "class Foo {\n  Foo() { }\n  ~Foo() { }\n  void M() { int Local() => 1; }\n}\n",
       {{"Foo", "TYPE", ""}, {"Foo.Foo", "METHOD", "Foo"}, {"Foo.Foo", "METHOD", "Foo"},
        {"Foo.M", "METHOD", "Foo"}, {"Foo.M.Local", "METHOD", "Foo.M"}}},
      {"using alias is a term; imports are not",
       "using Json = System.Text.Json;\nusing System.Linq;\nusing static System.Math;\n",
       {{"Json", "TERM", ""}}},
      {"using alias inside a block namespace", "namespace N {\n  using Json = System.Text.Json;\n}\n",
       {{"N", "NAMESPACE", ""}, {"N.Json", "TERM", "N"}}},
      {"variables bound to a lambda or an anonymous method",
       "class C {\n  Func<int, int> twice = x => x * 2;\n  EventHandler h = delegate { };\n"
       "  void M() {\n    Func<int, int> local = x => x;\n    int n = 1;\n"
       "    Func<int> f = GetF();\n    Func<int> a = () => 1, b = Make();\n"
       "    Func<int> p = (() => 1);\n  }\n}\n",
       {{"C", "TYPE", ""}, {"C.twice", "METHOD", "C"}, {"C.h", "METHOD", "C"},
        {"C.M", "METHOD", "C"}, {"C.M.local", "METHOD", "C.M"}, {"C.M.a", "METHOD", "C.M"}}},
  };
  for (const Case& c : cases) test::expect_case("csharp", c);
}

TEST(PhpRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"namespace without a body qualifies the rest of the file",
       "<?php\nnamespace App;\nclass User { }\n",
       {{"App", "NAMESPACE", ""}, {"App.User", "TYPE", "App"}}},
      {"namespace of several segments is named by its whole name",
       "<?php\nnamespace App\\Models;\nclass User { function save() { } }\n",
       {{"App\\Models", "NAMESPACE", ""}, {"App\\Models.User", "TYPE", "App\\Models"},
        {"App\\Models.User.save", "METHOD", "App\\Models.User"}}},
      {"namespace with a body is an ordinary scope",
       "<?php\nnamespace App { function f() { } }\nnamespace Other { }\n",
       {{"App", "NAMESPACE", ""}, {"App.f", "METHOD", "App"}, {"Other", "NAMESPACE", ""}}},
      {"global namespace block", "<?php\nnamespace { function g() { } }\n", {{"g", "METHOD", ""}}},
      {"type declarations and methods",
       "<?php\nclass C { public function m() { } }\ninterface I { }\ntrait T { }\n"
       "enum E { case A; }\n",
       {{"C", "TYPE", ""}, {"C.m", "METHOD", "C"}, {"I", "TYPE", ""}, {"T", "TYPE", ""},
        {"E", "TYPE", ""}}},
      {"variables bound to closures, named without the dollar sign",
       "<?php\n$handler = function ($x) { return $x; };\n$double = fn($x) => $x * 2;\n",
       {{"handler", "METHOD", ""}, {"double", "METHOD", ""}}},
      {"assignments that declare nothing",
       "<?php\n$this->handler = function () { };\n$n = 1;\n$f = strlen(...);\n", {}},
  };
  for (const Case& c : cases) test::expect_case("php", c);
}

TEST(PhpRules, SingleSegmentNamespaceSelectsTheSegment) {
  const std::string source = "<?php\nnamespace App;\n";
  const ParsedSyntax parsed = test::extract_snippet("php", source);
  ASSERT_EQ(parsed.symbols.size(), 1u);
  const std::int64_t at = static_cast<std::int64_t>(source.find("App"));
  EXPECT_EQ(parsed.symbols[0].name, "App");
  EXPECT_EQ(parsed.symbols[0].selection.start_byte, at);
  EXPECT_EQ(parsed.symbols[0].selection.end_byte, at + 3);
}

}  // namespace
}  // namespace kolvex::syntax
