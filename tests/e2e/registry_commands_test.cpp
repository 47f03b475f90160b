// `kolvex list`, `status`, `reindex` and `forget` end to end: the real program
// against a seeded registry, hand-written published snapshots, temporary git
// repositories and fake external tools on PATH.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/fs.h"
#include "core/process.h"
#include "core/sqlite.h"
#include "core/text.h"
#include "declstore/schema.h"
#include "platform/config.h"
#include "platform/graph.h"
#include "platform/registry.h"
#include "testkit/fake_program.h"
#include "testkit/git_repo.h"
#include "tests/e2e/kolvex_fixture.h"

namespace kolvex {
namespace {

namespace fs = std::filesystem;
using testkit::EnvOverlay;

constexpr const char* LAST_INDEXED = "2026-12-10T13:15:37.250000+00:00";
constexpr const char* SEMANTIC_AT = "2026-12-09T08:00:00+00:00";
constexpr const char* SNAPSHOT_NAME = "index-c0ffee-0123abcd.db";
constexpr const char* FULL_LOG = "full log: persisted in the registry (status_stderr column)\n";

// A snapshot database whose facts row holds these counts.
std::string facts_sql(std::string_view counts) {
  return std::string(declstore::SYNTAX_SCHEMA) +
         "INSERT INTO kolvex_snapshot VALUES (1, 1, '0123abcd', 'c0ffee', '2026-12-10T13:15:37+00:00', 'ff', "
         "'disabled', 0, 0, 0, 0, 0, '" +
         std::string(counts) + "');";
}
constexpr const char* COUNTS = R"({"parsed": 3, "partial": 1, "failed": 0, "skipped": 2, "unsupported": 5})";
constexpr const char* SYNTAX_LINE = "syntax: parsed=3 partial=1 failed=0 skipped=2 unsupported=5\n";

// "line 1\n" ... "line <count>\n".
std::string numbered_lines(int from, int to) {
  std::string text;
  for (int n = from; n <= to; ++n) text += "line " + std::to_string(n) + "\n";
  return text;
}

class RegistryCommands : public e2e::KolvexFixture {
 protected:
  RegistryCommands() : cache_(core::ScratchDir::create("kolvex-e2e-cache-")) {}

  // The base environment with a private cache directory.
  EnvOverlay environment() const { return KolvexFixture::environment({{"XDG_CACHE_HOME", cache_.path().string()}}); }

  core::ProcessResult kolvex(const std::vector<std::string>& args) const {
    return e2e::run_kolvex(args, environment(), tmp_.path());
  }

  platform::Registry registry() const { return platform::Registry(data_root() / "registry.db"); }

  // Runs SQL on registry.db directly, for states the registry's API never writes.
  void registry_sql(const std::string& sql) const {
    core::Connection db = core::Connection::open(data_root() / "registry.db");
    db.exec(sql);
    db.close();
  }

  // Writes one versioned database (from `sql`, or these raw bytes when `raw`)
  // into the slug's published directory and points "current" at it.
  void publish(const std::string& slug, const std::string& content, bool raw = false) const {
    fs::create_directories(index_dir(slug));
    const fs::path database = index_dir(slug) / SNAPSHOT_NAME;
    fs::remove(database);
    if (raw) {
      core::write_file(database, content);
    } else {
      core::Connection db = core::Connection::open(database);
      db.exec(content);
      db.close();
    }
    core::write_file(index_dir(slug) / "current", SNAPSHOT_NAME);
  }

