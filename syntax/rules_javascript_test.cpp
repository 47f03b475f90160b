// JavaScript, TypeScript and TSX declaration rules, read through the whole
// extraction (pool, walk, rule).
#include <gtest/gtest.h>

#include "syntax/rule_test_support.h"

namespace kolvex::syntax {
namespace {

using test::SymbolRow;
using Case = test::RuleCase<SymbolRow>;

TEST(JavaScriptRules, VocabularyExistsInTheGrammars) {
  const std::vector<std::string_view> js_types = {
      "class_declaration", "function_declaration", "generator_function_declaration", "class",
      "function_expression", "generator_function", "arrow_function", "method_definition",
      "variable_declarator", "pair", "identifier", "property_identifier", "string",
      "export_statement"};
  const std::vector<std::string_view> js_fields = {"name", "value", "key", "property",
                                                   "declaration"};
  test::expect_vocabulary("javascript", js_types, js_fields);
  // The TypeScript grammars call their class field `public_field_definition`.
  test::expect_vocabulary("javascript", {"field_definition"}, {});
  const std::vector<std::string_view> ts_types = {
      "abstract_class_declaration", "interface_declaration", "type_alias_declaration",
      "enum_declaration", "internal_module", "module", "function_signature", "method_signature",
      "abstract_method_signature", "public_field_definition"};
  for (const char* language : {"typescript", "tsx"}) {
    test::expect_vocabulary(language, js_types, js_fields);
    test::expect_vocabulary(language, ts_types, {"name", "value"});
  }
}

TEST(JavaScriptRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"function and generator declarations",
       "function f() {}\nfunction* g() {}\n",
       {{"f", "f", "METHOD", "", "function f() {}", 0, 0},
        {"g", "g", "METHOD", "", "function* g() {}", 1, 1}}},
      {"class with method, static method, getter and private method",
       "class C {\n  m() {}\n  static s() {}\n  get x() {}\n  #p() {}\n}\n",
       {{"C", "C", "TYPE", "", "class C {\n  m() {}\n  static s() {}\n  get x() {}\n  #p() {}\n}", 0, 5},
        {"m", "C.m", "METHOD", "C", "m() {}", 1, 1},
        {"s", "C.s", "METHOD", "C", "static s() {}", 2, 2},
        {"x", "C.x", "METHOD", "C", "get x() {}", 3, 3},
        {"#p", "C.#p", "METHOD", "C", "#p() {}", 4, 4}}},
      {"constant bound to an arrow function", "const f = () => 1;\n",
       {{"f", "f", "METHOD", "", "f = () => 1", 0, 0}}},
      {"constant bound to a named function expression",
       "const f = function g() {};\n",
       {{"f", "f", "METHOD", "", "f = function g() {}", 0, 0},
        {"g", "f.g", "METHOD", "f", "function g() {}", 0, 0}}},
      {"constants bound to anything but a function",
       "const a = class {}, b = 1, c = {}, d = h(), e = [() => 1];\n", {}},
      {"constant bound to a named class expression declares only the class",
       "const A = class B {};\n", {{"B", "B", "TYPE", "", "class B {}", 0, 0}}},
      {"destructuring declarations bind no name",
       "const {d} = function() {};\nlet [e] = () => 1;\n", {}},
      {"class fields bound to functions",
       "class C {\n  handler = () => {};\n  n = 1;\n  #q = function() {};\n}\n",
       {{"C", "C", "TYPE", "", "class C {\n  handler = () => {};\n  n = 1;\n  #q = function() {};\n}", 0, 4},
        {"handler", "C.handler", "METHOD", "C", "handler = () => {}", 1, 1},
        {"#q", "C.#q", "METHOD", "C", "#q = function() {}", 3, 3}}},
      {"object literal properties are qualified by the scope around the literal",
       "function outer() {\n  const o = {\n    a: function() {},\n    'q': () => {},\n"
       "    \"dq\": function*() {},\n    [k]: () => {},\n    1: () => {},\n    n: 1,\n"
       "    m() {},\n  };\n}\n",
       {{"outer", "outer", "METHOD", "",
         "function outer() {\n  const o = {\n    a: function() {},\n    'q': () => {},\n"
         "    \"dq\": function*() {},\n    [k]: () => {},\n    1: () => {},\n    n: 1,\n"
         "    m() {},\n  };\n}",
         0, 10},
        {"a", "outer.a", "METHOD", "outer", "a: function() {}", 2, 2},
        {"'q'", "outer.'q'", "METHOD", "outer", "'q': () => {}", 3, 3},
        {"\"dq\"", "outer.\"dq\"", "METHOD", "outer", "\"dq\": function*() {}", 4, 4},
        {"m", "outer.m", "METHOD", "outer", "m() {}", 8, 8}}},
      {"anonymous function and class expressions declare nothing; their methods fall outward",
       "export default function () {}\nexport default class {\n  m() {}\n}\n",
       {{"m", "m", "METHOD", "", "m() {}", 2, 2}}},
      {"export lists and re-exports are not looked through",
       "export { f };\nexport * from 'x';\n", {}},
      {"assignments to members declare only a function expression's own name",
       "module.exports.x = function named() {};\nthis.y = () => {};\nexports.z = function() {};\n",
       {{"named", "named", "METHOD", "", "function named() {}", 0, 0}}},
      {"declarations nested in a function body, inside loops and blocks",
       "function f() {\n  for (;;) {\n    if (x) {\n      class K {}\n    }\n  }\n}\n",
       {{"f", "f", "METHOD", "", "function f() {\n  for (;;) {\n    if (x) {\n      class K {}\n    }\n  }\n}", 0, 6},
        {"K", "f.K", "TYPE", "f", "class K {}", 3, 3}}},
  };
  for (const Case& c : cases) test::expect_case("javascript", c);
}

