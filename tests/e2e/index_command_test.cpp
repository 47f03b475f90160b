// `kolvex index` end to end: the real program against temporary git repositories,
// a temporary data directory and fake external tools on PATH.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <filesystem>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "core/fs.h"
#include "core/hash.h"
#include "core/json.h"
#include "core/process.h"
#include "core/sqlite.h"
#include "core/text.h"
#include "platform/config.h"
#include "platform/registry.h"
#include "testkit/damaged_db.h"
#include "testkit/fake_program.h"
#include "testkit/git_repo.h"
#include "tests/e2e/kolvex_fixture.h"

namespace kolvex {
namespace {

namespace fs = std::filesystem;
using testkit::EnvOverlay;
using e2e::SEMANTIC_SKIPPED;
using testkit::FakeBehaviour;

// A converted SCIP database with the converter's tables and no rows.
constexpr const char* EMPTY_CONVERSION_SQL =
    "CREATE TABLE documents (id INTEGER PRIMARY KEY, relative_path TEXT NOT NULL UNIQUE);"
    "CREATE TABLE global_symbols (id INTEGER PRIMARY KEY, symbol TEXT NOT NULL UNIQUE, kind INTEGER, "
    "relationships BLOB);"
    "CREATE TABLE chunks (id INTEGER PRIMARY KEY, document_id INTEGER NOT NULL, occurrences BLOB NOT NULL);"
    "CREATE TABLE mentions (chunk_id INTEGER NOT NULL, symbol_id INTEGER NOT NULL, role INTEGER NOT NULL);"
    "CREATE TABLE defn_enclosing_ranges (id INTEGER PRIMARY KEY, document_id INTEGER NOT NULL, symbol_id INTEGER "
    "NOT NULL, start_line INTEGER NOT NULL, end_line INTEGER NOT NULL);";

class IndexCommand : public e2e::KolvexFixture {
 protected:
  IndexCommand() : repo_(testkit::GitRepo::init("repo")) {
    repo_.write("app/main.py", "class App:\n    def run(self):\n        return 1\n");
    repo_.write("app/util.py", "def helper():\n    return 2\n");
    repo_.write("README.md", "# demo\n");
    repo_.commit_all("initial");
  }

  // A run that failed revalidation: the files changed after capture read them.
  void expect_sources_changed(const core::ProcessResult& run) const {
    EXPECT_EQ(run.returncode, 1);
    EXPECT_EQ(run.stderr_text(), std::string(SEMANTIC_SKIPPED) + "error: tracked sources changed since capture in " +
                                     repo_.path().string() + "\n");
  }

