// A build that starts from a copy of the previous snapshot's file writes the same
// database as one that writes every row: every row of every table, rowids
// included, the report and the callback's calls, whatever changed since the
// previous snapshot. The page check of the copy runs on a thread of its own, so
// this binary also runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/fs.h"
#include "core/sqlite.h"
#include "declstore/build.h"
#include "declstore/finalize.h"
#include "declstore/snapshot_test_support.h"
#include "syntax/syntax.h"
#include "testkit/damaged_db.h"
#include "testkit/git_repo.h"

namespace kolvex::declstore {
namespace {

namespace fs = std::filesystem;
using testkit::GitRepo;

// The previous snapshot's page size: a build from nothing uses SQLite's default,
// so the page size of a result tells whether it started from the copy.
constexpr int PREVIOUS_PAGE_SIZE = 8192;

std::string python_module(const std::string& name, int functions) {
  std::string text = "class " + name + ":\n    def run(self):\n        return 1\n";
  for (int i = 0; i < functions; ++i) text += "\ndef " + name + "_f" + std::to_string(i) + "():\n    pass\n";
  return text;
}

// The first state of the repository; every case changes it in its own way.
void write_first_state(const GitRepo& repo) {
  repo.write("a/one.py", python_module("One", 2));
  repo.write("a/two.py", python_module("Two", 3));
  repo.write("b/three.js", "export class Three {\n  render() { return 3; }\n}\nfunction makeThree() {}\n");
  repo.write("c/four.go", "package c\n\ntype Four struct{}\n\nfunc (f *Four) Run() {}\n");
  repo.write("d/five.py", python_module("Five", 1));
  repo.write("e/six.rs", "pub struct Six;\nimpl Six {\n    pub fn get(&self) {}\n}\n");
  repo.write("notes.txt", "notes\n");
  repo.write("y/big.py", python_module("Big", 60));
  repo.write("z/last.py", python_module("Last", 2));
}

// Every row of every table in rowid order, rowids included, and the schema.
std::vector<std::string> every_row(const fs::path& db) {
  std::vector<std::string> rows = testing::build_rows(db);
  core::Connection conn = core::Connection::open(db, {.read_only = true});
  for (std::string& entry :
       testing::rows_of(conn, "SELECT 'schema', name, quote(sql) FROM sqlite_master ORDER BY type, name")) {
    rows.push_back(std::move(entry));
  }
  return rows;
}

std::int64_t page_size(const fs::path& db) {
  core::Connection conn = core::Connection::open(db, {.read_only = true});
  return *conn.query_int("PRAGMA page_size");
}

// One call of the callback.
using Call = std::tuple<std::string, std::string, std::string>;

struct Built {
  SyntaxBuildReport report;
  std::vector<std::string> rows;
  std::vector<Call> calls;
  std::int64_t page_size = 0;
  // For each call of the caller's work alongside the build: the callback's calls
  // made before it.
  std::vector<std::size_t> alongside_after_calls;
};

Built build(const fs::path& db, const SourceManifest& manifest, core::Connection& previous, bool copy_previous,
            unsigned workers, LayoutRead* layout = nullptr, CopyAhead* copy = nullptr) {
  syntax::ParserPool pool;
  Built built;
  BuildOptions options;
  options.previous = &previous;
  options.copy_previous = copy_previous;
  options.workers = workers;
  options.previous_layout = layout;
  options.previous_copy = copy;
  options.parse_for = {"a/one.py", "a/two.py", "c/four.go", "c/added.py", "z/last.py"};
  options.on_parsed = [&built](const CapturedFile& captured, std::string_view data, const syntax::ParseTree& tree) {
    built.calls.emplace_back(captured.file_path, std::string(data), testing::tree_text(tree));
  };
  options.alongside = [&built] { built.alongside_after_calls.push_back(built.calls.size()); };
  built.report = build_declstore(db, manifest, pool, options);
  built.rows = every_row(db);
  built.page_size = page_size(db);
  return built;
}

struct Case {
  std::string name;
  std::function<void(const GitRepo&)> change;  // of the working tree, then committed
  std::string change_previous;                  // SQL run on the previous snapshot
  bool copied = true;                           // whether the build can start from the copy
};

// Swaps the rowids of the first two declarations of a/one.py: its run is then out
// of the order in which carried rows are written, as an extraction may store it.
const char* const UNORDERED_RUN =
    "CREATE TEMP TABLE first_row AS SELECT MIN(rowid) AS r FROM syntax_symbols WHERE file_path = 'a/one.py';"
    "UPDATE syntax_symbols SET rowid = -1 WHERE rowid = (SELECT r FROM temp.first_row);"
    "UPDATE syntax_symbols SET rowid = (SELECT r FROM temp.first_row) WHERE rowid = (SELECT r + 1 FROM temp.first_row);"
    "UPDATE syntax_symbols SET rowid = (SELECT r + 1 FROM temp.first_row) WHERE rowid = -1;";

// Swaps the rowids of the file rows of a/one.py and a/two.py: the previous
// snapshot's file rows are then out of manifest order.
const char* const SWAPPED_FILE_ROWS =
    "CREATE TEMP TABLE pair AS SELECT (SELECT rowid FROM syntax_files WHERE file_path = 'a/one.py') AS one, "
    "(SELECT rowid FROM syntax_files WHERE file_path = 'a/two.py') AS two;"
    "UPDATE syntax_files SET rowid = -1 WHERE rowid = (SELECT one FROM temp.pair);"
    "UPDATE syntax_files SET rowid = (SELECT one FROM temp.pair) WHERE rowid = (SELECT two FROM temp.pair);"
    "UPDATE syntax_files SET rowid = (SELECT two FROM temp.pair) WHERE rowid = -1;";

// Reverses every file's run of declarations: most rows are then out of the order
// in which carried rows are written, too many to move.
const char* const REVERSED_RUNS =
    "CREATE TEMP TABLE span AS SELECT file_path, MIN(rowid) AS lo, MAX(rowid) AS hi FROM syntax_symbols "
    "GROUP BY file_path;"
    "UPDATE syntax_symbols SET rowid = -rowid;"
    "UPDATE syntax_symbols SET rowid = rowid + (SELECT lo + hi FROM temp.span "
    "WHERE span.file_path = syntax_symbols.file_path);";

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {"nothing changed", [](const GitRepo&) {}, ""},
      {"a changed file keeps its number of declarations",
       [](const GitRepo& repo) { repo.write("a/one.py", python_module("One", 2) + "# changed\n"); }, ""},
      {"a changed file gains a declaration",
       [](const GitRepo& repo) { repo.write("a/two.py", python_module("Two", 4)); }, ""},
      {"the last file gains a declaration",
       [](const GitRepo& repo) { repo.write("z/last.py", python_module("Last", 3)); }, ""},
      {"a changed file loses every declaration", [](const GitRepo& repo) { repo.write("c/four.go", "package c\n"); },
       ""},
      {"a file added in the middle", [](const GitRepo& repo) { repo.write("c/added.py", python_module("Added", 1)); },
       ""},
      {"a file removed in the middle", [](const GitRepo& repo) { repo.remove("b/three.js"); }, ""},
      {"the last file removed", [](const GitRepo& repo) { repo.remove("z/last.py"); }, ""},
      {"a file over the size limit now",
       [](const GitRepo& repo) { repo.write("d/five.py", std::string(MAX_SOURCE_BYTES + 1, '#')); }, ""},
      {"every file changed",
       [](const GitRepo& repo) {
         repo.write("a/one.py", python_module("One", 1));
         repo.write("a/two.py", python_module("Two", 3) + "\n");
         repo.write("b/three.js", "function three() {}\n");
         repo.write("c/four.go", "package c\n\nfunc Four() {}\n");
         repo.write("d/five.py", python_module("Five", 5));
         repo.write("e/six.rs", "pub fn six() {}\n");
         repo.write("z/last.py", python_module("Last", 3));
       },
       ""},
      {"a carried run stored out of carried order", [](const GitRepo&) {}, UNORDERED_RUN},
      {"a carried run out of order before a change",
       [](const GitRepo& repo) { repo.write("c/four.go", "package c\n"); }, UNORDERED_RUN},
      {"declarations renamed in the previous snapshot",
       [](const GitRepo& repo) { repo.write("d/five.py", python_module("Five", 2)); },
       "UPDATE syntax_symbols SET name = 'stored_' || name"},
      {"most carried runs stored out of carried order", [](const GitRepo&) {}, REVERSED_RUNS, /*copied=*/false},
      {"every carried run out of order by its first two rows", [](const GitRepo&) {},
       "CREATE TEMP TABLE firsts AS SELECT MIN(rowid) AS r FROM syntax_symbols GROUP BY file_path "
       "HAVING COUNT(*) > 1;"
       "UPDATE syntax_symbols SET rowid = -rowid WHERE rowid IN (SELECT r FROM temp.firsts);"
       "UPDATE syntax_symbols SET rowid = rowid - 1 WHERE rowid - 1 IN (SELECT r FROM temp.firsts);"
       "UPDATE syntax_symbols SET rowid = 1 - rowid WHERE rowid < 0;"},
      {"file rows stored out of manifest order", [](const GitRepo&) {}, SWAPPED_FILE_ROWS},
      {"file rows out of manifest order before a change",
       [](const GitRepo& repo) { repo.write("c/four.go", "package c\n"); }, SWAPPED_FILE_ROWS},
      {"a file the previous snapshot recorded without extraction", [](const GitRepo&) {},
       "UPDATE syntax_files SET file_hash = NULL, parser_identity = NULL, state = 'skipped', "
       "reason = 'file too large' WHERE file_path = 'd/five.py'"},
      {"a file row with its SCIP flags set", [](const GitRepo&) {},
       "UPDATE syntax_files SET scip_outline = 1, scip_definition = 1 WHERE file_path = 'b/three.js'"},
      {"a previous snapshot with a table of its own", [](const GitRepo& repo) { repo.remove("b/three.js"); },
       "CREATE TABLE extra (x)", /*copied=*/false},
      // Rows no build writes: a copy could never delete them.
      {"a file row below the first rowid", [](const GitRepo&) {},
       "INSERT INTO syntax_files (rowid, file_path, language, file_hash, parser_identity, in_scope, state, reason) "
       "VALUES (0, 'gone.py', 'python', NULL, NULL, 1, 'skipped', NULL)",
       /*copied=*/false},
      {"a declaration row below the first rowid", [](const GitRepo&) {},
       "INSERT INTO syntax_symbols (rowid, " + std::string(SYNTAX_SYMBOL_COLUMNS) +
           ") SELECT -3, 'syntax:gone', 'gone.py', name, qualified_name, kind, NULL, declaration_start_byte, "
           "declaration_end_byte, declaration_start_line, declaration_start_character, declaration_end_line, "
           "declaration_end_character, selection_start_byte, selection_end_byte, selection_start_line, "
           "selection_start_character, selection_end_line, selection_end_character FROM syntax_symbols LIMIT 1",
       /*copied=*/false},
  };
  return all;
}

