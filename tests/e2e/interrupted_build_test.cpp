// Ctrl+C while the syntax build extracts a large repository on many threads:
// the run ends by SIGINT, its scratch directory is gone, the registry row stays
// "indexing" and nothing is published.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "core/fs.h"
#include "platform/config.h"
#include "testkit/fake_program.h"
#include "testkit/git_repo.h"
#include "tests/e2e/background_child.h"
#include "tests/e2e/kolvex_fixture.h"

namespace kolvex {
namespace {

namespace fs = std::filesystem;

// Enough source that extracting it takes a good while on any machine, so the
// signal arrives while the build is still running.
constexpr int FILES = 1500;
constexpr int FUNCTIONS_PER_FILE = 120;

std::string generated_source(int file) {
  std::string text = "namespace generated_" + std::to_string(file) + " {\n";
  for (int f = 0; f < FUNCTIONS_PER_FILE; ++f) {
    std::string name = "function_" + std::to_string(f);
    text += "struct Type" + std::to_string(f) + " { int member; int method(int x) const { return x + member; } };\n";
    text += "int " + name + "(int a, int b) {\n  if (a > b) { return a - b; }\n  return b * " + std::to_string(f) +
            ";\n}\n";
  }
  return text + "}\n";
}

using InterruptedBuild = e2e::KolvexFixture;

TEST_F(InterruptedBuild, CtrlCDuringAParallelBuildLeavesNoScratchAndPublishesNothing) {
  core::ScratchDir logs = core::ScratchDir::create("kolvex-e2e-logs-");
  testkit::GitRepo repo = testkit::GitRepo::init("big");
  for (int file = 0; file < FILES; ++file) {
    repo.write("src/part" + std::to_string(file % 20) + "/unit" + std::to_string(file) + ".cpp",
               generated_source(file));
  }
  repo.commit_all("generated");

  e2e::BackgroundChild run(e2e::kolvex_command({"index", repo.path().string(), "--no-scip"}), environment(),
                           tmp_.path(), logs.path() / "out", logs.path() / "err");
  // The syntax database appears once capture is over and the build has begun.
  ASSERT_TRUE(run.wait_until([&] {
    for (const std::string& dir : scratch_dirs()) {
      if (fs::exists(tmp_.path() / dir / "syntax.db")) return true;
    }
    return false;
  })) << run.err();
  run.signal(SIGINT);
  std::optional<int> status = run.wait_for_exit();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT) << *status << "\n" << run.err();
  EXPECT_EQ(run.out(), "");
  EXPECT_TRUE(scratch_dirs().empty());
  EXPECT_EQ(row("big")->status, platform::RepoStatus::INDEXING);
  EXPECT_FALSE(fs::exists(index_dir("big") / "current"));
}

}  // namespace
}  // namespace kolvex
