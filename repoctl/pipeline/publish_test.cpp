#include "repoctl/pipeline/publish.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "core/clock.h"
#include "core/fs.h"
#include "core/sqlite.h"
#include "platform/config.h"

namespace kolvex::pipeline {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> entries(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(SnapshotMetadata, GoldenBytesWithNonAsciiAndWholeSeconds) {
  // 2026-03-04T05:06:07 UTC exactly: the fraction is left out.
  core::SystemTime whole{std::chrono::seconds(1772600767)};
  SnapshotMetadata metadata{"local", "api", "default", "caf\xc3\xa9-\xf0\x9f\x98\x80", core::isoformat_utc(whole),
                            "0123456789abcdef0123456789abcdef", std::string(64, 'a')};
  EXPECT_EQ(metadata_json(metadata),
            "{\"project\": \"local\", \"repo\": \"api\", \"branch\": \"default\", "
            "\"commit_sha\": \"caf\\u00e9-\\ud83d\\ude00\", \"published_at\": \"2026-03-04T05:06:07+00:00\", "
            "\"generation\": \"0123456789abcdef0123456789abcdef\", \"source_hash\": \"" +
                std::string(64, 'a') + "\"}");

  metadata.published_at = core::isoformat_utc(whole + std::chrono::microseconds(42));
  EXPECT_NE(metadata_json(metadata).find("\"published_at\": \"2026-03-04T05:06:07.000042+00:00\""),
            std::string::npos);
}

TEST(SnapshotPublication, CopyMetadataAndPointerSwap) {
  core::ScratchDir scratch = core::ScratchDir::create("pipeline-publish-");
  fs::path source = scratch.path() / "syntax.db";
  core::write_file(source, "database bytes");
  ::chmod(source.c_str(), 0640);
  fs::path target = scratch.path() / "published";
  fs::create_directories(target);

  copy_snapshot_database(source, target, "index-c-g1.db");
  EXPECT_EQ(core::read_file(target / "index-c-g1.db"), "database bytes");
  EXPECT_EQ(fs::status(target / "index-c-g1.db").permissions(), fs::status(source).permissions());

  SnapshotMetadata metadata{"p", "r", "b", "c", "t", "g1", "h"};
  write_metadata_sibling(target, "index-c-g1.db", metadata);
  EXPECT_EQ(core::read_file(target / "index-c-g1.metadata.json"), metadata_json(metadata));

  detail::publish_atomically(target, "index-c-g1.db");
  EXPECT_EQ(core::read_file(target / "current"), "index-c-g1.db");
  detail::publish_atomically(target, "index-c-g2.db");
  EXPECT_EQ(core::read_file(target / "current"), "index-c-g2.db");
  EXPECT_EQ(entries(target), (std::vector<std::string>{"current", "index-c-g1.db", "index-c-g1.metadata.json"}));
}

TEST(SnapshotPublication, MovingTheDatabaseKeepsItsBytesAndPermissionBits) {
  core::ScratchDir scratch = core::ScratchDir::create("pipeline-publish-");
  fs::path source = scratch.path() / "syntax.db";
  core::write_file(source, "database bytes");
  ::chmod(source.c_str(), 0640);
  const fs::perms permissions = fs::status(source).permissions();
  fs::path target = scratch.path() / "published";
  fs::create_directories(target);

  move_snapshot_database(source, target, "index-c-g1.db");
  EXPECT_EQ(core::read_file(target / "index-c-g1.db"), "database bytes");
  EXPECT_EQ(fs::status(target / "index-c-g1.db").permissions(), permissions);
  EXPECT_FALSE(fs::exists(source));
  EXPECT_EQ(entries(target), (std::vector<std::string>{"index-c-g1.db"}));

  // Into a directory that is gone: the error names the target, and the source stays.
  core::write_file(source, "database bytes");
  try {
    move_snapshot_database(source, scratch.path() / "gone", "index-c-g2.db");
    ADD_FAILURE() << "expected OsError";
  } catch (const core::OsError& error) {
    EXPECT_EQ(error.error_number(), ENOENT);
  }
  EXPECT_EQ(core::read_file(source), "database bytes");
}

TEST(SnapshotPublication, FailedSwapLeavesThePointerAlone) {
  core::ScratchDir scratch = core::ScratchDir::create("pipeline-publish-");
  fs::path target = scratch.path();
  detail::publish_atomically(target, "index-old.db");
  // A directory in the pointer's place makes the rename fail.
  fs::path other = scratch.path() / "other";
  fs::create_directories(other / "current" / "occupied");
  bool went_live = false;
  EXPECT_THROW(detail::publish_atomically(other, "index-new.db", [&] { went_live = true; }), fs::filesystem_error);
  EXPECT_FALSE(went_live);
  EXPECT_TRUE(fs::is_directory(other / "current"));
  // The temporary pointer does not outlive the failed swap.
  EXPECT_EQ(entries(other), std::vector<std::string>{"current"});
  EXPECT_THROW(detail::publish_atomically(scratch.path() / "missing", "index-new.db"), std::exception);
  EXPECT_EQ(core::read_file(target / "current"), "index-old.db");

  // A swap that succeeds reports the moment of publication before flushing the directory.
  detail::publish_atomically(target, "index-new.db", [&] {
    went_live = true;
    EXPECT_EQ(core::read_file(target / "current"), "index-new.db");
  });
  EXPECT_TRUE(went_live);
}

TEST(SnapshotPublication, FailedCopiesAndUnpublishedGenerationsLeaveNoFiles) {
  core::ScratchDir scratch = core::ScratchDir::create("pipeline-publish-");
  fs::path target = scratch.path() / "published";
  fs::create_directories(target);

  // A source that cannot be read fails the copy with its own errno.
  try {
    copy_snapshot_database(scratch.path() / "missing.db", target, "index-c-g1.db");
    FAIL() << "no error";
  } catch (const core::OsError& error) {
    EXPECT_EQ(error.error_number(), ENOENT);
  }
  // A metadata sibling that cannot be written (a directory in its place) is not left half-written.
  fs::create_directories(target / "index-c-g2.metadata.json" / "occupied");
  EXPECT_THROW(write_metadata_sibling(target, "index-c-g2.db", {}), core::OsError);
  fs::remove_all(target / "index-c-g2.metadata.json");
  EXPECT_EQ(entries(target), std::vector<std::string>{});

  // A generation that never went live is removed entirely, in whatever state it was left.
  for (const char* name : {"index-c-g3.db", "index-c-g3.metadata.json", "index-c-g3.incomplete.db",
                           "index-c-live.db"}) {
    core::write_file(target / name, "x");
  }
  detail::discard_unpublished_snapshot(target, "index-c-g3.db");
  detail::discard_unpublished_snapshot(target, "index-c-g4.db");  // nothing there: no error
  EXPECT_EQ(entries(target), std::vector<std::string>{"index-c-live.db"});
}

TEST(SnapshotPointer, OnlyABareFileNameOfTheDirectoryCounts) {
  core::ScratchDir scratch = core::ScratchDir::create("pipeline-pointer-");
  EXPECT_EQ(read_pointer_name(scratch.path()), std::nullopt);
  struct Case {
    std::string content;
    std::optional<std::string> name;
  };
  const std::vector<Case> cases = {
      {"index-a-b.db", "index-a-b.db"},
      {"index-a-b.db\n", "index-a-b.db"},
      {"  index-a-b.db \r\n", "index-a-b.db"},
      {"", std::nullopt},
      {" \n", std::nullopt},
      {"../other/index-a.db", std::nullopt},
      {"/tmp/index-a.db", std::nullopt},
      {"..", std::nullopt},
      {".", std::nullopt},
      {"index-\xff.db", std::nullopt},
      {std::string("index-a\0b.db", 12), std::nullopt},
  };
  for (const Case& c : cases) {
    core::write_file(scratch.path() / "current", c.content);
    EXPECT_EQ(read_pointer_name(scratch.path()), c.name) << c.content;
  }
}

class Retirement : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.path();
    directory_ = platform::index_dir("api", root_);
    fs::create_directories(directory_);
  }
  void touch(const std::string& name) { core::write_file(directory_ / name, name); }

