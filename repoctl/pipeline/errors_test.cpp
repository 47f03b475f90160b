#include "repoctl/pipeline/errors.h"

#include <gtest/gtest.h>

namespace kolvex::pipeline {
namespace {

TEST(PipelineTables, SuffixTableMapsEachSuffixToItsLanguageAndIndexer) {
  struct Row {
    const char* suffix;
    const char* language;
    Command command;
  };
  const std::vector<Row> expected = {
      {".ts", "typescript", {"scip-typescript", "index"}}, {".tsx", "typescript", {"scip-typescript", "index"}},
      {".py", "python", {"scip-python", "index"}},         {".java", "java", {"scip-java", "index"}},
      {".kt", "java", {"scip-java", "index"}},             {".swift", "swift", {"scip-swift"}},
  };
  const auto& table = detail::language_indexers();
  ASSERT_EQ(table.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(table[i].first, expected[i].suffix);
    EXPECT_EQ(table[i].second.language, expected[i].language);
    EXPECT_EQ(table[i].second.command, expected[i].command);
  }
  EXPECT_EQ(detail::ext_priority(), (std::vector<std::string>{".ts", ".tsx", ".py", ".java", ".kt", ".swift"}));
  for (const char* absent : {".js", ".jsx", ".kts", ".TS", "ts", ""}) {
    EXPECT_EQ(detail::indexer_for_suffix(absent), nullptr) << absent;
  }
}

TEST(PipelineTables, IndexerByLanguageHasTheFourLanguagesInTableOrder) {
  std::vector<std::string> keys;
  for (const auto& [language, command] : indexer_by_language()) keys.push_back(language);
  EXPECT_EQ(keys, (std::vector<std::string>{"typescript", "python", "java", "swift"}));
  ASSERT_NE(indexer_for("swift"), nullptr);
  EXPECT_EQ(*indexer_for("swift"), Command{"scip-swift"});
  EXPECT_EQ(*indexer_for("java"), (Command{"scip-java", "index"}));
  for (const char* other : {"kotlin", "tsx", "unknown", "", "Python"}) {
    EXPECT_FALSE(supports_scip(other)) << other;
  }
}

TEST(PipelineErrors, MissingBinaryIsAnIndexingErrorButNotTheReverse) {
  bool caught_as_indexing = false;
  try {
    throw MissingBinaryError("x");
  } catch (const IndexingError& error) {
    caught_as_indexing = true;
    EXPECT_STREQ(error.type_name(), "MissingBinaryError");
  }
  EXPECT_TRUE(caught_as_indexing);

  bool caught_as_missing = false;
  try {
    try {
      throw IndexingError("y");
    } catch (const MissingBinaryError&) {
      caught_as_missing = true;
    }
  } catch (const IndexingError& error) {
    EXPECT_EQ(error.message(), "y");
  }
  EXPECT_FALSE(caught_as_missing);
  EXPECT_STREQ(NotAGitRepositoryError("z").type_name(), "NotAGitRepositoryError");
  EXPECT_STREQ(UnsupportedLanguageError("z").type_name(), "UnsupportedLanguageError");
}

TEST(PipelineErrors, AttemptMadeWithOnlyAStateHasNothingElse) {
  ScipAttempt attempt{"available"};
  EXPECT_FALSE(attempt.reason);
  EXPECT_FALSE(attempt.stderr);
  EXPECT_FALSE(attempt.db_path);
}

TEST(AttemptFromText, ReasonIsTheFirstNonBlankLineUnchanged) {
  struct Case {
    std::string text;
    std::string state;
    std::optional<std::string> fallback;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"\n\n  error: tool crashed\nsecond line\n", "failed", std::nullopt, "  error: tool crashed"},
      {"\r\n \t\r  \n\t", "failed", std::nullopt, "failed"},
      {"", "unavailable", std::string(""), "unavailable"},
      {"", "unavailable", std::string("IndexingError"), "IndexingError"},
      {"first\r\nsecond", "failed", std::nullopt, "first"},
      {"\fword", "failed", std::nullopt, "word"},
      {"a\u2028b", "failed", std::nullopt, "a"},
      {"   \u00a0\nx", "failed", std::nullopt, "x"},
  };
  for (const Case& c : cases) {
    ScipAttempt attempt = detail::attempt_from_text(c.text, c.state, c.fallback);
    EXPECT_EQ(attempt.state, c.state);
    EXPECT_EQ(attempt.reason, c.reason) << c.text;
    EXPECT_EQ(attempt.stderr, c.text);
    EXPECT_FALSE(attempt.db_path);
  }
}

TEST(AttemptFromText, KeepsAVeryLongTextWhole) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\n";
  ScipAttempt attempt = detail::attempt_from_text(text, "failed");
  EXPECT_EQ(attempt.reason, "line 0");
  EXPECT_EQ(attempt.stderr, text);
}

TEST(AttemptFromException, UsesTheMessageOrTheTypeName) {
  MissingBinaryError missing("scip-python index failed: scip-python not found on PATH — run setup.sh");
  ScipAttempt from_missing = detail::attempt_from_exception(missing, "unavailable");
  EXPECT_EQ(from_missing.state, "unavailable");
  EXPECT_EQ(from_missing.reason, missing.message());
  EXPECT_EQ(from_missing.stderr, missing.message());

  ScipAttempt from_empty = detail::attempt_from_exception(IndexingError(""), "unavailable");
  EXPECT_EQ(from_empty.reason, "IndexingError");
  EXPECT_EQ(from_empty.stderr, "");
}

}  // namespace
}  // namespace kolvex::pipeline
