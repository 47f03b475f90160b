#include "platform/registry.h"

#include <gtest/gtest.h>

#include "core/error.h"
#include "core/fs.h"
#include "platform/graph.h"

namespace kolvex::platform {
namespace {

namespace fs = std::filesystem;

class RegistryTest : public ::testing::Test {
 protected:
  core::ScratchDir scratch_ = core::ScratchDir::create("kolvex-registry-test-");
  // A data directory that does not exist yet, as on a first run.
  fs::path db_path_ = scratch_.path() / "data" / "registry.db";
};

ScipStageFields failed_stage(const std::string& reason, const std::string& sha) {
  return ScipStageFields{ScipState::FAILED, reason, reason + "\nfull text", sha};
}

TEST_F(RegistryTest, WorksBeforeTheFileExists) {
  Registry registry(db_path_);
  EXPECT_EQ(registry.get("api"), std::nullopt);
  EXPECT_TRUE(registry.list().empty());
  EXPECT_FALSE(registry.forget("api"));
  registry.mark_tracked_files("api", 3);
  registry.set_semantic_declined("api", true);
  EXPECT_FALSE(fs::exists(db_path_)) << "reads and updates of missing rows create nothing";

  registry.upsert("api", "/repos/api", "python", std::nullopt, RepoStatus::INDEXING);
  EXPECT_TRUE(fs::exists(db_path_));
  registry.close();
}

TEST_F(RegistryTest, UpsertCreatesARowWithDefaults) {
  Registry registry(db_path_);
  auto before = core::utc_now();
  registry.upsert("api", "/repos/api", "python", std::nullopt, RepoStatus::INDEXING);
  auto row = registry.get("api");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->slug, "api");
  EXPECT_EQ(row->path, "/repos/api");
  EXPECT_EQ(row->language, "python");
  EXPECT_EQ(row->status, RepoStatus::INDEXING);
  EXPECT_GE(row->last_indexed, before);
  EXPECT_LE(row->last_indexed, core::utc_now());
  EXPECT_TRUE(row->scip_enabled);
  EXPECT_FALSE(row->semantic_declined);
  EXPECT_TRUE(row->semantic_include.empty());
  EXPECT_EQ(row->commit_sha, std::nullopt);
  EXPECT_EQ(row->scip_state, std::nullopt);
  EXPECT_EQ(row->scheme_override, std::nullopt);
  EXPECT_EQ(row->language_override, std::nullopt);
  EXPECT_EQ(row->status_origin, std::nullopt);
  EXPECT_EQ(row->status_reason, std::nullopt);
  EXPECT_EQ(row->semantic_indexed_at, std::nullopt);
}

TEST_F(RegistryTest, StageFieldsAreKeptWithoutAStageAndReplacedWithOne) {
  Registry registry(db_path_);
  registry.upsert("api", "/repos/api", "python", "aaa", RepoStatus::DEGRADED,
                  {.status_reason = "indexer crashed", .scip_stage = failed_stage("indexer crashed", "aaa")});

  // A run's start passes no stage: the stored failure stays.
  registry.upsert("api", "/repos/api", "python", std::nullopt, RepoStatus::INDEXING);
  auto row = registry.get("api");
  EXPECT_EQ(row->scip_state, ScipState::FAILED);
  EXPECT_EQ(row->scip_failure_reason, "indexer crashed");
  EXPECT_EQ(row->scip_failure_stderr, "indexer crashed\nfull text");
  EXPECT_EQ(row->scip_failed_at_sha, "aaa");
  EXPECT_EQ(row->status_reason, std::nullopt) << "the reason belongs to the status it was written with";
  EXPECT_EQ(row->commit_sha, std::nullopt);

  // A record replaces all four fields, clearing those it leaves unset.
  registry.upsert("api", "/repos/api", "python", "bbb", RepoStatus::INDEXED,
                  {.scip_stage = ScipStageFields{ScipState::AVAILABLE}});
  row = registry.get("api");
  EXPECT_EQ(row->scip_state, ScipState::AVAILABLE);
  EXPECT_EQ(row->scip_failure_reason, std::nullopt);
  EXPECT_EQ(row->scip_failure_stderr, std::nullopt);
  EXPECT_EQ(row->scip_failed_at_sha, std::nullopt);
  EXPECT_EQ(row->commit_sha, "bbb");
  EXPECT_EQ(row->status, RepoStatus::INDEXED);
}

// A stage state enters as text only through its parser: an unknown text is
// refused there, before anything reaches the registry.
TEST_F(RegistryTest, UnknownStageStateIsRefused) {
  Registry registry(db_path_);
  try {
    registry.upsert("api", "/r", "python", std::nullopt, RepoStatus::INDEXED,
                    {.scip_stage = ScipStageFields{scip_state_from_text("broken")}});
    FAIL() << "expected ValueError";
  } catch (const core::ValueError& error) {
    EXPECT_EQ(error.message(), "unknown SCIP stage state 'broken'");
  }
  EXPECT_EQ(registry.get("api"), std::nullopt);
  EXPECT_FALSE(fs::exists(db_path_)) << "nothing was written";
}

TEST_F(RegistryTest, ChoicesPersistUntilReplaced) {
  Registry registry(db_path_);
  registry.upsert("app", "/repos/app", "swift", std::nullopt, RepoStatus::INDEXING,
                  {.scheme_override = "App",
                   .semantic_include = std::vector<std::string>{"vendor/b/", "vendor/a/", "gen"},
                   .language_override = "swift",
                   .scip_enabled = false});
  // Unset options keep what is stored.
  registry.upsert("app", "/repos/app", "swift", "c1", RepoStatus::INDEXED);
  auto row = registry.get("app");
  EXPECT_EQ(row->scheme_override, "App");
  EXPECT_EQ(row->semantic_include, (std::vector<std::string>{"vendor/b/", "vendor/a/", "gen"}));
  EXPECT_EQ(row->language_override, "swift");
  EXPECT_FALSE(row->scip_enabled);

  // Explicit values replace; an explicit empty include list is stored as empty.
  registry.upsert("app", "/repos/app", "swift", "c2", RepoStatus::INDEXED,
                  {.scheme_override = "AppTests", .semantic_include = std::vector<std::string>{},
                   .scip_enabled = true});
  row = registry.get("app");
  EXPECT_EQ(row->scheme_override, "AppTests");
  EXPECT_TRUE(row->semantic_include.empty());
  EXPECT_EQ(row->language_override, "swift");
  EXPECT_TRUE(row->scip_enabled);
}

TEST_F(RegistryTest, RecordFailureCreatesOrUpdatesTheRow) {
  Registry registry(db_path_);
  registry.record_failure("new", "/repos/new", UNKNOWN_LANGUAGE, ORIGIN_FAILED_HARD, "boom", "boom\ntrace");
  auto row = registry.get("new");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->status, RepoStatus::FAILED);
  EXPECT_EQ(row->path, "/repos/new");
  EXPECT_EQ(row->language, "unknown");
  EXPECT_EQ(row->status_origin, "failed-hard");
  EXPECT_EQ(row->status_reason, "boom");
  EXPECT_EQ(row->status_stderr, "boom\ntrace");
  EXPECT_TRUE(row->scip_enabled);
  EXPECT_TRUE(row->semantic_include.empty());

