#include "core/scratch_sweep.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "core/fs.h"

namespace kolvex::core {
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

TEST(ScratchSweep, AMissingParentSweepsNothing) {
  EXPECT_TRUE(remove_abandoned_scratch_dirs("/nonexistent/kolvex-sweep", "job-", UNMARKED_AGE).empty());
}

}  // namespace
}  // namespace kolvex::core