  core::ScratchDir cache_;
};

// --- list and status over one seeded registry ---

class SeededRegistry : public RegistryCommands {
 protected:
  SeededRegistry() {
    platform::Registry seed = registry();
    seed.record_failure("alpha", "/work/alpha", "python", platform::ORIGIN_FAILED_HARD, "zoekt-git-index failed",
                        numbered_lines(1, 25));
    seed.record_failure("beta", "/work/beta", "unknown", "", "", "one\r\ntwo\rthree\n");
    seed.record_failure("gamma", "/work/gamma", "python", platform::ORIGIN_FAILED_HARD, "", "");
    seed.upsert("delta", "/work/delta", "typescript", "c0ffee", platform::RepoStatus::DEGRADED,
                {.status_reason = "scip-typescript failed:\texit 1",
                 .scip_stage = platform::ScipStageFields{.state = platform::ScipState::FAILED,
                                                         .failure_reason = "scip-typescript exited 1"}});
    seed.upsert("epsilon", "/work/epsilon", "java", "e1", platform::RepoStatus::DEGRADED,
                {.scip_stage = platform::ScipStageFields{.state = platform::ScipState::UNAVAILABLE}});
    seed.upsert("zeta", "/work/zeta", "python", "abc", platform::RepoStatus::PARTIAL,
                {.scip_stage = platform::ScipStageFields{.state = platform::ScipState::AVAILABLE}});
    seed.upsert("eta", "/work/eta", "python", "e7a", platform::RepoStatus::SEARCH_ONLY, {.status_reason = "old"});
    seed.upsert("theta", "/work/theta", "python", std::nullopt, platform::RepoStatus::INDEXING);
    seed.upsert("iota", "/work/iota", "python", "", platform::RepoStatus::INDEXED);
    seed.upsert("kappa", "/work/kappa", "go", "deadbeef", platform::RepoStatus::INDEXED,
                {.scip_enabled = false,
                 .scip_stage = platform::ScipStageFields{.state = platform::ScipState::DISABLED}});
    seed.mark_semantic_indexed("delta");
    seed.close();
    // Fixed times, so that the report can be compared byte for byte; a NULL
    // reason and an empty SCIP state, which the registry never writes itself.
    registry_sql(std::string("UPDATE repos SET last_indexed = '") + LAST_INDEXED + "';" +
                 "UPDATE repos SET semantic_indexed_at = '" + SEMANTIC_AT + "' WHERE slug = 'delta';" +
                 "UPDATE repos SET status_reason = NULL WHERE slug = 'gamma';" +
                 "UPDATE repos SET scip_state = '' WHERE slug = 'kappa';");
    publish("delta", facts_sql(COUNTS));
    publish("zeta", facts_sql(R"({"parsed": 10, "partial": 2, "failed": 1, "skipped": 0, "unsupported": 0})"));
  }

