#include "declstore/build.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/fs.h"
#include "core/sqlite.h"
#include "declstore/snapshot_test_support.h"
#include "syntax/syntax.h"
#include "syntax/testing.h"
#include "testkit/damaged_db.h"
#include "testkit/git_repo.h"

namespace kolvex::declstore {
namespace {

namespace fs = std::filesystem;
using testing::rows_of;
using testkit::GitRepo;

const std::string PARSED_PY = "class Job:\n    def run(self):\n        return 1\n";
const std::string PARTIAL_PY = "def broken(:\n    pass\n\ndef fine():\n    pass\n";
const std::string FAILED_PY = "x = '\xff'\ndef hidden():\n    pass\n";

// A repository with one file of every row kind, captured.
struct Fixture {
  GitRepo repo = GitRepo::init();
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-build-");
  SourceManifest manifest;

  Fixture() {
    repo.write("a.py", PARSED_PY);
    repo.write("b.py", PARTIAL_PY);
    repo.write("c.py", FAILED_PY);
    repo.write("notes.txt", "notes\n");
    repo.write("node_modules/x.js", "x();\n");
    repo.write("huge.py", std::string(MAX_SOURCE_BYTES + 1, '#'));
    repo.commit_all();
    manifest = capture_sources(repo.path(), scratch.path() / "copies");
  }

  fs::path db(const std::string& name) const { return scratch.path() / name; }
};

std::vector<std::string> files_of(core::Connection& conn) {
  return rows_of(conn, "SELECT * FROM syntax_files ORDER BY file_path");
}
std::vector<std::string> symbols_of(core::Connection& conn) {
  return rows_of(conn, "SELECT * FROM syntax_symbols ORDER BY file_path, selection_start_byte");
}

std::string span_text(const syntax::Span& span) {
  return std::to_string(span.start_byte) + "|" + std::to_string(span.end_byte) + "|" +
         std::to_string(span.start_line) + "|" + std::to_string(span.start_character) + "|" +
         std::to_string(span.end_line) + "|" + std::to_string(span.end_character);
}

std::vector<std::string> symbol_rows(const syntax::ParsedSyntax& parsed) {
  std::vector<std::string> rows;
  for (const syntax::SyntaxSymbol& s : parsed.symbols) {
    rows.push_back(s.symbol + "|" + parsed.file_path + "|" + s.name + "|" + s.qualified_name + "|" +
                   std::string(platform::kind_text(s.kind)) + "|" + s.parent_symbol.value_or("NULL") + "|" +
                   span_text(s.declaration) + "|" + span_text(s.selection));
  }
  return rows;
}

struct CallbackCall {
  std::string path;
  std::string data;
  std::string root_type;
  std::uint32_t root_end_byte;
};

BuildOptions recording(std::vector<CallbackCall>& calls) {
  BuildOptions options;
  options.parse_for = {"a.py", "c.py", "notes.txt", "huge.py", "node_modules/x.js", "elsewhere.py"};
  options.on_parsed = [&calls](const CapturedFile& captured, std::string_view data, const syntax::ParseTree& tree) {
    TSNode root = tree.root_node();
    calls.push_back({captured.file_path, std::string(data), ts_node_type(root), ts_node_end_byte(root)});
  };
  return options;
}

TEST(BuildTest, AFirstBuildWritesOneRowPerEntryAndExtractsEveryCapturedFile) {
  Fixture f;
  syntax::ParserPool pool;
  std::vector<CallbackCall> calls;
  SyntaxBuildReport report = build_declstore(f.db("out/syntax.db"), f.manifest, pool, recording(calls));
  EXPECT_EQ(report, (SyntaxBuildReport{CoverageCounts{1, 1, 1, 1, 1}, 0}));

  syntax::ParserPool reference_pool;
  const syntax::ParsedSyntax a = syntax::extract_file("a.py", PARSED_PY, "python", reference_pool);
  const syntax::ParsedSyntax b = syntax::extract_file("b.py", PARTIAL_PY, "python", reference_pool);
  const syntax::ParsedSyntax c = syntax::extract_file("c.py", FAILED_PY, "python", reference_pool);
  ASSERT_EQ(a.state, "parsed");
  ASSERT_EQ(b.state, "partial");
  ASSERT_EQ(c.state, "failed");
  const std::string identity = syntax::grammar_identity("python");

  core::Connection conn = core::Connection::open(f.db("out/syntax.db"));
  EXPECT_EQ(files_of(conn), (std::vector<std::string>{
                                "a.py|python|" + a.file_hash + "|" + identity + "|1|parsed|NULL|0|0",
                                "b.py|python|" + b.file_hash + "|" + identity +
                                    "|1|partial|grammar produced error or missing nodes|0|0",
                                "c.py|python|" + c.file_hash + "|" + identity + "|1|failed|" + *c.reason + "|0|0",
                                "huge.py|python|NULL|NULL|1|skipped|file exceeds 1 MiB syntax limit|0|0",
                                "node_modules/x.js|NULL|NULL|NULL|0|skipped|ignored directory|0|0",
                                "notes.txt|NULL|NULL|NULL|1|unsupported|unsupported extension|0|0",
                            }));
  std::vector<std::string> want_symbols = symbol_rows(a);
  for (const std::string& row : symbol_rows(b)) want_symbols.push_back(row);
  ASSERT_FALSE(symbol_rows(a).empty());
  EXPECT_EQ(symbols_of(conn), want_symbols);
  EXPECT_EQ(conn.query_int("SELECT COUNT(*) FROM kolvex_snapshot"), 0);
  // The schema, indexes included, is exactly the script's.
  core::Connection fresh = core::Connection::open_memory();
  fresh.exec(SYNTAX_SCHEMA);
  const std::string schema_sql = "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name";
  EXPECT_EQ(rows_of(conn, schema_sql), rows_of(fresh, schema_sql));

  // The callback sees the captured files it asked for, in manifest order, with a
  // tree of exactly their bytes, also for bytes that are not UTF-8.
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].path, "a.py");
  EXPECT_EQ(calls[0].data, PARSED_PY);
  EXPECT_EQ(calls[1].path, "c.py");
  EXPECT_EQ(calls[1].data, FAILED_PY);
  for (const CallbackCall& call : calls) {
    EXPECT_EQ(call.root_type, "module");
    EXPECT_EQ(call.root_end_byte, call.data.size());
  }
}

