#include "platform/registry_error.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cerrno>
#include <functional>

#include "core/fs.h"
#include "core/sqlite.h"
#include "platform/registry.h"

namespace kolvex::platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* MOVE_ASIDE =
    "move it aside (the published snapshots stay) and run kolvex index again for each repository";

class RegistryErrorTest : public ::testing::Test {
 protected:
  core::ScratchDir scratch_ = core::ScratchDir::create("kolvex-registry-error-test-");
  fs::path data_ = scratch_.path() / "kolvex";
  fs::path file_ = data_ / "registry.db";
  std::string data() const { return data_.string(); }
  std::string file() const { return file_.string(); }

  // One row written by the registry, then changed behind its back by `sql`.
  void seed_row(const std::string& sql) const {
    Registry seed(file_);
    seed.upsert("api", "/r", "python", std::nullopt, RepoStatus::INDEXING);
    seed.close();
    core::Connection raw = core::Connection::open(file_);
    raw.exec(sql);
    raw.close();
  }
};

// The text of every cause a SQLite failure of the registry can have, with the
// data directory in place.
TEST_F(RegistryErrorTest, SqliteFailuresNameTheFileTheCauseAndTheRemedy) {
  fs::create_directories(data_);
  struct Case {
    std::string_view action;
    int code;
    std::string sqlite_text;
    std::string expected;
  };
  const Case cases[] = {
      {REGISTRY_OPEN, SQLITE_NOTADB, "file is not a database",
       "cannot open the registry " + file() + ": file is not a database — " + MOVE_ASIDE},
      {REGISTRY_READ, SQLITE_CORRUPT, "database disk image is malformed",
       "cannot read the registry " + file() + ": database disk image is malformed — " + MOVE_ASIDE},
      {REGISTRY_WRITE, SQLITE_READONLY, "attempt to write a readonly database",
       "cannot write to the registry " + file() + ": attempt to write a readonly database — make the data "
       "directory " + data() + " and the files in it writable for this user, then run the command again"},
      {REGISTRY_WRITE, SQLITE_READONLY_DBMOVED, "attempt to write a readonly database",
       "cannot write to the registry " + file() + ": attempt to write a readonly database (it was moved or "
       "deleted while in use) — run the command again"},
      {REGISTRY_WRITE, SQLITE_FULL, "database or disk is full",
       "cannot write to the registry " + file() + ": database or disk is full — free space on the file system "
       "that holds " + data() + ", then run the command again"},
      {REGISTRY_READ, SQLITE_IOERR_READ, "disk I/O error",
       "cannot read the registry " + file() + ": disk I/O error — check the disk that holds " + data() +
       " (the system log names the failing device), then run the command again"},
      {REGISTRY_WRITE, SQLITE_BUSY, "database is locked",
       "cannot write to the registry " + file() + ": database is locked — another program keeps a transaction "
       "open on it (another kolvex command, or a tool such as sqlite3); end that, then run the command again"},
      {REGISTRY_READ, SQLITE_ERROR, "no such column: tracked_files",
       "cannot read the registry " + file() + ": no such column: tracked_files — check the file and the data "
       "directory " + data() + ", then run the command again; if the error stays, " + MOVE_ASIDE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sqlite_text);
    const RegistryError error =
        registry_failure(file_, c.action, std::make_exception_ptr(core::SqliteError(c.sqlite_text, c.code)));
    EXPECT_EQ(error.message(), c.expected);
    EXPECT_STREQ(error.type_name(), "RegistryError");
    EXPECT_EQ(core::describe(error.cause()), c.sqlite_text) << "the SQLite failure is kept as the cause";
  }
}