// The previous snapshot: the first state built, finalized as publication leaves it,
// then written again, rowids included, into a file with a page size of its own.
fs::path make_previous(const fs::path& dir, const SourceManifest& first, const std::string& change_previous) {
  const fs::path built = dir / "built.db";
  syntax::ParserPool pool;
  build_declstore(built, first, pool, BuildOptions{.workers = 1});
  {
    core::Connection conn = core::Connection::open(built);
    finalize_snapshot(conn, {"generation", "sha", "2024-01-01T00:00:00+00:00", first.source_hash, "unsupported"});
    conn.close();
  }
  const fs::path db = dir / "previous.db";
  core::Connection conn = core::Connection::open(db);
  conn.exec("PRAGMA page_size = " + std::to_string(PREVIOUS_PAGE_SIZE));
  conn.exec(SYNTAX_SCHEMA);
  core::Statement attach = conn.prepare("ATTACH ? AS built");
  attach.bind(1, built.string());
  attach.run();
  conn.exec(
      "INSERT INTO main.syntax_files (rowid, file_path, language, file_hash, parser_identity, in_scope, state, "
      "reason, scip_outline, scip_definition) SELECT rowid, * FROM built.syntax_files ORDER BY rowid;"
      "INSERT INTO main.syntax_symbols (rowid, " +
      std::string(SYNTAX_SYMBOL_COLUMNS) + ") SELECT rowid, * FROM built.syntax_symbols ORDER BY rowid;" +
      "INSERT INTO main.kolvex_snapshot SELECT * FROM built.kolvex_snapshot;");
  if (!change_previous.empty()) conn.exec(change_previous);
  conn.close();
  return db;
}

