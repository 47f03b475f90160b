#include "repoctl/pipeline/semantic_glue.h"

#include <gtest/gtest.h>

#include "chunker/chunk_file.h"
#include "core/diagnostics.h"
#include "core/fs.h"
#include "platform/config.h"
#include "semantic/fake_model.h"
#include "semantic/store.h"
#include "semantic/testing.h"
#include "syntax/parser_pool.h"
#include "testkit/fake_program.h"
#include "testkit/git_repo.h"

namespace kolvex::pipeline {
namespace {

using semantic::testing::FakeModel;

const std::string FAILED = "warning: semantic indexing failed (index still published): ";
const std::string SKIPPED = "semantic indexing skipped \u2014 ";

// The stage on a temporary repository and data directory, with a stand-in model.
class SemanticGlue : public ::testing::Test {
 protected:
  std::size_t stored_rows() {
    std::size_t rows = 0;
    for (const semantic::FileRows& file :
         semantic::SemanticStore(platform::lancedb_dir(data_.path())).rows_by_path("demo")) {
      rows += file.rows.size();
    }
    return rows;
  }
  // The prepare half with the stand-in model; its lines go to `diagnostics`,
  // else to lines_ of the fixture.
  std::optional<semantic::SemanticWork> prepare(const std::string& slug = "demo",
                                                core::Diagnostics* diagnostics = nullptr) {
    return detail::prepare_semantic_stage(repo_.path(), slug, data_.path(), {}, nullptr,
                                          diagnostics ? *diagnostics : lines_, model_);
  }

  core::CollectedDiagnostics lines_;