TEST(BuildTest, AnEmptyManifestGivesEmptyTablesAndReplacesAnExistingDatabase) {
  Fixture f;
  syntax::ParserPool pool;
  build_declstore(f.db("syntax.db"), f.manifest, pool);
  SyntaxBuildReport report = build_declstore(f.db("syntax.db"), SourceManifest{{}, ""}, pool);
  EXPECT_EQ(report, SyntaxBuildReport{});
  core::Connection conn = core::Connection::open(f.db("syntax.db"));
  for (const char* table : {"syntax_files", "syntax_symbols", "kolvex_snapshot"}) {
    EXPECT_TRUE(has_table(conn, table)) << table;
    EXPECT_EQ(conn.query_int(std::string("SELECT COUNT(*) FROM ") + table), 0) << table;
  }
}

// The previous snapshot is the first build with every declaration name and the
// failed file's reason altered: rows carried forward keep the alterations, rows
// extracted again do not. So a reuse that secretly extracted would show.
struct ReuseCase {
  std::string name;
  std::string change_previous;  // SQL run on the previous snapshot before the rebuild
  std::int64_t reused;
  std::vector<std::string> carried;  // files whose altered rows must come back
};

TEST(BuildTest, UnchangedFilesAreCarriedForwardWithoutExtraction) {
  const std::vector<ReuseCase> cases = {
      {"unchanged", "", 3, {"a.py", "b.py", "c.py"}},
      {"hash differs", "UPDATE syntax_files SET file_hash = 'x' WHERE file_path = 'a.py'", 2, {"b.py", "c.py"}},
      {"identity differs", "UPDATE syntax_files SET parser_identity = 'x' WHERE file_path = 'b.py'", 2,
       {"a.py", "c.py"}},
      {"recorded without extraction",
       "UPDATE syntax_files SET file_hash = NULL, parser_identity = NULL, state = 'skipped' "
       "WHERE file_path = 'c.py'",
       2, {"a.py", "b.py"}},
      {"path not recorded", "DELETE FROM syntax_files WHERE file_path = 'a.py'", 2, {"b.py", "c.py"}},
      {"legacy snapshot", "DROP TABLE syntax_files", 0, {}},
  };
  Fixture f;
  syntax::ParserPool pool;
  build_declstore(f.db("first.db"), f.manifest, pool);
  core::Connection fresh = core::Connection::open(f.db("first.db"));
  const std::vector<std::string> fresh_symbols = symbols_of(fresh);
  fresh.close();

  for (const ReuseCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path previous_path = f.db("previous-" + std::to_string(&c - cases.data()) + ".db");
    fs::copy_file(f.db("first.db"), previous_path);
    {
      core::Connection edit = core::Connection::open(previous_path);
      edit.exec("UPDATE syntax_symbols SET name = 'altered_' || name");
      edit.exec("UPDATE syntax_files SET reason = 'altered reason', scip_outline = 1 WHERE file_path = 'c.py'");
      if (!c.change_previous.empty()) edit.exec(c.change_previous);
    }
    core::Connection previous = core::Connection::open(previous_path, {.read_only = true});
    const std::vector<std::string> previous_files =
        has_syntax_tables(previous) ? files_of(previous) : std::vector<std::string>{};
    const std::vector<std::string> previous_symbols = symbols_of(previous);

    std::vector<CallbackCall> calls;
    BuildOptions options = recording(calls);
    options.previous = &previous;
    SyntaxBuildReport report = build_declstore(f.db("rebuild.db"), f.manifest, pool, options);
    EXPECT_EQ(report, (SyntaxBuildReport{CoverageCounts{1, 1, 1, 1, 1}, c.reused}));

    core::Connection rebuilt = core::Connection::open(f.db("rebuild.db"));
    const std::vector<std::string> files = files_of(rebuilt);
    const std::vector<std::string> symbols = symbols_of(rebuilt);
    for (const std::string path : {"a.py", "b.py", "c.py"}) {
      SCOPED_TRACE(path);
      const bool carried = std::find(c.carried.begin(), c.carried.end(), path) != c.carried.end();
      auto of_path = [&](const std::vector<std::string>& rows) {
        std::vector<std::string> out;
        for (const std::string& row : rows) {
          if (row.find("|" + path + "|") != std::string::npos) out.push_back(row);
        }
        return out;
      };
      const std::vector<std::string> want_symbols = carried ? of_path(previous_symbols) : of_path(fresh_symbols);
      EXPECT_EQ(of_path(symbols), want_symbols);
      if (path == "c.py") {
        const bool altered = files[2].find("altered reason") != std::string::npos;
        EXPECT_EQ(altered, carried);
        EXPECT_EQ(files[2].substr(files[2].size() - 4), "|0|0");  // flags start again at 0
      }
    }
    // A carried-forward file still reaches the callback, with a fresh tree of its bytes.
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].path, "a.py");
    EXPECT_EQ(calls[0].data, PARSED_PY);
    EXPECT_EQ(calls[0].root_type, "module");
    EXPECT_EQ(calls[1].path, "c.py");
    // The previous snapshot is only read.
    if (!previous_files.empty()) {
      EXPECT_EQ(files_of(previous), previous_files);
    }
  }
}

