// The index handler's offer to install semantic search support, driven in process
// through its replaceable steps against a temporary repository and data directory.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/fs.h"
#include "platform/config.h"
#include "platform/registry.h"
#include "repoctl/cli/commands.h"
#include "testkit/fake_program.h"
#include "testkit/git_repo.h"

namespace kolvex::cli {
namespace {

namespace fs = std::filesystem;

struct Calls {
  int probes = 0;
  int tty_checks = 0;
  int installs = 0;
  int reads = 0;
};

class InstallOffer : public testing::Test {
 protected:
  InstallOffer()
      : home_(core::ScratchDir::create("kolvex-offer-home-")),
        bin_(testkit::FakeBin::create()),
        repo_(testkit::GitRepo::init("repo")) {
    bin_.install("zoekt-git-index");
    repo_.write("main.py", "def main():\n    pass\n");
    repo_.commit_all("initial");
    env_.emplace(testkit::EnvOverlay{{"XDG_DATA_HOME", home_.path().string()},
                                     {"PATH", bin_.path_value("/usr/bin:/bin")}});
  }

  // Steps that record their calls and answer as configured.
  OfferSteps steps(bool missing, bool tty, bool install_ok, std::optional<std::string> answer) {
    return {
        .semantic_extra_missing = [this, missing] { ++calls_.probes; return missing; },
        .at_interactive_tty = [this, tty] { ++calls_.tty_checks; return tty; },
        .install_semantic_extra = [this, install_ok] { ++calls_.installs; return install_ok; },
        .read_answer = [this, answer] { ++calls_.reads; return answer; },
    };
  }

  Namespace index_args() const {
    Namespace ns;
    ns.command = "index";
    ns.path = repo_.path().string();
    ns.scip = false;
    ns.offer_semantic = true;
    return ns;
  }

  struct Outcome {
    int status;
    std::string out;
    std::string err;
  };

  Outcome run(const Namespace& ns, const OfferSteps& offer) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = cmd_index(ns, offer);
    std::string out = testing::internal::GetCapturedStdout();
    return {status, out, testing::internal::GetCapturedStderr()};
  }

  bool declined() const {
    platform::Registry registry(platform::data_dir() / "registry.db");
    auto row = registry.get("repo");
    registry.close();
    return row && row->semantic_declined;
  }

  core::ScratchDir home_;
  testkit::FakeBin bin_;
  testkit::GitRepo repo_;
  std::optional<testkit::ScopedEnv> env_;
  Calls calls_;
};

TEST_F(InstallOffer, NoPromptWithoutATerminalOrWithTheComponentsPresentOrOnReindex) {
  Outcome away = run(index_args(), steps(true, false, true, "y"));
  EXPECT_EQ(away.status, 0);
  EXPECT_EQ(away.out, "indexed repo\n");
  Outcome present = run(index_args(), steps(false, true, true, "y"));
  EXPECT_EQ(present.out, "indexed repo\n");
  Namespace reindex = index_args();
  reindex.offer_semantic.reset();
  Outcome again = run(reindex, steps(true, true, true, "y"));
  EXPECT_EQ(again.out, "indexed repo\n");
  EXPECT_EQ(calls_.probes, 2);
  EXPECT_EQ(calls_.tty_checks, 1);
  EXPECT_EQ(calls_.reads, 0);
  EXPECT_EQ(calls_.installs, 0);
  EXPECT_FALSE(declined());
}

TEST_F(InstallOffer, RefusalsAreRecordedAndNeverAskedAgain) {
  const std::optional<std::string> refusals[] = {"ye", "n", "", "  ", std::nullopt};
  for (const auto& answer : refusals) {
    // Each refusal on a fresh registry row.
    platform::Registry registry(platform::data_dir() / "registry.db");
    registry.forget("repo");
    registry.close();
    calls_ = {};
    Outcome outcome = run(index_args(), steps(true, true, true, answer));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, std::string("indexed repo\n") + std::string(INSTALL_PROMPT));
    EXPECT_EQ(calls_.installs, 0);
    EXPECT_TRUE(declined()) << answer.value_or("<none>");
  }
  calls_ = {};
  Outcome later = run(index_args(), steps(true, true, true, "y"));
  EXPECT_EQ(later.out, "indexed repo\n");
  EXPECT_EQ(calls_.reads, 0);
}

TEST_F(InstallOffer, FailedInstallWarnsAndAsksAgainNextTime) {
  Outcome outcome = run(index_args(), steps(true, true, false, " Yes "));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(calls_.installs, 1);
  EXPECT_TRUE(outcome.err.ends_with("warning: semantic extra install failed — index completed without semantic; "
                                    "tried: uv pip install --python " +
                                    runtime_executable() + " \"kolvex-mcp[semantic]\"\n"))
      << outcome.err;
  EXPECT_FALSE(declined());
  run(index_args(), steps(true, true, false, "n"));
  EXPECT_EQ(calls_.reads, 2);
}

TEST_F(InstallOffer, AcceptedInstallRunsTheSemanticStage) {
  Outcome outcome = run(index_args(), steps(true, true, true, "YES"));
  EXPECT_EQ(outcome.status, 0);
  // The semantic components are still missing in this build: the stage says so
  // and the row is not marked.
  EXPECT_TRUE(outcome.err.ends_with("semantic indexing skipped — install kolvex-mcp[semantic] (uv tool install), "
                                    "or `uv sync --extra semantic` in a source checkout\n"))
      << outcome.err;
  platform::Registry registry(platform::data_dir() / "registry.db");
  EXPECT_FALSE(registry.get("repo")->semantic_indexed_at);
  registry.close();
}

TEST_F(InstallOffer, FailedRunWritesOnlyTheErrorLine) {
  Namespace ns = index_args();
  fs::path plain = home_.path() / "plain";
  fs::create_directories(plain);
  ns.path = plain.string();
  Outcome outcome = run(ns, steps(true, true, true, "y"));
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_TRUE(outcome.err.starts_with("error: " + plain.string() + " is not a git repository")) << outcome.err;
  EXPECT_EQ(calls_.probes, 0);
}

}  // namespace
}  // namespace kolvex::cli
