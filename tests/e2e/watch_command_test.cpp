// `kolvex watch` end to end: the real program watching a temporary git
// repository, with a temporary data directory and fake external tools on PATH,
// driven like a user would: edit files, then Ctrl+C.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <thread>

#include "core/error.h"
#include "core/fs.h"
#include "core/process.h"
#include "platform/config.h"
#include "platform/registry.h"
#include "repoctl/cli/commands.h"
#include "testkit/fake_program.h"
#include "testkit/git_repo.h"
#include "tests/e2e/background_child.h"
#include "tests/e2e/kolvex_fixture.h"
#include "watch/watcher.h"

namespace kolvex {
namespace {

namespace fs = std::filesystem;
using testkit::EnvOverlay;
using Child = e2e::BackgroundChild;
using e2e::SEMANTIC_SKIPPED;

constexpr const char* WATCHER_MISSING =
    "error: `watchdog` is required for `kolvex watch` — install with `uv sync --extra watch`\n";

class WatchCommand : public e2e::KolvexFixture {
 protected:
  WatchCommand() : logs_(core::ScratchDir::create("kolvex-e2e-logs-")), repo_(testkit::GitRepo::init("repo")) {
    repo_.write("app/main.py", "class App:\n    def run(self):\n        return 1\n");
    repo_.write("app/util.py", "def helper():\n    return 2\n");
    repo_.commit_all("initial");
  }

  std::unique_ptr<Child> watch(const std::vector<std::string>& args, const std::optional<fs::path>& cwd = {}) {
    std::vector<std::string> full = {"watch"};
    full.insert(full.end(), args.begin(), args.end());
    return std::make_unique<Child>(e2e::kolvex_command(full), environment(), cwd.value_or(tmp_.path()),
                                   logs_.path() / "out.txt", logs_.path() / "err.txt");
  }

  std::string start_line(const std::string& debounce) const {
    return "[watch] watching " + repo_.path().string() + " (slug=repo, debounce=" + debounce +
           "s) — Ctrl+C to stop\n";
  }

