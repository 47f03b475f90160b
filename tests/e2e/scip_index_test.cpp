// `kolvex index --scip` end to end with the real SCIP indexers from npm
// (scip-python, scip-typescript), our `scip` converter and the zoekt-git-index
// stand-in, on the committed fixture repositories under fixtures/.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <variant>
#include <vector>

#include "core/fs.h"
#include "core/hash.h"
#include "core/process.h"
#include "core/sqlite.h"
#include "core/text.h"
#include "platform/config.h"
#include "platform/registry.h"
#include "testkit/git_repo.h"
#include "tests/e2e/background_child.h"
#include "tests/e2e/kolvex_run.h"

namespace kolvex {
namespace {

namespace fs = std::filesystem;
using EnvOverlay = std::map<std::string, std::optional<std::string>>;

using e2e::SEMANTIC_SKIPPED;

// The converter's tables, each dumped in key order.
const std::vector<std::pair<std::string, std::string>> CONVERTER_TABLES = {
    {"documents", "id"},
    {"chunks", "id"},
    {"mentions", "chunk_id, symbol_id, role"},
    {"global_symbols", "id"},
    {"defn_enclosing_ranges", "id"},
};

// One syntax_files row as the test sees it.
using FileRow = std::tuple<std::string, std::string, int, int>;  // path, state, scip_outline, scip_definition

struct ScipCase {
  std::string fixture;  // directory under fixtures/, also the slug
  std::string language;
  std::string indexer;
  std::vector<FileRow> files;
  std::string syntax_line;  // of `kolvex status`
};

// Failure messages name the fixture instead of dumping the record's bytes.
void PrintTo(const ScipCase& scip_case, std::ostream* os) { *os << scip_case.fixture; }

std::string dump_table(core::Connection& db, const std::string& table, const std::string& order) {
  core::Statement rows = db.prepare("SELECT * FROM " + table + " ORDER BY " + order);
  std::string out;
  while (rows.step()) {
    for (int i = 0; i < rows.column_count(); ++i) {
      out += i ? "|" : "";
      out += rows.column_name(i) + "=";
      core::SqlValue value = rows.column_value(i);
      if (std::holds_alternative<core::Null>(value)) {
        out += "NULL";
      } else if (const auto* number = std::get_if<std::int64_t>(&value)) {
        out += std::to_string(*number);
      } else if (const auto* text = std::get_if<std::string>(&value)) {
        out += "'" + *text + "'";
      } else if (const auto* bytes = std::get_if<std::vector<std::uint8_t>>(&value)) {
        // A blob by the hash of its bytes keeps the dump readable.
        out += "blob:" + core::sha256_hex({reinterpret_cast<const char*>(bytes->data()), bytes->size()});
      } else {
        out += "real:" + std::to_string(std::get<double>(value));
      }
    }
    out += "\n";
  }
  return out;
}

// Dumps of every converter table, keyed by table name.
std::map<std::string, std::string> converter_dump(const fs::path& db_path) {
  core::Connection db = core::Connection::open(db_path, {.read_only = true});
  std::map<std::string, std::string> dump;
  for (const auto& [table, order] : CONVERTER_TABLES) dump[table] = dump_table(db, table, order);
  db.close();
  return dump;
}

// A private data directory, temporary directory and PATH for each run; the
// repository is a fixture copied into a new git repository and committed.
class ScipRun : public testing::Test {
 protected:
  ScipRun()
      : home_(core::ScratchDir::create("kolvex-scip-e2e-home-")),
        tmp_(core::ScratchDir::create("kolvex-scip-e2e-tmp-")),
        bin_(core::ScratchDir::create("kolvex-scip-e2e-bin-")) {}

  void SetUp() override {
    const fs::path node_bin = KOLVEX_NODE_BIN;
    if (!core::find_program("node", "/usr/bin:/bin")) GTEST_SKIP() << "node is not installed in /usr/bin or /bin";
    for (const char* indexer : {"scip-python", "scip-typescript"}) {
      if (!fs::exists(node_bin / indexer)) {
        GTEST_SKIP() << indexer << " is not unpacked in " << node_bin.string() << " (npm ci in third_party/)";
      }
    }
    // The programs the run calls by name, and nothing else beyond the system's own.
    fs::create_symlink(SCIP_TOOL_PATH, bin_.path() / "scip");
    fs::create_symlink(node_bin / "scip-python", bin_.path() / "scip-python");
    fs::create_symlink(node_bin / "scip-typescript", bin_.path() / "scip-typescript");
    fs::create_symlink(ZOEKT_STAND_IN, bin_.path() / "zoekt-git-index");
  }

