// Runs of the real `kolvex` program beside each other and after real kills:
// what a killed run leaves is reclaimed, `forget` and a run of the same slug
// take turns, two slugs racing for one path end with one row, and a run that
// has to wait says so.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <set>
#include <thread>

#include "core/fs.h"
#include "core/process.h"
#include "platform/config.h"
#include "platform/registry.h"
#include "testkit/fake_program.h"
#include "testkit/git_repo.h"
#include "tests/e2e/background_child.h"
#include "tests/e2e/kolvex_fixture.h"

namespace kolvex {
namespace {

namespace fs = std::filesystem;
using testkit::EnvOverlay;
using testkit::FakeBehaviour;

constexpr int SLUG_RACE_ROUNDS = 12;

// A wait status as core::ProcessResult reports it: the exit status, or -N when
// killed by signal N; none while the child runs.
std::optional<int> returncode(std::optional<int> status) {
  if (!status) return std::nullopt;
  return WIFSIGNALED(*status) ? -WTERMSIG(*status) : WEXITSTATUS(*status);
}

// A shell snippet for a fake program: create `started`, then wait (at most a
// minute) until `release` exists.
std::string block_until(const fs::path& started, const fs::path& release) {
  return "/usr/bin/touch '" + started.string() + "'; i=0; while [ ! -e '" + release.string() +
         "' ] && [ $i -lt 1200 ]; do /bin/sleep 0.05; i=$((i+1)); done";
}

class ConcurrentRuns : public e2e::KolvexFixture {
 protected:
  ConcurrentRuns() : work_(core::ScratchDir::create("kolvex-e2e-work-")), repo_(make_repo("repo")) {}

  static testkit::GitRepo make_repo(std::string_view name) {
    testkit::GitRepo repo = testkit::GitRepo::init(name);
    repo.write("app/main.py", "class App:\n    def run(self):\n        return 1\n");
    repo.write("README.md", "# demo\n");
    repo.commit_all("initial");
    return repo;
  }

  fs::path work(const std::string& name) const { return work_.path() / name; }
  std::string waiting_line(const std::string& slug) const {
    return "kolvex: waiting for another run of " + slug + " to finish (lock " +
           (data_root() / "locks" / (slug + ".lock")).string() + ")\n";
  }

  EnvOverlay environment(const FakeBehaviour& zoekt = {}, const EnvOverlay& extra = {}) const {
    return testkit::merge_env(testkit::merge_env(base_environment(), zoekt_.env(zoekt)), extra);
  }

  core::ProcessResult kolvex(const std::vector<std::string>& args, const FakeBehaviour& zoekt = {},
                             const EnvOverlay& extra = {}) const {
    return e2e::run_kolvex(args, environment(zoekt, extra), tmp_.path());
  }

  std::unique_ptr<e2e::BackgroundChild> start(const std::string& name, const std::vector<std::string>& args,
                                              const FakeBehaviour& zoekt = {}, const EnvOverlay& extra = {}) const {
    return std::make_unique<e2e::BackgroundChild>(e2e::kolvex_command(args), environment(zoekt, extra), tmp_.path(),
                                                  work(name + ".out"), work(name + ".err"));
  }

  // True when the pointer names a database that exists.
  bool pointer_resolves(const std::string& slug) const {
    fs::path pointer = index_dir(slug) / "current";
    return fs::exists(pointer) && fs::is_regular_file(index_dir(slug) / core::read_file(pointer));
  }