  registry.upsert("old", "/repos/old", "python", "c1", RepoStatus::INDEXED,
                  {.semantic_include = std::vector<std::string>{"x/"},
                   .scip_stage = ScipStageFields{ScipState::AVAILABLE}});
  registry.record_failure("old", "/repos/old", "python", ORIGIN_FAILED_HARD, "zoekt failed", "zoekt failed\n...");
  row = registry.get("old");
  EXPECT_EQ(row->status, RepoStatus::FAILED);
  EXPECT_EQ(row->commit_sha, "c1");
  EXPECT_EQ(row->scip_state, ScipState::AVAILABLE);
  EXPECT_EQ(row->semantic_include, std::vector<std::string>{"x/"});

  // The next recorded status clears the failure's origin, reason and text.
  registry.upsert("old", "/repos/old", "python", std::nullopt, RepoStatus::INDEXING);
  row = registry.get("old");
  EXPECT_EQ(row->status_origin, std::nullopt);
  EXPECT_EQ(row->status_reason, std::nullopt);
  EXPECT_EQ(row->status_stderr, std::nullopt);
}

TEST_F(RegistryTest, MarksChangeExistingRows) {
  Registry registry(db_path_);
  registry.upsert("api", "/repos/api", "python", "c1", RepoStatus::INDEXED);
  auto before = core::utc_now();
  registry.mark_tracked_files("api", 42);
  registry.mark_semantic_indexed("api");
  registry.set_semantic_declined("api", true);
  auto row = registry.get("api");
  EXPECT_EQ(row->tracked_files, 42);
  ASSERT_TRUE(row->semantic_indexed_at);
  EXPECT_GE(*row->semantic_indexed_at, before);
  EXPECT_TRUE(row->semantic_declined);

  // A later run keeps the marks.
  registry.upsert("api", "/repos/api", "python", "c2", RepoStatus::INDEXED);
  row = registry.get("api");
  EXPECT_TRUE(row->semantic_declined);
  EXPECT_TRUE(row->semantic_indexed_at);
}