TEST(BuildTest, AChangedGrammarVersionExtractsAgain) {
  Fixture f;
  syntax::ParserPool pool;
  build_declstore(f.db("first.db"), f.manifest, pool);
  core::Connection previous = core::Connection::open(f.db("first.db"), {.read_only = true});

  syntax::testing::Overrides overrides;
  syntax::testing::set_version("tree-sitter-python", "0.0.1-upgraded");
  const std::string upgraded = syntax::grammar_identity("python");
  BuildOptions options;
  options.previous = &previous;
  SyntaxBuildReport report = build_declstore(f.db("second.db"), f.manifest, pool, options);
  EXPECT_EQ(report.reused_files, 0);
  core::Connection rebuilt = core::Connection::open(f.db("second.db"));
  EXPECT_EQ(rebuilt.query_int("SELECT COUNT(*) FROM syntax_files WHERE parser_identity = '" + upgraded + "'"), 3);
}

TEST(BuildTest, ACallbackThatThrowsLeavesNoRows) {
  Fixture f;
  syntax::ParserPool pool;
  build_declstore(f.db("first.db"), f.manifest, pool);
  core::Connection previous = core::Connection::open(f.db("first.db"), {.read_only = true});
  const std::vector<std::string> before = files_of(previous);

  for (bool with_previous : {false, true}) {
    SCOPED_TRACE(with_previous);
    BuildOptions options;
    options.previous = with_previous ? &previous : nullptr;
    options.parse_for = {"c.py"};
    options.on_parsed = [](const CapturedFile&, std::string_view, const syntax::ParseTree&) {
      throw std::runtime_error("callback failed");
    };
    try {
      build_declstore(f.db("second.db"), f.manifest, pool, options);
      ADD_FAILURE() << "expected the callback's error";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "callback failed");
    }
    core::Connection conn = core::Connection::open(f.db("second.db"));
    EXPECT_TRUE(has_syntax_tables(conn));
    EXPECT_EQ(conn.query_int("SELECT COUNT(*) FROM syntax_files"), 0);
    EXPECT_EQ(conn.query_int("SELECT COUNT(*) FROM syntax_symbols"), 0);
  }
  EXPECT_EQ(files_of(previous), before);
}

