#include "embeddings/weights_revision.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "core/fs.h"
#include "core/hash.h"
#include "core/sqlite.h"
#include "embeddings/tiny_model.h"

namespace kolvex::embeddings {
namespace {

namespace fs = std::filesystem;

class WeightsRevisionTest : public ::testing::Test {
 protected:
  std::string digest_revision(const fs::path& file) const {
    return std::string(DIGEST_REVISION_PREFIX) + core::sha256_hex(core::read_file(file));
  }
  std::int64_t cached_rows() {
    return core::Connection::open(cache_).query_int("SELECT count(*) FROM revisions").value_or(-1);
  }
  // Puts `revision` into the cache for the file's current version.
  void poison_cache(const fs::path& file, const std::string& revision) {
    core::Connection connection = core::Connection::open(cache_);
    core::Statement update = connection.prepare("UPDATE revisions SET revision = ?1 WHERE size = ?2");
    update.bind(1, revision).bind(2, static_cast<std::int64_t>(fs::file_size(file))).run();
    ASSERT_EQ(connection.changes(), 1);
  }

  core::ScratchDir scratch_ = core::ScratchDir::create("kolvex-weights-");
  fs::path cache_ = scratch_.path() / "data" / "revisions.db";
};

TEST_F(WeightsRevisionTest, RecordedRevisionElseDigestOfTheBytes) {
  struct Case {
    const char* name;
    std::optional<std::string> recorded;
  };
  for (const Case& c : {Case{"records a revision", "0123456789abcdef0123456789abcdef01234567"},
                        Case{"records none", std::nullopt}}) {
    SCOPED_TRACE(c.name);
    const fs::path file = scratch_.path() / (std::string(c.name) + ".gguf");
    fixtures::write_tiny_model(file, {.revision = c.recorded});
    WeightsRevision result = weights_revision(file, cache_);
    EXPECT_EQ(result.revision, c.recorded ? *c.recorded : digest_revision(file));
    EXPECT_EQ(result.stamp, stamp_file(file));
  }
  // A file that is not a model at all still gets the digest of its bytes.
  const fs::path junk = scratch_.path() / "junk.gguf";
  core::write_file(junk, "not a model");
  EXPECT_EQ(weights_revision(junk, cache_).revision, digest_revision(junk));
}

TEST_F(WeightsRevisionTest, UnchangedFileIsAnsweredFromTheCacheAndAChangedOneReadAgain) {
  const fs::path file = scratch_.path() / "model.gguf";
  fixtures::write_tiny_model(file, {.seed = 1});
  const std::string first = weights_revision(file, cache_).revision;
  EXPECT_EQ(cached_rows(), 1);

  // The answer comes from the cache while the stamp stays: the file is not read.
  poison_cache(file, "from the cache");
  EXPECT_EQ(weights_revision(file, cache_).revision, "from the cache");

  // Rewritten in place (same inode, other bytes and time) and replaced by a
  // rename (other inode): each is read again, and the cache keeps one row per file.
  fixtures::write_tiny_model(file, {.seed = 2});
  const std::string rewritten = weights_revision(file, cache_).revision;
  EXPECT_EQ(rewritten, digest_revision(file));
  EXPECT_NE(rewritten, first);
  const fs::path replacement = scratch_.path() / "replacement.gguf";
  fixtures::write_tiny_model(replacement, {.seed = 1});
  fs::rename(replacement, file);
  EXPECT_EQ(weights_revision(file, cache_).revision, first);
  EXPECT_EQ(cached_rows(), 2);  // the old inode's row stays until that file changes
}

TEST_F(WeightsRevisionTest, UnusableCacheOnlyCostsTheRead) {
  const fs::path file = scratch_.path() / "model.gguf";
  fixtures::write_tiny_model(file);
  struct Case {
    const char* name;
    void (*spoil)(const fs::path&);
  };
  for (const Case& c : {
           Case{"directory in its place", [](const fs::path& cache) { fs::create_directories(cache); }},
           Case{"not a database", [](const fs::path& cache) { core::write_file(cache, std::string(4096, 'x')); }},
       }) {
    SCOPED_TRACE(c.name);
    const fs::path cache = scratch_.path() / c.name / "revisions.db";
    fs::create_directories(cache.parent_path());
    c.spoil(cache);
    EXPECT_EQ(weights_revision(file, cache).revision, digest_revision(file));
    EXPECT_EQ(weights_revision(file, cache).revision, digest_revision(file));
  }
}

TEST_F(WeightsRevisionTest, MissingFileIsAnOsError) {
  EXPECT_THROW(weights_revision(scratch_.path() / "absent.gguf", cache_), core::OsError);
  EXPECT_THROW(stamp_file(scratch_.path() / "absent.gguf"), core::OsError);
}

}  // namespace
}  // namespace kolvex::embeddings
