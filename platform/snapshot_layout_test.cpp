#include "platform/snapshot_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kolvex::platform {
namespace {

TEST(SnapshotLayout, DirectoryOfCoordinates) {
  EXPECT_EQ(snapshot_dir("/data/kolvex", "local", "api", "default"), "/data/kolvex/scip/local/api/default");
}

TEST(SnapshotLayout, VersionedSiblingAndCopyNames) {
  EXPECT_EQ(versioned_snapshot_name("abc123", "0f0f"), "index-abc123-0f0f.db");
  struct Case {
    std::string db;
    std::string metadata;
    std::string copy;
  };
  const std::vector<Case> cases = {
      {"index-c-g.db", "index-c-g.metadata.json", "index-c-g.incomplete.db"},
      {"index-c-g1.db", "index-c-g1.metadata.json", "index-c-g1.incomplete.db"},
      {"index-c.db.db", "index-c.db.metadata.json", "index-c.db.incomplete.db"},
      {"index-abc-0123.DB", "index-abc-0123.DB.metadata.json", "index-abc-0123.DB.incomplete.db"},
      {"current", "current.metadata.json", "current.incomplete.db"},
      {".db", ".metadata.json", ".incomplete.db"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(metadata_name(c.db), c.metadata) << c.db;
    EXPECT_EQ(temporary_copy_name(c.db), c.copy) << c.db;
  }
}

TEST(SnapshotLayout, WhichNamesAreSnapshotDatabases) {
  struct Case {
    std::string name;
    bool database;
  };
  const std::vector<Case> cases = {
      {"index-c-g.db", true},       {"index-.db", true},           {"index-c-g.incomplete.db", true},
      {"index.db", false},          {"index-c-g.metadata.json", false}, {"current", false},
      {".current.tmp-42", false},   {"xindex-c.db", false},        {"index-c.DB", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_snapshot_database_name(c.name), c.database) << c.name;
}

TEST(SnapshotLayout, BareFileNames) {
  struct Case {
    std::string name;
    bool bare;
  };
  const std::vector<Case> cases = {
      {"index-c-g.db", true}, {"x", true},          {"..db", true},       {"", false},
      {".", false},           {"..", false},        {"a/b.db", false},    {"/abs.db", false},
      {"../x.db", false},     {std::string("a\0b", 3), false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_bare_file_name(c.name), c.bare) << c.name;
}

}  // namespace
}  // namespace kolvex::platform
