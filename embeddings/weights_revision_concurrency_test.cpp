// Many threads, each with its own cache connection as separate runs would have,
// determining the revisions of the same model files at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/fs.h"
#include "core/hash.h"
#include "core/sqlite.h"
#include "embeddings/tiny_model.h"
#include "embeddings/weights_revision.h"
#include "testkit/concurrent_rounds.h"

namespace kolvex::embeddings {
namespace {

TEST(WeightsRevisionConcurrency, RunsSharingTheCacheAllGetTheRightRevisionAndLeaveItWhole) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-weights-conc-");
  const std::filesystem::path cache = scratch.path() / "revisions.db";
  std::vector<std::filesystem::path> files;
  std::vector<std::string> expected;
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    files.push_back(scratch.path() / ("model-" + std::to_string(seed) + ".gguf"));
    fixtures::write_tiny_model(files.back(), {.seed = seed});
    expected.push_back(std::string(DIGEST_REVISION_PREFIX) + core::sha256_hex(core::read_file(files.back())));
  }

  testkit::RoundCounts counts = testkit::run_concurrent_rounds(
      {.threads = 8, .rounds = 3, .items = files.size()},
      [&](const testkit::RoundStep& step) {
        return weights_revision(files[step.item], cache).revision == expected[step.item];
      });
  EXPECT_EQ(counts.wrong, 0);
  EXPECT_EQ(counts.failed, 0);

  core::Connection connection = core::Connection::open(cache);
  EXPECT_EQ(connection.query_text("PRAGMA integrity_check"), "ok");
  core::Statement rows = connection.prepare("SELECT size, revision FROM revisions ORDER BY revision");
  std::vector<std::string> stored;
  while (rows.step()) stored.push_back(rows.column_text(1));
  std::vector<std::string> sorted = expected;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(stored, sorted);
}

}  // namespace
}  // namespace kolvex::embeddings
