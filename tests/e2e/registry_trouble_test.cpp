// Trouble with the data directory's registry and lock directory, end to end:
// every command that meets it prints one "error: " line naming the file and the
// remedy and exits 1; the remedy works; a reader of the registry never blocks a run.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "core/fs.h"
#include "core/process.h"
#include "core/sqlite.h"
#include "core/text.h"
#include "platform/config.h"
#include "testkit/fake_program.h"
#include "testkit/git_repo.h"
#include "tests/e2e/kolvex_fixture.h"

namespace kolvex {
namespace {

namespace fs = std::filesystem;
using testkit::EnvOverlay;

// A watch that passed its checks would run until stopped: this ends it.
constexpr auto WATCH_LIMIT = std::chrono::seconds(30);

constexpr const char* MOVE_ASIDE =
    "move it aside (the published snapshots stay) and run kolvex index again for each repository";

class RegistryTrouble : public e2e::KolvexFixture {
 protected:
  RegistryTrouble() : repo_(testkit::GitRepo::init("repo")) {
    repo_.write("app/main.py", "def main():\n    return 1\n");
    repo_.commit_all("initial");
  }

  std::string data() const { return data_root().string(); }
  fs::path registry_file() const { return data_root() / "registry.db"; }

  core::ProcessResult kolvex(const std::vector<std::string>& args) const {
    core::ProcessOptions options;
    options.env = environment();
    options.cwd = tmp_.path();
    options.timeout = WATCH_LIMIT;
    return core::run_process(e2e::kolvex_command(args), options);
  }

  void index(const testkit::GitRepo& repo, const std::vector<std::string>& extra = {}) const {
    std::vector<std::string> args = {"index", repo.path().string(), "--no-scip"};
    args.insert(args.end(), extra.begin(), extra.end());
    core::ProcessResult run = kolvex(args);
    ASSERT_EQ(run.returncode, 0) << run.stderr_text();
  }

  // The commands of the repository "repo", by name.
  std::vector<std::pair<std::string, std::vector<std::string>>> commands() const {
    return {{"index", {"index", repo_.path().string(), "--no-scip"}},
            {"reindex", {"reindex", "repo"}},
            {"list", {"list"}},
            {"status", {"status", "repo"}},
            {"forget", {"forget", "repo"}},
            {"watch", {"watch", repo_.path().string()}}};
  }

  // Each of the named commands prints exactly "error: <expected>" and exits 1.
  void expect_error_line(const std::set<std::string>& names, const std::string& expected) const {
    for (const auto& [name, args] : commands()) {
      if (!names.contains(name)) continue;
      SCOPED_TRACE(name);
      core::ProcessResult run = kolvex(args);
      EXPECT_EQ(run.returncode, 1);
      EXPECT_EQ(run.stderr_text(), "error: " + expected + "\n");
      EXPECT_EQ(run.stdout_text(), "");
    }
  }