  std::vector<std::string> snapshot_files(const std::string& slug) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(index_dir(slug))) {
      std::string name = entry.path().filename().string();
      if (name.starts_with("index-") && name.ends_with(".db")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // Installs a fake SCIP tool chain: `scip --version` passes the gate, the
  // indexer writes its output and `expt-convert` writes an empty conversion.
  void install_scip_without_positions() {
    auto scip = bin_.install("scip");
    auto indexer = bin_.install("scip-python");
    scip_env_ = testkit::merge_env(
        scip.env({.run = std::string("if [ \"$1\" = --version ]; then echo 0.9.1; exit 0; fi; "
                                     "out=''; while [ $# -gt 0 ]; do if [ \"$1\" = --output ]; then out=$2; fi; "
                                     "shift; done; sqlite3 \"$out\" '") +
                         EMPTY_CONVERSION_SQL + "'"}),
        indexer.env({.create_output = true}));
  }

  testkit::GitRepo repo_;
  EnvOverlay scip_env_;
};

TEST_F(IndexCommand, PythonRepositoryIndexesAndPublishes) {
  core::ProcessResult run = kolvex({"index", repo_.path().string(), "--no-scip"});
  ASSERT_EQ(run.returncode, 0) << run.stderr_text();
  EXPECT_EQ(run.stdout_text(), "indexed repo\n");
  EXPECT_EQ(run.stderr_text(), SEMANTIC_SKIPPED);

  auto stored = row("repo");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, platform::RepoStatus::INDEXED);
  EXPECT_EQ(stored->path, repo_.path().string());
  EXPECT_EQ(stored->language, "python");
  EXPECT_EQ(stored->commit_sha, repo_.head());
  EXPECT_EQ(stored->scip_state, platform::ScipState::DISABLED);
  EXPECT_FALSE(stored->scip_enabled);
  EXPECT_EQ(stored->tracked_files, 3);

  // The pointer names the one published database, whose metadata sibling and
  // facts row describe this run.
  std::string name = pointer("repo");
  EXPECT_EQ(snapshot_files("repo"), std::vector<std::string>{name});
  ASSERT_TRUE(name.starts_with("index-" + repo_.head() + "-"));
  std::string metadata_name = name.substr(0, name.size() - 3) + ".metadata.json";
  core::Json metadata = core::parse_json(core::read_file(index_dir("repo") / metadata_name));
  EXPECT_EQ(metadata["repo"], "repo");
  EXPECT_EQ(metadata["commit_sha"], repo_.head());

  core::Connection db = core::Connection::open(index_dir("repo") / name, {.read_only = true});
  auto statement = db.prepare("SELECT file_path, state FROM syntax_files ORDER BY file_path");
  std::vector<std::pair<std::string, std::string>> files;
  while (statement.step()) files.emplace_back(statement.column_text(0), statement.column_text(1));
  EXPECT_EQ(files, (std::vector<std::pair<std::string, std::string>>{
                       {"README.md", "unsupported"}, {"app/main.py", "parsed"}, {"app/util.py", "parsed"}}));
  EXPECT_EQ(db.query_int("SELECT COUNT(*) FROM syntax_symbols WHERE name IN ('App', 'run', 'helper')"), 3);
  EXPECT_EQ(db.query_text("SELECT scip_state FROM kolvex_snapshot"), "disabled");

  // zoekt-git-index was asked to index the repository into the shared shard directory.
  auto calls = zoekt_.invocations();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv, (std::vector<std::string>{"zoekt-git-index", "-index", (data_root() / ".zoekt").string(),
                                                     "-incremental=false", "-submodules=false",
                                                     repo_.path().string()}));
  EXPECT_EQ(core::strip(repo_.git({"config", "zoekt.name"}).stdout_text()), "repo");
  EXPECT_TRUE(scratch_dirs().empty());
}

// A git killed while it holds the repository's configuration lock leaves
// .git/config.lock behind, and git refuses every write of the configuration
// while it exists. A run whose zoekt.name pin is already in place writes
// nothing there, so such a lock does not fail it.
TEST_F(IndexCommand, AStaleConfigurationLockDoesNotFailARunWhosePinIsInPlace) {
  ASSERT_EQ(kolvex({"index", repo_.path().string(), "--no-scip"}).returncode, 0);
  const fs::path lock = repo_.path() / ".git" / "config.lock";
  core::write_file(lock, "");
  core::ProcessResult again = kolvex({"reindex", "repo"});
  EXPECT_EQ(again.returncode, 0) << again.stderr_text();
  EXPECT_EQ(core::strip(repo_.git({"config", "zoekt.name"}).stdout_text()), "repo");
  EXPECT_TRUE(fs::exists(lock));  // not ours to remove
}

TEST_F(IndexCommand, NonRepositoriesFailWithoutTouchingTheRegistry) {
  fs::path plain = tmp_.path() / "plain";
  fs::create_directories(plain);
  testkit::GitRepo bare = testkit::GitRepo::init_bare("bare.git");
  for (const fs::path& path : {plain, bare.path()}) {
    core::ProcessResult run = kolvex({"index", path.string()});
    EXPECT_EQ(run.returncode, 1);
    EXPECT_EQ(run.stdout_text(), "");
    EXPECT_TRUE(run.stderr_text().starts_with("error: " + path.string() + " is not a git repository (git rev-parse "
                                              "--is-inside-work-tree: "))
        << run.stderr_text();
    EXPECT_FALSE(fs::exists(data_root() / "registry.db"));
  }
}

TEST_F(IndexCommand, OneSlugPerPath) {
  ASSERT_EQ(kolvex({"index", repo_.path().string(), "--slug", "first", "--no-scip"}).returncode, 0);
  core::ProcessResult second = kolvex({"index", repo_.path().string(), "--slug", "second"});
  EXPECT_EQ(second.returncode, 1);
  EXPECT_EQ(second.stderr_text(), "error: " + repo_.path().string() +
                                      " is already indexed as 'first'. One slug per repo — run `kolvex forget first` "
                                      "first, or reindex that slug instead.\n");
  EXPECT_FALSE(row("second"));
}

TEST_F(IndexCommand, RemovedOptionExitsTwo) {
  core::ProcessResult run = kolvex({"index", repo_.path().string(), "--search-only"});
  EXPECT_EQ(run.returncode, 2);
  EXPECT_EQ(run.stderr_text(),
            "error: --search-only was removed — use --no-scip (the syntax baseline is always indexed; SCIP is optional "
            "enrichment)\n");
  EXPECT_FALSE(fs::exists(data_root()));
}

TEST_F(IndexCommand, MissingZoektFailsAndIsRecorded) {
  fs::remove(bin_.dir() / "zoekt-git-index");
  core::ProcessResult run = kolvex({"index", repo_.path().string(), "--no-scip"});
  EXPECT_EQ(run.returncode, 1);
  EXPECT_EQ(run.stdout_text(), "");
  EXPECT_EQ(run.stderr_text(), std::string(SEMANTIC_SKIPPED) +
                                   "error: zoekt-git-index failed: zoekt-git-index not found on PATH — run setup.sh\n");
  auto stored = row("repo");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, platform::RepoStatus::FAILED);
  EXPECT_EQ(stored->status_reason, "zoekt-git-index failed: zoekt-git-index not found on PATH — run setup.sh");
  EXPECT_FALSE(fs::exists(index_dir("repo") / "current"));
  EXPECT_TRUE(scratch_dirs().empty());
}

