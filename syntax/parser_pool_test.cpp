// ParserPool: lazy build once per language, the dependency errors, retries.
#include "syntax/parser_pool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "syntax/grammar_loader.h"
#include "syntax/languages.h"
#include "syntax/testing.h"

namespace kolvex::syntax {
namespace {

template <typename Error, typename Body>
Error expect_error(Body body) {
  try {
    body();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "expected error was not raised";
  return Error("");
}

std::string cause_text(const core::Error& error) { return core::describe(error.cause()); }

TEST(ParserPool, BuildsOneParserPerLanguageAndReusesIt) {
  ParserPool pool;
  pool.parse("python", "x = 1\n");
  EXPECT_TRUE(pool.contains("python"));
  const std::size_t lookups = testing::version_lookups();
  const std::size_t loads = testing::module_loads();
  ParseTree tree = pool.parse("python", "def f():\n    pass\n");
  EXPECT_EQ(testing::version_lookups(), lookups);
  EXPECT_EQ(testing::module_loads(), loads);
  EXPECT_EQ(pool.size(), 1u);
  EXPECT_STREQ(ts_node_type(tree.root_node()), "module");

  pool.parse("typescript", "let a = 1;\n");
  pool.parse("tsx", "let a = <div/>;\n");
  EXPECT_EQ(pool.size(), 3u);
  EXPECT_TRUE(pool.contains("typescript"));
  EXPECT_TRUE(pool.contains("tsx"));
}

TEST(ParserPool, EveryLanguageBuilds) {
  ParserPool pool;
  for (const FactoryRow& row : FACTORIES) {
    EXPECT_NO_THROW(pool.parse(row.language, "")) << row.language;
  }
  EXPECT_EQ(pool.size(), FACTORIES.size());
}

TEST(ParserPool, UnknownLanguageFailsBeforeLoadingAndStoresNothing) {
  ParserPool pool;
  const std::size_t lookups = testing::version_lookups();
  const std::size_t loads = testing::module_loads();
  const auto error = expect_error<core::ValueError>([&] { pool.parse("cobol", "x"); });
  EXPECT_EQ(error.message().rfind("no grammar selection for language 'cobol'; expected one of: bash, ", 0), 0u);
  EXPECT_EQ(pool.size(), 0u);
  EXPECT_EQ(testing::version_lookups(), lookups);
  EXPECT_EQ(testing::module_loads(), loads);
}

TEST(ParserPool, DependencyErrorTexts) {
  const std::string missing_module = "/nonexistent/tree-sitter-python.so";
  struct Case {
    const char* title;
    void (*arrange)(const std::string& module);
    std::string message;
  };
  const Case cases[] = {
      {"runtime cannot be bound", [](const std::string&) { testing::set_runtime_unbindable(); },
       "tree-sitter runtime is not installed (required for language 'python')"},
      {"distribution not installed",
       [](const std::string&) { testing::set_not_installed("tree-sitter-python"); },
       "grammar distribution 'tree-sitter-python' (language 'python') is not installed"},
      {"module cannot be loaded",
       [](const std::string& module) { testing::set_module_path("python", module); },
       "grammar tree-sitter-python==0.25.0 for language 'python' failed to load via "
       "tree_sitter_python.language(): " +
           missing_module + ": cannot open shared object file: No such file or directory"},
      {"runtime refuses the ABI version",
       [](const std::string&) {
         testing::set_module_path("python", KOLVEX_TEST_ABI_MISMATCH_GRAMMAR);
       },
       "grammar tree-sitter-python==0.25.0 for language 'python' failed to load via "
       "tree_sitter_python.language(): Incompatible Language version 99. Must be between 13 "
       "and 15"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    testing::Overrides overrides;
    testing::set_version("tree-sitter-python", "0.25.0");
    c.arrange(missing_module);
    ParserPool pool;
    const auto error = expect_error<SyntaxDependencyError>([&] { pool.parse("python", "x"); });
    EXPECT_EQ(error.message(), c.message);
    EXPECT_NE(error.cause(), nullptr);
    EXPECT_EQ(pool.size(), 0u);
  }
}

TEST(ParserPool, LoadFailureKeepsTheLowerFailureAsCause) {
  testing::Overrides overrides;
  testing::set_module_path("python", KOLVEX_TEST_ABI_MISMATCH_GRAMMAR);
  ParserPool pool;
  const auto error = expect_error<SyntaxDependencyError>([&] { pool.parse("python", "x"); });
  EXPECT_THROW(std::rethrow_exception(error.cause()), GrammarLoadError);
  EXPECT_EQ(cause_text(error), "Incompatible Language version 99. Must be between 13 and 15");
}

TEST(ParserPool, MissingEntryPointPassesUnchanged) {
  testing::Overrides overrides;
  const std::filesystem::path c_module =
      std::filesystem::path(KOLVEX_TEST_GRAMMAR_DIR) / "tree-sitter-c.so";
  testing::set_module_path("python", c_module);
  ParserPool pool;
  EXPECT_THROW(pool.parse("python", "x"), GrammarEntryPointError);
  EXPECT_EQ(pool.size(), 0u);
}

TEST(ParserPool, FailedBuildIsRetriedInFull) {
  ParserPool pool;
  {
    testing::Overrides overrides;
    testing::set_not_installed("tree-sitter-go");
    EXPECT_THROW(pool.parse("go", "package main\n"), SyntaxDependencyError);
    const std::size_t lookups = testing::version_lookups();
    EXPECT_THROW(pool.parse("go", "package main\n"), SyntaxDependencyError);
    EXPECT_EQ(testing::version_lookups(), lookups + 1);
    EXPECT_FALSE(pool.contains("go"));
  }
  EXPECT_NO_THROW(pool.parse("go", "package main\n"));
  EXPECT_TRUE(pool.contains("go"));
}

TEST(ParserPool, SyntaxErrorsStillGiveATreeAndOffsetsAreBytes) {
  ParserPool pool;
  ParseTree broken = pool.parse("python", "def (:\n");
  EXPECT_TRUE(broken.has_error());

  // "é" is two bytes: the name after it starts at byte column 8, not 7.
  const std::string source = "s = \"\xc3\xa9\"; ab = 1\n";
  ParseTree tree = pool.parse("python", source);
  EXPECT_FALSE(tree.has_error());
  TSNode second = ts_node_named_child(tree.root_node(), 1);
  TSNode target = ts_node_child_by_field_name(ts_node_named_child(second, 0), "left", 4);
  EXPECT_EQ(ts_node_start_byte(target), source.find("ab"));
  EXPECT_EQ(ts_node_start_point(target).column, source.find("ab"));
}

TEST(ParseTree, CopiesShareTheTreeAndOutliveTheOriginal) {
  ParserPool pool;
  std::optional<ParseTree> copy;
  {
    ParseTree tree = pool.parse("python", "class A:\n    pass\n");
    copy = tree;
    ParseTree moved = std::move(tree);
    EXPECT_STREQ(ts_node_type(moved.root_node()), "module");
  }
  EXPECT_STREQ(ts_node_type(ts_node_named_child(copy->root_node(), 0)), "class_definition");
}

TEST(GrammarDirectory, EnvironmentVariableWins) {
  const char* old = std::getenv("KOLVEX_GRAMMAR_DIR");
  const std::string saved = old ? old : "";
  setenv("KOLVEX_GRAMMAR_DIR", "/somewhere/grammars", 1);
  EXPECT_EQ(grammar_directory(), std::filesystem::path("/somewhere/grammars"));
  if (old) {
    setenv("KOLVEX_GRAMMAR_DIR", saved.c_str(), 1);
  } else {
    unsetenv("KOLVEX_GRAMMAR_DIR");
  }
}

}  // namespace
}  // namespace kolvex::syntax