  // The report lines every row starts with, up to "scipState: ".
  static std::string head(const std::string& slug, const std::string& language, const std::string& status,
                          const std::string& commit, bool scip_enabled, const std::string& scip_state) {
    return "slug: " + slug + "\npath: /work/" + slug + "\nlanguage: " + language + "\nstatus: " + status +
           "\ncommit: " + commit + "\nlast_indexed: " + LAST_INDEXED + "\nscipEnabled: " +
           (scip_enabled ? "true" : "false") + "\nscipState: " + scip_state + "\n";
  }
};

TEST_F(SeededRegistry, ListWritesOneLinePerRowWithMarksAndReasons) {
  core::ProcessResult run = kolvex({"list"});
  EXPECT_EQ(run.returncode, 0);
  EXPECT_EQ(run.stderr_text(), "");
  EXPECT_EQ(run.stdout_text(),
            "alpha\t✗ failed\tpython\t-\t/work/alpha\tzoekt-git-index failed\n"
            "beta\t✗ failed\tunknown\t-\t/work/beta\tfailed\n"
            "delta\t◐ degraded\ttypescript\tc0ffee\t/work/delta\tscip-typescript failed:\texit 1\n"
            "epsilon\t◐ degraded\tjava\te1\t/work/epsilon\tdegraded\n"
            "eta\t◐ search-only\tpython\te7a\t/work/eta\n"
            "gamma\t✗ failed\tpython\t-\t/work/gamma\tfailed\n"
            "iota\t✓ indexed\tpython\t-\t/work/iota\n"
            "kappa\t✓ indexed\tgo\tdeadbeef\t/work/kappa\n"
            "theta\t✓ indexing\tpython\t-\t/work/theta\n"
            "zeta\t✓ partial\tpython\tabc\t/work/zeta\n");
}

TEST_F(SeededRegistry, ReportsThatCannotBeWrittenFail) {
  for (std::string command : {"list", "status alpha"}) {
    SCOPED_TRACE(command);
    core::ProcessOptions options;
    options.env = environment();
    options.cwd = tmp_.path();
    core::ProcessResult run =
        core::run_process({"/bin/sh", "-c", "exec \"$0\" " + command + " > /dev/full", KOLVEX_BINARY}, options);
    EXPECT_EQ(run.returncode, 1);
    EXPECT_TRUE(run.stderr_text().ends_with("failed to write to standard output: No space left on device\n"))
        << run.stderr_text();
  }
}

TEST_F(RegistryCommands, ListOfAnEmptyRegistryPrintsNothing) {
  core::ProcessResult run = kolvex({"list"});
  EXPECT_EQ(run.returncode, 0);
  EXPECT_EQ(run.stdout_text(), "");
  EXPECT_EQ(run.stderr_text(), "");
}

TEST_F(SeededRegistry, StatusReports) {
  struct Case {
    std::string slug;
    std::string report;
  };
  const Case cases[] = {
      // Failed with a reason: the last 20 of 25 lines, then the pointer to the full log.
      {"alpha", head("alpha", "python", "failed", "-", true, "unknown") +
                    "semantic: -\norigin: failed-hard\ncause: zoekt-git-index failed\n"
                    "recovery: fix the cause above, then run: kolvex reindex alpha\n\n" +
                    numbered_lines(6, 25) + FULL_LOG},
      // Failed without a reason or origin: the status stands in; 3 lines (CR LF and
      // a lone CR end lines too) are shown whole.
      {"beta", head("beta", "unknown", "failed", "-", true, "unknown") +
                   "semantic: -\norigin: failed-hard\ncause: failed\n"
                   "recovery: fix the cause above, then run: kolvex reindex beta\n\none\ntwo\nthree\n" +
                   FULL_LOG},
      {"gamma", head("gamma", "python", "failed", "-", true, "unknown") +
                    "semantic: -\norigin: failed-hard\ncause: failed\n"
                    "recovery: fix the cause above, then run: kolvex reindex gamma\n"},
      // Degraded with a SCIP failure and a live snapshot with its counts.
      {"delta", head("delta", "typescript", "degraded", "c0ffee", true, "failed") +
                    "scipFailure: scip-typescript exited 1\n" + SYNTAX_LINE + "semantic: " + SEMANTIC_AT +
                    "\norigin: scip-failed\ncause: scip-typescript failed:\texit 1\n"
                    "recovery: fix the SCIP indexer failure, then retry with: kolvex reindex delta --scip; or "
                    "turn SCIP off with: kolvex reindex delta --no-scip\n"},
      {"zeta", head("zeta", "python", "partial", "abc", true, "available") +
                   "syntax: parsed=10 partial=2 failed=1 skipped=0 unsupported=0\nsemantic: -\n"
                   "origin: partial-extraction\ncause: partial\n"
                   "recovery: some files were not fully extracted; fix or exclude them, then run: kolvex reindex "
                   "zeta\n"},
      {"eta", head("eta", "python", "search-only", "e7a", true, "unknown") +
                  "semantic: -\norigin: legacy-search-only\ncause: old\n"
                  "recovery: recorded by an older version; run: kolvex reindex eta\n"},
      // A first run still at "indexing": no commit yet.
      {"theta", head("theta", "python", "indexing", "-", true, "unknown") +
                    "semantic: -\norigin: run-in-progress\ncause: indexing\n"
                    "recovery: if no index run is active, the last one was interrupted; run: kolvex reindex "
                    "theta\n"},
      // Nothing to explain: no origin block. SCIP off, an empty state reads "unknown".
      {"kappa", head("kappa", "go", "indexed", "deadbeef", false, "unknown") + "semantic: -\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.slug);
    core::ProcessResult run = kolvex({"status", c.slug});
    EXPECT_EQ(run.returncode, 0);
    EXPECT_EQ(run.stdout_text(), c.report);
    EXPECT_EQ(run.stderr_text(), "");
  }
}

TEST_F(SeededRegistry, StatusNormalisesTheSlugAndRejectsUnknownOnes) {
  core::ProcessResult typed = kolvex({"status", "Kappa"});
  EXPECT_EQ(typed.returncode, 0);
  EXPECT_TRUE(typed.stdout_text().starts_with("slug: kappa\n")) << typed.stdout_text();

  core::ProcessResult unknown = kolvex({"status", "Never Indexed"});
  EXPECT_EQ(unknown.returncode, 1);
  EXPECT_EQ(unknown.stdout_text(), "");
  EXPECT_EQ(unknown.stderr_text(), "error: no such repo: never-indexed\n");

  core::ProcessResult unusable = kolvex({"status", "///"});
  EXPECT_EQ(unusable.returncode, 1);
  EXPECT_EQ(unusable.stdout_text(), "");
  EXPECT_TRUE(unusable.stderr_text().starts_with("error: unusable repository slug '///'")) << unusable.stderr_text();
}

TEST_F(SeededRegistry, UnreadableSnapshotsOnlyLeaveOutTheSyntaxLine) {
  const std::string without_counts = head("kappa", "go", "indexed", "deadbeef", false, "unknown") + "semantic: -\n";
  const std::string with_counts =
      head("kappa", "go", "indexed", "deadbeef", false, "unknown") + SYNTAX_LINE + "semantic: -\n";
  struct Case {
    std::string what;
    std::function<void()> prepare;
    const std::string& report;
  };
  const Case cases[] = {
      {"live snapshot", [&] { publish("kappa", facts_sql(COUNTS)); }, with_counts},
      {"facts table without its row",
       [&] { publish("kappa", std::string(declstore::SYNTAX_SCHEMA)); }, without_counts},
      {"malformed counts", [&] { publish("kappa", facts_sql(R"({"parsed": 3})")); }, without_counts},
      {"counts that are not JSON", [&] { publish("kappa", facts_sql("not json")); }, without_counts},
      {"not a database", [&] { publish("kappa", "this is not an SQLite file, just text", true); }, without_counts},
      {"legacy snapshot without a facts table",
       [&] { publish("kappa", "CREATE TABLE documents (id INTEGER PRIMARY KEY, relative_path TEXT);"); },
       without_counts},
      {"pointer naming a missing file", [&] { fs::remove(index_dir("kappa") / SNAPSHOT_NAME); }, without_counts},
      {"pointer naming a path", [&] { core::write_file(index_dir("kappa") / "current", "../../delta/default/" +
                                                                                            std::string(SNAPSHOT_NAME)); },
       without_counts},
      {"empty pointer", [&] { core::write_file(index_dir("kappa") / "current", "\n"); }, without_counts},
      {"nothing published", [&] { fs::remove_all(index_dir("kappa")); }, without_counts},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.prepare();
    core::ProcessResult run = kolvex({"status", "kappa"});
    EXPECT_EQ(run.returncode, 0);
    EXPECT_EQ(run.stdout_text(), c.report);
    EXPECT_EQ(run.stderr_text(), "");
  }
}

// --- reindex ---

class Reindex : public RegistryCommands {
 protected:
  Reindex() : repo_(testkit::GitRepo::init("repo")) {
    repo_.write("app/main.py", "class App:\n    def run(self):\n        return 1\n");
    repo_.commit_all("initial");
  }
  testkit::GitRepo repo_;
};

TEST_F(Reindex, RunsAgainWithTheStoredChoicesAndScipSwitchesItOn) {
  platform::Registry seed = registry();
  seed.upsert("repo", repo_.path().string(), "python", "0000", platform::RepoStatus::INDEXED,
              {.scheme_override = "App",
               .semantic_include = std::vector<std::string>{"src", "lib"},
               .language_override = "python",
               .scip_enabled = false});
  seed.close();

  // The slug as typed is normalised before the lookup.
  core::ProcessResult run = kolvex({"reindex", "REPO"});
  ASSERT_EQ(run.returncode, 0) << run.stderr_text();
  EXPECT_EQ(run.stdout_text(), "indexed repo\n");
  EXPECT_EQ(zoekt_.invocations().size(), 1u);
  auto stored = row("repo");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, platform::RepoStatus::INDEXED);
  EXPECT_EQ(stored->commit_sha, repo_.head());
  EXPECT_FALSE(stored->scip_enabled);  // no --scip: the stored choice stays off
  EXPECT_EQ(stored->scip_state, platform::ScipState::DISABLED);
  EXPECT_EQ(stored->scheme_override, "App");
  EXPECT_EQ(stored->language_override, "python");
  EXPECT_EQ(stored->semantic_include, (std::vector<std::string>{"src", "lib"}));
  EXPECT_TRUE(fs::exists(index_dir("repo") / "current"));

  // --scip switches SCIP on for this and later runs; without the tools it degrades.
  core::ProcessResult with_scip = kolvex({"reindex", "repo", "--scip"});
  ASSERT_EQ(with_scip.returncode, 0) << with_scip.stderr_text();
  EXPECT_EQ(with_scip.stdout_text(), "indexed repo\n");
  stored = row("repo");
  EXPECT_TRUE(stored->scip_enabled);
  EXPECT_EQ(stored->scip_state, platform::ScipState::UNAVAILABLE);
  EXPECT_EQ(stored->status, platform::RepoStatus::DEGRADED);
  EXPECT_EQ(stored->scheme_override, "App");
  EXPECT_EQ(stored->semantic_include, (std::vector<std::string>{"src", "lib"}));
}

TEST_F(Reindex, UnknownSlugStartsNoRun) {
  core::ProcessResult run = kolvex({"reindex", "Elsewhere"});
  EXPECT_EQ(run.returncode, 1);
  EXPECT_EQ(run.stdout_text(), "");
  EXPECT_EQ(run.stderr_text(), "error: no such repo: elsewhere\n");
  EXPECT_TRUE(zoekt_.invocations().empty());
}

// --- forget ---

class Forget : public RegistryCommands {
 protected:
  Forget() : api_(testkit::GitRepo::init("api")), gateway_(testkit::GitRepo::init("api-gateway")) {
    api_.git({"config", "zoekt.name", "api"});
    gateway_.git({"config", "zoekt.name", "api-gateway"});
    platform::Registry seed = registry();
    seed.upsert("api", api_.path().string(), "python", "a1", platform::RepoStatus::INDEXED);
    seed.upsert("api-gateway", gateway_.path().string(), "python", "b2", platform::RepoStatus::INDEXED);
    seed.close();
    platform::GraphStore graph(data_root() / "registry.db");
    for (const char* slug : {"api", "api-gateway"}) {
      graph.replace_repo(slug, {{"npm", slug, "1.0.0"}}, {{"npm", "left-pad", "1.3.0"}});
    }
    graph.close();
    for (const char* slug : {"api", "api-gateway"}) {
      publish(slug, facts_sql(COUNTS));
      fs::create_directories(platform::lancedb_dir(data_root()) / (std::string(slug) + ".lance"));
      core::write_file(platform::lancedb_dir(data_root()) / (std::string(slug) + ".lance") / "data", "x");
      fs::create_directories(swift_cache(slug));
      fs::create_directories(capture_records(slug));
      core::write_file(capture_records(slug) / "record", "x");
    }
    fs::create_directories(zoekt_dir());
    for (const char* shard : SHARDS) core::write_file(zoekt_dir() / shard, "shard");
  }

