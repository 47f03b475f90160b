// C and C++ declaration rules, read through the whole extraction (pool, walk, rule).
#include <gtest/gtest.h>

#include "syntax/rule_test_support.h"

namespace kolvex::syntax {
namespace {

using test::Row;
using Case = test::RuleCase<Row>;

TEST(CCppRules, VocabularyExistsInTheGrammars) {
  const std::vector<std::string_view> c_types = {
      "struct_specifier",  "union_specifier",         "enum_specifier",
      "declaration",       "function_definition",     "type_definition",
      "parenthesized_declarator", "attributed_declarator", "function_declarator",
      "pointer_declarator", "array_declarator",       "ms_call_modifier"};
  test::expect_vocabulary("c", c_types, {"name", "body", "declarator"});
  std::vector<std::string_view> cpp_types = c_types;
  cpp_types.insert(cpp_types.end(),
                   {"class_specifier", "field_declaration", "reference_declarator",
                    "qualified_identifier", "namespace_definition", "namespace_alias_definition",
                    "alias_declaration", "template_declaration"});
  test::expect_vocabulary("cpp", cpp_types, {"name", "body", "declarator", "scope"});
}

TEST(CRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"struct with a body; its member declares nothing", "struct S { int x; };\n",
       {{"S", "TYPE", ""}}},
      {"enum; its enumerators declare nothing", "enum E { A, B };\n", {{"E", "TYPE", ""}}},
      {"union", "union U { int i; float f; };\n", {{"U", "TYPE", ""}}},
      {"forward declaration", "struct S;\n", {{"S", "TYPE", ""}}},
      {"specifier that only types a variable", "struct S *p;\n", {}},
      {"definition that also declares a variable", "struct S { int x; } s;\n",
       {{"S", "TYPE", ""}}},
      {"function operator nearest the name", "int *f(void);\n", {{"f", "METHOD", ""}}},
      {"pointer operator nearest the name", "int (*fp)(void);\n", {}},
      {"function returning a function pointer", "int (*g(void))(int);\n",
       {{"g", "METHOD", ""}}},
      {"array of values", "int a[3];\nint *q;\n", {}},
      {"typedef of a function pointer", "typedef int (*handler_t)(int);\n",
       {{"handler_t", "TYPE", ""}}},
      {"typedef reads only the first declarator", "typedef int A, *B;\n", {{"A", "TYPE", ""}}},
      {"typedef of an anonymous struct", "typedef struct { int x; } P;\n", {{"P", "TYPE", ""}}},
      {"typedef of a named struct", "typedef struct S { int x; } S_t;\n",
       {{"S_t", "TYPE", ""}, {"S_t.S", "TYPE", "S_t"}}},
      {"declaration reads only the first declarator", "int x = 1, f(void);\n", {}},
      {"struct named in a parameter", "void f(struct S *p);\n",
       {{"f", "METHOD", ""}, {"f.S", "TYPE", "f"}}},
      {"self-referencing struct", "struct node { struct node *next; };\n",
       {{"node", "TYPE", ""}, {"node.node", "TYPE", "node"}}},
      {"prototype inside a function body; locals declare nothing",
       "void outer(void) {\n  int helper(int);\n  int local = 1;\n}\n",
       {{"outer", "METHOD", ""}, {"outer.helper", "METHOD", "outer"}}},
      {"calling convention inside parentheses is never the name",
       "void (__cdecl f)(int);\nint (__stdcall *fp)(int);\n", {{"f", "METHOD", ""}}},
      {"typedef whose name is missing", "typedef int;\n", {}},
      {"member function declarations of a C struct declare nothing",
       "struct V { int get(void); int (*call)(void); };\n", {{"V", "TYPE", ""}}},
  };
  for (const Case& c : cases) test::expect_case("c", c);
}