  testkit::GitRepo repo_ = testkit::GitRepo::init();
  core::ScratchDir data_ = core::ScratchDir::create("pipeline-semantic-");
  std::shared_ptr<FakeModel> model_ = std::make_shared<FakeModel>();
  syntax::ParserPool pool_;
};

TEST_F(SemanticGlue, WithoutTheComponentsThePrepareHalfPrintsTheInstallLine) {
  // No model given, and no model file in an empty data directory.
  testkit::ScopedEnv env({{"XDG_DATA_HOME", data_.path().string()}, {"KOLVEX_EMBEDDING_MODEL", std::nullopt}});
  core::CollectedDiagnostics capture;
  EXPECT_FALSE(detail::prepare_semantic_stage(repo_.path(), "demo", std::nullopt, {}, nullptr, capture));
  EXPECT_FALSE(detail::run_semantic_stage(repo_.path(), "demo", std::nullopt, {}, capture));
  const std::string line =
      "semantic indexing skipped — install kolvex-mcp[semantic] (uv tool install), or `uv sync --extra semantic` "
      "in a source checkout\n";
  EXPECT_EQ(capture.text(), line + line);
  EXPECT_EQ(semantic_stage_model(nullptr), nullptr);
  EXPECT_EQ(semantic_stage_model(model_), model_);
}

TEST_F(SemanticGlue, EveryPrepareFailureIsOneWarningLine) {
  repo_.write("a.py", "def a():\n    return 1\n");
  {
    semantic::testing::VectorStoreMissing missing;
    core::CollectedDiagnostics capture;
    EXPECT_FALSE(prepare("demo", &capture));
    EXPECT_EQ(capture.text(), FAILED + std::string(semantic::INSTALL_HINT) + "\n");
  }
  core::CollectedDiagnostics capture;
  EXPECT_FALSE(detail::prepare_semantic_stage(repo_.path(), "Not A Slug", data_.path(), {}, nullptr, capture, model_));
  EXPECT_EQ(capture.text(), FAILED + "not a usable repository slug: 'Not A Slug'\n");
}

TEST_F(SemanticGlue, FinishFailuresAreOneLineAndFalse) {
  repo_.write("a.py", "def a():\n    return 1\n");
  struct Case {
    std::function<void(FakeModel&)> fault;
    std::string line;
  };
  const std::vector<Case> cases = {
      {[](FakeModel& model) { model.missing = true; }, SKIPPED + std::string(semantic::INSTALL_HINT) + "\n"},
      {[](FakeModel& model) { model.short_by = 1; },
       FAILED + "the embedding model returned no vector for a chunk of 'a.py'\n"},
  };
  for (const Case& c : cases) {
    model_ = std::make_shared<FakeModel>();
    std::optional<semantic::SemanticWork> work = prepare();
    ASSERT_TRUE(work);
    c.fault(*model_);
    core::CollectedDiagnostics capture;
    EXPECT_FALSE(detail::finish_semantic_stage(*work, {}, pool_, capture));
    EXPECT_EQ(capture.text(), c.line);
    EXPECT_EQ(stored_rows(), 0u);
  }
}

TEST_F(SemanticGlue, StaleChunksOfAnInputWriteOneDebugLine) {
  repo_.write("a.py", "def a():\n    return 1\n");
  repo_.write("b.py", "def b():\n    return 2\n");
  std::optional<semantic::SemanticWork> probe = prepare();
  ASSERT_TRUE(probe);
  ASSERT_EQ(probe->inputs.size(), 2u);
  const std::string h1 = probe->inputs[0].file_hash;
  const std::string h2 = probe->inputs[1].file_hash;
  auto chunks = [](const std::string& path, std::vector<std::string> hashes) {
    std::vector<chunker::Chunk> out;
    for (const std::string& hash : hashes) {
      for (chunker::Chunk& chunk : chunker::chunk_file(path, "def x():\n    pass\n", hash, "python")) {
        out.push_back(std::move(chunk));
      }
    }
    return out;
  };
  const std::string stale_b =
      "debug: semantic: discarding prepared chunks for b.py — file hash changed between syntax capture and semantic "
      "finish; re-chunking from source\n";
  struct Case {
    PreparedChunks prepared;
    bool stale;
  };
  const std::vector<Case> cases = {
      {{}, false},
      {{{"a.py", {}}}, false},
      {{{"a.py", chunks("a.py", {h1, h1})}, {"b.py", chunks("b.py", {h2})}}, false},
      {{{"b.py", chunks("b.py", {h2, h2, "other", "other"})}}, true},
      {{{"c.py", chunks("c.py", {"zzz"})}}, false},
  };
  int round = 0;
  for (const Case& c : cases) {
    // A table of its own for each case: a finished table would carry both files over.
    std::optional<semantic::SemanticWork> work = prepare("demo" + std::to_string(++round));
    ASSERT_TRUE(work);
    ASSERT_EQ(work->inputs.size(), 2u);
    core::CollectedDiagnostics capture;
    EXPECT_TRUE(detail::finish_semantic_stage(*work, c.prepared, pool_, capture));
    const std::string text = capture.text();
    EXPECT_EQ(text.starts_with(stale_b), c.stale) << text;
    EXPECT_EQ(text.find("debug:", c.stale ? stale_b.size() : 0), std::string::npos) << text;
    EXPECT_NE(text.find("semantic: "), std::string::npos) << text;
  }
}

TEST_F(SemanticGlue, StandaloneRunRunsBothHalvesAndPrintsTheReport) {
  repo_.write("a.go", "package a\n");
  repo_.write("gen.go", "// Code generated by hand. DO NOT EDIT.\npackage gen\n");
  core::CollectedDiagnostics capture;
  EXPECT_TRUE(detail::run_semantic_stage(repo_.path(), "demo", data_.path(), {}, capture, model_));
  std::string err = capture.text();
  EXPECT_EQ(stored_rows(), 1u);
  EXPECT_EQ(err.substr(0, err.find("semantic: chunk tokens")),
            "semantic: 1 chunks from 1 files\nsemantic: skipped gen.go (banner:code generated by)\n");
}

TEST_F(SemanticGlue, MissingComponentsEndTheStandaloneRunWithTheSkipLine) {
  repo_.write("a.go", "package a\n");
  model_->missing = true;
  core::CollectedDiagnostics capture;
  EXPECT_FALSE(detail::run_semantic_stage(repo_.path(), "demo", data_.path(), {}, capture, model_));
  EXPECT_EQ(capture.text(), SKIPPED + std::string(semantic::INSTALL_HINT) + "\n");
  EXPECT_EQ(stored_rows(), 0u);
}

TEST_F(SemanticGlue, SharedParseChunksAreUsedInsteadOfTheFile) {
  repo_.write("a.py", "def a():\n    return 1\n");
  std::optional<semantic::SemanticWork> work = prepare();
  ASSERT_TRUE(work);
  ASSERT_EQ(work->inputs.size(), 1u);
  PreparedChunks prepared;
  prepared["a.py"] = chunker::chunk_file("a.py", "def a():\n    return 2\n", work->inputs[0].file_hash, "python",
                                         {.pool = &pool_});
  ASSERT_EQ(prepared["a.py"].size(), 1u);
  core::CollectedDiagnostics capture;
  EXPECT_TRUE(detail::finish_semantic_stage(*work, prepared, pool_, capture));
  EXPECT_TRUE(capture.text().starts_with("semantic: 1 chunks from 1 files\n")) << capture.text();
  semantic::SemanticStore store(platform::lancedb_dir(data_.path()));
  EXPECT_NE(semantic::text_column(store.rows_by_path("demo").files()[0].rows[0], "content").find("return 2"),
            std::string::npos);
}

TEST(SemanticReportLines, EveryLineInOrder) {
  using semantic::SemanticIndexReport;
  struct Case {
    SemanticIndexReport report;
    std::string output;
  };
  const std::vector<Case> cases = {
      {SemanticIndexReport{3, 2, {}, 0, std::nullopt, std::nullopt}, "semantic: 3 chunks from 2 files\n"},
      {SemanticIndexReport{3, 2, {}, std::nullopt, std::nullopt, std::string("")},
       "semantic: 3 chunks from 2 files\nsemantic: could not measure truncation\n"},
      {SemanticIndexReport{10, 4, {{"big.bin", "binary"}, {"x.py", "too large"}}, 4, semantic::TokenStats{120, 480, 900},
                           std::string("no query prefix configured for model m")},
       "semantic: 10 chunks from 4 files\n"
       "semantic: skipped big.bin (binary)\n"
       "semantic: skipped x.py (too large)\n"
       "semantic: chunk tokens p50=120 p90=480 max=900\n"
       "warning: no query prefix configured for model m\n"
       "warning: 4 chunks exceeded the model's token limit and were truncated\n"},
  };
  for (const Case& c : cases) {
    core::CollectedDiagnostics capture;
    detail::report_semantic_summary(c.report, capture);
    EXPECT_EQ(capture.text(), c.output);
  }
}

}  // namespace
}  // namespace kolvex::pipeline
