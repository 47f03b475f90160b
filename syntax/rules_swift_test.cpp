// Swift declaration rules, read through the whole extraction (pool, walk, rule).
#include <gtest/gtest.h>

#include "syntax/rule_test_support.h"

namespace kolvex::syntax {
namespace {

using test::SymbolRow;
using Case = test::RuleCase<SymbolRow>;

TEST(SwiftRules, VocabularyExistsInTheGrammar) {
  // `bound_identifier` is, in this grammar, the field under which a pattern holds
  // its `simple_identifier`.
  test::expect_vocabulary(
      "swift",
      {"class_declaration", "protocol_declaration", "typealias_declaration",
       "associatedtype_declaration", "function_declaration", "protocol_function_declaration",
       "property_declaration", "user_type", "type_identifier", "simple_identifier", "pattern",
       "lambda_literal"},
      {"declaration_kind", "name", "value", "bound_identifier"});
}

TEST(SwiftRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"a type of every kind text holds its members",
       "struct S {\n  func f() {}\n}\nclass C {}\nenum E {\n  case a\n}\nactor A {}\n",
       {{"S", "S", "TYPE", "", "struct S {\n  func f() {}\n}", 0, 2},
        {"f", "S.f", "METHOD", "S", "func f() {}", 1, 1},
        {"C", "C", "TYPE", "", "class C {}", 3, 3},
        {"E", "E", "TYPE", "", "enum E {\n  case a\n}", 4, 6},
        {"A", "A", "TYPE", "", "actor A {}", 7, 7}}},
      {"an extension qualifies its members without a row or a parent",
       "extension S {\n  func g() {}\n  struct T {\n    func h() {}\n  }\n}\n",
       {{"g", "S.g", "METHOD", "", "func g() {}", 1, 1},
        {"T", "S.T", "TYPE", "", "struct T {\n    func h() {}\n  }", 2, 4},
        {"h", "S.T.h", "METHOD", "S.T", "func h() {}", 3, 3}}},
      {"a dotted extended type qualifies with its first component only",
       "extension Outer.Inner {\n  func i() {}\n}\n",
       {{"i", "Outer.i", "METHOD", "", "func i() {}", 1, 1}}},
      {"generic arguments and constraints of the extended type are dropped",
       "extension Array<Int> {\n  func j() {}\n}\nextension Set where Element == Int {\n  func k() {}\n}\n"
       "extension S<Int>.Inner {\n  func m() {}\n}\n",
       {{"j", "Array.j", "METHOD", "", "func j() {}", 1, 1},
        {"k", "Set.k", "METHOD", "", "func k() {}", 4, 4},
        {"m", "S.m", "METHOD", "", "func m() {}", 7, 7}}},
      {"an extended type of another shape qualifies with its whole text",
       "extension [Int] {\n  func g() {}\n}\n",
       {{"g", "[Int].g", "METHOD", "", "func g() {}", 1, 1}}},
      {"an extension without a name adds no qualification", "extension {\n  func g() {}\n}\n",
       {{"g", "g", "METHOD", "", "func g() {}", 1, 1}}},
      {"protocol with a function requirement and an associated type",
       "protocol P {\n  func p()\n  associatedtype Q\n}\n",
       {{"P", "P", "TYPE", "", "protocol P {\n  func p()\n  associatedtype Q\n}", 0, 3},
        {"p", "P.p", "METHOD", "P", "func p()", 1, 1},
        {"Q", "P.Q", "TYPE", "P", "associatedtype Q", 2, 2}}},
      {"type alias and top-level function", "typealias TA = Int\nfunc top() {}\n",
       {{"TA", "TA", "TYPE", "", "typealias TA = Int", 0, 0},
        {"top", "top", "METHOD", "", "func top() {}", 1, 1}}},
      {"only properties bound to a closure are declared",
       "class C {\n  var h = { (x: Int) in x }\n  var k: (Int) -> Int = { $0 }\n  let v = 1\n"
       "  var w: Int\n}\n",
       {{"C", "C", "TYPE", "",
         "class C {\n  var h = { (x: Int) in x }\n  var k: (Int) -> Int = { $0 }\n  let v = 1\n"
         "  var w: Int\n}",
         0, 5},
        {"h", "C.h", "METHOD", "C", "var h = { (x: Int) in x }", 1, 1},
        {"k", "C.k", "METHOD", "C", "var k: (Int) -> Int = { $0 }", 2, 2}}},
      {"a closure bound to a tuple pattern declares nothing",
       "let (a, b) = { }\nlet (c, d) = ({ }, 1)\n", {}},
  };
  for (const Case& c : cases) test::expect_case("swift", c);
}

}  // namespace
}  // namespace kolvex::syntax
