// Ending `kolvex index` from outside: SIGTERM and SIGHUP end a run like Ctrl+C,
// the external tools and whatever they started are stopped with it, and a
// kolvex killed outright takes its tool with it. The real program runs in the
// background against a temporary repository; the fake zoekt-git-index is a
// wrapper script that starts a grandchild and records both process ids.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <filesystem>

#include "core/fs.h"
#include "platform/config.h"
#include "testkit/fake_program.h"
#include "testkit/git_repo.h"
#include "tests/e2e/background_child.h"
#include "testkit/process_probe.h"
#include "tests/e2e/kolvex_fixture.h"

namespace kolvex {
namespace {

namespace fs = std::filesystem;
using testkit::EnvOverlay;

using e2e::SEMANTIC_SKIPPED;

class Interruption : public e2e::KolvexFixture {
 protected:
  Interruption() : logs_(core::ScratchDir::create("kolvex-e2e-logs-")), repo_(testkit::GitRepo::init("repo")) {
    repo_.write("app/main.py", "class App:\n    def run(self):\n        return 1\n");
    repo_.commit_all("initial");
  }

  fs::path tool_pid_file() const { return logs_.path() / "tool.pid"; }
  fs::path grandchild_pid_file() const { return logs_.path() / "grandchild.pid"; }

  std::unique_ptr<e2e::BackgroundChild> start(const std::vector<std::string>& args) const {
    core::remove_file_if_exists(tool_pid_file());
    core::remove_file_if_exists(grandchild_pid_file());
    return std::make_unique<e2e::BackgroundChild>(e2e::kolvex_command(args), environment(), tmp_.path(),
                                                  logs_.path() / "stdout.txt", logs_.path() / "stderr.txt");
  }

  // The fake indexer becomes a wrapper: it starts a grandchild that ignores
  // SIGTERM (only the SIGKILL after the grace ends it), records both ids and
  // waits for it.
  void tool_starts_a_stubborn_grandchild() {
    zoekt_behaviour_.run = "(trap '' TERM; exec sleep 60) & echo $! > '" + grandchild_pid_file().string() +
                           "'; echo $$ > '" + tool_pid_file().string() + "'; wait";
  }

  core::ScratchDir logs_;
  testkit::GitRepo repo_;
};

TEST_F(Interruption, TerminationAndHangUpEndTheRunLikeCtrlCAndStopTheToolsGroup) {
  ASSERT_EQ(kolvex({"index", repo_.path().string(), "--no-scip"}).returncode, 0);
  const std::string before = pointer();
  tool_starts_a_stubborn_grandchild();

  for (int number : {SIGTERM, SIGHUP, SIGINT}) {
    SCOPED_TRACE(strsignal(number));
    auto run = start({"index", repo_.path().string()});
    std::optional<pid_t> tool = testkit::wait_for_pid_file(tool_pid_file());
    std::optional<pid_t> grandchild = testkit::wait_for_pid_file(grandchild_pid_file());
    ASSERT_TRUE(tool && grandchild) << run->err();
    run->signal(number);

    std::optional<int> status = run->wait_for_exit();
    ASSERT_TRUE(status);
    // Ended by the very signal that arrived, after unwinding the run.
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == number) << *status << "\n" << run->err();
    EXPECT_EQ(run->err(), SEMANTIC_SKIPPED);
    EXPECT_EQ(row("repo")->status, platform::RepoStatus::INDEXING);
    EXPECT_EQ(pointer(), before);
    EXPECT_EQ(scratch_dirs(), std::set<std::string>{});
    // The wrapper and the grandchild that ignored SIGTERM are both gone.
    EXPECT_TRUE(testkit::process_gone_eventually(*tool));
    EXPECT_TRUE(testkit::process_gone_eventually(*grandchild));
  }

  // Nothing of the interrupted runs stands in the way of the next one.
  zoekt_behaviour_.run.clear();
  core::ProcessResult again = kolvex({"index", repo_.path().string()});
  EXPECT_EQ(again.returncode, 0) << again.stderr_text();
  EXPECT_EQ(row("repo")->status, platform::RepoStatus::INDEXED);
}

TEST_F(Interruption, KillingKolvexOutrightTakesItsToolWithIt) {
  zoekt_behaviour_.run = "echo $$ > '" + tool_pid_file().string() + "'; exec sleep 60";
  auto run = start({"index", repo_.path().string(), "--no-scip"});
  std::optional<pid_t> tool = testkit::wait_for_pid_file(tool_pid_file());
  ASSERT_TRUE(tool) << run->err();
  run->signal(SIGKILL);
  std::optional<int> status = run->wait_for_exit();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
  EXPECT_TRUE(testkit::process_gone_eventually(*tool));
}

}  // namespace
}  // namespace kolvex