  core::ScratchDir work_;
  testkit::GitRepo repo_;
};

TEST_F(ConcurrentRuns, AKilledRunsLeftoversAreRemovedByTheNextRunAndLiveRunsAreLeftAlone) {
  ASSERT_EQ(kolvex({"index", repo_.path().string(), "--no-scip"}).returncode, 0);

  // A run of another repository, blocked in its Zoekt build, owns a live scratch directory.
  testkit::GitRepo other = make_repo("other");
  auto live = start("live", {"index", other.path().string(), "--no-scip"},
                    {.run = block_until(work("live.started"), work("live.release"))});
  ASSERT_TRUE(live->wait_until([&] { return fs::exists(work("live.started")); })) << live->err();
  const std::set<std::string> live_dirs = scratch_dirs();
  ASSERT_EQ(live_dirs.size(), 1u);

  // A run killed outright in its Zoekt build leaves its scratch directory.
  core::ProcessResult killed =
      kolvex({"index", repo_.path().string(), "--no-scip"}, {.run = "kill -KILL $PPID; /bin/sleep 1"});
  ASSERT_EQ(killed.returncode, -SIGKILL) << killed.stderr_text();
  std::set<std::string> left = scratch_dirs();
  for (const std::string& name : live_dirs) left.erase(name);
  ASSERT_EQ(left.size(), 1u) << "the killed run's scratch directory stays until the next run";
  const fs::path leftover = tmp_.path() / *left.begin();

  // A link inside the leftover leads out of it: removal must not follow it.
  fs::create_directories(work("outside"));
  core::write_file(work("outside/keep.txt"), "keep");
  fs::create_directory_symlink(work("outside"), leftover / "link");
  // Scratch directories without an owner mark, as older versions made them:
  // one untouched for two days, one just made.
  const fs::path old_unmarked = tmp_.path() / "kolvex-index-old000";
  const fs::path new_unmarked = tmp_.path() / "kolvex-index-new000";
  fs::create_directories(old_unmarked / "sub");
  core::write_file(old_unmarked / "sub" / "copy.py", "x = 1\n");
  const auto two_days_ago = fs::file_time_type::clock::now() - std::chrono::hours(48);
  for (const fs::path& path : {old_unmarked / "sub" / "copy.py", old_unmarked / "sub", old_unmarked}) {
    fs::last_write_time(path, two_days_ago);
  }
  fs::create_directories(new_unmarked);
  // The temporary pointer and database copy of a publication that was killed.
  const fs::path temporary_pointer = index_dir("repo") / ".current.tmp-99999";
  core::write_file(temporary_pointer, "index-gone.db");
  const fs::path incomplete_copy = index_dir("repo") / ("index-" + repo_.head() + "-0123abcd.incomplete.db");
  core::write_file(incomplete_copy, "SQLite format 3");

  core::ProcessResult next = kolvex({"index", repo_.path().string(), "--no-scip"});
  ASSERT_EQ(next.returncode, 0) << next.stderr_text();
  EXPECT_FALSE(fs::exists(leftover));
  EXPECT_FALSE(fs::exists(old_unmarked));
  EXPECT_FALSE(fs::exists(temporary_pointer));
  EXPECT_FALSE(fs::exists(incomplete_copy));
  EXPECT_EQ(core::read_file(work("outside/keep.txt")), "keep");
  std::set<std::string> kept = live_dirs;
  kept.insert("kolvex-index-new000");
  EXPECT_EQ(scratch_dirs(), kept);
  EXPECT_TRUE(pointer_resolves("repo"));

  core::write_file(work("live.release"), "");
  EXPECT_EQ(returncode(live->wait_for_exit()), 0) << live->err();
  EXPECT_EQ(scratch_dirs(), std::set<std::string>{"kolvex-index-new000"});
  EXPECT_EQ(row("other")->status, platform::RepoStatus::INDEXED);
}

TEST_F(ConcurrentRuns, ForgetWaitsForARunningIndexThenRemovesEverything) {
  ASSERT_EQ(kolvex({"index", repo_.path().string(), "--no-scip"}).returncode, 0);
  auto index = start("index", {"index", repo_.path().string(), "--no-scip"},
                     {.run = block_until(work("index.started"), work("index.release"))});
  ASSERT_TRUE(index->wait_until([&] { return fs::exists(work("index.started")); })) << index->err();

  auto forget = start("forget", {"forget", "repo"});
  ASSERT_TRUE(forget->wait_for_error(waiting_line("repo"))) << forget->err();
  EXPECT_EQ(forget->out(), "");
  EXPECT_EQ(row("repo")->status, platform::RepoStatus::INDEXING);
  EXPECT_TRUE(pointer_resolves("repo"));

  core::write_file(work("index.release"), "");
  EXPECT_EQ(returncode(index->wait_for_exit()), 0) << index->err();
  EXPECT_EQ(returncode(forget->wait_for_exit()), 0) << forget->err();
  EXPECT_EQ(forget->out(), "forgot repo\n");
  EXPECT_EQ(forget->err(), waiting_line("repo"));
  EXPECT_FALSE(row("repo"));
  EXPECT_FALSE(fs::exists(index_dir("repo")));
  EXPECT_FALSE(fs::exists(index_dir("repo").parent_path()));
}

TEST_F(ConcurrentRuns, AnIndexStartedDuringForgetWaitsThenPublishesAfresh) {
  ASSERT_EQ(kolvex({"index", repo_.path().string(), "--no-scip"}).returncode, 0);
  // forget's `git config --unset zoekt.name` blocks until released; every other
  // git call goes straight to git.
  testkit::FakeProgram git = bin_.install("git");
  EnvOverlay blocking_git = git.env(
      {.run = "if [ \"$3\" = config ] && [ \"$4\" = --unset ]; then " +
              block_until(work("forget.started"), work("forget.release")) + "; fi; exec /usr/bin/git \"$@\""});

  auto forget = start("forget", {"forget", "repo"}, {}, blocking_git);
  ASSERT_TRUE(forget->wait_until([&] { return fs::exists(work("forget.started")); })) << forget->err();
  auto index = start("index", {"index", repo_.path().string(), "--no-scip"}, {}, blocking_git);
  ASSERT_TRUE(index->wait_for_error(waiting_line("repo"))) << index->err();
  EXPECT_EQ(index->out(), "");

  core::write_file(work("forget.release"), "");
  EXPECT_EQ(returncode(forget->wait_for_exit()), 0) << forget->err();
  EXPECT_EQ(forget->out(), "forgot repo\n");
  EXPECT_EQ(forget->err(), "");
  EXPECT_EQ(returncode(index->wait_for_exit()), 0) << index->err();
  EXPECT_EQ(index->out(), "indexed repo\n");
  EXPECT_TRUE(index->err().starts_with(waiting_line("repo"))) << index->err();
  ASSERT_TRUE(row("repo"));
  EXPECT_EQ(row("repo")->status, platform::RepoStatus::INDEXED);
  EXPECT_TRUE(pointer_resolves("repo"));
}

TEST_F(ConcurrentRuns, TwoSlugsRacingForOnePathEndWithOneRow) {
  for (int round = 0; round < SLUG_RACE_ROUNDS; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Each round starts from an empty data directory of its own.
    const fs::path home = home_.path() / ("round-" + std::to_string(round));
    EnvOverlay own_home = {{"XDG_DATA_HOME", home.string()}};
    core::ProcessResult first, second;
    std::thread a([&] { first = kolvex({"index", repo_.path().string(), "--slug", "first", "--no-scip"}, {}, own_home); });
    std::thread b([&] { second = kolvex({"index", repo_.path().string(), "--slug", "second", "--no-scip"}, {}, own_home); });
    a.join();
    b.join();

    ASSERT_EQ(first.ok() + second.ok(), 1) << first.stderr_text() << second.stderr_text();
    const bool first_won = first.ok();
    const std::string winner = first_won ? "first" : "second";
    const core::ProcessResult& loser = first_won ? second : first;
    EXPECT_EQ(loser.returncode, 1);
    EXPECT_EQ(loser.stdout_text(), "");
    EXPECT_EQ(loser.stderr_text(), "error: " + repo_.path().string() + " is already indexed as '" + winner +
                                       "'. One slug per repo — run `kolvex forget " + winner +
                                       "` first, or reindex that slug instead.\n");
    platform::Registry registry(home / "kolvex" / "registry.db");
    std::vector<platform::RegisteredRepo> rows = registry.list();
    registry.close();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].slug, winner);
    EXPECT_EQ(rows[0].status, platform::RepoStatus::INDEXED);
  }
}

}  // namespace
}  // namespace kolvex