TEST(CppRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"out-of-line qualified definition", "void A::B::f() {}\n", {{"A.B.f", "METHOD", ""}}},
      {"qualified definition inside a namespace", "namespace N {\nvoid A::f() {}\n}\n",
       {{"N", "NAMESPACE", ""}, {"N.A.f", "METHOD", "N"}}},
      {"anonymous namespace adds nothing", "namespace { void g(); }\n", {{"g", "METHOD", ""}}},
      {"namespace, class, member function; data member declares nothing",
       "namespace N { class C { void m(); int x; }; }\n",
       {{"N", "NAMESPACE", ""}, {"N.C", "TYPE", "N"}, {"N.C.m", "METHOD", "N.C"}}},
      {"nested namespace name is one declaration", "namespace A::B { void f(); }\n",
       {{"A::B", "NAMESPACE", ""}, {"A::B.f", "METHOD", "A::B"}}},
      {"alias template", "template <class T> using Vec = std::vector<T>;\n",
       {{"Vec", "TYPE", ""}}},
      {"namespace alias and type alias", "namespace fs = std::filesystem;\nusing Id = int;\n",
       {{"fs", "NAMESPACE", ""}, {"Id", "TYPE", ""}}},
      {"forward class declaration and a class used as a type", "class Fwd;\nclass Fwd *p;\n",
       {{"Fwd", "TYPE", ""}}},
      {"class named by a qualified name keeps its whole text", "struct Outer::Inner {};\n",
       {{"Outer::Inner", "TYPE", ""}}},
      {"member functions declared, defined and pure virtual; operators; destructor",
       "class K {\n  void a();\n  int b() { return 1; }\n  virtual void c() = 0;\n"
       "  bool operator==(const K&) const;\n  ~K();\n};\n",
       {{"K", "TYPE", ""}, {"K.a", "METHOD", "K"}, {"K.b", "METHOD", "K"},
        {"K.c", "METHOD", "K"}, {"K.operator==", "METHOD", "K"}, {"K.~K", "METHOD", "K"}}},
      {"out-of-line destructor", "K::~K() {}\n", {{"K.~K", "METHOD", ""}}},
      {"functions returning references are declared",
       "struct X {\n  T& get();\n  X& operator=(const X&);\n  int& operator[](int i);\n"
       "  int& ref;\n};\nT& X::get() { return t; }\n",
       {{"X", "TYPE", ""}, {"X.get", "METHOD", "X"}, {"X.operator=", "METHOD", "X"},
        {"X.operator[]", "METHOD", "X"}, {"X.get", "METHOD", ""}}},
      {"reference to a function is a variable", "void (&cb)(int) = handler;\n", {}},
      {"template scope keeps its arguments", "template <class T> void Box<T>::put(T) {}\n",
       {{"Box<T>.put", "METHOD", ""}}},
      {"qualified name whose last part is missing", "void A::() {}\n", {}},
      {"enum class and union", "enum class Color { Red };\nunion U { int i; };\n",
       {{"Color", "TYPE", ""}, {"U", "TYPE", ""}}},
  };
  for (const Case& c : cases) test::expect_case("cpp", c);
}

TEST(CppRules, QualifiedNameSelectsOnlyTheLeaf) {
  const std::string source = "void A::B::f() {}\n";
  const ParsedSyntax parsed = test::extract_snippet("cpp", source);
  ASSERT_EQ(parsed.symbols.size(), 1u);
  const SyntaxSymbol& f = parsed.symbols[0];
  EXPECT_EQ(f.name, "f");
  EXPECT_EQ(f.qualified_name, "A.B.f");
  const std::int64_t at = static_cast<std::int64_t>(source.find("f("));
  EXPECT_EQ(f.selection, (Span{at, at + 1, 0, at, 0, at + 1}));
  EXPECT_EQ(f.declaration.start_byte, 0);
}

TEST(CppRules, TemplatesSpanFromTheTemplateKeyword) {
  const auto found = test::extract_rows(
      "cpp",
      "template <class T>\nclass Box {};\n"
      "template <class T>\nT max(T a, T b) { return a; }\n"
      "template <class T> template <class U>\nvoid Box<T>::put(U) {}\n");
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].qualified_name, "Box");
  EXPECT_EQ(found[0].declaration, "template <class T>\nclass Box {};");
  // The rows stay those of the declaration inside the template.
  EXPECT_EQ(found[0].start_line, 1);
  EXPECT_EQ(found[1].qualified_name, "max");
  EXPECT_EQ(found[1].kind, "METHOD");
  EXPECT_EQ(found[1].declaration, "template <class T>\nT max(T a, T b) { return a; }");
  // A template of a template is looked through at the inner level only.
  EXPECT_EQ(found[2].qualified_name, "Box<T>.put");
  EXPECT_EQ(found[2].declaration, "template <class U>\nvoid Box<T>::put(U) {}");
}

}  // namespace
}  // namespace kolvex::syntax
