// Java and Kotlin declaration rules, read through the whole extraction (pool,
// walk, rule).
#include <gtest/gtest.h>

#include "syntax/rule_test_support.h"

namespace kolvex::syntax {
namespace {

using test::SymbolRow;
using Case = test::RuleCase<SymbolRow>;

TEST(JvmRules, VocabularyExistsInTheGrammars) {
  test::expect_vocabulary(
      "java",
      {"class_declaration", "interface_declaration", "enum_declaration", "record_declaration",
       "annotation_type_declaration", "method_declaration", "constructor_declaration",
       "compact_constructor_declaration", "annotation_type_element_declaration",
       "package_declaration", "module_declaration", "identifier", "scoped_identifier"},
      {"name"});
  // The Kotlin grammar gives `property_declaration` no `value` field: a lambda
  // value is its direct `lambda_literal` child.
  test::expect_vocabulary(
      "kotlin",
      {"class_declaration", "object_declaration", "function_declaration", "companion_object",
       "type_alias", "package_header", "property_declaration", "variable_declaration",
       "identifier", "qualified_identifier", "lambda_literal"},
      {"name", "type"});
}

TEST(JavaRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"package line qualifies and parents the types",
       "package a.b;\nclass C {\n  void m() {}\n}\nclass D {}\n",
       {{"a.b", "a.b", "NAMESPACE", "", "package a.b;", 0, 0},
        {"C", "a.b.C", "TYPE", "a.b", "class C {\n  void m() {}\n}", 1, 3},
        {"m", "a.b.C.m", "METHOD", "a.b.C", "void m() {}", 2, 2},
        {"D", "a.b.D", "TYPE", "a.b", "class D {}", 4, 4}}},
      {"no package line", "class C {\n  void m() {}\n}\n",
       {{"C", "C", "TYPE", "", "class C {\n  void m() {}\n}", 0, 2},
        {"m", "C.m", "METHOD", "C", "void m() {}", 1, 1}}},
      {"package line whose name is missing qualifies nothing", "@A package;\nclass C {}\n",
       {{"C", "C", "TYPE", "", "class C {}", 1, 1}}},
      {"records, enums, annotation types and interfaces; constructors and elements",
       "record R(int x) {\n  R {\n  }\n}\nenum E {\n  A;\n  E() {}\n}\n"
       "@interface Ann {\n  int v();\n}\ninterface I {\n  void m();\n}\n",
       {{"R", "R", "TYPE", "", "record R(int x) {\n  R {\n  }\n}", 0, 3},
        {"R", "R.R", "METHOD", "R", "R {\n  }", 1, 2},
        {"E", "E", "TYPE", "", "enum E {\n  A;\n  E() {}\n}", 4, 7},
        {"E", "E.E", "METHOD", "E", "E() {}", 6, 6},
        {"Ann", "Ann", "TYPE", "", "@interface Ann {\n  int v();\n}", 8, 10},
        {"v", "Ann.v", "METHOD", "Ann", "int v();", 9, 9},
        {"I", "I", "TYPE", "", "interface I {\n  void m();\n}", 11, 13},
        {"m", "I.m", "METHOD", "I", "void m();", 12, 12}}},
      {"module is a namespace but not a header", "module m.n {\n}\nclass C {}\n",
       {{"m.n", "m.n", "NAMESPACE", "", "module m.n {\n}", 0, 1},
        {"C", "C", "TYPE", "", "class C {}", 2, 2}}},
      {"lambdas bound to fields and locals declare nothing",
       "class C {\n  Runnable r = () -> {};\n  void m() { Runnable q = () -> {}; }\n}\n",
       {{"C", "C", "TYPE", "",
         "class C {\n  Runnable r = () -> {};\n  void m() { Runnable q = () -> {}; }\n}", 0, 3},
        {"m", "C.m", "METHOD", "C", "void m() { Runnable q = () -> {}; }", 2, 2}}},
      {"members of a class without a name fall to the enclosing scope",
       "class O {\n  class {\n    void m() {}\n  }\n}\n",
       // Error recovery closes O at the nameless class's brace.
       {{"O", "O", "TYPE", "", "class O {\n  class {\n    void m() {}\n  }", 0, 3},
        {"m", "O.m", "METHOD", "O", "void m() {}", 2, 2}}},
  };
  for (const Case& c : cases) test::expect_case("java", c);
}

TEST(KotlinRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"package header and an unnamed companion object",
       "package a.b\nclass K {\n  companion object {\n    fun f() {}\n  }\n}\n",
       {{"a.b", "a.b", "NAMESPACE", "", "package a.b", 0, 0},
        {"K", "a.b.K", "TYPE", "a.b", "class K {\n  companion object {\n    fun f() {}\n  }\n}", 1, 5},
        {"f", "a.b.K.f", "METHOD", "a.b.K", "fun f() {}", 3, 3}}},
      {"named companion object",
       "class K {\n  companion object Factory {\n    fun f() {}\n  }\n}\n",
       {{"K", "K", "TYPE", "", "class K {\n  companion object Factory {\n    fun f() {}\n  }\n}", 0, 4},
        {"Factory", "K.Factory", "TYPE", "K", "companion object Factory {\n    fun f() {}\n  }", 1, 3},
        {"f", "K.Factory.f", "METHOD", "K.Factory", "fun f() {}", 2, 2}}},
      {"a single-segment package name", "package p\nfun top() {}\n",
       {{"p", "p", "NAMESPACE", "", "package p", 0, 0},
        {"top", "p.top", "METHOD", "p", "fun top() {}", 1, 1}}},
      {"type alias is named by its `type` field", "typealias Alias = String\n",
       {{"Alias", "Alias", "TYPE", "", "typealias Alias = String", 0, 0}}},
      {"object with a property bound to a lambda", "object O {\n  val h = { x: Int -> x }\n}\n",
       {{"O", "O", "TYPE", "", "object O {\n  val h = { x: Int -> x }\n}", 0, 2},
        {"h", "O.h", "METHOD", "O", "val h = { x: Int -> x }", 1, 1}}},
      {"only properties whose value is a lambda are declared",
       "val lam = { 1 }\nval typed: () -> Unit = { }\nval notLam = 1\nval (p, q) = { 1 }\n"
       "val x by lazy { 1 }\nvar noValue: Int\n",
       {{"lam", "lam", "METHOD", "", "val lam = { 1 }", 0, 0},
        {"typed", "typed", "METHOD", "", "val typed: () -> Unit = { }", 1, 1}}},
  };
  for (const Case& c : cases) test::expect_case("kotlin", c);
}

}  // namespace
}  // namespace kolvex::syntax