  // Commits the fixture's files, all but `left_out`, into a new repository named
  // after the fixture (which makes it the slug).
  void commit_fixture(const std::string& name, const std::vector<std::string>& left_out = {}) {
    repo_.emplace(testkit::GitRepo::init(name));
    const fs::path fixture = fs::path(KOLVEX_E2E_FIXTURES) / name;
    for (const auto& entry : fs::recursive_directory_iterator(fixture)) {
      const std::string relative = fs::relative(entry.path(), fixture).string();
      if (!entry.is_regular_file() || std::find(left_out.begin(), left_out.end(), relative) != left_out.end()) {
        continue;
      }
      repo_->write(relative, core::read_file(entry.path()));
    }
    repo_->commit_all("fixture");
  }

  fs::path data_root() const { return home_.path() / "kolvex"; }
  fs::path index_dir(const std::string& slug) const { return platform::index_dir(slug, data_root()); }
  fs::path published_db(const std::string& slug) const {
    return index_dir(slug) / core::read_file(index_dir(slug) / "current");
  }

  std::optional<platform::RegisteredRepo> row(const std::string& slug) const {
    return e2e::registry_row(data_root(), slug);
  }

  EnvOverlay environment() const {
    return e2e::isolated_environment(home_.path(), tmp_.path(), bin_.path().string() + ":/usr/bin:/bin");
  }

  core::ProcessResult run(const std::vector<std::string>& argv, const std::optional<fs::path>& cwd) const {
    core::ProcessOptions options;
    options.env = environment();
    options.cwd = cwd.value_or(tmp_.path());
    return core::run_process(argv, options);
  }

  core::ProcessResult kolvex(const std::vector<std::string>& args) const {
    return run(e2e::kolvex_command(args), std::nullopt);
  }

  core::ScratchDir home_;
  core::ScratchDir tmp_;
  core::ScratchDir bin_;
  std::optional<testkit::GitRepo> repo_;
};

class ScipIndex : public ScipRun, public testing::WithParamInterface<ScipCase> {
 protected:
  void SetUp() override {
    ScipRun::SetUp();
    if (IsSkipped()) return;
    commit_fixture(GetParam().fixture);
  }
};

TEST_P(ScipIndex, RealIndexerEnrichesTheSnapshot) {
  const ScipCase& scip_case = GetParam();
  const std::string& slug = scip_case.fixture;

  core::ProcessResult indexed = kolvex({"index", repo_->path().string(), "--scip"});
  ASSERT_EQ(indexed.returncode, 0) << indexed.stderr_text();
  EXPECT_EQ(indexed.stdout_text(), "indexed " + slug + "\n");
  EXPECT_EQ(indexed.stderr_text(), SEMANTIC_SKIPPED);

  std::optional<platform::RegisteredRepo> stored = row(slug);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, platform::RepoStatus::INDEXED) << stored->status_reason.value_or("") << "\n"
                                       << stored->status_stderr.value_or("");
  EXPECT_EQ(stored->language, scip_case.language);
  EXPECT_TRUE(stored->scip_enabled);
  EXPECT_EQ(stored->scip_state, platform::ScipState::AVAILABLE) << stored->scip_failure_stderr.value_or("");
  EXPECT_EQ(stored->commit_sha, repo_->head());
  // The indexer leaves nothing behind in the working tree.
  EXPECT_EQ(repo_->git({"status", "--porcelain", "--ignored"}).stdout_text(), "");

  // Every file with definitions is covered by SCIP; the README is not.
  core::Connection db = core::Connection::open(published_db(slug), {.read_only = true});
  std::vector<FileRow> files;
  auto statement =
      db.prepare("SELECT file_path, state, scip_outline, scip_definition FROM syntax_files ORDER BY file_path");
  while (statement.step()) {
    files.emplace_back(statement.column_text(0), statement.column_text(1),
                       static_cast<int>(statement.column_int(2)), static_cast<int>(statement.column_int(3)));
  }
  EXPECT_EQ(files, scip_case.files);

  // Both indexers emit definitions with enclosing ranges and relationships (class
  // inheritance, interface implementation), so every capability is present.
  auto facts = db.prepare(
      "SELECT scip_state, scip_outlines, scip_definitions, scip_references, scip_calls, scip_types, commit_sha "
      "FROM kolvex_snapshot");
  ASSERT_TRUE(facts.step());
  EXPECT_EQ(facts.column_text(0), "available");
  std::vector<int> capabilities;
  for (int i = 1; i <= 5; ++i) capabilities.push_back(static_cast<int>(facts.column_int(i)));
  EXPECT_EQ(capabilities, std::vector<int>(5, 1)) << "outlines, definitions, references, calls, types";
  EXPECT_EQ(facts.column_text(6), repo_->head());
  db.close();