TEST_F(RegistryTest, ForgetListAndReopen) {
  {
    Registry registry(db_path_);
    for (const char* slug : {"web", "api-gateway", "api"}) {
      registry.upsert(slug, std::string("/repos/") + slug, "typescript", "c", RepoStatus::INDEXED);
    }
    registry.close();
  }
  Registry registry(db_path_);
  std::vector<std::string> slugs;
  for (const auto& row : registry.list()) slugs.push_back(row.slug);
  EXPECT_EQ(slugs, (std::vector<std::string>{"api", "api-gateway", "web"}));

  EXPECT_TRUE(registry.forget("api"));
  EXPECT_FALSE(registry.forget("api"));
  EXPECT_EQ(registry.get("api"), std::nullopt);
  EXPECT_TRUE(registry.get("api-gateway"));
}

TEST_F(RegistryTest, ClosedRegistryRefusesUse) {
  Registry registry(db_path_);
  registry.upsert("api", "/r", "python", std::nullopt, RepoStatus::INDEXING);
  registry.close();
  registry.close();
  EXPECT_THROW(registry.get("api"), core::SqliteError);
  EXPECT_THROW(registry.upsert("api", "/r", "python", std::nullopt, RepoStatus::INDEXING), core::SqliteError);
}

TEST_F(RegistryTest, GraphStoreWritesWhileTheRegistryIsOpen) {
  Registry registry(db_path_);
  registry.upsert("api", "/repos/api", "python", std::nullopt, RepoStatus::INDEXING);
  {
    GraphStore store(db_path_);
    store.replace_repo("api", {{"pip", "api", "1.0"}}, {{"pip", "requests", "2.0"}});
    store.close();
  }
  registry.upsert("api", "/repos/api", "python", "c1", RepoStatus::INDEXED);
  registry.mark_tracked_files("api", 7);
  EXPECT_EQ(registry.get("api")->status, RepoStatus::INDEXED);
  GraphStore store(db_path_);
  EXPECT_EQ(store.dependencies_of("api"), (std::vector<PackageRef>{{"pip", "requests", "2.0"}}));
}

TEST(RegistryReport, OriginAndRecovery) {
  using S = RepoStatus;
  using Scip = ScipState;
  struct Case {
    RepoStatus status;
    std::optional<std::string> stored_origin;
    std::optional<ScipState> scip_state;
    std::string origin;
    std::optional<std::string> recovery;
  };
  const std::string fix_scip = "fix the SCIP indexer failure, then retry with: kolvex reindex api --scip; "
                               "or turn SCIP off with: kolvex reindex api --no-scip";
  const Case cases[] = {
      {S::INDEXED, std::nullopt, Scip::AVAILABLE, "index-run", std::nullopt},
      {S::FAILED, "failed-hard", std::nullopt, "failed-hard", "fix the cause above, then run: kolvex reindex api"},
      {S::FAILED, std::nullopt, std::nullopt, "failed-hard", "fix the cause above, then run: kolvex reindex api"},
      {S::DEGRADED, std::nullopt, Scip::UNAVAILABLE, "scip-unavailable",
       "install the SCIP tools for python (run setup.sh), then run: kolvex reindex api --scip; "
       "or turn SCIP off with: kolvex reindex api --no-scip"},
      {S::DEGRADED, std::nullopt, Scip::FAILED, "scip-failed", fix_scip},
      {S::DEGRADED, std::nullopt, std::nullopt, "scip-unknown", fix_scip},
      {S::PARTIAL, std::nullopt, Scip::AVAILABLE, "partial-extraction",
       "some files were not fully extracted; fix or exclude them, then run: kolvex reindex api"},
      {S::INDEXING, std::nullopt, std::nullopt, "run-in-progress",
       "if no index run is active, the last one was interrupted; run: kolvex reindex api"},
      {S::SEARCH_ONLY, std::nullopt, std::nullopt, "legacy-search-only",
       "recorded by an older version; run: kolvex reindex api"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(status_text(c.status));
    RegisteredRepo row;
    row.slug = "api";
    row.language = "python";
    row.status = c.status;
    row.status_origin = c.stored_origin;
    row.scip_state = c.scip_state;
    EXPECT_EQ(origin_of(row), c.origin);
    EXPECT_EQ(recovery_for(row), c.recovery);
  }
}

}  // namespace
}  // namespace kolvex::platform
