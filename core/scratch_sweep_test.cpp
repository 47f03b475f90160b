#include "core/scratch_sweep.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/fs.h"

namespace kolvex::core {

void PrintTo(const ScratchCreator& creator, std::ostream* out) {
  *out << "{pid namespace " << creator.pid_namespace << ", pid " << creator.pid << "}";
}

namespace {

namespace fs = std::filesystem;

constexpr std::chrono::hours UNMARKED_AGE{24};

void age(const fs::path& path, std::chrono::hours by) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - by);
}

// A directory that looks like the scratch directory of a process that died: its
// mark exists and nobody holds its lock.
fs::path dead_marked(const fs::path& path) {
  fs::create_directories(path);
  write_file(path / SCRATCH_OWNER_MARK, "");
  return path;
}

TEST(ScratchSweep, RemovesOnlyDirectoriesWhoseOwnerIsGone) {
  ScratchDir parent = ScratchDir::create("kolvex-sweep-");
  ScratchDir outside = ScratchDir::create("kolvex-sweep-outside-");
  write_file(outside.path() / "keep.txt", "keep");
  const fs::path& root = parent.path();

  ScratchDir live = ScratchDir::create_marked("job-", root);
  ASSERT_TRUE(fs::exists(live.path() / SCRATCH_OWNER_MARK));

  // Removed: a dead marked directory with a locked-down subdirectory and a link
  // out of it; an unmarked one untouched for longer than the bound.
  const fs::path dead = dead_marked(root / "job-dead");
  fs::create_directories(dead / "locked" / "deeper");
  write_file(dead / "locked" / "deeper" / "copy.py", "x = 1\n");
  ::chmod((dead / "locked" / "deeper").c_str(), 0);
  ::chmod((dead / "locked").c_str(), 0);
  fs::create_directory_symlink(outside.path(), dead / "link");
  const fs::path stale = root / "job-stale";
  fs::create_directories(stale);
  write_file(stale / "syntax.db", "");
  age(stale / "syntax.db", UNMARKED_AGE + std::chrono::hours(1));
  age(stale, UNMARKED_AGE + std::chrono::hours(1));

  // Kept: an unmarked directory whose entry changed recently, a link named like
  // a scratch directory, a plain file, and a dead directory of another prefix.
  const fs::path recent = root / "job-recent";
  fs::create_directories(recent);
  write_file(recent / "syntax.db", "");
  age(recent, UNMARKED_AGE + std::chrono::hours(1));
  fs::create_directory_symlink(outside.path(), root / "job-link");
  write_file(root / "job-file", "");
  const fs::path foreign = dead_marked(root / "other-dead");

  std::vector<fs::path> removed = remove_abandoned_scratch_dirs(root, "job-", UNMARKED_AGE);

  EXPECT_EQ(removed, (std::vector<fs::path>{dead, stale}));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dead)));
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(live.path() / SCRATCH_OWNER_MARK));
  EXPECT_TRUE(fs::exists(recent));
  EXPECT_TRUE(fs::is_symlink(root / "job-link"));
  EXPECT_TRUE(fs::exists(root / "job-file"));
  EXPECT_TRUE(fs::exists(foreign));
  EXPECT_EQ(read_file(outside.path() / "keep.txt"), "keep");

  // Once its owner removed it, nothing of the live directory is left to sweep.
  fs::path live_path = live.path();
  live.remove();
  EXPECT_FALSE(fs::exists(live_path));
  EXPECT_TRUE(remove_abandoned_scratch_dirs(root, "job-", UNMARKED_AGE).empty());
}

TEST(ScratchSweep, AMarkedDirectoryIsNamedForItsCreator) {
  ScratchDir parent = ScratchDir::create("kolvex-sweep-");
  ScratchDir marked = ScratchDir::create_marked("job-", parent.path());
  const std::string name = marked.path().filename();
  EXPECT_TRUE(name.starts_with(creator_named_prefix("job-"))) << name;
  EXPECT_EQ(scratch_creator(name, "job-"), (ScratchCreator{pid_namespace_id(), ::getpid()}));
}

