#include "platform/config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"

namespace kolvex::platform {
namespace {

namespace fs = std::filesystem;

// Sets (or unsets) environment variables for one test and restores them after.
class EnvGuard {
 public:
  void set(const char* name, const std::optional<std::string>& value) {
    if (saved_.find(name) == saved_.end()) {
      const char* old = std::getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~EnvGuard() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

template <typename F>
std::string value_error_text(F&& call) {
  try {
    call();
  } catch (const core::ValueError& error) {
    return error.message();
  }
  return "<no ValueError>";
}

TEST(RepoSlug, NormalisesNames) {
  struct Case {
    std::string name;
    std::string slug;
  };
  const Case cases[] = {
      {"My Repo", "my-repo"},
      {"api", "api"},
      {"api-gateway", "api-gateway"},
      {"API_Gateway", "api-gateway"},   // "_" never survives: shard names are <slug>_v<N>
      {"api_v2", "api-v2"},
      {"foo__  bar", "foo-bar"},        // runs collapse
      {"--x--", "x"},                   // ends trimmed
      {".hidden.", "hidden"},
      {"v1.2.3", "v1.2.3"},
      {"org/repo", "org-repo"},
      {"repo*?[x]", "repo-x"},          // glob characters
      {"\xc3\x9c" "ber-\xc3\xa9" "t\xc3\xa9", "ber-t"},  // non-ASCII bytes become "-"
      {"a.-.b", "a.-.b"},
      {"x\xff", "x"},                   // invalid UTF-8
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string slug = repo_slug(c.name);
    EXPECT_EQ(slug, c.slug);
    EXPECT_EQ(repo_slug(slug), slug) << "normalising a slug must return it unchanged";
    EXPECT_TRUE(is_normalised_slug(slug));
  }
}

TEST(RepoSlug, RejectsUnusableNamesWithTheirText) {
  struct Case {
    std::string name;
    std::string message;
  };
  const Case cases[] = {
      {"", "unusable repository slug '': a slug needs at least one letter or digit"},
      {".", "unusable repository slug '.': a slug needs at least one letter or digit"},
      {"..", "unusable repository slug '..': a slug needs at least one letter or digit"},
      {"/", "unusable repository slug '/': a slug needs at least one letter or digit"},
      {"__", "unusable repository slug '__': a slug needs at least one letter or digit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(value_error_text([&] { repo_slug(c.name); }), c.message);
  }
  std::string long_name(MAX_SLUG_LENGTH + 1, 'a');
  EXPECT_EQ(value_error_text([&] { repo_slug(long_name); }),
            "unusable repository slug '" + long_name + "': longer than 200 characters");
  EXPECT_EQ(repo_slug(std::string(MAX_SLUG_LENGTH, 'a')), std::string(MAX_SLUG_LENGTH, 'a'));
}

TEST(RepoSlug, SimilarNamesStayDistinct) {
  EXPECT_NE(repo_slug("api"), repo_slug("api-gateway"));
  EXPECT_NE(index_dir("api", fs::path("/data")), index_dir("api-gateway", fs::path("/data")));
  // A slug never contains "_", so "<slug>_v" of one slug is never a prefix of another's shard names.
  for (const char* name : {"api", "api-gateway", "api_v2", "API_V2"}) {
    EXPECT_EQ(repo_slug(name).find('_'), std::string::npos) << name;
  }
}

TEST(Config, LocationsForAGivenRoot) {
  const fs::path root = "/srv/kolvex-data";
  EXPECT_EQ(data_dir(root), root);
  EXPECT_EQ(index_dir("my-repo", root), root / "scip" / "local" / "my-repo" / "default");
  EXPECT_EQ(lancedb_dir(root), root / "lancedb");
}

TEST(Config, DefaultLocationsFollowXdg) {
  struct Case {
    std::optional<std::string> xdg_data;
    std::optional<std::string> xdg_cache;
    std::string home;
    fs::path data;
    fs::path swift_cache;
  };
  const Case cases[] = {
      {"/xdg/data", "/xdg/cache", "/home/u", "/xdg/data/kolvex", "/xdg/cache/kolvex/scip-swift/api"},
      {std::nullopt, std::nullopt, "/home/u", "/home/u/.local/share/kolvex", "/home/u/.cache/kolvex/scip-swift/api"},
      {"", "", "/home/u", "/home/u/.local/share/kolvex", "/home/u/.cache/kolvex/scip-swift/api"},
      // Relative XDG values are ignored, as the base-directory rules say.
      {"rel/data", "rel/cache", "/home/v", "/home/v/.local/share/kolvex", "/home/v/.cache/kolvex/scip-swift/api"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.home + " " + c.xdg_data.value_or("<unset>"));
    EnvGuard env;
    env.set("XDG_DATA_HOME", c.xdg_data);
    env.set("XDG_CACHE_HOME", c.xdg_cache);
    env.set("HOME", c.home);
    EXPECT_EQ(data_dir(), c.data);
    EXPECT_EQ(index_dir("api"), c.data / "scip" / "local" / "api" / "default");
    EXPECT_EQ(lancedb_dir(), c.data / "lancedb");
    EXPECT_EQ(shim_dir(), c.data / "shims");
    EXPECT_EQ(swift_cache_dir("api"), c.swift_cache);
  }
}

TEST(Config, PerSlugLocationsRefuseUnsafeSlugs) {
  for (const char* slug : {"My Repo", "..", ".", "", "a/b", "x_v1", "-x"}) {
    SCOPED_TRACE(slug);
    std::string expected = "not a normalised repository slug: '" + std::string(slug) + "'";
    EXPECT_EQ(value_error_text([&] { index_dir(slug, fs::path("/data")); }), expected);
    EXPECT_EQ(value_error_text([&] { swift_cache_dir(slug); }), expected);
  }
}

TEST(Config, IgnoredDirsAreExactComponents) {
  for (const char* name : {".git", "node_modules", ".venv", "__pycache__", "dist", "build", ".scip-cache",
                           ".build", "DerivedData", ".index-store", "IndexStore", ".swiftpm"}) {
    EXPECT_TRUE(is_ignored_dir(name)) << name;
  }
  for (const char* name : {"Build", "builds", "src", "", "node_modules/"}) {
    EXPECT_FALSE(is_ignored_dir(name)) << name;
  }
}

TEST(Config, IgnoredComponentIsAWholePieceOfThePath) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"build", true},          {"src/build/x.c", true},       {"a/b/node_modules", true},
      {".git/config", true},    {"./dist/a.js", true},         {"x//.venv//y", true},
      {"src/main.c", false},    {"src/Build/x.c", false},      {"builds/x", false},
      {"a\\build\\b", false}, {"", false},                  {"./src/../x", false},
      {"my.build/x", false},    {"src/build.gradle", false},
  };
  for (const auto& [path, ignored] : cases) EXPECT_EQ(has_ignored_component(path), ignored) << path;
}

}  // namespace
}  // namespace kolvex::platform