// The first state, committed and captured; its previous snapshot; a copy of that
// snapshot with a damaged page of an index that no carried row reads; and one
// with every run reversed.
struct SoundAndDamaged {
  GitRepo repo = GitRepo::init();
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-build-copy-");
  SourceManifest manifest;
  fs::path sound_db = scratch.path() / "sound.db";
  fs::path damaged_db;
  fs::path reversed_db;
  // Out of carried order, with damaged declaration rows.
  fs::path reversed_damaged_db = scratch.path() / "reversed-damaged.db";

  SoundAndDamaged() {
    write_first_state(repo);
    repo.commit_all("first");
    manifest = capture_sources(repo.path(), scratch.path() / "copies");
    damaged_db = make_previous(scratch.path(), manifest, "");
    fs::copy_file(damaged_db, sound_db);
    testkit::overwrite_table_leaves(damaged_db, "syntax_symbols_name");
    fs::create_directories(scratch.path() / "reversed");
    reversed_db = make_previous(scratch.path() / "reversed", manifest, REVERSED_RUNS);
    fs::copy_file(reversed_db, reversed_damaged_db);
    testkit::overwrite_table_leaves(reversed_damaged_db, "syntax_symbols");
  }
};

TEST(BuildOverCopyTest, WritesTheSameDatabaseAsABuildOfEveryRow) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    GitRepo repo = GitRepo::init();
    core::ScratchDir scratch = core::ScratchDir::create("kolvex-build-copy-");
    write_first_state(repo);
    repo.commit_all("first");
    const SourceManifest first = capture_sources(repo.path(), scratch.path() / "copies-1");
    const fs::path previous_db = make_previous(scratch.path(), first, c.change_previous);
    ASSERT_EQ(page_size(previous_db), PREVIOUS_PAGE_SIZE);
    const std::string previous_bytes = core::read_file(previous_db);

    c.change(repo);
    repo.add();
    repo.commit("second", /*allow_empty=*/true);
    const SourceManifest second = capture_sources(repo.path(), scratch.path() / "copies-2");
    core::Connection previous = core::Connection::open(previous_db, {.read_only = true});

    const Built every_row = build(scratch.path() / "every-row.db", second, previous, false, 1);
    EXPECT_NE(every_row.page_size, PREVIOUS_PAGE_SIZE);
    // The layout read ahead and the copy made ahead by the caller serve when they
    // are of the previous snapshot's file; those of another file (the first
    // build, whose runs lie elsewhere when the previous snapshot was changed and
    // whose page size differs) are not taken for it.
    enum class Ahead { NOTHING, LAYOUT, LAYOUT_AND_COPY, OF_ANOTHER_FILE };
    for (const auto& [workers, ahead] : {std::pair{1u, Ahead::NOTHING}, std::pair{4u, Ahead::NOTHING},
                                         std::pair{4u, Ahead::LAYOUT}, std::pair{4u, Ahead::LAYOUT_AND_COPY},
                                         std::pair{1u, Ahead::OF_ANOTHER_FILE}}) {
      SCOPED_TRACE("workers " + std::to_string(workers) + ", ahead " + std::to_string(static_cast<int>(ahead)));
      const fs::path ahead_of =
          ahead == Ahead::OF_ANOTHER_FILE ? scratch.path() / "built.db" : main_database_file(previous);
      const fs::path copy = scratch.path() / "copied-ahead.db";
      std::optional<LayoutRead> read_ahead;
      std::optional<CopyAhead> copy_ahead;
      if (ahead != Ahead::NOTHING) read_ahead.emplace(ahead_of);
      if (ahead == Ahead::LAYOUT_AND_COPY || ahead == Ahead::OF_ANOTHER_FILE) copy_ahead.emplace(ahead_of, copy);
      const Built over_copy = build(scratch.path() / "over-copy.db", second, previous, true, workers,
                                    read_ahead ? &*read_ahead : nullptr, copy_ahead ? &*copy_ahead : nullptr);
      EXPECT_EQ(over_copy.page_size == PREVIOUS_PAGE_SIZE, c.copied);
      EXPECT_EQ(over_copy.report, every_row.report);
      EXPECT_EQ(over_copy.rows, every_row.rows);
      EXPECT_EQ(over_copy.calls, every_row.calls);
      EXPECT_EQ(over_copy.alongside_after_calls, std::vector<std::size_t>{over_copy.calls.size()});
      // A copy made ahead is taken by a build over it (renamed away), or removed
      // by its maker once made.
      if (ahead == Ahead::LAYOUT_AND_COPY && c.copied) {
        EXPECT_FALSE(fs::exists(copy));
      }
      copy_ahead.reset();
      EXPECT_FALSE(fs::exists(copy));
    }
    previous.close();
    EXPECT_EQ(core::read_file(previous_db), previous_bytes);  // only read
  }
}