TEST_F(IndexCommand, ScipUnavailableDegradesWithOneWarning) {
  core::ProcessResult run = kolvex({"index", repo_.path().string()});
  ASSERT_EQ(run.returncode, 0) << run.stderr_text();
  EXPECT_EQ(run.stdout_text(), "indexed repo\n");
  std::string err = run.stderr_text();
  ASSERT_TRUE(err.starts_with(std::string(SEMANTIC_SKIPPED) + "warning: repo: SCIP enrichment unavailable — "))
      << err;
  EXPECT_TRUE(err.ends_with(". The syntax baseline and search were still published (exit-0 degraded).\n")) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2);
  auto stored = row("repo");
  EXPECT_EQ(stored->status, platform::RepoStatus::DEGRADED);
  EXPECT_EQ(stored->scip_state, platform::ScipState::UNAVAILABLE);
  EXPECT_EQ(stored->scip_failed_at_sha, repo_.head());
  EXPECT_TRUE(fs::exists(index_dir("repo") / pointer("repo")));
}

TEST_F(IndexCommand, ScipWithoutPositionsPublishesPartial) {
  install_scip_without_positions();
  core::ProcessResult run = kolvex({"index", repo_.path().string()}, scip_env_);
  ASSERT_EQ(run.returncode, 0) << run.stderr_text();
  EXPECT_EQ(run.stderr_text(),
            std::string(SEMANTIC_SKIPPED) +
                "warning: repo published with symbols but no navigable positions (chunks/mentions empty) — per-file "
                "navigation will return no results. Check that the indexer emits occurrence ranges and that scip is "
                ">= v0.9.0.\n");
  auto stored = row("repo");
  EXPECT_EQ(stored->status, platform::RepoStatus::PARTIAL);
  EXPECT_EQ(stored->scip_state, platform::ScipState::AVAILABLE);
  core::Connection db = core::Connection::open(index_dir("repo") / pointer("repo"), {.read_only = true});
  EXPECT_EQ(db.query_text("SELECT scip_state FROM kolvex_snapshot"), "available");
  EXPECT_EQ(db.query_int("SELECT COUNT(*) FROM syntax_files"), 3);
  EXPECT_EQ(db.query_int("SELECT COUNT(*) FROM documents"), 0);
}

