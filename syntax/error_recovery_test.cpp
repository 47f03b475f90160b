// The parser runtime is patched for speed (cmake/patches); the trees must not
// change. Error recovery: damaged sources in several grammars parse to these
// exact trees, missing tokens and skipped ranges included, as the runtime
// released parses them. Parse-table lookups: each thread keeps answers for the
// language it parses, so a thread that switches languages must get the trees
// each language gives alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "syntax/grammar_loader.h"
#include "syntax/parser_pool.h"

extern "C" {
uint16_t kolvex_probe_lookup(const TSLanguage* language, uint16_t state, uint16_t symbol);
uint16_t kolvex_probe_search(const TSLanguage* language, uint16_t state, uint16_t symbol);
uint32_t kolvex_probe_state_count(const TSLanguage* language);
uint32_t kolvex_probe_large_state_count(const TSLanguage* language);
uint32_t kolvex_probe_symbol_count(const TSLanguage* language);
}

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

std::string tree_text(ParserPool& pool, const std::string& language, const std::string& source) {
  const ParseTree tree = pool.parse(language, source);
  const std::unique_ptr<char, decltype(&std::free)> text(ts_node_string(tree.root_node()), &std::free);
  return text.get();
}

// Sources that take the parser through many states of their grammar, a damaged
// part included, so that the grammars are asked about the same state and symbol
// numbers.
std::vector<std::pair<std::string, std::string>> varied_sources() {
  std::string c;
  std::string cpp;
  std::string python;
  for (int i = 0; i < 40; ++i) {
    const std::string n = std::to_string(i);
    c += "#define M" + n + "(x) ((x) + " + n + ")\n" +
         "typedef struct s" + n + " { int a; char *b[" + n + "]; struct { long c; } d; } s" + n + "_t;\n" +
         "static int f" + n + "(s" + n + "_t *p, ...) {\n" +
         "  for (int i = 0; i < " + n + "; i++) { if (p->a > i) p->a -= M" + n + "(i); else break; }\n" +
         "  switch (p->a) { case 1: return 1; default: while (p->a--) {} }\n" +
         "  return p->b[0] ? *p->b[0] : (int)sizeof(s" + n + "_t);\n" + "}\n";
    cpp += "namespace n" + n + " {\n" + "template <typename T, int N = " + n + "> class C" + n +
           " : public B<T> {\n" + " public:\n" + "  C" + n + "() : v_{} {}\n" + "  virtual ~C" + n +
           "() = default;\n" + "  T get() const noexcept { return v_[N - 1]; }\n" +
           "  auto f(std::vector<T>& xs) -> int { for (auto& x : xs) { v_.push_back(x); } return [&] { "
           "return 1; }(); }\n" +
           " private:\n" + "  std::vector<T> v_;\n" + "};\n" + "}\n";
    python += "@decorator(" + n + ")\n" + "class K" + n + "(Base, metaclass=Meta):\n" + "    x: int = " + n +
              "\n" + "    async def m(self, *args, **kwargs) -> list[int]:\n" + "        return [a for a in args if a > " +
              n + "] or {k: v for k, v in kwargs.items()}\n" + "    def g(self):\n" +
              "        with open('f') as h, lock:\n" + "            yield from h\n";
  }
  c += "int broken(int x { return x; }\n";
  cpp += "template <class T> class A { void f( };\n";
  python += "def broken(:\n    return [1, 2\n";
  return {{"c", c}, {"cpp", cpp}, {"python", python}};
}

TEST(ParseTableLookups, AThreadThatSwitchesLanguagesGetsTheTreesOfEachLanguageAlone) {
  const std::vector<std::pair<std::string, std::string>> sources = varied_sources();
  std::vector<std::string> alone;
  for (const auto& [language, source] : sources) {
    // A thread of its own has asked nothing about another language.
    std::thread([&alone, &language, &source] {
      ParserPool pool;
      alone.push_back(tree_text(pool, language, source));
    }).join();
  }
  std::thread([&sources, &alone] {
    ParserPool pool;
    for (int round = 0; round < 3; ++round) {
      for (std::size_t i = 0; i < sources.size(); ++i) {
        SCOPED_TRACE(sources[i].first + ", round " + std::to_string(round));
        EXPECT_EQ(tree_text(pool, sources[i].first, sources[i].second), alone[i]);
      }
    }
  }).join();
}

// Lookups that alternate between grammars ask each about the state and symbol
// numbers the others were just asked about: every answer is the one the
// grammar's own tables give, however the thread's kept answers were filled and
// evicted.
TEST(ParseTableLookups, AlternatingGrammarsGetTheAnswersOfTheirOwnTables) {
  std::vector<const TSLanguage*> grammars;
  for (const char* language : {"c", "cpp", "python", "javascript", "typescript", "rust", "go", "java"}) {
    grammars.push_back(load_grammar(language));
  }
  uint32_t states = 0;
  for (const TSLanguage* grammar : grammars) states = std::max(states, kolvex_probe_state_count(grammar));
  std::size_t wrong = 0;
  std::size_t shared_small_states = 0;  // small in two grammars or more
  for (uint32_t state = 1; state < states; ++state) {
    std::size_t small = 0;
    for (const TSLanguage* grammar : grammars) {
      if (state >= kolvex_probe_state_count(grammar)) continue;
      if (state >= kolvex_probe_large_state_count(grammar)) ++small;
      for (uint32_t symbol = 0; symbol < kolvex_probe_symbol_count(grammar); symbol += 3) {
        const auto s = static_cast<uint16_t>(state);
        const auto y = static_cast<uint16_t>(symbol);
        if (kolvex_probe_lookup(grammar, s, y) != kolvex_probe_search(grammar, s, y)) ++wrong;
      }
    }
    if (small >= 2) ++shared_small_states;
  }
  EXPECT_EQ(wrong, 0U);
  EXPECT_GT(shared_small_states, 1000U);
}

}  // namespace
}  // namespace kolvex::syntax