  fs::path zoekt_dir() const { return data_root() / ".zoekt"; }
  fs::path swift_cache(const std::string& slug) const { return cache_.path() / "kolvex" / "scip-swift" / slug; }
  fs::path capture_records(const std::string& slug) const { return data_root() / ".capture-records" / slug; }
  std::vector<std::string> shards() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(zoekt_dir())) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  static constexpr const char* SHARDS[] = {"api_v16.00000.zoekt", "api_v16.00001.zoekt",
                                           "api-gateway_v16.00000.zoekt", "api_v16.00002.zoekt.tmp"};
  testkit::GitRepo api_;
  testkit::GitRepo gateway_;
};

TEST_F(Forget, RemovesEverythingOfTheSlugAndNothingOfApiGateway) {
  core::ProcessResult run = kolvex({"forget", "API"});
  ASSERT_EQ(run.returncode, 0) << run.stderr_text();
  EXPECT_EQ(run.stdout_text(), "forgot api\n");
  EXPECT_EQ(run.stderr_text(), "");

  EXPECT_FALSE(row("api"));
  EXPECT_TRUE(row("api-gateway"));
  EXPECT_EQ(api_.git_unchecked({"config", "zoekt.name"}).returncode, 1);  // key gone
  EXPECT_EQ(core::strip(gateway_.git({"config", "zoekt.name"}).stdout_text()), "api-gateway");
  platform::GraphStore graph(data_root() / "registry.db");
  EXPECT_TRUE(graph.packages_of("api").empty());
  EXPECT_TRUE(graph.dependencies_of("api").empty());
  EXPECT_EQ(graph.packages_of("api-gateway").size(), 1u);
  EXPECT_EQ(graph.dependencies_of("api-gateway").size(), 1u);
  graph.close();
  EXPECT_FALSE(fs::exists(index_dir("api")));
  EXPECT_TRUE(fs::exists(index_dir("api-gateway") / SNAPSHOT_NAME));
  // The slug is matched literally; a temporary shard is not a shard.
  EXPECT_EQ(shards(), (std::vector<std::string>{"api-gateway_v16.00000.zoekt", "api_v16.00002.zoekt.tmp"}));
  EXPECT_FALSE(fs::exists(platform::lancedb_dir(data_root()) / "api.lance"));
  EXPECT_TRUE(fs::exists(platform::lancedb_dir(data_root()) / "api-gateway.lance" / "data"));
  EXPECT_FALSE(fs::exists(swift_cache("api")));
  EXPECT_TRUE(fs::exists(swift_cache("api-gateway")));
  EXPECT_FALSE(fs::exists(capture_records("api")));
  EXPECT_TRUE(fs::exists(capture_records("api-gateway") / "record"));

  core::ProcessResult again = kolvex({"forget", "api"});
  EXPECT_EQ(again.returncode, 1);
  EXPECT_EQ(again.stdout_text(), "");
  EXPECT_EQ(again.stderr_text(), "error: no such repo: api\n");
}

TEST_F(Forget, VanishedRepositoryIsStillForgotten) {
  const fs::path gone = tmp_.path() / "gone";
  platform::Registry seed = registry();
  seed.upsert("gone", gone.string(), "python", "c3", platform::RepoStatus::INDEXED);
  seed.close();
  core::ProcessResult run = kolvex({"forget", "gone"});
  EXPECT_EQ(run.returncode, 0) << run.stderr_text();
  EXPECT_EQ(run.stdout_text(), "forgot gone\n");
  EXPECT_EQ(run.stderr_text(), "");
  EXPECT_FALSE(row("gone"));
  EXPECT_EQ(shards().size(), 4u);  // nobody else's shards were touched
}

}  // namespace
}  // namespace kolvex
