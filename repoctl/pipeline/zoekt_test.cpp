#include "repoctl/pipeline/zoekt.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/fs.h"

namespace kolvex::pipeline {
namespace {

namespace fs = std::filesystem;

TEST(ZoektCommand, SixArgumentsInOrder) {
  EXPECT_EQ(detail::zoekt_index_cmd("/data/.zoekt", "/src/my repo"),
            (Command{"zoekt-git-index", "-index", "/data/.zoekt", "-incremental=false", "-submodules=false",
                     "/src/my repo"}));
}

TEST(ZoektCount, FirstCountLineAnywhere) {
  struct Case {
    std::string output;
    std::optional<std::uint64_t> count;
  };
  const std::vector<Case> cases = {
      {"2026/01/01 12:00 attempting to index 12 total files (shards)\n", 12},
      {"attempting to index 1234 total files", 1234},
      {"attempting to index 3 total files\nattempting to index 9 total files\n", 3},
      {"", std::nullopt},
      {"attempting to index  total files", std::nullopt},
      {"attempting to index many total files", std::nullopt},
      {"attempting to index 7 files", std::nullopt},
      {"attempting to index x\nattempting to index 5 total files", 5},
  };
  for (const Case& c : cases) EXPECT_EQ(detail::parse_indexed_file_count(c.output), c.count) << c.output;
}

TEST(ZoektCount, ShortfallWarnsOnlyWhenFewerFilesWereIndexed) {
  struct Case {
    std::int64_t expected;
    std::string output;
    std::optional<std::string> warning;
  };
  const std::vector<Case> cases = {
      {12, "attempting to index 12 total files", std::nullopt},
      {12, "attempting to index 13 total files", std::nullopt},
      {12, "no count here", std::nullopt},
      {0, "attempting to index 0 total files", std::nullopt},
      {12, "attempting to index 11 total files",
       "warning: api indexed 11 of 12 git-tracked files — searchCode results will be incomplete. Large files "
       "(>2MB) and binaries are skipped by design; a larger gap suggests a problem."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detail::coverage_shortfall_warning("api", c.expected, c.output), c.warning) << c.output;
  }
}

TEST(ZoektShards, SlugIsMatchedLiterally) {
  struct Case {
    const char* name;
    bool shard;
    bool tmp;
  };
  const std::vector<Case> cases = {
      {"api_v16.00000.zoekt", true, false},
      {"api_v16.00000.zoekt.123456.tmp", false, true},
      {"api_v16.00001.zoekt.tmp", false, true},
      {"api-gateway_v16.00000.zoekt", false, false},
      {"api-gateway_v16.00000.zoekt.1.tmp", false, false},
      {"api_v2_v16.00000.zoekt", false, false},
      {"api_v2_v16.00000.zoekt.9.tmp", false, false},
      {"api_vx.00000.zoekt", false, false},
      {"api_v.zoekt", false, false},
      {"apix_v16.00000.zoekt", false, false},
      {"api_v16.00000.zoekt.tmp.bak", false, false},
      {"api_v16.00000.tmp", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_zoekt_shard_of("api", c.name), c.shard) << c.name;
    EXPECT_EQ(is_zoekt_tmp_shard_of("api", c.name), c.tmp) << c.name;
  }
  // Glob characters in a slug are plain text.
  EXPECT_FALSE(is_zoekt_shard_of("a*", "abc_v16.00000.zoekt"));
  EXPECT_TRUE(is_zoekt_shard_of("a*", "a*_v16.00000.zoekt"));
}

TEST(ZoektSweep, DeletesOnlyThisSlugsTemporaryShards) {
  core::ScratchDir scratch = core::ScratchDir::create("pipeline-zoekt-");
  fs::path zoekt = scratch.path() / ".zoekt";
  EXPECT_TRUE(detail::sweep_zoekt_tmp_orphans("api", scratch.path()).empty());
  EXPECT_FALSE(fs::exists(zoekt));

  fs::create_directories(zoekt);
  for (const char* name : {"api_v16.00001.zoekt.b.tmp", "api_v16.00000.zoekt.a.tmp", "api_v16.00000.zoekt",
                           "api-gateway_v16.00000.zoekt.c.tmp", "api_v2_v16.00000.zoekt.d.tmp"}) {
    core::write_file(zoekt / name, "x");
  }
  EXPECT_EQ(detail::sweep_zoekt_tmp_orphans("api", scratch.path()),
            (std::vector<fs::path>{zoekt / "api_v16.00000.zoekt.a.tmp", zoekt / "api_v16.00001.zoekt.b.tmp"}));
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(zoekt)) left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"api-gateway_v16.00000.zoekt.c.tmp", "api_v16.00000.zoekt",
                                            "api_v2_v16.00000.zoekt.d.tmp"}));
}

TEST(ZoektSweep, AnUndeletableEntryIsSkippedAndTheRestDeleted) {
  core::ScratchDir scratch = core::ScratchDir::create("pipeline-zoekt-");
  fs::path zoekt = scratch.path() / ".zoekt";
  // A directory with the temporary name cannot be unlinked.
  fs::create_directories(zoekt / "api_v16.00000.zoekt.a.tmp");
  core::write_file(zoekt / "api_v16.00001.zoekt.b.tmp", "x");
  EXPECT_EQ(detail::sweep_zoekt_tmp_orphans("api", scratch.path()),
            (std::vector<fs::path>{zoekt / "api_v16.00001.zoekt.b.tmp"}));
  EXPECT_TRUE(fs::is_directory(zoekt / "api_v16.00000.zoekt.a.tmp"));
}

}  // namespace
}  // namespace kolvex::pipeline
