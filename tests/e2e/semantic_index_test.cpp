// `kolvex index` with the semantic stage: the real program, a tiny embedding
// model in the model store of a temporary data directory, fake external tools.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/fs.h"
#include "core/hash.h"
#include "core/process.h"
#include "embeddings/model.h"
#include "embeddings/runtime.h"
#include "embeddings/tiny_model.h"
#include "embeddings/weights_revision.h"
#include "platform/config.h"
#include "platform/registry.h"
#include "semantic/store.h"
#include "testkit/fake_program.h"
#include "testkit/git_repo.h"
#include "tests/e2e/kolvex_fixture.h"

namespace kolvex {
namespace {

namespace fs = std::filesystem;
using testkit::EnvOverlay;

class SemanticIndexCommand : public e2e::KolvexFixture {
 protected:
  SemanticIndexCommand() : repo_(testkit::GitRepo::init("repo")) {
    repo_.write("app/main.py", "class App:\n    def run(self):\n        return 1\n");
    repo_.write("app/util.go", "package app\n\nfunc Helper() int { return 2 }\n");
    repo_.write("README.md", "# demo\n");
    repo_.commit_all("initial");
  }

  // Where the model store looks for the default model under this data directory.
  fs::path default_model_file() const { return data_root() / "models" / "BAAI--bge-m3.gguf"; }

  testkit::GitRepo repo_;
};

TEST_F(SemanticIndexCommand, WithTheModelInstalledTheRunBuildsTheVectorTable) {
  embeddings::fixtures::write_tiny_model(default_model_file());
  core::ProcessResult run = kolvex({"index", repo_.path().string(), "--no-scip"});
  ASSERT_EQ(run.returncode, 0) << run.stderr_text();
  EXPECT_EQ(run.stdout_text(), "indexed repo\n");
  const std::string err = run.stderr_text();
  EXPECT_TRUE(err.starts_with("semantic: 2 chunks from 2 files\nsemantic: chunk tokens p50=")) << err;
  EXPECT_EQ(err.find("semantic indexing skipped"), std::string::npos) << err;
  EXPECT_EQ(err.find("warning:"), std::string::npos) << err;
  EXPECT_TRUE(fs::is_directory(platform::lancedb_dir(data_root()) / "repo.lance"));
  auto stored = row("repo");
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->semantic_indexed_at.has_value());

  // Nothing changed: every row carries over and nothing new is chunked.
  core::ProcessResult again = kolvex({"reindex", "repo", "--no-scip"});
  ASSERT_EQ(again.returncode, 0) << again.stderr_text();
  EXPECT_TRUE(again.stderr_text().starts_with("semantic: 2 chunks from 2 files\n")) << again.stderr_text();
  EXPECT_EQ(again.stderr_text().find("chunk tokens"), std::string::npos) << again.stderr_text();
}

TEST_F(SemanticIndexCommand, ModelFileSwappedUnderItsNameGivesATableOfTheNewModelOnly) {
  embeddings::fixtures::write_tiny_model(default_model_file(), {.seed = 1});
  core::ProcessResult first = kolvex({"index", repo_.path().string(), "--no-scip"});
  ASSERT_EQ(first.returncode, 0) << first.stderr_text();

  struct Case {
    const char* name;
    embeddings::fixtures::TinyModelOptions options;
  };
  for (const Case& c : {Case{"same width, other weights", {.seed = 2}},
                        Case{"another width", {.seed = 3, .embedding_length = 48}}}) {
    SCOPED_TRACE(c.name);
    // A new file under a temporary name renamed over the old one, as a download would.
    const fs::path temporary = data_root() / "models" / "incoming.gguf";
    embeddings::fixtures::write_tiny_model(temporary, c.options);
    fs::rename(temporary, default_model_file());
    // One file changes too, so that unchanged and changed files meet in the table.
    repo_.write("app/util.go", std::string("package app\n\n// ") + c.name + "\nfunc Helper() int { return 2 }\n");
    repo_.commit_all(c.name);

    core::ProcessResult run = kolvex({"reindex", "repo", "--no-scip"});
    ASSERT_EQ(run.returncode, 0) << run.stderr_text();
    EXPECT_TRUE(run.stderr_text().starts_with("semantic: 2 chunks from 2 files\n")) << run.stderr_text();

    semantic::SemanticStore store(platform::lancedb_dir(data_root()));
    std::vector<semantic::Row> rows;
    for (const semantic::FileRows& file : store.rows_by_path("repo")) {
      rows.insert(rows.end(), file.rows.begin(), file.rows.end());
    }
    ASSERT_EQ(rows.size(), 2u);
    const std::string revision = std::string(embeddings::DIGEST_REVISION_PREFIX) +
                                 core::sha256_hex(core::read_file(default_model_file()));
    EXPECT_EQ(store.table_identity("repo")->model_revision, revision);
    // Every vector is the new model's own for the stored text.
    embeddings::EmbeddingModel model(
        {.model_name = default_model_file().string(), .query_prefix = "", .doc_prefix = ""});
    std::vector<std::string> contents;
    for (const semantic::Row& row : rows) contents.push_back(semantic::text_column(row, "content"));
    const std::vector<std::vector<float>> expected = model.embed_texts(contents);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      SCOPED_TRACE(semantic::text_column(rows[i], "file_path"));
      EXPECT_EQ(semantic::text_column(rows[i], "model_revision"), revision);
      const semantic::Vector& stored = semantic::vector_column(rows[i], "vector");
      ASSERT_EQ(stored.size(), expected[i].size());
      for (std::size_t d = 0; d < stored.size(); ++d) EXPECT_NEAR(stored[d], expected[i][d], 1e-6) << d;
    }
  }
}

TEST_F(SemanticIndexCommand, WithoutTheModelTheStageIsSkippedBeforeItStarts) {
  core::ProcessResult run = kolvex({"index", repo_.path().string(), "--no-scip"});
  ASSERT_EQ(run.returncode, 0) << run.stderr_text();
  EXPECT_EQ(run.stderr_text(),
            "semantic indexing skipped \u2014 install kolvex-mcp[semantic] (uv tool install), or `uv sync --extra "
            "semantic` in a source checkout\n");
  EXPECT_FALSE(fs::exists(platform::lancedb_dir(data_root())));
}

}  // namespace
}  // namespace kolvex