  core::ScratchDir scratch_ = core::ScratchDir::create("pipeline-retire-");
  fs::path root_;
  fs::path directory_;
};

TEST_F(Retirement, DeletesSupersededGenerationsAndLegacyNamesOnce) {
  for (const char* name : {"index-c1-g1.db", "index-c1-g1.metadata.json", "index-c2-g2.db",
                           "index-c2-g2.metadata.json", "index-c3-g3.db", "index-c3-g3.metadata.json",
                           "index-c0.db", "index-c0.metadata.json", "index-orphan.metadata.json",
                           "index-c4-g4.incomplete.db", ".current.tmp-99", "notes.txt"}) {
    touch(name);
  }
  detail::publish_atomically(directory_, "index-c2-g2.db");

  std::vector<fs::path> deleted = detail::retire_superseded_snapshots("api", root_, "index-c2-g2.db");
  // The copy a killed run left under its temporary name goes too.
  EXPECT_EQ(deleted, (std::vector<fs::path>{directory_ / "index-c0.db", directory_ / "index-c1-g1.db",
                                            directory_ / "index-c3-g3.db", directory_ / "index-c4-g4.incomplete.db"}));
  EXPECT_EQ(entries(directory_),
            (std::vector<std::string>{".current.tmp-99", "current", "index-c2-g2.db", "index-c2-g2.metadata.json",
                                      "index-orphan.metadata.json", "notes.txt"}));
  EXPECT_TRUE(detail::retire_superseded_snapshots("api", root_, "index-c2-g2.db").empty());
}