// The caller's work alongside the indexes runs once, after the last row and the
// last callback; the build is the same as without it, and its failure fails the
// build with nothing committed. Also with rows carried from a previous snapshot.
TEST(BuildTest, WorkAlongsideTheIndexesRunsOnceAfterTheRowsAndItsFailureCommitsNothing) {
  Fixture f;
  syntax::ParserPool pool;
  build_declstore(f.db("plain.db"), f.manifest, pool);
  core::Connection plain = core::Connection::open(f.db("plain.db"), {.read_only = true});
  const std::string schema_sql = "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name";

  for (bool with_previous : {false, true}) {
    SCOPED_TRACE(with_previous);
    std::vector<CallbackCall> calls;
    BuildOptions options = recording(calls);
    options.previous = with_previous ? &plain : nullptr;
    options.copy_previous = false;
    std::vector<std::size_t> callbacks_before;
    options.alongside = [&] { callbacks_before.push_back(calls.size()); };
    const fs::path db = f.db(with_previous ? "carried.db" : "alongside.db");
    EXPECT_EQ(build_declstore(db, f.manifest, pool, options),
              (SyntaxBuildReport{CoverageCounts{1, 1, 1, 1, 1}, with_previous ? 3 : 0}));
    EXPECT_EQ(callbacks_before, (std::vector<std::size_t>{2}));
    core::Connection conn = core::Connection::open(db);
    EXPECT_EQ(files_of(conn), files_of(plain));
    EXPECT_EQ(symbols_of(conn), symbols_of(plain));
    EXPECT_EQ(rows_of(conn, schema_sql), rows_of(plain, schema_sql));

    options.alongside = [] { throw std::runtime_error("alongside failed"); };
    try {
      build_declstore(db, f.manifest, pool, options);
      ADD_FAILURE() << "expected the error of the work alongside the indexes";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "alongside failed");
    }
    core::Connection failed = core::Connection::open(db);
    EXPECT_TRUE(has_syntax_tables(failed));
    EXPECT_EQ(failed.query_int("SELECT COUNT(*) FROM syntax_files"), 0);
    EXPECT_EQ(failed.query_int("SELECT COUNT(*) FROM syntax_symbols"), 0);
  }
}

TEST(BuildTest, AnInterruptionStopsTheBuildWithNothingCommitted) {
  Fixture f;
  syntax::ParserPool pool;
  core::set_interrupted(true);
  EXPECT_THROW(build_declstore(f.db("syntax.db"), f.manifest, pool), core::Interrupted);
  EXPECT_THROW(capture_sources(f.repo.path(), f.db("copies-again")), core::Interrupted);
  core::set_interrupted(false);
  core::Connection conn = core::Connection::open(f.db("syntax.db"));
  EXPECT_EQ(conn.query_int("SELECT COUNT(*) FROM syntax_files"), 0);
}

TEST(BuildTest, AnUnreadableCopyFailsTheBuildWithNothingCommitted) {
  Fixture f;
  syntax::ParserPool pool;
  // b.py's copy lies past the end of the pack.
  f.manifest.files[1].copy_offset = fs::file_size(*f.manifest.files[1].source_path);
  EXPECT_THROW(build_declstore(f.db("syntax.db"), f.manifest, pool), core::OsError);
  core::Connection conn = core::Connection::open(f.db("syntax.db"));
  EXPECT_EQ(conn.query_int("SELECT COUNT(*) FROM syntax_files"), 0);
}

