#include "repoctl/pipeline/scip_indexers.h"

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

}  // namespace
}  // namespace kolvex::pipeline
