#include "watch/watcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "core/fs.h"
#include "watch/ignore.h"

namespace kolvex::watch {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

// Upper bound for an expected event to arrive; never reached when things work.
constexpr auto EVENT_DEADLINE = seconds(20);

void write_file(const fs::path& path, const std::string& text, bool append = false) {
  std::ofstream out(path, append ? std::ios::app : std::ios::trunc);
  out << text;
}

// Records the events the watcher delivers and lets the test wait for one.
class Recorder {
 public:
  void operator()(const WatchEvent& event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
    changed_.notify_all();
  }
  // Waits until an event for `path` (with the given directory flag) arrived.
  bool wait_for(const fs::path& path, bool is_directory = false) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, EVENT_DEADLINE, [&] {
      for (const WatchEvent& e : events_) {
        if (e.src_path == path.string() && e.is_directory == is_directory) return true;
      }
      return false;
    });
  }
  std::vector<std::string> paths_under(const fs::path& directory) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> found;
    for (const WatchEvent& e : events_) {
      if (e.src_path.starts_with(directory.string() + "/")) found.push_back(e.src_path);
    }
    return found;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<WatchEvent> events_;
};

class WatcherTest : public testing::Test {
 protected:
  WatcherTest() : scratch_(core::ScratchDir::create("kolvex-watch-")), root_(fs::canonical(scratch_.path())) {}

  void start(ScheduleOptions options = {}) {
    watcher_.schedule([this](const WatchEvent& e) { recorder_(e); }, root_, std::move(options));
    watcher_.start();
  }

  core::ScratchDir scratch_;
  fs::path root_;
  Recorder recorder_;
  Watcher watcher_;
};

TEST_F(WatcherTest, FilesCreatedModifiedAndDeleted) {
  fs::create_directories(root_ / "src");
  write_file(root_ / "src" / "old.py", "x = 1\n");
  write_file(root_ / "gone.txt", "bye\n");
  start();

  write_file(root_ / "new.py", "y = 2\n");
  EXPECT_TRUE(recorder_.wait_for(root_ / "new.py"));
  write_file(root_ / "src" / "old.py", "x = 3\n", true);
  EXPECT_TRUE(recorder_.wait_for(root_ / "src" / "old.py"));
  fs::remove(root_ / "gone.txt");
  EXPECT_TRUE(recorder_.wait_for(root_ / "gone.txt"));
  watcher_.stop();
  watcher_.join();
}

TEST_F(WatcherTest, NewDirectoriesArePickedUp) {
  start();
  fs::create_directory(root_ / "pkg");
  ASSERT_TRUE(recorder_.wait_for(root_ / "pkg", true));
  write_file(root_ / "pkg" / "mod.py", "pass\n");
  EXPECT_TRUE(recorder_.wait_for(root_ / "pkg" / "mod.py"));

  // A file written at once into a freshly made nested directory, before the
  // watcher can have added its watch, is still reported.
  fs::create_directories(root_ / "a" / "b");
  write_file(root_ / "a" / "b" / "c.py", "pass\n");
  EXPECT_TRUE(recorder_.wait_for(root_ / "a" / "b" / "c.py"));
  write_file(root_ / "a" / "b" / "d.py", "pass\n");
  EXPECT_TRUE(recorder_.wait_for(root_ / "a" / "b" / "d.py"));
}

TEST_F(WatcherTest, MovedDirectoryIsWatchedUnderItsNewName) {
  fs::create_directories(root_ / "before");
  start();
  fs::rename(root_ / "before", root_ / "after");
  ASSERT_TRUE(recorder_.wait_for(root_ / "after", true));
  write_file(root_ / "after" / "x.py", "pass\n");
  EXPECT_TRUE(recorder_.wait_for(root_ / "after" / "x.py"));
  EXPECT_EQ(recorder_.paths_under(root_ / "before"), std::vector<std::string>{});
}

TEST_F(WatcherTest, SkippedDirectoriesAreNeverDescendedInto) {
  fs::create_directories(root_ / "node_modules" / "pkg");
  fs::create_directories(root_ / ".git");
  start({.skip_directory = [this](const std::string& path) { return should_ignore_repo_path(root_.string(), path); }});

  write_file(root_ / "node_modules" / "pkg" / "index.js", "1\n");
  write_file(root_ / ".git" / "index", "2\n");
  fs::create_directory(root_ / "build");
  ASSERT_TRUE(recorder_.wait_for(root_ / "build", true));
  write_file(root_ / "build" / "out.o", "3\n");
  // Events arrive in order: once the sentinel is in, anything earlier would be too.
  write_file(root_ / "sentinel.txt", "4\n");
  ASSERT_TRUE(recorder_.wait_for(root_ / "sentinel.txt"));
  EXPECT_EQ(recorder_.paths_under(root_ / "node_modules"), std::vector<std::string>{});
  EXPECT_EQ(recorder_.paths_under(root_ / ".git"), std::vector<std::string>{});
  EXPECT_EQ(recorder_.paths_under(root_ / "build"), std::vector<std::string>{});
}

TEST_F(WatcherTest, SymbolicLinksAreNotFollowed) {
  core::ScratchDir outside = core::ScratchDir::create("kolvex-watch-outside-");
  fs::create_directory_symlink(outside.path(), root_ / "link");
  start();
  write_file(outside.path() / "far.txt", "x\n");
  write_file(root_ / "sentinel.txt", "y\n");
  ASSERT_TRUE(recorder_.wait_for(root_ / "sentinel.txt"));
  EXPECT_EQ(recorder_.paths_under(root_ / "link"), std::vector<std::string>{});
}

TEST(Watcher, MissingRootFailsToStart) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-watch-");
  fs::path missing = scratch.path() / "missing";
  Watcher watcher;
  watcher.schedule([](const WatchEvent&) {}, missing);
  try {
    watcher.start();
    FAIL() << "start() did not fail";
  } catch (const WatcherError& error) {
    EXPECT_EQ(std::string(error.what()), "cannot watch " + missing.string() + ": No such file or directory");
  }
}

TEST(Watcher, StopAndJoinAreSafeWithoutStart) {
  Watcher watcher;
  watcher.stop();
  watcher.join();
}

TEST(Watcher, UnavailableWhileForced) {
  set_unavailable_for_testing(true);
  EXPECT_THROW(Watcher(), WatcherUnavailableError);
  set_unavailable_for_testing(false);
  EXPECT_NO_THROW(Watcher());
}

}  // namespace
}  // namespace kolvex::watch
