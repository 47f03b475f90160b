#include "repoctl/pipeline/errors.h"

#include <gtest/gtest.h>

namespace kolvex::pipeline {
namespace {

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

}  // namespace
}  // namespace kolvex::pipeline
