#include "repoctl/pipeline/language.h"

#include <gtest/gtest.h>

#include <functional>

#include "core/fs.h"
#include "testkit/git_repo.h"

namespace kolvex::pipeline {
namespace {

using testkit::GitRepo;

TEST(LanguageDetection, SuffixOfATrackedPath) {
  struct Case {
    const char* path;
    const char* suffix;
  };
  for (const Case& c : std::vector<Case>{{"a.py", ".py"},
                                         {"src/x.d.ts", ".ts"},
                                         {".py", ""},
                                         {"src/.py", ""},
                                         {"Makefile", ""},
                                         {"a.", ""},
                                         {"dir.d/file", ""},
                                         {"A.PY", ".PY"}}) {
    EXPECT_EQ(detection_suffix(c.path), c.suffix) << c.path;
  }
}

// Stages `count` files named "<dir>f<i><suffix>" for each entry.
void stage(const GitRepo& repo, const std::vector<std::pair<std::string, int>>& files) {
  for (const auto& [pattern, count] : files) {
    std::size_t star = pattern.find('*');
    for (int i = 0; i < count; ++i) {
      repo.write(pattern.substr(0, star) + std::to_string(i) + pattern.substr(star + 1), "x");
    }
  }
  repo.add();
}

TEST(LanguageDetection, MostFrequentSuffixWithTiesToTheEarlierOne) {
  struct Case {
    std::vector<std::pair<std::string, int>> files;
    const char* language;
  };
  const std::vector<Case> cases = {
      {{{"*.ts", 10}, {"*.py", 10}}, "typescript"},
      {{{"*.py", 10}, {"*.java", 10}}, "python"},
      {{{"*.ts", 3}, {"*.tsx", 3}, {"*.py", 4}}, "python"},
      {{{"*.java", 3}, {"*.kt", 3}, {"*.py", 4}}, "python"},
      {{{"*.kt", 2}, {"*.swift", 1}}, "java"},
      {{{"*.ts", 2}, {"*.py", 1}, {"*.PY", 5}, {"d*/.py", 5}, {"x*.", 5}, {"*", 5}, {"*.js", 9}}, "typescript"},
      {{{"src/*.d.ts", 2}, {"*.py", 1}}, "typescript"},
      {{{"*.py", 2},
        {"node_modules/*.ts", 5},
        {"src/build/*.ts", 5},
        {"dist/*.ts", 5},
        {".venv/lib/*.ts", 5},
        {"*.ts", 1}},
       "python"},
      {{{"a/*.swift", 1}}, "swift"},
  };
  for (const Case& c : cases) {
    GitRepo repo = GitRepo::init();
    stage(repo, c.files);
    const LanguageIndexer& row = detect_language(repo.path());
    EXPECT_EQ(row.language, c.language) << c.files.front().first;
    EXPECT_EQ(row.command, *indexer_for(c.language));
    // The run's index listing gives the same row.
    EXPECT_EQ(&detect_language(declstore::list_index(repo.path())), &row) << c.files.front().first;
  }
}

TEST(LanguageDetection, NoSupportedFileOrNoRepository) {
  GitRepo repo = GitRepo::init();
  stage(repo, {{"*.rb", 3}, {"*.py.txt", 1}, {"node_modules/*.py", 2}});
  const declstore::IndexListing listing = declstore::list_index(repo.path());
  for (const auto& detect : std::vector<std::function<void()>>{[&] { detect_language(repo.path()); },
                                                              [&] { detect_language(listing); }}) {
    try {
      detect();
      ADD_FAILURE() << "no error";
    } catch (const UnsupportedLanguageError& error) {
      EXPECT_EQ(error.message(),
                "no supported source files (.ts/.tsx/.py/.java/.kt/.swift) tracked under " + repo.path().string());
    }
  }
  EXPECT_THROW(detect_language(repo.scratch() / "missing"), NotAGitRepositoryError);
  EXPECT_THROW(detect_language(declstore::list_index(repo.scratch() / "missing")), NotAGitRepositoryError);
}

class Resolvers : public ::testing::Test {
 protected:
  core::ScratchDir scratch_ = core::ScratchDir::create("pipeline-registry-");
  platform::Registry registry_{scratch_.path() / "registry.db"};
};

TEST_F(Resolvers, DefaultsWithoutARow) {
  EXPECT_EQ(detail::resolve_language(registry_, "api", std::nullopt), std::nullopt);
  EXPECT_EQ(detail::resolve_scheme(registry_, "api", std::nullopt), std::nullopt);
  EXPECT_EQ(detail::resolve_semantic_include(registry_, "api", std::nullopt), std::vector<std::string>{});
  EXPECT_TRUE(detail::resolve_scip_enabled(registry_, "api", std::nullopt));
  EXPECT_FALSE(std::filesystem::exists(scratch_.path() / "registry.db"));
}

TEST_F(Resolvers, ExplicitValuesWinOverTheStoredOnes) {
  platform::UpsertOptions options;
  options.scheme_override = "App";
  options.semantic_include = std::vector<std::string>{"src/", "lib/"};
  options.language_override = "python";
  options.scip_enabled = true;
  registry_.upsert("api", "/repo", "python", std::nullopt, platform::RepoStatus::INDEXING, options);

  EXPECT_EQ(detail::resolve_language(registry_, "api", std::nullopt), "python");
  EXPECT_EQ(detail::resolve_scheme(registry_, "api", std::nullopt), "App");
  EXPECT_EQ(detail::resolve_semantic_include(registry_, "api", std::nullopt),
            (std::vector<std::string>{"src/", "lib/"}));
  EXPECT_TRUE(detail::resolve_scip_enabled(registry_, "api", std::nullopt));

  EXPECT_EQ(detail::resolve_language(registry_, "api", std::string("java")), "java");
  EXPECT_EQ(detail::resolve_scheme(registry_, "api", std::string("")), "");
  EXPECT_EQ(detail::resolve_semantic_include(registry_, "api", std::vector<std::string>{}),
            std::vector<std::string>{});
  EXPECT_FALSE(detail::resolve_scip_enabled(registry_, "api", false));

  registry_.upsert("web", "/web", "typescript", std::nullopt, platform::RepoStatus::INDEXING, {});
  EXPECT_EQ(detail::resolve_scheme(registry_, "web", std::nullopt), std::nullopt);
  EXPECT_EQ(detail::resolve_language(registry_, "web", std::nullopt), std::nullopt);
}

TEST(ScipSuppression, TableOfTests) {
  platform::RegisteredRepo row;
  row.slug = "api";
  row.language = "python";
  row.scip_state = platform::ScipState::FAILED;
  row.scip_failed_at_sha = "abc";
  row.language_override = "python";

  detail::SuppressionOptions base;
  base.watch = true;
  base.scip_enabled = true;
  base.head = "abc";
  base.resolved_language = "python";

  struct Case {
    const char* title;
    std::function<void(platform::RegisteredRepo&, detail::SuppressionOptions&)> change;
    bool suppressed;
  };
  const std::vector<Case> cases = {
      {"repeat of the failure", [](auto&, auto&) {}, true},
      {"same explicit language", [](auto&, auto& o) { o.language = "python"; }, true},
      {"other explicit language", [](auto&, auto& o) { o.language = "java"; }, false},
      {"explicit scheme against none stored", [](auto&, auto& o) { o.scheme = "App"; }, false},
      {"same explicit scheme", [](auto& r, auto& o) { r.scheme_override = "App"; o.scheme = "App"; }, true},
      {"explicit --scip", [](auto&, auto& o) { o.explicit_scip = true; }, false},
      {"explicit --no-scip value false", [](auto&, auto& o) { o.explicit_scip = false; }, true},
      {"other head", [](auto&, auto& o) { o.head = "def"; }, false},
      {"no stored commit", [](auto& r, auto&) { r.scip_failed_at_sha.reset(); }, false},
      {"not a watch run", [](auto&, auto& o) { o.watch = false; }, false},
      {"SCIP disabled", [](auto&, auto& o) { o.scip_enabled = false; }, false},
      {"stored unavailable", [](auto& r, auto&) { r.scip_state = platform::ScipState::UNAVAILABLE; }, true},
      {"stored available", [](auto& r, auto&) { r.scip_state = platform::ScipState::AVAILABLE; }, false},
      {"stored unsupported", [](auto& r, auto&) { r.scip_state = platform::ScipState::UNSUPPORTED; }, false},
      {"stored disabled", [](auto& r, auto&) { r.scip_state = platform::ScipState::DISABLED; }, false},
      {"no stored state", [](auto& r, auto&) { r.scip_state.reset(); }, false},
      {"stored language without indexer",
       [](auto& r, auto&) { r.language = std::string(platform::UNKNOWN_LANGUAGE); }, false},
      // The decision follows the language this run resolved, not the stored one.
      {"this run resolved no SCIP language",
       [](auto&, auto& o) { o.resolved_language = std::string(platform::UNKNOWN_LANGUAGE); }, false},
      {"this run resolved another language", [](auto&, auto& o) { o.resolved_language = "typescript"; }, false},
  };
  for (const Case& c : cases) {
    platform::RegisteredRepo entry = row;
    detail::SuppressionOptions options = base;
    c.change(entry, options);
    EXPECT_EQ(detail::scip_suppressed(entry, options), c.suppressed) << c.title;
  }
  EXPECT_FALSE(detail::scip_suppressed(std::nullopt, base));
}

}  // namespace
}  // namespace kolvex::pipeline
