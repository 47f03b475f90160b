// `kolvex index` over a published snapshot whose pages were damaged after it was
// published: the run warns once, builds every file again and publishes a sound
// snapshot, instead of failing on every run until the slug is forgotten.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/fs.h"
#include "core/process.h"
#include "core/sqlite.h"
#include "platform/config.h"
#include "testkit/damaged_db.h"
#include "testkit/fake_program.h"
#include "testkit/git_repo.h"
#include "tests/e2e/kolvex_fixture.h"

namespace kolvex {
namespace {

namespace fs = std::filesystem;

using e2e::SEMANTIC_SKIPPED;

class DamagedSnapshot : public e2e::KolvexFixture {
 protected:
  DamagedSnapshot() : repo_(testkit::GitRepo::init("repo")) {
    repo_.write("app/main.py", "class App:\n    def run(self):\n        return 1\n");
    repo_.write("app/util.py", "def helper():\n    return 2\n");
    repo_.write("app/models.py", "class User:\n    name = ''\n\n    def save(self):\n        pass\n");
    repo_.write("README.md", "# demo\n");
    repo_.commit_all("initial");
  }

  core::ProcessResult index() const { return kolvex({"index", repo_.path().string(), "--no-scip"}); }

  testkit::GitRepo repo_;
};

TEST_F(DamagedSnapshot, ADamagedTableOfThePreviousSnapshotRebuildsEveryFileWithOneWarning) {
  for (const std::string table : {"syntax_symbols", "syntax_files"}) {
    SCOPED_TRACE(table);
    core::ProcessResult first = index();
    ASSERT_EQ(first.returncode, 0) << first.stderr_text();
    const std::string before = pointer();
    const fs::path damaged = index_dir() / before;
    ASSERT_GE(testkit::overwrite_table_leaves(damaged, table), 1u);

    // One changed file; the unchanged ones would be carried from the damaged rows.
    repo_.write("app/util.py", "def helper():\n    return " + std::to_string(table.size()) + "\n");
    repo_.commit_all("change for " + table);
    core::ProcessResult run = index();
    ASSERT_EQ(run.returncode, 0) << run.stderr_text();
    EXPECT_EQ(run.stdout_text(), "indexed repo\n");
    EXPECT_EQ(run.stderr_text(), std::string(SEMANTIC_SKIPPED) + "warning: repo: the previous snapshot " +
                                     damaged.string() +
                                     " cannot be read (database disk image is malformed); rebuilding every file "
                                     "from scratch\n");

    const std::string after = pointer();
    EXPECT_NE(after, before);
    EXPECT_EQ(row("repo")->status, platform::RepoStatus::INDEXED);
    core::Connection db = core::Connection::open(index_dir() / after, {.read_only = true});
    EXPECT_EQ(db.query_text("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(db.query_int("SELECT COUNT(*) FROM syntax_files"), 4);
    EXPECT_EQ(db.query_int("SELECT COUNT(*) FROM syntax_symbols WHERE name IN ('App', 'run', 'helper', 'User', "
                           "'save')"),
              5);
  }
}

}  // namespace
}  // namespace kolvex