TEST(ScratchSweep, ReadsTheCreatorOnlyFromANameOfTheMarkedShape) {
  struct Case {
    const char* name;
    std::optional<ScratchCreator> creator;
  };
  const Case cases[] = {
      {"job-4026531836-4242-aB3dE9", ScratchCreator{4026531836, 4242}},
      {"job-0-4242-aB3dE9", ScratchCreator{0, 4242}},  // namespace unknown to its creator
      {"job-4242-aB3dE9", std::nullopt},
      {"job-4026531836-4242-aB3dE", std::nullopt},
      {"job-4026531836-4242-aB3dE9x", std::nullopt},
      {"job-4026531836-4242-aB3d_9", std::nullopt},
      {"job-4026531836--4242-aB3dE9", std::nullopt},
      {"job-4026531836-+4242-aB3dE9", std::nullopt},
      {"job-4026531836-0-aB3dE9", std::nullopt},
      {"job-4026531836-4294967296-aB3dE9", std::nullopt},
      {"job-99999999999999999999999-4242-aB3dE9", std::nullopt},
      {"job-old000", std::nullopt},
      {"other-4026531836-4242-aB3dE9", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(scratch_creator(c.name, "job-"), c.creator) << c.name;
}

// Runs a child that makes a directory named as a marked scratch directory of
// its own and dies before placing the mark, as a run killed at that instant
// would. Returns the child's process id, reaped, with no process of that id left.
pid_t leave_unmarked_directory_and_die(const fs::path& parent) {
  const pid_t child = ::fork();
  if (child == 0) {
    try {
      ScratchDir scratch = ScratchDir::create(creator_named_prefix("job-"), parent);
      ::_exit(0);  // no destructor runs: the directory stays, like after SIGKILL
    } catch (...) {
      ::_exit(1);
    }
  }
  int status = 0;
  EXPECT_GT(child, 0);
  EXPECT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return child;
}

TEST(ScratchSweep, AnUnmarkedDirectoryGoesAtOnceOnlyWhenItsNamedCreatorIsGone) {
  ScratchDir parent = ScratchDir::create("kolvex-sweep-");
  const fs::path& root = parent.path();
  const std::uint64_t own_namespace = pid_namespace_id();
  ASSERT_NE(own_namespace, 0u);
  const std::string gone = std::to_string(leave_unmarked_directory_and_die(root));
  const std::string alive = std::to_string(::getpid());
  const std::string here = std::to_string(own_namespace);
  const std::string elsewhere = std::to_string(own_namespace + 1);

  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(root)) left.push_back(entry.path());
  ASSERT_EQ(left.size(), 1u);
  ASSERT_TRUE(left[0].filename().string().starts_with("job-" + here + "-" + gone + "-")) << left[0];

  struct Case {
    std::string name;
    bool old;      // unchanged for longer than the age bound
    bool removed;
  };
  const Case cases[] = {
      {"job-" + here + "-" + gone + "-aB3dE9", false, true},
      {"job-" + here + "-" + alive + "-aB3dE9", false, false},
      {"job-" + elsewhere + "-" + gone + "-aB3dE9", false, false},
      {"job-0-" + gone + "-aB3dE9", false, false},
      {"job-" + gone + "-aB3dE9", false, false},
      {"job-" + here + "-" + gone + "-aB3d", false, false},
      {"job-" + here + "-" + gone + "-aB3dE9-copy", false, false},
      // Whatever the name says, a directory unchanged for the bound goes.
      {"job-" + here + "-" + alive + "-fG7hI0", true, true},
      {"job-" + elsewhere + "-" + gone + "-fG7hI0", true, true},
  };
  std::vector<fs::path> expected = left;
  for (const Case& c : cases) {
    const fs::path directory = root / c.name;
    fs::create_directory(directory);
    write_file(directory / "syntax.db", "");
    if (c.old) {
      age(directory / "syntax.db", UNMARKED_AGE + std::chrono::hours(1));
      age(directory, UNMARKED_AGE + std::chrono::hours(1));
    }
    if (c.removed) expected.push_back(directory);
  }
  std::sort(expected.begin(), expected.end());

  EXPECT_EQ(remove_abandoned_scratch_dirs(root, "job-", UNMARKED_AGE), expected);
  for (const Case& c : cases) EXPECT_EQ(fs::exists(root / c.name), !c.removed) << c.name;
}

TEST(ScratchSweep, AMissingParentSweepsNothing) {
  EXPECT_TRUE(remove_abandoned_scratch_dirs("/nonexistent/kolvex-sweep", "job-", UNMARKED_AGE).empty());
}

}  // namespace
}  // namespace kolvex::core