TEST(JavaScriptRules, ExportedDeclarationsAreWidenedToTheExportStatement) {
  const Case cases[] = {
      {"exported function", "export function f() {}\n",
       {{"f", "f", "METHOD", "", "export function f() {}", 0, 0}}},
      // The variable declaration under the export is no declaration itself, so the
      // export statement's range reaches both declarators through it.
      {"exported constant bound to two arrow functions",
       "export const a = () => 1,\n  b = () => 2;\n",
       {{"a", "a", "METHOD", "", "export const a = () => 1,\n  b = () => 2;", 0, 0},
        {"b", "b", "METHOD", "", "export const a = () => 1,\n  b = () => 2;", 1, 1}}},
      // Declarations inside an exported declaration are not widened.
      {"exported class and its method", "export class C {\n  m() {}\n}\n",
       {{"C", "C", "TYPE", "", "export class C {\n  m() {}\n}", 0, 2},
        {"m", "C.m", "METHOD", "C", "m() {}", 1, 1}}},
  };
  for (const Case& c : cases) test::expect_case("javascript", c);
  // A declaration of TypeScript alone is widened alike.
  test::expect_case("typescript",
                    Case{"exported interface", "export interface I {\n  m(): void;\n}\n",
                         {{"I", "I", "TYPE", "", "export interface I {\n  m(): void;\n}", 0, 2},
                          {"m", "I.m", "METHOD", "I", "m(): void", 1, 1}}});
}

TEST(JavaScriptRules, ExportedConstantKeepsTheRowsOfItsDeclarator) {
  const std::string source = "export const f = () => 1;\n";
  const ParsedSyntax parsed = test::extract_snippet("javascript", source);
  ASSERT_EQ(parsed.symbols.size(), 1u);
  const Span& declaration = parsed.symbols[0].declaration;
  // Bytes from the export keyword; row and column of the declarator itself.
  EXPECT_EQ(declaration, (Span{0, 25, 0, 13, 0, 24}));
  EXPECT_EQ(parsed.symbols[0].selection, (Span{13, 14, 0, 13, 0, 14}));
}