// Whatever makes reading the previous snapshot fail, the build fails with
// PreviousSnapshotError carrying SQLite's message, commits nothing and leaves the
// previous snapshot as it was, with one worker and with several.
TEST(BuildTest, AnUnreadablePreviousSnapshotIsReportedAsSuch) {
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> damage;
    std::string message;
  };
  auto sql = [](std::string statement) {
    return [statement](const fs::path& db) { core::Connection::open(db).exec(statement); };
  };
  const std::vector<Case> cases = {
      {"damaged declaration pages", [](const fs::path& db) { testkit::overwrite_table_leaves(db, "syntax_symbols"); },
       "database disk image is malformed"},
      {"damaged file pages", [](const fs::path& db) { testkit::overwrite_table_leaves(db, "syntax_files"); },
       "database disk image is malformed"},
      {"a file column missing", sql("ALTER TABLE syntax_files DROP COLUMN reason"), "no such column: p.reason"},
      {"a declaration column missing", sql("ALTER TABLE syntax_symbols DROP COLUMN selection_end_line"),
       "no such column: s.selection_end_line"},
  };
  Fixture f;
  syntax::ParserPool pool;
  build_declstore(f.db("first.db"), f.manifest, pool);

  for (const Case& c : cases) {
    for (unsigned workers : {1u, 4u}) {
      SCOPED_TRACE(c.name + ", workers " + std::to_string(workers));
      const fs::path previous_path = f.db("damaged.db");
      fs::copy_file(f.db("first.db"), previous_path, fs::copy_options::overwrite_existing);
      c.damage(previous_path);
      const std::string damaged_bytes = core::read_file(previous_path);
      core::Connection previous = core::Connection::open(previous_path, {.read_only = true});
      BuildOptions options;
      options.previous = &previous;
      options.workers = workers;
      try {
        build_declstore(f.db("rebuild.db"), f.manifest, pool, options);
        ADD_FAILURE() << "the build succeeded";
      } catch (const PreviousSnapshotError& error) {
        EXPECT_EQ(error.message(), c.message);
        EXPECT_TRUE(error.cause());
      }
      previous.close();
      EXPECT_EQ(core::read_file(previous_path), damaged_bytes);
      core::Connection conn = core::Connection::open(f.db("rebuild.db"));
      EXPECT_EQ(conn.query_int("SELECT COUNT(*) FROM syntax_files"), 0);
      EXPECT_EQ(conn.query_int("SELECT COUNT(*) FROM syntax_symbols"), 0);
    }
  }
}

// A carried row that the new database refuses (its declaration id was just
// written by an extracted file) is the new database's error, not the previous
// snapshot's: the previous snapshot reads fine.
TEST(BuildTest, ANewDatabaseErrorWhileCarryingRowsIsNotBlamedOnThePreviousSnapshot) {
  Fixture f;
  syntax::ParserPool pool;
  build_declstore(f.db("first.db"), f.manifest, pool);
  {
    core::Connection edit = core::Connection::open(f.db("first.db"));
    const std::string taken = *edit.query_text("SELECT symbol FROM syntax_symbols WHERE file_path = 'a.py'");
    edit.exec("UPDATE syntax_files SET file_hash = 'changed' WHERE file_path = 'a.py'");
    edit.exec("DELETE FROM syntax_symbols WHERE file_path = 'a.py'");
    edit.exec("UPDATE syntax_symbols SET symbol = '" + taken + "' WHERE file_path = 'b.py' AND rowid = "
              "(SELECT MIN(rowid) FROM syntax_symbols WHERE file_path = 'b.py')");
  }
  core::Connection previous = core::Connection::open(f.db("first.db"), {.read_only = true});
  BuildOptions options;
  options.previous = &previous;
  try {
    build_declstore(f.db("rebuild.db"), f.manifest, pool, options);
    ADD_FAILURE() << "the build succeeded";
  } catch (const PreviousSnapshotError& error) {
    ADD_FAILURE() << "blamed on the previous snapshot: " << error.what();
  } catch (const core::SqliteError& error) {
    EXPECT_EQ(error.message(), "UNIQUE constraint failed: syntax_symbols.symbol");
  }
}

}  // namespace
}  // namespace kolvex::declstore