  core::ProcessResult status = kolvex({"status", slug});
  EXPECT_EQ(status.returncode, 0) << status.stderr_text();
  EXPECT_NE(status.stdout_text().find("\n" + scip_case.syntax_line + "\n"), std::string::npos) << status.stdout_text();

  // The converter's tables are published as the converter wrote them: the same
  // indexer and converter run by hand give identical rows.
  const fs::path index = tmp_.path() / "by-hand.scip";
  const fs::path converted = tmp_.path() / "by-hand.db";
  core::ProcessResult indexer = run({scip_case.indexer, "index", "--output", index.string()}, repo_->path());
  ASSERT_EQ(indexer.returncode, 0) << indexer.stderr_text();
  core::ProcessResult convert = run({"scip", "expt-convert", "--output", converted.string(), index.string()},
                                    repo_->path());
  ASSERT_EQ(convert.returncode, 0) << convert.stderr_text();
  std::map<std::string, std::string> expected = converter_dump(converted);
  for (const auto& [table, rows] : expected) EXPECT_FALSE(rows.empty()) << table;
  EXPECT_EQ(converter_dump(published_db(slug)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, ScipIndex,
    testing::Values(
        ScipCase{.fixture = "python-app",
                 .language = "python",
                 .indexer = "scip-python",
                 .files = {{"README.md", "unsupported", 0, 0},
                           {"main.py", "parsed", 1, 1},
                           // scip-python defines every module, an empty one too.
                           {"shop/__init__.py", "parsed", 1, 1},
                           {"shop/models.py", "parsed", 1, 1},
                           {"shop/pricing.py", "parsed", 1, 1}},
                 .syntax_line = "syntax: parsed=4 partial=0 failed=0 skipped=0 unsupported=1"},
        ScipCase{.fixture = "ts-app",
                 .language = "typescript",
                 .indexer = "scip-typescript",
                 .files = {{"README.md", "unsupported", 0, 0},
                           {"src/main.ts", "parsed", 1, 1},
                           {"src/report.ts", "parsed", 1, 1},
                           {"src/shapes.ts", "parsed", 1, 1},
                           {"tsconfig.json", "unsupported", 0, 0}},
                 .syntax_line = "syntax: parsed=3 partial=0 failed=0 skipped=0 unsupported=2"}),
    [](const testing::TestParamInfo<ScipCase>& info) {
      return info.param.language;
    });

// An indexer that cannot start (its interpreter is missing, so env exits 127)
// degrades the run with a reason that names what is missing instead of ending
// on the colon of the runner's first line.
TEST_F(ScipRun, IndexerThatCannotStartIsNamedInTheReason) {
  commit_fixture("python-app");
  const fs::path indexer = bin_.path() / "scip-python";
  fs::remove(indexer);
  core::write_file(indexer, "#!/usr/bin/env kolvex-no-such-interpreter\n");
  fs::permissions(indexer, fs::perms::owner_all);
  const std::string env_line = std::string(core::strip(run({indexer.string()}, std::nullopt).stderr_text()));
  ASSERT_NE(env_line.find("kolvex-no-such-interpreter"), std::string::npos) << env_line;

  core::ProcessResult indexed = kolvex({"index", repo_->path().string(), "--scip"});
  ASSERT_EQ(indexed.returncode, 0) << indexed.stderr_text();
  std::optional<platform::RegisteredRepo> stored = row("python-app");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, platform::RepoStatus::DEGRADED);
  EXPECT_EQ(stored->scip_state, platform::ScipState::FAILED);
  const std::string reason = stored->scip_failure_reason.value_or("");
  EXPECT_TRUE(reason.starts_with("scip-python index failed (scip-python index --output ")) << reason;
  EXPECT_TRUE(reason.ends_with("index.scip): " + env_line)) << reason;
}

// scip-typescript indexes what a project file names. Without one in the
// repository the run gives the indexer a project file of its own, from the
// scratch directory: the working tree stays exactly as it was, also when it
// holds an untracked node_modules full of JavaScript (from which an inferred
// project would allow JavaScript), and the indexed documents are the
// snapshot's own TypeScript files by their repository paths.
class TypeScriptWithoutTsconfig : public ScipRun, public testing::WithParamInterface<int> {};

TEST_P(TypeScriptWithoutTsconfig, IsIndexedWithoutTouchingTheWorkingTree) {
  commit_fixture("ts-app", {"tsconfig.json"});
  const int untracked_scripts = GetParam();
  for (int i = 0; i < untracked_scripts; ++i) {
    repo_->write("node_modules/lib/m" + std::to_string(i) + ".js", "module.exports = " + std::to_string(i) + ";\n");
  }
  const fs::path exclude = repo_->path() / ".git/info/exclude";
  core::write_file(exclude, (fs::exists(exclude) ? core::read_file(exclude) : "") + "node_modules/\n");
  const std::string ignored_before = repo_->git({"status", "--porcelain", "--ignored"}).stdout_text();
  ASSERT_EQ(repo_->git({"status", "--porcelain"}).stdout_text(), "");

  core::ProcessResult indexed = kolvex({"index", repo_->path().string(), "--scip"});
  ASSERT_EQ(indexed.returncode, 0) << indexed.stderr_text();
  EXPECT_EQ(indexed.stdout_text(), "indexed ts-app\n");
  EXPECT_EQ(indexed.stderr_text(), SEMANTIC_SKIPPED);
  std::optional<platform::RegisteredRepo> stored = row("ts-app");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, platform::RepoStatus::INDEXED);
  EXPECT_EQ(stored->scip_state, platform::ScipState::AVAILABLE) << stored->scip_failure_stderr.value_or("");

