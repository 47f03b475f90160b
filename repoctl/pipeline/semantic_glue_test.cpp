#include "repoctl/pipeline/semantic_glue.h"

#include <gtest/gtest.h>

#include "core/error.h"
#include "repoctl/pipeline/testing.h"
#include "syntax/parser_pool.h"

namespace kolvex::pipeline {
namespace {

using core::GenericError;
KOLVEX_DECLARE_ERROR(FakeExtraMissingError, GenericError);

const std::string INSTALL_HINT =
    "semantic search requires the 'semantic' extra — install kolvex-mcp[semantic] (uv tool install, or uvx "
    "--from), or `uv sync --extra semantic` in a source checkout";

// A semantic library stand-in whose halves do what the test tells them.
struct FakeSemantic {
  std::function<void()> prepare_failure;
  std::function<void()> finish_failure;
  SemanticReport report{3, 2};
  bool saw_manifest = false;
  std::size_t prepared_entries = 0;
  int finishes = 0;

  SemanticBackend backend() {
    SemanticBackend b;
    b.prepare = [this](const std::filesystem::path&, const std::string&, const std::optional<std::filesystem::path>&,
                       const std::vector<std::string>&, const declstore::SourceManifest* manifest) {
      saw_manifest = manifest != nullptr;
      if (prepare_failure) prepare_failure();
      return SemanticWork{{{"a.py", "h1"}, {"b.py", "h2"}}, nullptr};
    };
    b.parse_paths = [](const SemanticWork& work) {
      std::set<std::string> paths;
      for (const auto& input : work.inputs) paths.insert(input.file_path);
      return paths;
    };
    b.finish = [this](SemanticWork&, const PreparedChunks& chunks, syntax::ParserPool&) {
      ++finishes;
      prepared_entries = chunks.size();
      if (finish_failure) finish_failure();
      return report;
    };
    b.is_extra_missing = [](const std::exception& error) {
      return dynamic_cast<const FakeExtraMissingError*>(&error) != nullptr;
    };
    return b;
  }
};

class SemanticGlue : public ::testing::Test {
 protected:
  void TearDown() override { register_semantic_backend(std::nullopt); }
  void install() { register_semantic_backend(fake_.backend()); }