TEST(TypeScriptRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"interface with a method signature and a function-typed property",
       "interface I {\n  m(): void;\n  p: () => void;\n}\n",
       {{"I", "I", "TYPE", "", "interface I {\n  m(): void;\n  p: () => void;\n}", 0, 3},
        {"m", "I.m", "METHOD", "I", "m(): void", 1, 1}}},
      {"overloads are one method each",
       "function f(a: string): void;\nfunction f(a: number): void;\nfunction f(a: any) {}\n",
       {{"f", "f", "METHOD", "", "function f(a: string): void;", 0, 0},
        {"f", "f", "METHOD", "", "function f(a: number): void;", 1, 1},
        {"f", "f", "METHOD", "", "function f(a: any) {}", 2, 2}}},
      {"dotted namespace is one name", "namespace A.B {\n  function f() {}\n}\n",
       {{"A.B", "A.B", "NAMESPACE", "", "namespace A.B {\n  function f() {}\n}", 0, 2},
        {"f", "A.B.f", "METHOD", "A.B", "function f() {}", 1, 1}}},
      {"module with a string name keeps its quotes",
       "declare module \"mod\" {\n  function g(): void;\n}\nmodule M {}\n",
       {{"\"mod\"", "\"mod\"", "NAMESPACE", "", "module \"mod\" {\n  function g(): void;\n}", 0, 2},
        {"g", "\"mod\".g", "METHOD", "\"mod\"", "function g(): void;", 1, 1},
        {"M", "M", "NAMESPACE", "", "module M {}", 3, 3}}},
      {"enum members declare nothing", "enum E { X, Y }\n",
       {{"E", "E", "TYPE", "", "enum E { X, Y }", 0, 0}}},
      {"type alias", "type T = string;\n",
       {{"T", "T", "TYPE", "", "type T = string;", 0, 0}}},
      {"abstract class with an abstract method",
       "abstract class K {\n  abstract m(): void;\n}\n",
       {{"K", "K", "TYPE", "", "abstract class K {\n  abstract m(): void;\n}", 0, 2},
        {"m", "K.m", "METHOD", "K", "abstract m(): void", 1, 1}}},
      {"class fields: functions are methods, values are not",
       "class D {\n  h = () => {};\n  v = 1;\n  #z = () => 1;\n  private w = function() {};\n}\n",
       {{"D", "D", "TYPE", "",
         "class D {\n  h = () => {};\n  v = 1;\n  #z = () => 1;\n  private w = function() {};\n}", 0, 5},
        {"h", "D.h", "METHOD", "D", "h = () => {}", 1, 1},
        {"#z", "D.#z", "METHOD", "D", "#z = () => 1", 3, 3},
        {"w", "D.w", "METHOD", "D", "private w = function() {}", 4, 4}}},
      {"the JavaScript rows apply unchanged",
       "class C {\n  m(): void {}\n}\nconst f = (x: number) => x;\nconst o = { 'k': () => 1 };\n",
       {{"C", "C", "TYPE", "", "class C {\n  m(): void {}\n}", 0, 2},
        {"m", "C.m", "METHOD", "C", "m(): void {}", 1, 1},
        {"f", "f", "METHOD", "", "f = (x: number) => x", 3, 3},
        {"'k'", "'k'", "METHOD", "", "'k': () => 1", 4, 4}}},
  };
  for (const Case& c : cases) test::expect_case("typescript", c);
  test::expect_case(
      "tsx",
      Case{"a tsx file is read with the TypeScript rule",
           "interface P {}\nconst App = () => <div>{1}</div>;\nfunction Comp(p: P) { return <App />; }\n",
           {{"P", "P", "TYPE", "", "interface P {}", 0, 0},
            {"App", "App", "METHOD", "", "App = () => <div>{1}</div>", 1, 1},
            {"Comp", "Comp", "METHOD", "", "function Comp(p: P) { return <App />; }", 2, 2}}});
}

}  // namespace
}  // namespace kolvex::syntax
