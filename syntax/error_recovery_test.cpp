// Error recovery: damaged sources in several grammars parse to these exact trees,
// missing tokens and skipped ranges included. The runtime's recovery loops are
// patched for speed (cmake/patches); the trees were taken from the runtime as
// released and must not change.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "syntax/parser_pool.h"

namespace kolvex::syntax {
namespace {

struct DamagedSource {
  const char* language;
  const char* source;
  const char* tree;
};

const DamagedSource DAMAGED_SOURCES[] = {
    {"c",
         "struct s { int a; int b }\n"
         "int f(int x { return x; }\n",
         "(translation_unit (ERROR (identifier) (field_declaration type: (primitive_type) declarator: "
         "(field_identifier)) (ERROR type: (primitive_type) (field_identifier)) type: (primitive_type) "
         "(field_identifier) (ERROR (parameter_declaration type: (primitive_type) declarator: "
         "(identifier))) (compound_statement (return_statement (identifier)))))"},
    {"c",
         "#define DECL(x) x\n"
         "DECL(int) g(void) __attribute__((x)) {\n"
         "  if (a { b; }\n"
         "}\n",
         "(translation_unit (preproc_function_def name: (identifier) parameters: (preproc_params "
         "(identifier)) value: (preproc_arg)) (function_definition type: (macro_type_specifier name: "
         "(identifier) type: (type_descriptor type: (primitive_type))) declarator: (function_declarator "
         "declarator: (identifier) parameters: (parameter_list (parameter_declaration type: "
         "(primitive_type))) (attribute_specifier (argument_list (identifier)))) body: (compound_statement "
         "(if_statement condition: (parenthesized_expression (identifier) (MISSING \")\")) consequence: "
         "(compound_statement (expression_statement (identifier)))))))"},
    {"python",
         "def f(:\n"
         "    return [1, 2\n"
         "class C(\n"
         "    x = 1\n",
         "(module (function_definition name: (identifier) parameters: (parameters (MISSING \")\")) (ERROR "
         "(integer) (integer) (ERROR (identifier) (identifier)) (keyword_argument name: (identifier) "
         "value: (integer))) body: (block)))"},
    {"cpp",
         "template <class T> class A { void f( };\n"
         "int main() { A<int> a; a.f(; }\n",
         "(translation_unit (ERROR (template_parameter_list (type_parameter_declaration "
         "(type_identifier))) (type_identifier) (field_declaration type: (primitive_type) declarator: "
         "(field_identifier) (ERROR)) (function_definition type: (primitive_type) declarator: "
         "(function_declarator declarator: (field_identifier) parameters: (parameter_list)) body: "
         "(compound_statement (declaration type: (template_type name: (type_identifier) arguments: "
         "(template_argument_list (type_descriptor type: (primitive_type)))) declarator: (identifier)) "
         "(expression_statement (call_expression function: (field_expression argument: (identifier) field: "
         "(field_identifier)) arguments: (argument_list (MISSING \")\"))))))))"},
    {"rust",
         "fn f(x: i32 -> i32 { x + }\n"
         "struct S { a: , }\n",
         "(source_file (function_item name: (identifier) parameters: (parameters (parameter pattern: "
         "(identifier) type: (primitive_type)) (MISSING \")\")) return_type: (primitive_type) body: (block "
         "(binary_expression left: (identifier) right: (MISSING identifier)))) (struct_item name: "
         "(type_identifier) body: (field_declaration_list (field_declaration name: (field_identifier) "
         "type: (MISSING type_identifier)))))"},
    {"javascript",
         "function f(a, { return a +; }\n"
         "class K { m( { } }\n",
         "(program (ERROR (identifier) (identifier) (ERROR (object_pattern "
         "(shorthand_property_identifier_pattern) (ERROR (identifier)))) (identifier) "
         "(property_identifier) (object_pattern)))"},
};

TEST(ErrorRecovery, DamagedSourcesParseToTheTreesOfTheReleasedRuntime) {
  ParserPool pool;
  for (const DamagedSource& damaged : DAMAGED_SOURCES) {
    SCOPED_TRACE(std::string(damaged.language) + ": " + damaged.source);
    const ParseTree tree = pool.parse(damaged.language, damaged.source);
    const std::unique_ptr<char, decltype(&std::free)> text(ts_node_string(tree.root_node()), &std::free);
    EXPECT_EQ(std::string(text.get()), damaged.tree);
  }
}

}  // namespace
}  // namespace kolvex::syntax
