#include "defmatch/lower_map.h"

#include <gtest/gtest.h>

#include "core/fs.h"
#include "core/sqlite.h"
#include "testkit/symbol_database.h"

namespace kolvex::defmatch::detail {
namespace {

using testkit::py_symbol;
using testkit::write_symbol_database;

class LowerMapCacheTest : public ::testing::Test {
 protected:
  // A copy of one small converted database under a new name (copies are cheap:
  // writing a database syncs it).
  std::filesystem::path database(const std::string& name) {
    auto template_path = scratch_.path() / "template.db";
    if (!std::filesystem::exists(template_path)) {
      write_symbol_database(template_path, {{py_symbol("mod/Parser#"), testkit::Lines{0, 3}}});
    }
    auto path = scratch_.path() / name;
    std::filesystem::copy_file(template_path, path);
    return path;
  }

  core::ScratchDir scratch_ = core::ScratchDir::create("defmatch-cache-");
};

TEST_F(LowerMapCacheTest, DatabasePathIsTheMainFileOrEmpty) {
  auto path = database("one.db");
  auto conn = core::Connection::open(path);
  EXPECT_EQ(db_path(conn), std::filesystem::canonical(path).string());
  auto memory = core::Connection::open_memory();
  EXPECT_EQ(db_path(memory), "");
}

TEST_F(LowerMapCacheTest, BuildsTheMapFromTheDatabaseNames) {
  auto path = scratch_.path() / "names.db";
  write_symbol_database(path, {{py_symbol("mod/Parser#"), testkit::Lines{0, 3}},
                               {py_symbol("mod/Parser#parse()."), testkit::Lines{1, 2}},
                               {py_symbol("mod/parser.")}});
  auto conn = core::Connection::open(path);
  const auto map = build_lower_map(conn);
  const platform::NameMap expected = {
      {"parser",
       {{py_symbol("mod/Parser#"), "mod.Parser", platform::DescriptorKind::TYPE},
        {py_symbol("mod/parser."), "mod.parser", platform::DescriptorKind::TERM}}},
      {"parse", {{py_symbol("mod/Parser#parse()."), "mod.Parser.parse", platform::DescriptorKind::METHOD}}},
  };
  EXPECT_EQ(map->entries(), expected);
}

TEST_F(LowerMapCacheTest, ConnectionsToOneFileShareAnEntry) {
  auto path = database("shared.db");
  auto first = core::Connection::open(path);
  auto second = core::Connection::open(path, {.read_only = true});
  const auto map = lower_map(first);
  EXPECT_EQ(lower_map(second), map);
  EXPECT_EQ(lower_map(first), map);
}

TEST_F(LowerMapCacheTest, InMemoryDatabasesAreNeverCached) {
  auto memory = core::Connection::open_memory();
  memory.exec("CREATE TABLE global_symbols (id INTEGER PRIMARY KEY, symbol TEXT)");
  const auto first = lower_map(memory);
  const auto second = lower_map(memory);
  EXPECT_NE(first, second);
  EXPECT_TRUE(first->entries().empty());
}

TEST_F(LowerMapCacheTest, EvictsTheLeastRecentlyUsedAndAHitPromotes) {
  // One more database than the cache holds; fresh paths also push out
  // whatever earlier tests of this process left in the cache.
  std::vector<core::Connection> conns;
  std::vector<std::shared_ptr<const LowerNameMap>> maps;
  for (std::size_t i = 0; i <= LOWER_MAP_CACHE_MAX_SIZE; ++i) {
    conns.push_back(core::Connection::open(database("db" + std::to_string(i) + ".db")));
  }
  for (std::size_t i = 0; i < LOWER_MAP_CACHE_MAX_SIZE; ++i) maps.push_back(lower_map(conns[i]));
  EXPECT_EQ(lower_map(conns[0]), maps[0]);  // hit: db0 becomes the most recent

  lower_map(conns[LOWER_MAP_CACHE_MAX_SIZE]);  // the 65th file evicts db1, not db0
  EXPECT_EQ(lower_map(conns[2]), maps[2]);
  EXPECT_EQ(lower_map(conns[0]), maps[0]);
  EXPECT_NE(lower_map(conns[1]), maps[1]);  // rebuilt (and db3 evicted in turn)
  EXPECT_NE(lower_map(conns[3]), maps[3]);
  // A map handed out stays usable after its entry is gone.
  EXPECT_EQ(maps[1]->entries().size(), 1u);
}

TEST_F(LowerMapCacheTest, AFailedBuildCachesNothing) {
  auto path = scratch_.path() / "late.db";
  auto conn = core::Connection::open(path);
  EXPECT_THROW(lower_map(conn), core::SqliteError);  // no global_symbols yet
  conn.exec("CREATE TABLE global_symbols (id INTEGER PRIMARY KEY, symbol TEXT)");
  conn.exec("INSERT INTO global_symbols (symbol) VALUES ('" + py_symbol("mod/Late#") + "')");
  const auto map = lower_map(conn);
  ASSERT_NE(map->find("late"), nullptr);
  EXPECT_EQ(lower_map(conn), map);
}

}  // namespace
}  // namespace kolvex::defmatch::detail