// The failures of the lock directory and of a lock file, by errno.
TEST_F(RegistryErrorTest, LockFileFailuresNameTheFileTheCauseAndTheRemedy) {
  const fs::path lock = data_ / "locks" / "api.lock";
  const std::string lock_text = "cannot open the lock file " + lock.string() + ": ";
  struct Case {
    int error;
    std::string expected;
  };
  const Case cases[] = {
      {EROFS, lock_text + "Read-only file system — make " + scratch_.path().string() +
                  " writable for this user (kolvex makes its data directory " + data() +
                  " there), then run the command again"},
      {ENOSPC, lock_text + "No space left on device — free space on the file system that holds " + data() +
                   ", then run the command again"},
      {EISDIR, lock_text + "it is a directory — remove it (a lock file holds nothing; kolvex makes it again), "
                           "then run the command again"},
      {ELOOP, lock_text + "it is a symbolic link — remove it (a lock file holds nothing; kolvex makes it again), "
                          "then run the command again"},
      {EIO, lock_text + "Input/output error — check the disk that holds " + data() +
                " (the system log names the failing device), then run the command again"},
      {ENOLCK, lock_text + "No locks available — check the data directory " + data() +
                   ", then run the command again"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(lock_file_failure(lock, c.error).message(), c.expected);
  }
}

TEST_F(RegistryErrorTest, LockDirectoryInTheWayOfAFile) {
  fs::create_directories(data_);
  core::write_file(data_ / "locks", "");
  try {
    create_lock_directory(data_ / "locks");
    FAIL() << "a file named like the lock directory is refused";
  } catch (const RegistryError& error) {
    EXPECT_EQ(error.message(), "cannot create the lock directory " + data() +
                                   "/locks: it is not a directory — remove or rename it (the lock directory holds "
                                   "only empty lock files; kolvex makes it again), then run the command again");
  }
  fs::remove(data_ / "locks");
  fs::remove(data_);
  core::write_file(data_, "");
  try {
    create_lock_directory(data_ / "locks");
    FAIL() << "a file named like the data directory is refused";
  } catch (const RegistryError& error) {
    EXPECT_EQ(error.message(), "cannot create the lock directory " + data() + "/locks: " + data() +
                                   " is not a directory — move that file aside, then run the command again");
  }
  fs::remove(data_);
  create_lock_directory(data_ / "locks");
  create_lock_directory(data_ / "locks");
  EXPECT_TRUE(fs::is_directory(data_ / "locks")) << "made with the data directory, and found again";
}

// Real files: what the registry raises for each of them, on every kind of call.
TEST_F(RegistryErrorTest, RegistryRaisesItsTroubleAsRegistryError) {
  fs::create_directories(data_);
  struct Case {
    std::string name;
    std::function<void()> prepare;
    std::string expected;
  };
  const Case cases[] = {
      {"not a database", [&] { core::write_file(file_, std::string(4096, 'x')); },
       "cannot open the registry " + file() + ": file is not a database — " + MOVE_ASIDE},
      {"a directory", [&] { fs::create_directory(file_); },
       "cannot open the registry " + file() + ": it is a directory — " + MOVE_ASIDE},
      {"a malformed row", [&] { seed_row("UPDATE repos SET last_indexed = 'yesterday'"); },
       "cannot read the registry " + file() + ": registry column last_indexed holds a malformed date-time: "
       "'yesterday' — " + MOVE_ASIDE},
      // A status or SCIP state outside the vocabulary: damage, or a newer version's file.
      {"an unknown status", [&] { seed_row("UPDATE repos SET status = 'archived'"); },
       "cannot read the registry " + file() + ": registry column status: unknown registry status 'archived' — " +
           MOVE_ASIDE},
      {"an unknown SCIP stage state", [&] { seed_row("UPDATE repos SET scip_state = 'legacy'"); },
       "cannot read the registry " + file() + ": registry column scip_state: unknown SCIP stage state 'legacy' — " +
           MOVE_ASIDE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(file_);
    c.prepare();
    Registry registry(file_);
    try {
      registry.get("api");
      ADD_FAILURE() << "get succeeded";
    } catch (const RegistryError& error) {
      EXPECT_EQ(error.message(), c.expected);
      EXPECT_NE(error.cause(), nullptr);
    }
    registry.close();
  }
}

TEST_F(RegistryErrorTest, RegistryUsesTheWriteAheadLogAndSwitchesAnOlderFile) {
  fs::create_directories(data_);
  core::Connection old = core::Connection::open(file_);
  old.query_text("PRAGMA journal_mode = DELETE");
  old.close();
  Registry registry(file_);
  registry.upsert("api", "/r", "python", std::nullopt, RepoStatus::INDEXING);
  registry.close();
  core::Connection check = core::Connection::open(file_);
  EXPECT_EQ(check.query_text("PRAGMA journal_mode"), "wal");
  check.close();
}

}  // namespace
}  // namespace kolvex::platform
