// The semantic stage and hybrid search with the real embedding runtime, on tiny
// random-weight models.
#include <gtest/gtest.h>

#include "core/fs.h"
#include "core/hash.h"
#include "embeddings/model.h"
#include "embeddings/tiny_model.h"
#include "semantic/finish.h"
#include "semantic/hybrid.h"
#include "embeddings/weights_revision.h"
#include "platform/config.h"
#include "testkit/fake_program.h"
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

  std::vector<Row> table() {
    std::vector<Row> rows;
    SemanticStore store(platform::lancedb_dir(scratch_.path()));
    for (const FileRows& file : store.rows_by_path("demo")) rows.insert(rows.end(), file.rows.begin(), file.rows.end());
    return rows;
  }
  // Writes a model under a temporary name and renames it over `path`.
  void replace_model(const std::filesystem::path& path, const embeddings::fixtures::TinyModelOptions& options) {
    const std::filesystem::path temporary = scratch_.path() / "replacement.gguf";
    embeddings::fixtures::write_tiny_model(temporary, options);
    std::filesystem::rename(temporary, path);
  }

  core::ScratchDir scratch_ = core::ScratchDir::create("semantic-real-");
  // The digest cache lives in the data directory: keep it inside the scratch directory.
  testkit::ScopedEnv data_home_{{{"XDG_DATA_HOME", (scratch_.path() / "data").string()}}};
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

TEST_F(RealModelTest, ModelFileReplacedUnderItsNameRebuildsTheTableWithTheNewWeights) {
  // One model object for every run, as in a long-lived process.
  std::shared_ptr<SemanticModel> model = make_semantic_model(model_spec(first_path_));
  index_semantic(repo_.path(), "demo", {.root = scratch_.path(), .model = model});
  struct Case {
    const char* name;
    embeddings::fixtures::TinyModelOptions options;
  };
  for (const Case& c : {Case{"same width, other weights", {.seed = 2}},
                        Case{"another width", {.seed = 3, .embedding_length = 48}},
                        Case{"a revision recorded in the file", {.seed = 4, .revision = "rev-4"}}}) {
    SCOPED_TRACE(c.name);
    replace_model(first_path_, c.options);
    // One file changes as well, so that carried and new rows meet in one table.
    repo_.write("src/lib.go", std::string("package lib\n\n// ") + c.name + "\nfunc Tokenize() {}\n");
    index_semantic(repo_.path(), "demo", {.root = scratch_.path(), .model = model});

    const std::string revision = c.options.revision.value_or(
        std::string(embeddings::DIGEST_REVISION_PREFIX) + core::sha256_hex(core::read_file(first_path_)));
    EXPECT_EQ(model->identity().second, revision);
    embeddings::EmbeddingModel fresh({.model_name = first_path_.string(), .query_prefix = "", .doc_prefix = ""});
    std::vector<Row> rows = table();
    ASSERT_FALSE(rows.empty());
    std::vector<std::string> contents;
    for (const Row& row : rows) contents.push_back(text_column(row, "content"));
    std::vector<Vector> expected = fresh.embed_texts(contents);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(text_column(rows[i], "model_revision"), revision);
      EXPECT_EQ(vector_column(rows[i], "vector"), expected[i]) << text_column(rows[i], "file_path");
    }
  }
}

TEST_F(RealModelTest, TableWhoseWeightsAreGoneIsNotQueriedWithOtherWeights) {
  index_semantic(repo_.path(), "demo",
                 {.root = scratch_.path(), .model = make_semantic_model(model_spec(first_path_))});
  replace_model(first_path_, {.seed = 2});
  try {
    semantic_search("demo", "parse", 10,
                    {.root = scratch_.path(), .model = make_semantic_model(model_spec(first_path_))});
    FAIL() << "expected the search to refuse the replaced weights";
  } catch (const std::exception& error) {
    EXPECT_TRUE(is_model_unavailable(error)) << error.what();
    EXPECT_NE(std::string(error.what()).find("has no revision sha256:"), std::string::npos) << error.what();
  }
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