  FakeSemantic fake_;
  syntax::ParserPool pool_;
};

TEST_F(SemanticGlue, WithoutTheLibraryThePrepareHalfPrintsTheInstallLine) {
  testing::CerrCapture capture;
  EXPECT_FALSE(detail::prepare_semantic_stage("/repo", "api", std::nullopt, {}, nullptr));
  EXPECT_FALSE(detail::run_semantic_stage("/repo", "api"));
  const std::string line =
      "semantic indexing skipped — install kolvex-mcp[semantic] (uv tool install), or `uv sync --extra semantic` "
      "in a source checkout\n";
  EXPECT_EQ(capture.text(), line + line);
  SemanticWork work;
  EXPECT_THROW(detail::finish_semantic_stage(work, {}, pool_), core::Error);
  EXPECT_THROW(semantic_parse_paths(work), core::Error);
}

TEST_F(SemanticGlue, EveryPrepareFailureIsOneWarningLine) {
  install();
  struct Case {
    std::function<void()> failure;
    std::string line;
  };
  const std::vector<Case> cases = {
      {[] { throw core::GenericError("disk on fire"); },
       "warning: semantic indexing failed (index still published): disk on fire\n"},
      {[] { throw FakeExtraMissingError(INSTALL_HINT); },
       "warning: semantic indexing failed (index still published): " + INSTALL_HINT + "\n"},
      {[] { throw core::GenericError(""); }, "warning: semantic indexing failed (index still published): \n"},
  };
  for (const Case& c : cases) {
    fake_.prepare_failure = c.failure;
    testing::CerrCapture capture;
    EXPECT_FALSE(detail::prepare_semantic_stage("/repo", "api", std::nullopt, {}, nullptr));
    EXPECT_EQ(capture.text(), c.line);
  }
}

TEST_F(SemanticGlue, FinishFailuresAreOneLineAndFalse) {
  install();
  struct Case {
    std::function<void()> failure;
    std::string line;
  };
  const std::vector<Case> cases = {
      {[] { throw FakeExtraMissingError(INSTALL_HINT); }, "semantic indexing skipped — " + INSTALL_HINT + "\n"},
      {[] { throw FakeExtraMissingError(""); }, "semantic indexing skipped — \n"},
      {[] { throw core::GenericError("model exploded"); },
       "warning: semantic indexing failed (index still published): model exploded\n"},
      {[] { throw core::GenericError(""); }, "warning: semantic indexing failed (index still published): \n"},
  };
  for (const Case& c : cases) {
    fake_.finish_failure = c.failure;
    SemanticWork work{{{"a.py", "h1"}}, nullptr};
    testing::CerrCapture capture;
    EXPECT_FALSE(detail::finish_semantic_stage(work, {}, pool_));
    EXPECT_EQ(capture.text(), c.line);
  }
}

TEST_F(SemanticGlue, StaleChunksOfAnInputWriteOneDebugLine) {
  install();
  auto chunks = [](std::vector<std::string> hashes) {
    std::vector<PreparedChunk> out;
    for (auto& hash : hashes) out.push_back(PreparedChunk{hash, {}});
    return out;
  };
  const std::string stale_b =
      "debug: semantic: discarding prepared chunks for b.py — file hash changed between syntax capture and semantic "
      "finish; re-chunking from source\n";
  const std::string count_line = "semantic: 3 chunks from 2 files\nsemantic: could not measure truncation\n";
  struct Case {
    PreparedChunks prepared;
    std::string output;
  };
  const std::vector<Case> cases = {
      {{}, count_line},
      {{{"a.py", {}}}, count_line},
      {{{"a.py", chunks({"h1", "h1"})}, {"b.py", chunks({"h2"})}}, count_line},
      {{{"b.py", chunks({"h2", "h2", "other", "other"})}}, stale_b + count_line},
      {{{"c.py", chunks({"zzz"})}}, count_line},
  };
  for (const Case& c : cases) {
    SemanticWork work{{{"a.py", "h1"}, {"b.py", "h2"}}, nullptr};
    testing::CerrCapture capture;
    EXPECT_TRUE(detail::finish_semantic_stage(work, c.prepared, pool_));
    EXPECT_EQ(capture.text(), c.output);
    EXPECT_EQ(fake_.prepared_entries, c.prepared.size());
  }
}

TEST_F(SemanticGlue, StandaloneRunHasNoManifestAndNoPreparedChunks) {
  install();
  fake_.report.truncated = 0;
  testing::CerrCapture capture;
  EXPECT_TRUE(detail::run_semantic_stage("/repo", "api"));
  EXPECT_FALSE(fake_.saw_manifest);
  EXPECT_EQ(fake_.prepared_entries, 0u);
  EXPECT_EQ(capture.text(), "semantic: 3 chunks from 2 files\n");

  fake_.prepare_failure = [] { throw core::GenericError("no"); };
  EXPECT_FALSE(detail::run_semantic_stage("/repo", "api"));
  EXPECT_EQ(fake_.finishes, 1);
}

TEST_F(SemanticGlue, ParsePathsComeFromTheLibrary) {
  install();
  SemanticWork work{{{"a.py", "h1"}, {"b.py", "h2"}}, nullptr};
  EXPECT_EQ(semantic_parse_paths(work), (std::set<std::string>{"a.py", "b.py"}));
}

TEST(SemanticReportLines, EveryLineInOrder) {
  struct Case {
    SemanticReport report;
    std::string output;
  };
  const std::vector<Case> cases = {
      {SemanticReport{3, 2, {}, 0, std::nullopt, std::nullopt}, "semantic: 3 chunks from 2 files\n"},
      {SemanticReport{3, 2, {}, std::nullopt, std::nullopt, std::string("")},
       "semantic: 3 chunks from 2 files\nsemantic: could not measure truncation\n"},
      {SemanticReport{10, 4, {{"big.bin", "binary"}, {"x.py", "too large"}}, 4, TokenStatsRef{120, 480, 900},
                      std::string("no query prefix configured for model m")},
       "semantic: 10 chunks from 4 files\n"
       "semantic: skipped big.bin (binary)\n"
       "semantic: skipped x.py (too large)\n"
       "semantic: chunk tokens p50=120 p90=480 max=900\n"
       "warning: no query prefix configured for model m\n"
       "warning: 4 chunks exceeded the model's token limit and were truncated\n"},
  };
  for (const Case& c : cases) {
    testing::CerrCapture capture;
    detail::print_semantic_report(c.report);
    EXPECT_EQ(capture.text(), c.output);
  }
}

}  // namespace
}  // namespace kolvex::pipeline