TEST_F(IndexCommand, SourcesEditedDuringTheRunFailRevalidationAndKeepThePreviousSnapshot) {
  ASSERT_EQ(kolvex({"index", repo_.path().string(), "--no-scip"}).returncode, 0);
  std::string before = pointer("repo");
  zoekt_behaviour_.run = "echo '# edited' >> '" + (repo_.path() / "app/util.py").string() + "'";
  core::ProcessResult run = kolvex({"index", repo_.path().string()});
  expect_sources_changed(run);
  EXPECT_EQ(pointer("repo"), before);
  EXPECT_EQ(row("repo")->status, platform::RepoStatus::FAILED);
}

// A reindex whose previous snapshot can be neither built over (it holds a row no
// build writes) nor read (its declaration rows are damaged) still fails on
// sources edited during the run: the stages that ran beside the first attempt
// at the build do not run again when the build starts over without the previous
// snapshot, so their failure must not be dropped with that attempt.
TEST_F(IndexCommand, SourcesEditedDuringARunWhosePreviousSnapshotIsDamagedStillFailRevalidation) {
  ASSERT_EQ(kolvex({"index", repo_.path().string(), "--no-scip"}).returncode, 0);
  const std::string before = pointer("repo");
  const fs::path published = index_dir("repo") / before;
  core::Connection::open(published).exec(
      "INSERT INTO syntax_files (rowid, file_path, language, file_hash, parser_identity, in_scope, state, reason) "
      "VALUES (0, 'gone.py', 'python', NULL, NULL, 1, 'skipped', NULL)");
  testkit::overwrite_table_leaves(published, "syntax_symbols");
  // A file added to the index: only revalidation sees it, since the build reads
  // the files the capture listed.
  zoekt_behaviour_.run = "echo 'x = 1' > '" + (repo_.path() / "app/added.py").string() + "' && git -C '" +
                         repo_.path().string() + "' add app/added.py";
  core::ProcessResult run = kolvex({"index", repo_.path().string()});
  expect_sources_changed(run);
  EXPECT_EQ(pointer("repo"), before);
  EXPECT_EQ(row("repo")->status, platform::RepoStatus::FAILED);
}

TEST_F(IndexCommand, UnchangedReindexReusesEveryFile) {
  ASSERT_EQ(kolvex({"index", repo_.path().string(), "--no-scip"}).returncode, 0);
  // With every grammar unloadable, only a run that extracts nothing can succeed.
  fs::path no_grammars = tmp_.path() / "no-grammars";
  fs::create_directories(no_grammars);
  core::ProcessResult run = kolvex({"index", repo_.path().string()}, {{"KOLVEX_GRAMMAR_DIR", no_grammars.string()}});
  ASSERT_EQ(run.returncode, 0) << run.stderr_text();
  EXPECT_EQ(row("repo")->status, platform::RepoStatus::INDEXED);
  EXPECT_EQ(snapshot_files("repo").size(), 1u);

  // A changed file needs its grammar: the same environment now fails the run.
  repo_.write("app/util.py", "def helper():\n    return 3\n");
  repo_.commit_all("change");
  core::ProcessResult changed =
      kolvex({"index", repo_.path().string()}, {{"KOLVEX_GRAMMAR_DIR", no_grammars.string()}});
  EXPECT_EQ(changed.returncode, 1);
  EXPECT_NE(changed.stderr_text().find("tree-sitter-python"), std::string::npos) << changed.stderr_text();
}

// The capture record a run leaves beside its snapshot lets the next run skip
// reading files that cannot have changed; what the runs publish stays what
// reading every file gives. The files are dated in the past and the test waits
// until the clock that stamps files has passed their change times, so that the
// record is trusted.
class CaptureRecordRuns : public IndexCommand {
 protected:
  fs::path record() const { return data_root() / ".capture-records" / "repo" / "record"; }