  EXPECT_EQ(repo_->git({"status", "--porcelain"}).stdout_text(), "");
  EXPECT_EQ(repo_->git({"status", "--porcelain", "--ignored"}).stdout_text(), ignored_before);
  EXPECT_FALSE(fs::exists(repo_->path() / "tsconfig.json"));

  core::Connection db = core::Connection::open(published_db("ts-app"), {.read_only = true});
  EXPECT_EQ(db.query_text("SELECT scip_state FROM kolvex_snapshot"), "available");
  std::vector<std::string> documents;
  auto statement = db.prepare("SELECT relative_path FROM documents ORDER BY relative_path");
  while (statement.step()) documents.push_back(statement.column_text(0));
  EXPECT_EQ(documents, (std::vector<std::string>{"src/main.ts", "src/report.ts", "src/shapes.ts"}));
  EXPECT_EQ(db.query_int("SELECT COUNT(*) FROM syntax_files WHERE scip_definition = 1 AND file_path IN "
                         "(SELECT relative_path FROM documents)"),
            3);
  db.close();
}

INSTANTIATE_TEST_SUITE_P(UntrackedScripts, TypeScriptWithoutTsconfig, testing::Values(0, 1200),
                         [](const testing::TestParamInfo<int>& info) {
                           return info.param ? "WithNodeModules" : "SourcesOnly";
                         });

// A watch of such a repository sees no change from its own runs: one edit, one
// run. Runs that wrote into the working tree would each start the next one a
// debounce period after it ended, so the watch is given many debounce periods
// to start another before the count is taken.
TEST_F(ScipRun, WatchingTypeScriptWithoutTsconfigRunsOncePerEdit) {
  commit_fixture("ts-app", {"tsconfig.json"});
  const std::string debounce = "0.2";
  constexpr auto QUIET_PERIOD = std::chrono::seconds(6);  // thirty debounce periods
  const std::string start_line = "[watch] watching " + repo_->path().string() + " (slug=ts-app, debounce=" +
                                 debounce + "s) — Ctrl+C to stop\n";
  const std::string change_line = "[watch] change detected, reindexing ts-app ...\n";
  const std::string done_line = "[watch] ts-app reindexed\n";
  core::ScratchDir logs = core::ScratchDir::create("kolvex-scip-e2e-logs-");
  e2e::BackgroundChild child(e2e::kolvex_command({"watch", repo_->path().string(), "--debounce", debounce, "--scip"}),
                             environment(), tmp_.path(), logs.path() / "out.txt", logs.path() / "err.txt");
  ASSERT_TRUE(child.wait_for_output(start_line)) << child.out() << child.err();

  repo_->write("src/main.ts", core::read_file(repo_->path() / "src/main.ts") + "// edited\n");
  ASSERT_TRUE(child.wait_for_output(done_line)) << child.out() << child.err();
  const auto quiet_until = std::chrono::steady_clock::now() + QUIET_PERIOD;
  while (std::chrono::steady_clock::now() < quiet_until && child.out() == start_line + change_line + done_line) {
    std::this_thread::sleep_for(e2e::POLL_STEP);
  }
  child.signal(SIGINT);
  std::optional<int> status = child.wait_for_exit();
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << child.err();
  EXPECT_EQ(child.out(), start_line + change_line + done_line);
  EXPECT_EQ(child.err(), SEMANTIC_SKIPPED);
  EXPECT_EQ(row("ts-app")->scip_state, platform::ScipState::AVAILABLE);
  EXPECT_EQ(repo_->git({"status", "--porcelain"}).stdout_text(), " M src/main.ts\n");
}

}  // namespace
}  // namespace kolvex