// A damaged page of an index that no carried row is read through would pass into
// the copy unseen: the page check finds it, and the build fails as for any damaged
// previous snapshot, leaving the empty tables. So it does whether the build starts
// the check itself or the caller started it earlier; a check the caller started
// on another file is not taken for one of the previous snapshot.
TEST(BuildOverCopyTest, ADamagedPageThatNoRowReadsStillFailsTheBuild) {
  enum class Started { BY_THE_BUILD, BY_THE_CALLER, ON_ANOTHER_FILE };
  for (Started started : {Started::BY_THE_BUILD, Started::BY_THE_CALLER, Started::ON_ANOTHER_FILE}) {
    SCOPED_TRACE(static_cast<int>(started));
    const SoundAndDamaged snapshots;
    const SourceManifest& manifest = snapshots.manifest;
    const fs::path& sound_db = snapshots.sound_db;
    const core::ScratchDir& scratch = snapshots.scratch;
    core::Connection previous = core::Connection::open(snapshots.damaged_db, {.read_only = true});
    std::optional<PageCheck> check;
    if (started == Started::BY_THE_CALLER) check.emplace(main_database_file(previous));
    if (started == Started::ON_ANOTHER_FILE) {
      core::Connection sound = core::Connection::open(sound_db, {.read_only = true});
      check.emplace(main_database_file(sound));
      sound.close();
    }
    syntax::ParserPool pool;
    BuildOptions options;
    options.previous = &previous;
    options.previous_check = check ? &*check : nullptr;
    const fs::path db = scratch.path() / "syntax.db";
    try {
      build_declstore(db, manifest, pool, options);
      ADD_FAILURE() << "the build succeeded";
    } catch (const PreviousSnapshotError& error) {
      EXPECT_EQ(error.message(), "database disk image is malformed");
      EXPECT_TRUE(error.cause());
    }
    core::Connection conn = core::Connection::open(db, {.read_only = true});
    EXPECT_EQ(conn.query_int("SELECT COUNT(*) FROM syntax_files"), 0);
    EXPECT_EQ(conn.query_int("SELECT COUNT(*) FROM syntax_symbols"), 0);
    EXPECT_EQ(conn.query_int("SELECT COUNT(*) FROM kolvex_snapshot"), 0);
  }
}