  void make_old(const std::string& relative) const {
    const struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (repo_ / relative).c_str(), times, 0), 0);
    struct stat status {};
    ASSERT_EQ(::stat((repo_ / relative).c_str(), &status), 0);
    const std::int64_t changed = static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
    for (;;) {
      struct timespec now {};
      ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
      if (static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec > changed) break;
      ::usleep(1000);
    }
  }

  void index() const {
    core::ProcessResult run = kolvex({"index", repo_.path().string(), "--no-scip"});
    ASSERT_EQ(run.returncode, 0) << run.stderr_text();
    EXPECT_EQ(run.stderr_text(), SEMANTIC_SKIPPED);
  }

  std::optional<std::string> published_hash(const std::string& path) const {
    core::Connection db = core::Connection::open(index_dir() / pointer(), {.read_only = true});
    std::optional<std::string> hash;
    {
      core::Statement select = db.prepare("SELECT file_hash FROM syntax_files WHERE file_path = ?");
      select.bind(1, path);
      if (select.step()) hash = select.column_opt_text(0);
    }
    db.close();
    return hash;
  }

  // Changes the record's body; its digest is computed again when `sign` holds.
  void rewrite_record(const std::function<void(std::string&)>& change, bool sign = true) const {
    std::string bytes = core::read_file(record());
    std::string body = bytes.substr(0, bytes.size() - 64);
    change(body);
    core::write_file(record(), body + (sign ? core::sha256_hex(body) : bytes.substr(bytes.size() - 64)));
  }

  // Puts a wrong hash in place of the recorded hash of app/util.py.
  static void lie_about_util(std::string& body) {
    const std::size_t at = body.find(core::sha256_hex(UTIL));
    ASSERT_NE(at, std::string::npos);
    body.replace(at, 64, WRONG_HASH);
  }

  static constexpr const char* UTIL = "def helper():\n    return 2\n";
  static constexpr const char* WRONG_HASH = "eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee";
};

TEST_F(CaptureRecordRuns, AFileRewrittenWithTheSameSizeAndTimesIsReadAgain) {
  make_old("app/util.py");
  index();
  const std::string same_size = "def helper():\n    return 3\n";
  repo_.write("app/util.py", same_size);
  make_old("app/util.py");
  index();
  EXPECT_EQ(published_hash("app/util.py"), core::sha256_hex(same_size));
  index();
  EXPECT_EQ(published_hash("app/util.py"), core::sha256_hex(same_size));
}