  core::ScratchDir logs_;
  testkit::GitRepo repo_;
};

constexpr const char* CHANGE_LINE = "[watch] change detected, reindexing repo ...\n";
constexpr const char* DONE_LINE = "[watch] repo reindexed\n";

bool exited_with(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

TEST_F(WatchCommand, ChangeReindexesAndCtrlCExitsZero) {
  ASSERT_EQ(kolvex({"index", repo_.path().string(), "--no-scip"}).returncode, 0);
  repo_.write("app/extra.py", "def extra():\n    return 3\n");
  std::string second = repo_.commit_all("second");

  auto child = watch({repo_.path().string(), "--debounce", "0.2", "--no-scip"});
  ASSERT_TRUE(child->wait_for_output(start_line("0.2"))) << child->out() << child->err();
  repo_.write("app/util.py", "def helper():\n    return 4\n");
  ASSERT_TRUE(child->wait_for_output(DONE_LINE)) << child->out() << child->err();
  child->signal(SIGINT);
  std::optional<int> status = child->wait_for_exit();

  EXPECT_TRUE(exited_with(status, 0)) << (status ? *status : -1);
  EXPECT_EQ(child->out(), start_line("0.2") + CHANGE_LINE + DONE_LINE);
  EXPECT_EQ(child->err(), SEMANTIC_SKIPPED);
  auto stored = row("repo");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, platform::RepoStatus::INDEXED);
  EXPECT_EQ(stored->commit_sha, second);
  EXPECT_EQ(stored->tracked_files, 3);
  EXPECT_FALSE(stored->scip_enabled);
}

TEST_F(WatchCommand, FailedReindexKeepsWatching) {
  fs::remove(bin_.dir() / "zoekt-git-index");
  auto child = watch({repo_.path().string(), "--debounce", "0.2", "--no-scip"});
  ASSERT_TRUE(child->wait_for_output(start_line("0.2"))) << child->err();
  repo_.write("app/util.py", "def helper():\n    return 5\n");
  const std::string failed =
      "[watch] reindex failed: zoekt-git-index failed: zoekt-git-index not found on PATH — run setup.sh\n";
  ASSERT_TRUE(child->wait_for_error(failed)) << child->out() << child->err();
  EXPECT_EQ(row("repo")->status, platform::RepoStatus::FAILED);

  // The next change starts a new run, which now succeeds.
  zoekt_ = bin_.install("zoekt-git-index");
  repo_.write("app/util.py", "def helper():\n    return 6\n");
  ASSERT_TRUE(child->wait_for_output(DONE_LINE)) << child->out() << child->err();
  child->signal(SIGINT);
  EXPECT_TRUE(exited_with(child->wait_for_exit(), 0));
  EXPECT_EQ(child->out(), start_line("0.2") + CHANGE_LINE + CHANGE_LINE + DONE_LINE);
  EXPECT_EQ(child->err(), std::string(SEMANTIC_SKIPPED) + failed + SEMANTIC_SKIPPED);
  EXPECT_EQ(row("repo")->status, platform::RepoStatus::INDEXED);
}

TEST_F(WatchCommand, CtrlCDuringAReindexEndsTheRunAndExitsZero) {
  // The Zoekt stand-in sends Ctrl+C to the watching program, then lingers.
  zoekt_behaviour_.run = "kill -INT $PPID; sleep 30";
  auto child = watch({repo_.path().string(), "--debounce", "0.2", "--no-scip"});
  ASSERT_TRUE(child->wait_for_output(start_line("0.2"))) << child->err();
  repo_.write("app/util.py", "def helper():\n    return 7\n");
  std::optional<int> status = child->wait_for_exit();

  EXPECT_TRUE(exited_with(status, 0)) << (status ? *status : -1);
  EXPECT_EQ(child->out(), start_line("0.2") + CHANGE_LINE);
  EXPECT_EQ(child->err(), SEMANTIC_SKIPPED);
  auto stored = row("repo");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, platform::RepoStatus::INDEXING);
  for (const auto& entry : fs::directory_iterator(tmp_.path())) {
    EXPECT_FALSE(entry.path().filename().string().starts_with("kolvex-index-")) << entry.path();
  }
}

TEST_F(WatchCommand, CurrentDirectoryAndEmptySlugUseTheDirectoryName) {
  auto child = watch({".", "--slug", ""}, repo_.path());
  ASSERT_TRUE(child->wait_for_output(start_line("5.0"))) << child->err();
  child->signal(SIGINT);
  EXPECT_TRUE(exited_with(child->wait_for_exit(), 0));
  EXPECT_EQ(child->out(), start_line("5.0"));
  EXPECT_EQ(child->err(), "");
  EXPECT_FALSE(fs::exists(data_root() / "registry.db"));
}

TEST_F(WatchCommand, UnusableSlugAndMissingDirectory) {
  std::string slug_error;
  try {
    platform::repo_slug("...");
  } catch (const core::ValueError& error) {
    slug_error = error.what();
  }
  ASSERT_FALSE(slug_error.empty());
  core::ProcessResult bad_slug = kolvex({"watch", repo_.path().string(), "--slug", "..."});
  EXPECT_EQ(bad_slug.returncode, 1);
  EXPECT_EQ(bad_slug.stdout_text(), "");
  EXPECT_EQ(bad_slug.stderr_text(), "error: " + slug_error + "\n");

  // A directory that does not exist cannot be watched: the failure is not one
  // the command expects, so it ends the program without the start line.
  fs::path missing = tmp_.path() / "missing";
  core::ProcessResult run = kolvex({"watch", missing.string()});
  EXPECT_NE(run.returncode, 0);
  EXPECT_EQ(run.stdout_text(), "");
  EXPECT_NE(run.stderr_text().find("cannot watch " + missing.string() + ": No such file or directory"),
            std::string::npos)
      << run.stderr_text();
  EXPECT_FALSE(fs::exists(data_root() / "registry.db"));
}

// Captures std::cerr while it lives.
class CerrCapture {
 public:
  CerrCapture() : previous_(std::cerr.rdbuf(buffer_.rdbuf())) {}
  ~CerrCapture() { std::cerr.rdbuf(previous_); }
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* previous_;
};

TEST(WatchHandler, MissingWatcherIsReportedBeforeAnythingElse) {
  watch::set_unavailable_for_testing(true);
  cli::Namespace args;
  args.command = "watch";
  args.path = "/does/not/exist";
  args.slug = "...";
  int status = 0;
  std::string err;
  {
    CerrCapture capture;
    status = cli::cmd_watch(args);
    err = capture.text();
  }
  watch::set_unavailable_for_testing(false);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err, WATCHER_MISSING);
}

}  // namespace
}  // namespace kolvex
