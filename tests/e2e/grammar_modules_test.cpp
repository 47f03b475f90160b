// Every grammar module built from the pinned npm packages loads with dlopen,
// exports exactly its entry point, is accepted by the vendored runtime and parses a
// small sample of its language without error or missing nodes.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <tree_sitter/api.h>

#include <filesystem>
#include <cstring>
#include <string>
#include <vector>

#include "build_info.h"

namespace {

struct Sample {
  const char* language;
  const char* source;
};

const Sample SAMPLES[] = {
    {"python", "class A:\n    def f(self, x):\n        return x + 1\n"},
    {"javascript", "export function f(a) { return a * 2; }\nconst g = () => 1;\n"},
    {"typescript", "interface I { x: number }\nexport class C implements I { x = 1; m(): void {} }\n"},
    {"tsx", "const App = () => <div className=\"a\">{1}</div>;\n"},
    {"java", "package p;\nclass A { int f(int x) { return x; } }\n"},
    {"kotlin", "package p\nclass A {\n    fun f(x: Int): Int = x\n}\n"},
    {"swift", "struct S { func f() -> Int { return 1 } }\n"},
    {"go", "package main\n\nfunc (t *T) M() int { return 1 }\n"},
    {"ruby", "module M\n  class Foo\n    def bar; end\n  end\nend\n"},
    {"rust", "mod m { pub struct S; impl S { fn f(&self) -> i32 { 1 } } }\n"},
    {"c", "int *f(void) { return 0; }\ntypedef int A;\n"},
    {"cpp", "namespace n { class K { public: K(); ~K(); int& get(); }; }\n"},
    {"c-sharp", "namespace N { class C { void M() {} } }\n"},
    {"php", "<?php\nnamespace App\\Models;\nclass User { function f() {} }\n"},
    {"scala", "package p\nobject O { def f(x: Int): Int = x }\n"},
    {"bash", "f() { echo hi; }\nfunction g { true; }\n"},
    {"sql", "CREATE TABLE users (id INT);\nSELECT id FROM users;\n"},
};

std::filesystem::path module_path(const kolvex::build_info::GrammarModule& module) {
  return std::filesystem::path(std::string(kolvex::build_info::GRAMMAR_BUILD_DIR)) /
         std::string(module.file_name);
}

TEST(GrammarModules, EveryModuleLoadsAndParsesItsSample) {
  ASSERT_EQ(std::size(SAMPLES), std::size(kolvex::build_info::GRAMMAR_MODULES));
  for (const auto& module : kolvex::build_info::GRAMMAR_MODULES) {
    SCOPED_TRACE(std::string(module.language));
    const Sample* sample = nullptr;
    for (const auto& s : SAMPLES) {
      if (module.language == s.language) sample = &s;
    }
    ASSERT_NE(sample, nullptr);

    void* handle = dlopen(module_path(module).c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    using Factory = const TSLanguage* (*)();
    auto factory = reinterpret_cast<Factory>(dlsym(handle, std::string(module.entry_point).c_str()));
    ASSERT_NE(factory, nullptr) << dlerror();
    // Only the entry point is exported: the external scanner stays private.
    std::string scanner = std::string(module.entry_point) + "_external_scanner_create";
    EXPECT_EQ(dlsym(handle, scanner.c_str()), nullptr);

    TSParser* parser = ts_parser_new();
    ASSERT_TRUE(ts_parser_set_language(parser, factory()));
    TSTree* tree = ts_parser_parse_string(parser, nullptr, sample->source,
                                          static_cast<uint32_t>(std::strlen(sample->source)));
    ASSERT_NE(tree, nullptr);
    TSNode root = ts_tree_root_node(tree);
    char* sexp = ts_node_string(root);
    EXPECT_FALSE(ts_node_has_error(root)) << sexp;
    std::free(sexp);
    ts_tree_delete(tree);
    ts_parser_delete(parser);
    dlclose(handle);
  }
}

TEST(GrammarModules, VersionsAreRecordedForTheRuntimeAndEveryDistribution) {
  std::vector<std::string> names;
  for (const auto& row : kolvex::build_info::PACKAGE_VERSIONS) {
    EXPECT_FALSE(row.version.empty()) << row.distribution;
    names.emplace_back(row.distribution);
  }
  const std::vector<std::string> expected = {
      "tree-sitter", "tree-sitter-python", "tree-sitter-javascript", "tree-sitter-typescript",
      "tree-sitter-java", "tree-sitter-kotlin", "tree-sitter-swift", "tree-sitter-go",
      "tree-sitter-ruby", "tree-sitter-rust", "tree-sitter-c", "tree-sitter-cpp",
      "tree-sitter-c-sharp", "tree-sitter-php", "tree-sitter-scala", "tree-sitter-bash",
      "tree-sitter-sql"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(kolvex::build_info::PACKAGE_VERSIONS[0].version, "0.25.1");
}

}  // namespace