TEST_F(CaptureRecordRuns, OnlyASoundRecordOfTheLiveSnapshotAndRepositoryIsTrusted) {
  make_old("app/util.py");
  index();
  struct Case {
    std::string name;
    std::function<void()> spoil;
  };
  // Each record lies about app/util.py: a trusted lie would make the build take
  // the file for changed, and its bytes would then fail their check.
  const std::vector<Case> cases = {
      {"a damaged record", [&] { rewrite_record(lie_about_util, /*sign=*/false); }},
      {"a record of another snapshot",
       [&] {
         rewrite_record([&](std::string& body) {
           lie_about_util(body);
           body[body.find(pointer()) + pointer().size() - 4] ^= 1;  // a digit of the generation
         });
       }},
      {"a record of another repository",
       [&] {
         rewrite_record([&](std::string& body) {
           lie_about_util(body);
           body.insert(body.find(repo_.path().string()) + repo_.path().string().size(), "2");
         });
       }},
      {"no record", [&] { fs::remove(record()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.spoil();
    index();
    EXPECT_EQ(published_hash("app/util.py"), core::sha256_hex(UTIL));
  }
  // A sound record of the live snapshot is used as it stands.
  rewrite_record(lie_about_util);
  core::ProcessResult run = kolvex({"index", repo_.path().string(), "--no-scip"});
  expect_sources_changed(run);
}

TEST_F(IndexCommand, InterruptedRunLeavesTheRowIndexingAndNoScratch) {
  ASSERT_EQ(kolvex({"index", repo_.path().string(), "--no-scip"}).returncode, 0);
  std::string before = pointer("repo");
  zoekt_behaviour_.run = "kill -INT $PPID; sleep 5";
  core::ProcessResult run = kolvex({"index", repo_.path().string()});
  EXPECT_EQ(run.returncode, -SIGINT) << run.stderr_text();
  EXPECT_EQ(run.stdout_text(), "");
  EXPECT_EQ(row("repo")->status, platform::RepoStatus::INDEXING);
  EXPECT_EQ(pointer("repo"), before);
  EXPECT_TRUE(scratch_dirs().empty());
  std::vector<std::string> records;
  for (const auto& entry : fs::directory_iterator(data_root() / ".capture-records" / "repo")) {
    records.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(records, std::vector<std::string>{"record"});
}

// A run killed between making its scratch directory and marking it as its own
// leaves an unmarked directory named after it. The next run removes it at once,
// since its creator is gone, but keeps one whose creator still lives.
TEST_F(IndexCommand, TheNextRunRemovesTheUnmarkedScratchOfADeadRun) {
  const pid_t dead = ::fork();
  ASSERT_GE(dead, 0);
  if (dead == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
  const std::string namespace_id = std::to_string(core::pid_namespace_id());
  const std::string of_dead = "kolvex-index-" + namespace_id + "-" + std::to_string(dead) + "-Ab12Cd";
  const std::string of_live = "kolvex-index-" + namespace_id + "-" + std::to_string(::getpid()) + "-Ab12Cd";
  for (const std::string& name : {of_dead, of_live}) {
    fs::create_directories(tmp_.path() / name);
    core::write_file(tmp_.path() / name / "syntax.db", "partial");
  }

  ASSERT_EQ(kolvex({"index", repo_.path().string(), "--no-scip"}).returncode, 0);
  EXPECT_EQ(scratch_dirs(), std::set<std::string>{of_live});
}

TEST_F(IndexCommand, ConcurrentRunsOfOneRepositoryTakeTurns) {
  ASSERT_EQ(kolvex({"index", repo_.path().string(), "--no-scip"}).returncode, 0);
  zoekt_behaviour_.sleep_seconds = 1;
  core::ProcessResult first, second;
  std::thread a([&] { first = kolvex({"index", repo_.path().string()}); });
  std::thread b([&] { second = kolvex({"index", repo_.path().string()}); });
  a.join();
  b.join();
  EXPECT_EQ(first.returncode, 0) << first.stderr_text();
  EXPECT_EQ(second.returncode, 0) << second.stderr_text();
  EXPECT_EQ(snapshot_files("repo"), std::vector<std::string>{pointer("repo")});
  EXPECT_EQ(row("repo")->status, platform::RepoStatus::INDEXED);
}

// A sparse checkout indexes what it has: the entries it leaves out of the
// working tree are skipped with their reason and counted nowhere, and SCIP and
// the search index still run. A tracked file deleted by hand still fails the run.
TEST_F(IndexCommand, ASparseCheckoutIndexesWhatItHas) {
  repo_.write("lib/models.py", "class Model:\n    pass\n");
  repo_.write("lib/NOTES.md", "# notes\n");
  repo_.commit_all("library");
  repo_.git({"sparse-checkout", "set", "app"});
  ASSERT_FALSE(fs::exists(repo_ / "lib"));

  core::ProcessResult run = kolvex({"index", repo_.path().string(), "--no-scip"});
  ASSERT_EQ(run.returncode, 0) << run.stderr_text();
  EXPECT_EQ(run.stdout_text(), "indexed repo\n");
  EXPECT_EQ(row("repo")->status, platform::RepoStatus::INDEXED);
  EXPECT_EQ(row("repo")->tracked_files, 5);
  core::Connection db = core::Connection::open(index_dir("repo") / pointer("repo"), {.read_only = true});
  auto statement = db.prepare("SELECT file_path, in_scope, state, reason FROM syntax_files ORDER BY file_path");
  std::vector<std::string> files;
  while (statement.step()) {
    files.push_back(statement.column_text(0) + "|" + std::to_string(statement.column_int(1)) + "|" +
                    statement.column_text(2) + "|" + (statement.is_null(3) ? "-" : statement.column_text(3)));
  }
  EXPECT_EQ(files, (std::vector<std::string>{"README.md|1|unsupported|unsupported extension", "app/main.py|1|parsed|-",
                                             "app/util.py|1|parsed|-", "lib/NOTES.md|0|skipped|outside sparse checkout",
                                             "lib/models.py|0|skipped|outside sparse checkout"}));
  EXPECT_EQ(db.query_int("SELECT COUNT(*) FROM syntax_symbols WHERE name = 'Model'"), 0);
  db.close();
  EXPECT_EQ(zoekt_.invocations().size(), 1u);

  repo_.remove("app/util.py");
  core::ProcessResult broken = kolvex({"index", repo_.path().string(), "--no-scip"});
  EXPECT_EQ(broken.returncode, 1);
  EXPECT_NE(broken.stderr_text().find("tracked file disappeared: app/util.py"), std::string::npos)
      << broken.stderr_text();
}

// A checkout can come with a configuration that names commands (a file
// monitor) and with hooks (post-index-change runs when `git status` writes back
// the index it refreshed). Neither runs during an index run: not for kolvex's
// own git, and not for a git that a tool kolvex starts runs itself.
TEST_F(IndexCommand, CommandsNamedByTheCheckoutNeverRun) {
  const fs::path marker = tmp_.path() / "ran";
  const std::string touch = "echo \"$0 $*\" >> '" + marker.string() + "'";
  repo_.git({"config", "core.fsmonitor", touch + "; false"});
  repo_.write(".git/hooks/post-index-change", "#!/bin/sh\n" + touch + "\n");
  fs::permissions(repo_ / ".git/hooks/post-index-change", fs::perms::owner_exec, fs::perm_options::add);
  // The working tree's time stamps are newer than the index: status refreshes and writes it.
  repo_.write("app/util.py", "def helper():\n    return 2\n");
  zoekt_behaviour_ = {.run = "for last; do :; done; git -C \"$last\" status --porcelain"};

  core::ProcessResult run = kolvex({"index", repo_.path().string(), "--no-scip"});
  ASSERT_EQ(run.returncode, 0) << run.stderr_text();
  EXPECT_EQ(row("repo")->status, platform::RepoStatus::INDEXED);
  ASSERT_EQ(zoekt_.invocations().size(), 1u);
  EXPECT_FALSE(fs::exists(marker)) << core::read_file(marker);

  // The same commands do run for a git started without kolvex.
  core::ProcessResult plain = core::run_process({"env", "-u", "GIT_CONFIG_COUNT", "git", "-C", repo_.path().string(),
                                                 "status", "--porcelain"});
  EXPECT_TRUE(fs::exists(marker));
}

// One listing of the index serves language detection, capture and the tracked
// blob count; revalidation lists the index afresh. With a language override
// detection is skipped and capture takes the listing itself.
TEST_F(IndexCommand, ARunListsTheIndexOnceAndOnceMoreToRevalidate) {
  testkit::FakeProgram git = bin_.install("git");
  const EnvOverlay logged_git = git.env({.run = "exec /usr/bin/git \"$@\""});
  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{}, std::vector<std::string>{"--language", "python"}}) {
    SCOPED_TRACE(core::join(extra, " "));
    git.clear_log();
    std::vector<std::string> args = {"index", repo_.path().string(), "--no-scip"};
    args.insert(args.end(), extra.begin(), extra.end());
    core::ProcessResult run = kolvex(args, logged_git);
    ASSERT_EQ(run.returncode, 0) << run.stderr_text();
    std::vector<std::string> listings;
    for (const testkit::FakeInvocation& call : git.invocations()) {
      if (std::find(call.argv.begin(), call.argv.end(), "ls-files") != call.argv.end()) {
        listings.push_back(core::join(std::vector<std::string>(call.argv.begin() + 3, call.argv.end()), " "));
      }
    }
    EXPECT_EQ(listings, (std::vector<std::string>{"ls-files --stage -t -z", "ls-files --stage -t -z"}));
    EXPECT_EQ(row("repo")->tracked_files, 3);
  }
}

}  // namespace
}  // namespace kolvex
