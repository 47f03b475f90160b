// Language tables, suffix rule and grammar identity.
#include "syntax/languages.h"

#include <gtest/gtest.h>

#include <set>

#include "core/hash.h"
#include "syntax/testing.h"

namespace kolvex::syntax {
namespace {

const char* const KNOWN =
    "bash, c, cpp, csharp, go, java, javascript, kotlin, php, python, ruby, rust, scala, sql, "
    "swift, tsx, typescript";

TEST(LanguageForPath, SuffixTable) {
  struct Case {
    const char* path;
    std::optional<std::string_view> language;
  };
  const Case cases[] = {
      {"a.py", "python"},          {"src/app.PY", std::nullopt},  {"Main.Java", std::nullopt},
      {"x.H", std::nullopt},       {"lib/a.b/Makefile", std::nullopt},
      {"dir.d\\Makefile", std::nullopt},                          {"dir\\file.py", "python"},
      {"types.d.ts", "typescript"}, {"bundle.min.js", "javascript"},
      {"archive.tar.gz", std::nullopt},                           {"README", std::nullopt},
      {"file.", std::nullopt},     {"", std::nullopt},            {".", std::nullopt},
      {".py", "python"},           {"pkg/.py", "python"},         {"tools/.sh", "bash"},
      {"x.h", "c"},                {"x.hpp", "cpp"},              {"x.hh", "cpp"},
      {"x.hxx", "cpp"},            {"a.jsx", "javascript"},       {"a.mjs", "javascript"},
      {"a.cjs", "javascript"},     {"a.mts", "typescript"},       {"a.cts", "typescript"},
      {"a.tsx", "tsx"},            {"a.kts", "kotlin"},           {"a.cs", "csharp"},
      {"a.sc", "scala"},           {"a.bash", "bash"},            {"a.sql", "sql"},
      {"a.cc", "cpp"},             {"a.cxx", "cpp"},              {"a.rs", "rust"},
      {"a.rb", "ruby"},            {"a.go", "go"},                {"a.swift", "swift"},
      {"a.php", "php"},            {"a.c", "c"},                  {"a.java", "java"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(language_for_path(c.path), c.language) << c.path;
  }
}

TEST(LanguageTables, EveryLanguageIsReachedBySomeSuffix) {
  std::set<std::string_view> reached;
  for (const ExtensionRow& row : LANGUAGE_EXTENSIONS) reached.insert(row.language);
  for (const FactoryRow& row : FACTORIES) EXPECT_TRUE(reached.count(row.language)) << row.language;
  EXPECT_EQ(reached.size(), FACTORIES.size());
}

TEST(Selection, UnknownLanguageListsTheSeventeenNamesWithoutCause) {
  try {
    selection("cobol");
    FAIL() << "no error";
  } catch (const core::ValueError& error) {
    EXPECT_EQ(error.message(),
              std::string("no grammar selection for language 'cobol'; expected one of: ") + KNOWN);
    EXPECT_EQ(error.cause(), nullptr);
  }
  EXPECT_EQ(selection("tsx"),
            (GrammarSelection{"tree-sitter-typescript", "tree_sitter_typescript", "language_tsx"}));
}

TEST(GrammarIdentity, IsTheDigestOfTheSortedPayload) {
  const std::string payload =
      "{\"distribution\": \"tree-sitter-python\", \"distribution_version\": \"0.25.0\", "
      "\"extractor_version\": 1, \"parser_selection\": \"tree_sitter_python.language\", "
      "\"runtime_version\": \"0.25.1\"}";
  testing::Overrides overrides;
  testing::set_version("tree-sitter", "0.25.1");
  testing::set_version("tree-sitter-python", "0.25.0");
  EXPECT_EQ(grammar_identity("python"), core::sha256_hex(payload));
}

TEST(GrammarIdentity, NonAsciiVersionTextIsEscaped) {
  const std::string payload =
      "{\"distribution\": \"tree-sitter-go\", \"distribution_version\": \"1.0-\\u00e9\\ud83d\\ude00\", "
      "\"extractor_version\": 1, \"parser_selection\": \"tree_sitter_go.language\", "
      "\"runtime_version\": \"0.25.1\"}";
  testing::Overrides overrides;
  testing::set_version("tree-sitter", "0.25.1");
  testing::set_version("tree-sitter-go", "1.0-\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_EQ(grammar_identity("go"), core::sha256_hex(payload));
}

TEST(GrammarIdentity, StableAndSensitiveToSelectionAndVersions) {
  const std::string python = grammar_identity("python");
  EXPECT_EQ(python.size(), 64u);
  EXPECT_EQ(python.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(grammar_identity("python"), python);
  EXPECT_NE(grammar_identity("typescript"), grammar_identity("tsx"));

  testing::Overrides overrides;
  testing::set_version("tree-sitter-python", "9.9.9");
  EXPECT_NE(grammar_identity("python"), python);
  testing::reset();
  testing::set_version("tree-sitter", "9.9.9");
  EXPECT_NE(grammar_identity("python"), python);
  testing::reset();
  EXPECT_EQ(grammar_identity("python"), python);
}

TEST(GrammarIdentity, MissingVersionsNameTheGrammarDistribution) {
  struct Case {
    const char* missing;
  };
  for (const char* missing : {"tree-sitter", "tree-sitter-python"}) {
    SCOPED_TRACE(missing);
    testing::Overrides overrides;
    testing::set_not_installed(missing);
    try {
      grammar_identity("python");
      FAIL() << "no error";
    } catch (const SyntaxDependencyError& error) {
      EXPECT_EQ(error.message(),
                "grammar distribution 'tree-sitter-python' (language 'python') is not installed");
      ASSERT_NE(error.cause(), nullptr);
      EXPECT_THROW(std::rethrow_exception(error.cause()), PackageNotFoundError);
    }
  }
}

TEST(GrammarIdentity, UnknownLanguageFailsBeforeAnyVersionLookup) {
  const std::size_t before = testing::version_lookups();
  EXPECT_THROW(grammar_identity("cobol"), core::ValueError);
  EXPECT_EQ(testing::version_lookups(), before);
}

}  // namespace
}  // namespace kolvex::syntax