// Without a callback, the caller's work alongside a build over a copy runs once,
// on a thread of its own, whether the build succeeds or not, and also when the
// build then starts from nothing after all. Its failure fails the build, leaving
// the empty tables, and is raised rather than a failure of the previous snapshot
// (met by the copy or by the build from nothing that follows it): after that one
// the caller builds again, and the work has run.
TEST(BuildOverCopyTest, WorkAlongsideRunsOnceOnAThreadOfItsOwnAndItsFailureComesFirst) {
  const SoundAndDamaged snapshots;
  const SourceManifest& manifest = snapshots.manifest;
  const core::ScratchDir& scratch = snapshots.scratch;
  syntax::ParserPool pool;

  enum class Previous { SOUND, DAMAGED, REVERSED, REVERSED_DAMAGED };
  enum class Outcome { BUILT, BUILT_FROM_NOTHING, WORK_FAILED, PREVIOUS_DAMAGED };
  const struct {
    const char* name;
    Previous previous;
    bool work_fails;
    Outcome outcome;
  } rows[] = {
      {"both sound", Previous::SOUND, false, Outcome::BUILT},
      {"the work fails", Previous::SOUND, true, Outcome::WORK_FAILED},
      {"the previous snapshot is damaged", Previous::DAMAGED, false, Outcome::PREVIOUS_DAMAGED},
      {"both fail", Previous::DAMAGED, true, Outcome::WORK_FAILED},
      {"too many rows to move", Previous::REVERSED, false, Outcome::BUILT_FROM_NOTHING},
      {"too many rows to move, and the work fails", Previous::REVERSED, true, Outcome::WORK_FAILED},
      {"too many rows to move, and the previous snapshot is damaged", Previous::REVERSED_DAMAGED, false,
       Outcome::PREVIOUS_DAMAGED},
      {"too many rows to move, and both fail", Previous::REVERSED_DAMAGED, true, Outcome::WORK_FAILED},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path& previous_db = row.previous == Previous::SOUND      ? snapshots.sound_db
                                  : row.previous == Previous::DAMAGED  ? snapshots.damaged_db
                                  : row.previous == Previous::REVERSED ? snapshots.reversed_db
                                                                       : snapshots.reversed_damaged_db;
    core::Connection previous = core::Connection::open(previous_db, {.read_only = true});
    std::vector<std::thread::id> ran_on;
    BuildOptions options;
    options.previous = &previous;
    options.alongside = [&ran_on, fails = row.work_fails] {
      ran_on.push_back(std::this_thread::get_id());
      if (fails) throw std::runtime_error("alongside failed");
    };
    const fs::path db = scratch.path() / "syntax.db";
    Outcome outcome = Outcome::BUILT;
    try {
      build_declstore(db, manifest, pool, options);
      // A build over the copy keeps the previous snapshot's page size.
      if (page_size(db) != PREVIOUS_PAGE_SIZE) outcome = Outcome::BUILT_FROM_NOTHING;
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "alongside failed");
      outcome = Outcome::WORK_FAILED;
    } catch (const PreviousSnapshotError& error) {
      EXPECT_EQ(error.message(), "database disk image is malformed");
      outcome = Outcome::PREVIOUS_DAMAGED;
    }
    EXPECT_EQ(outcome, row.outcome);
    ASSERT_EQ(ran_on.size(), 1u);
    EXPECT_NE(ran_on[0], std::this_thread::get_id());
    if (outcome == Outcome::BUILT || outcome == Outcome::BUILT_FROM_NOTHING) {
      // What a build that writes every row gives with this previous snapshot.
      const fs::path every_row_db = scratch.path() / "every-row.db";
      build_declstore(every_row_db, manifest, pool, {.previous = &previous, .workers = 1, .copy_previous = false});
      EXPECT_EQ(testing::build_rows(db), testing::build_rows(every_row_db));
    } else {
      core::Connection conn = core::Connection::open(db, {.read_only = true});
      EXPECT_EQ(conn.query_int("SELECT COUNT(*) FROM syntax_files"), 0);
      EXPECT_EQ(conn.query_int("SELECT COUNT(*) FROM syntax_symbols"), 0);
    }
  }
}

}  // namespace
}  // namespace kolvex::declstore