  testkit::GitRepo repo_;
};

const std::set<std::string> EVERY_COMMAND = {"index", "reindex", "list", "status", "forget", "watch"};

TEST_F(RegistryTrouble, EveryCommandNamesTheFileAndTheRemedy) {
  struct Case {
    std::string name;
    bool indexed_first;
    std::function<void()> prepare;
    std::set<std::string> commands;
    std::string expected;
  };
  const std::string registry = registry_file().string();
  const std::string lock_dir = data() + "/locks";
  const Case cases[] = {
      {"not a database", true, [&] { core::write_file(registry_file(), "these are not the rows you look for\n"); },
       EVERY_COMMAND, "cannot open the registry " + registry + ": file is not a database — " + MOVE_ASIDE},
      {"damaged pages", true, [&] { fs::resize_file(registry_file(), 4096); }, EVERY_COMMAND,
       "cannot open the registry " + registry + ": database disk image is malformed — " + MOVE_ASIDE},
      {"a directory in its place", true,
       [&] {
         fs::remove(registry_file());
         fs::create_directories(registry_file() / "inside");
       },
       EVERY_COMMAND, "cannot open the registry " + registry + ": it is a directory — " + MOVE_ASIDE},
      {"a status from a newer version", true,
       [&] {
         core::Connection raw = core::Connection::open(registry_file());
         raw.exec("UPDATE repos SET status = 'archived'");
         raw.close();
       },
       EVERY_COMMAND,
       "cannot read the registry " + registry + ": registry column status: unknown registry status 'archived' — " +
           MOVE_ASIDE},
      {"the lock directory is a file", true,
       [&] {
         fs::remove_all(lock_dir);
         core::write_file(lock_dir, "");
       },
       {"index", "reindex", "forget", "watch"},
       "cannot create the lock directory " + lock_dir +
           ": it is not a directory — remove or rename it (the lock directory holds only empty lock files; kolvex "
           "makes it again), then run the command again"},
      {"a lock file is a directory", true, [&] {
         fs::remove(lock_dir + "/repo.lock");
         fs::create_directories(lock_dir + "/repo.lock/x");
       },
       {"index", "reindex", "forget"},
       "cannot open the lock file " + lock_dir +
           "/repo.lock: it is a directory — remove it (a lock file holds nothing; kolvex makes it again), then run "
           "the command again"},
      {"the data directory is a file", false, [&] { core::write_file(data_root(), ""); }, {"index", "watch"},
       "cannot create the lock directory " + lock_dir + ": " + data() +
           " is not a directory — move that file aside, then run the command again"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(data_root());
    if (c.indexed_first) index(repo_);
    c.prepare();
    expect_error_line(c.commands, c.expected);
  }
}

// A read-only data directory, made with a read-only bind mount (file
// permissions do not stop root).
TEST_F(RegistryTrouble, ReadOnlyDataDirectory) {
  index(repo_);
  const std::string dir = data();
  if (::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "bind mounts are not permitted here";
  }
  if (::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
    ::umount(dir.c_str());
    GTEST_SKIP() << "read-only remounts are not permitted here";
  }
  const std::string writable = " — make the data directory " + dir +
                               " and the files in it writable for this user, then run the command again";
  // index and forget take the slug's run lock before they open the registry.
  expect_error_line({"index", "forget"},
                    "cannot open the lock file " + dir + "/locks/repo.lock: Read-only file system" + writable);
  expect_error_line({"reindex", "list", "status", "watch"},
                    "cannot open the registry " + dir + "/registry.db: unable to open database file (" + dir +
                        ": Read-only file system)" + writable);
  ASSERT_EQ(::umount(dir.c_str()), 0);
  index(repo_);
}

// The remedy of a damaged registry: moving registry.db aside, alone, is enough
// for every repository to index again under its slug, even with a write-ahead
// log of the damaged file left beside it.
TEST_F(RegistryTrouble, MovingTheRegistryAsideLetsEveryRepositoryIndexAgain) {
  testkit::GitRepo other = testkit::GitRepo::init("other");
  other.write("billing.py", "class Invoice:\n    pass\n");
  other.commit_all("initial");
  index(repo_);
  index(other, {"--slug", "billing"});
  const std::string repo_pointer = pointer();

  // A log with committed pages of the registry, as a killed process leaves it.
  const fs::path stale_log = tmp_.path() / "stale-wal";
  {
    core::Connection writer = core::Connection::open(registry_file());
    writer.exec("PRAGMA wal_autocheckpoint = 0; UPDATE repos SET language = 'stale'");
    fs::copy_file(data_root() / "registry.db-wal", stale_log);
    writer.close();
  }
  core::write_file(registry_file(), "damaged\n");
  ASSERT_EQ(kolvex({"list"}).returncode, 1);

  fs::rename(registry_file(), data_root() / "registry.db.damaged");
  fs::copy_file(stale_log, data_root() / "registry.db-wal");
  index(repo_);
  index(other, {"--slug", "billing"});

  core::ProcessResult list = kolvex({"list"});
  ASSERT_EQ(list.returncode, 0) << list.stderr_text();
  const std::string head = repo_.head();
  EXPECT_EQ(list.stdout_text(), "billing\t✓ indexed\tpython\t" + other.head() + "\t" + other.path().string() +
                                    "\nrepo\t✓ indexed\tpython\t" + head + "\t" + repo_.path().string() + "\n");
  EXPECT_NE(pointer(), repo_pointer)
      << "a new snapshot was published";
  EXPECT_EQ(kolvex({"status", "billing"}).returncode, 0);
}

// A program that holds a read transaction open on registry.db across a whole run
// (a sqlite3 shell left open, a monitoring script) does not make the run fail.
TEST_F(RegistryTrouble, AReaderHoldingATransactionDoesNotBlockARun) {
  index(repo_);
  core::Connection reader = core::Connection::open(registry_file());
  reader.begin();
  ASSERT_EQ(reader.query_int("SELECT COUNT(*) FROM repos"), 1);
  const std::string before = *reader.query_text("SELECT last_indexed FROM repos WHERE slug = 'repo'");

  core::ProcessResult run = kolvex({"index", repo_.path().string(), "--no-scip"});
  EXPECT_EQ(run.returncode, 0) << run.stderr_text();
  EXPECT_EQ(reader.query_text("SELECT last_indexed FROM repos WHERE slug = 'repo'"), before)
      << "the reader keeps its own view until its transaction ends";
  reader.commit();
  reader.close();

  std::optional<platform::RegisteredRepo> row = e2e::registry_row(data_root(), "repo");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->status, platform::RepoStatus::INDEXED);
  EXPECT_NE(core::isoformat_utc(row->last_indexed), before);
}

}  // namespace
}  // namespace kolvex
