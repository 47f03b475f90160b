// The semantic stage and hybrid search with the real embedding runtime, on tiny
// random-weight models.
#include <gtest/gtest.h>

#include "core/fs.h"
#include "embeddings/model.h"
#include "embeddings/tiny_model.h"
#include "semantic/backend.h"
#include "semantic/finish.h"
#include "semantic/hybrid.h"
#include "testkit/git_repo.h"

namespace kolvex::semantic {
namespace {

class RealModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    embeddings::fixtures::write_tiny_model(first_path_, {.seed = 1});
    embeddings::fixtures::write_tiny_model(second_path_, {.seed = 2});
    repo_.write("src/app.py", "def helper():\n    return 2\n\n\nclass Parser:\n    def parse(self):\n        return 1\n");
    repo_.write("src/lib.go", "package lib\n\nfunc Tokenize() {}\n");
  }
  ModelSpec model_spec(const std::filesystem::path& path) const { return {path.string(), "unpinned", "", ""}; }

  core::ScratchDir scratch_ = core::ScratchDir::create("semantic-real-");
  std::filesystem::path first_path_ = scratch_.path() / "first.gguf";
  std::filesystem::path second_path_ = scratch_.path() / "second.gguf";
  testkit::GitRepo repo_ = testkit::GitRepo::init();
};

TEST_F(RealModelTest, IndexThenSearchUnderTheSameIdentity) {
  std::shared_ptr<SemanticModel> model = make_semantic_model(model_spec(first_path_));
  SemanticIndexReport report = index_semantic(repo_.path(), "demo", {.root = scratch_.path(), .model = model});
  EXPECT_EQ(report.files, 2);
  EXPECT_GE(report.rows, 2);
  EXPECT_EQ(report.truncated, 0);
  EXPECT_EQ(report.prefix_warning, std::nullopt);

  core::Json result = semantic_search("demo", "parse", 10, {.root = scratch_.path(), .model = model});
  EXPECT_EQ(result["total"], report.rows);
  EXPECT_EQ(result.count("warning"), 0u);
  for (const auto& entry : result["results"]) EXPECT_EQ(entry["sources"], core::Json::parse(R"(["vector"])"));
}

TEST_F(RealModelTest, TableOfAnotherModelIsQueriedWithAModelLoadedFromItsIdentity) {
  index_semantic(repo_.path(), "demo", {.root = scratch_.path(), .model = make_semantic_model(model_spec(first_path_))});
  core::Json result = semantic_search("demo", "parse", 10,
                                      {.root = scratch_.path(), .model = make_semantic_model(model_spec(second_path_))});
  ASSERT_TRUE(result.contains("warning"));
  EXPECT_NE(result["warning"].get<std::string>().find("differs from the index's " + first_path_.string()),
            std::string::npos);
  EXPECT_GT(result["total"].get<int>(), 0);
}

TEST_F(RealModelTest, MissingModelFileCountsAsAMissingComponent) {
  std::shared_ptr<SemanticModel> model = make_semantic_model(model_spec(scratch_.path() / "absent.gguf"));
  try {
    index_semantic(repo_.path(), "demo", {.root = scratch_.path(), .model = model});
    FAIL() << "expected the model load to fail";
  } catch (const std::exception& error) {
    EXPECT_TRUE(is_extra_missing(error)) << error.what();
  }
  EXPECT_FALSE(std::filesystem::exists(scratch_.path() / "lancedb" / "demo.lance"));
}

}  // namespace
}  // namespace kolvex::semantic