TEST_F(Retirement, NeverDeletesTheDatabaseThePointerNames) {
  touch("index-live.db");
  touch("index-new.db");
  touch("index-old.db");  // without a metadata sibling: no error
  detail::publish_atomically(directory_, "index-live.db");
  EXPECT_EQ(detail::retire_superseded_snapshots("api", root_, "index-new.db"),
            (std::vector<fs::path>{directory_ / "index-old.db"}));
  EXPECT_EQ(entries(directory_), (std::vector<std::string>{"current", "index-live.db", "index-new.db"}));
}

TEST_F(Retirement, MissingDirectoryGivesNothing) {
  EXPECT_TRUE(detail::retire_superseded_snapshots("other", root_, "index-x.db").empty());
  EXPECT_FALSE(fs::exists(platform::index_dir("other", root_)));
}

TEST(NavigationProbe, BothTablesMustHaveRows) {
  struct Case {
    int chunks;
    int mentions;
    bool expected;
  };
  for (const Case& c : std::vector<Case>{{1, 0, false}, {0, 1, false}, {0, 0, false}, {1, 1, true}, {3, 2, true}}) {
    core::Connection conn = core::Connection::open_memory();
    conn.exec("CREATE TABLE chunks (id INTEGER); CREATE TABLE mentions (id INTEGER);");
    for (int i = 0; i < c.chunks; ++i) conn.exec("INSERT INTO chunks VALUES (1)");
    for (int i = 0; i < c.mentions; ++i) conn.exec("INSERT INTO mentions VALUES (1)");
    EXPECT_EQ(index_has_navigation_data(conn), c.expected) << c.chunks << "/" << c.mentions;
    EXPECT_TRUE(conn.is_open());
  }
  core::Connection conn = core::Connection::open_memory();
  conn.exec("CREATE TABLE chunks (id INTEGER); INSERT INTO chunks VALUES (1);");
  EXPECT_THROW(index_has_navigation_data(conn), core::SqliteError);
}

}  // namespace
}  // namespace kolvex::pipeline
