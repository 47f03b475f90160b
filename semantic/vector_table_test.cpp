#include "semantic/vector_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <set>

#include "core/fs.h"
#include "core/sqlite.h"

namespace kolvex::semantic {
namespace {
namespace fs = std::filesystem;

Row row_of(std::string id, Vector vector, std::int64_t line = 1) {
  Row row;
  row.set("id", std::move(id));
  row.set("line", line);
  row.set("score", 0.5);
  row.set("vector", std::move(vector));
  return row;
}

std::vector<std::string> ids(const std::vector<Row>& rows) {
  std::vector<std::string> out;
  for (const Row& row : rows) out.push_back(text_column(row, "id"));
  return out;
}

std::set<std::string> entries(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename().string());
  return names;
}

class VectorTableTest : public ::testing::Test {
 protected:
  core::ScratchDir scratch = core::ScratchDir::create("vector-table-test-");
  VectorDatabase db = VectorDatabase::connect(scratch.path());
};

TEST_F(VectorTableTest, ConnectNeedsAnExistingDirectory) {
  EXPECT_THROW(VectorDatabase::connect(scratch.path() / "missing"), core::OsError);
  core::write_file(scratch.path() / "file", "x");
  EXPECT_THROW(VectorDatabase::connect(scratch.path() / "file"), core::OsError);
}

TEST_F(VectorTableTest, TableIsTheNameDotLanceDirectoryHoldingOneDataFile) {
  db.create_table("api-gateway", {row_of("a", {1, 0})});
  EXPECT_EQ(entries(scratch.path()), std::set<std::string>{"api-gateway.lance"});
  EXPECT_EQ(entries(scratch.path() / "api-gateway.lance"), std::set<std::string>{"table.sqlite"});
  EXPECT_EQ(db.table_path("api"), scratch.path() / "api.lance");
}

TEST_F(VectorTableTest, RowsComeBackWholeInStoredOrderWithColumnsInKeyOrder) {
  std::vector<Row> rows = {row_of("b", {0.25f, -1.5f}, 7), row_of("a", {1, 0}, 3), row_of("c", {0, 0}, 1)};
  db.create_table("t", rows);
  VectorTable table = db.open_table("t");
  EXPECT_EQ(table.name(), "t");
  EXPECT_EQ(table.column_names(), (std::vector<std::string>{"id", "line", "score", "vector"}));
  EXPECT_EQ(table.to_rows(), rows);
  EXPECT_EQ(table.head(1), std::vector<Row>{rows[0]});
  EXPECT_EQ(table.head(2), (std::vector<Row>{rows[0], rows[1]}));
  EXPECT_TRUE(table.head(0).empty());
  EXPECT_EQ(table.head(10), rows);
}

TEST_F(VectorTableTest, CreateReplacesTheWholeTable) {
  db.create_table("t", {row_of("a", {1, 0}), row_of("b", {0, 1})});
  Row other;
  other.set("name", std::string("only"));
  db.create_table("t", {other});
  VectorTable table = db.open_table("t");
  EXPECT_EQ(table.column_names(), std::vector<std::string>{"name"});
  EXPECT_EQ(table.to_rows(), std::vector<Row>{other});
}

TEST_F(VectorTableTest, ATableCreatedWithoutRowsIsEmpty) {
  db.create_table("t", {});
  VectorTable table = db.open_table("t");
  EXPECT_TRUE(table.column_names().empty());
  EXPECT_TRUE(table.head(1).empty());
  EXPECT_TRUE(table.to_rows().empty());
  EXPECT_TRUE(table.search({1, 0}, 5).empty());
}

TEST_F(VectorTableTest, MissingAndUnusableNamesOpenAsValueErrors) {
  fs::create_directory(scratch.path() / "bare.lance");  // a directory without data is no table
  for (const char* name : {"missing", "bare", "", "../x", "a/b", "x y", "t\n"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(db.open_table(name), core::ValueError);
  }
  try {
    db.open_table("missing");
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(), "table 'missing' was not found");
  }
}

TEST_F(VectorTableTest, UnusableNamesWriteAndRemoveNothing) {
  fs::create_directories(scratch.path() / "inner" / "x.lance");
  VectorDatabase inner = VectorDatabase::connect(scratch.path() / "inner");
  for (const char* name : {"", "../x", "a/b", "/tmp/x"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(inner.create_table(name, {row_of("a", {1})}), core::ValueError);
    EXPECT_THROW(inner.drop_table(name), core::ValueError);
  }
  EXPECT_EQ(entries(scratch.path()), std::set<std::string>{"inner"});
  EXPECT_EQ(entries(scratch.path() / "inner"), std::set<std::string>{"x.lance"});
}

TEST_F(VectorTableTest, RowsThatDoNotMatchTheFirstAreRejectedBeforeAnythingIsWritten) {
  db.create_table("t", {row_of("keep", {1, 0})});
  Row extra = row_of("x", {1, 0});
  extra.set("more", std::string("m"));
  Row lacking;
  lacking.set("id", std::string("x"));
  lacking.set("line", std::int64_t{1});
  lacking.set("score", 0.5);
  lacking.set("other", Vector{1, 0});
  Row wrong_kind = row_of("x", {1, 0});
  wrong_kind.set("line", std::string("1"));
  Row twice = row_of("x", {1, 0});
  twice.columns.emplace_back("id", std::string("y"));
  struct Case {
    const char* what;
    std::vector<Row> rows;
    const char* message;
  };
  std::vector<Case> cases = {
      {"extra column", {row_of("a", {1, 0}), extra}, "row 1 does not have the columns of the first row"},
      {"other column", {row_of("a", {1, 0}), lacking}, "row 1 has the column 'other' that the first row lacks"},
      {"kind", {row_of("a", {1, 0}), wrong_kind}, "row 1: column 'line' holds text, not integer"},
      {"dimensions",
       {row_of("a", {1, 0}), row_of("b", {1, 0, 0})},
       "row 1: vector column 'vector' has 3 dimensions, the first row 2"},
      {"duplicate", {twice}, "row 0 has the column 'id' twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      db.create_table("t", c.rows);
      ADD_FAILURE() << "no error";
    } catch (const core::ValueError& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
    EXPECT_EQ(ids(db.open_table("t").to_rows()), std::vector<std::string>{"keep"});
    EXPECT_EQ(entries(scratch.path() / "t.lance"), std::set<std::string>{"table.sqlite"});
  }
}

TEST_F(VectorTableTest, DropRemovesTheDirectoryAndIgnoresMissingTables) {
  db.create_table("t", {row_of("a", {1})});
  db.drop_table("t");
  EXPECT_FALSE(fs::exists(scratch.path() / "t.lance"));
  EXPECT_THROW(db.open_table("t"), core::ValueError);
  EXPECT_NO_THROW(db.drop_table("t"));
  EXPECT_NO_THROW(db.drop_table("never"));
}

TEST_F(VectorTableTest, AnOpenTableKeepsReadingItsVersionWhileItIsReplacedOrDropped) {
  db.create_table("t", {row_of("old1", {1, 0}), row_of("old2", {0, 1})});
  VectorTable before_replace = db.open_table("t");
  db.create_table("t", {row_of("new", {1, 0})});
  EXPECT_EQ(ids(before_replace.to_rows()), (std::vector<std::string>{"old1", "old2"}));
  EXPECT_EQ(ids(db.open_table("t").to_rows()), std::vector<std::string>{"new"});

  VectorTable before_drop = db.open_table("t");
  db.drop_table("t");
  EXPECT_EQ(ids(before_drop.search({1, 0}, 5)), std::vector<std::string>{"new"});
  EXPECT_THROW(db.open_table("t"), core::ValueError);
}

TEST_F(VectorTableTest, DataFilesLeftByADeadWriterAreNoTableAndAreClearedByTheNextCreate) {
  fs::create_directory(scratch.path() / "t.lance");
  core::write_file(scratch.path() / "t.lance" / ".tmp-0123.sqlite", "half written");
  EXPECT_THROW(db.open_table("t"), core::ValueError);
  db.create_table("t", {row_of("a", {1})});
  EXPECT_EQ(entries(scratch.path() / "t.lance"), std::set<std::string>{"table.sqlite"});
}

TEST_F(VectorTableTest, ADamagedDataFileIsAnErrorNotAMissingTable) {
  fs::create_directory(scratch.path() / "t.lance");
  core::write_file(scratch.path() / "t.lance" / "table.sqlite", std::string(4096, 'x'));
  try {
    db.open_table("t");
    FAIL() << "no error";
  } catch (const core::ValueError&) {
    FAIL() << "read as a missing table";
  } catch (const core::Error&) {
  }
}

// Search: cosine distance, nearest first, ties in stored order.
TEST_F(VectorTableTest, SearchRanksByCosineDistance) {
  const float s = std::sqrt(0.5f);
  db.create_table("t", {
                           row_of("opposite", {-1, 0}),
                           row_of("diagonal", {s, s}),
                           row_of("exact", {1, 0}),
                           row_of("orthogonal", {0, 1}),
                           row_of("exact-again", {2, 0}),  // not unit length: same direction, same distance
                           row_of("zero", {0, 0}),
                       });
  VectorTable table = db.open_table("t");
  std::vector<Row> rows = table.search({1, 0}, 10);
  EXPECT_EQ(ids(rows), (std::vector<std::string>{"exact", "exact-again", "diagonal", "orthogonal", "zero",
                                                 "opposite"}));
  std::vector<double> expected = {0.0, 0.0, 1.0 - s, 1.0, 1.0, 2.0};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    ASSERT_EQ(row.columns.back().first, DISTANCE_COLUMN);
    EXPECT_NEAR(std::get<double>(row.columns.back().second), expected[i], 1e-6) << i;
    EXPECT_EQ(row.columns.size(), 5u);  // the four stored columns, then the distance
  }
  EXPECT_EQ(ids(table.search({1, 0}, 3)), (std::vector<std::string>{"exact", "exact-again", "diagonal"}));
  // Four rows at distance 1 from (0, -3): stored order decides among them.
  EXPECT_EQ(ids(table.search({0, -3}, 4)), (std::vector<std::string>{"opposite", "exact", "exact-again", "zero"}));
  EXPECT_TRUE(table.search({1, 0}, 0).empty());
  EXPECT_TRUE(table.search({1, 0}, -1).empty());
}

TEST_F(VectorTableTest, SearchOfEqualDistancesKeepsStoredOrder) {
  std::vector<Row> rows;
  for (const char* id : {"r0", "r1", "r2", "r3", "r4"}) rows.push_back(row_of(id, {0, 1}));
  db.create_table("t", rows);
  VectorTable table = db.open_table("t");
  EXPECT_EQ(ids(table.search({1, 0}, 3)), (std::vector<std::string>{"r0", "r1", "r2"}));
  EXPECT_EQ(ids(table.search({1, 0}, 3)), ids(table.search({1, 0}, 3)));
}

TEST_F(VectorTableTest, SearchNeedsAVectorColumnOfTheQuerysLength) {
  db.create_table("t", {row_of("a", {1, 0})});
  try {
    db.open_table("t").search({1, 0, 0}, 5);
    FAIL() << "no error";
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(), "query vector has 3 dimensions, table 't' holds vectors of 2");
  }
  Row plain;
  plain.set("id", std::string("a"));
  db.create_table("p", {plain});
  try {
    db.open_table("p").search({1}, 5);
    FAIL() << "no error";
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(), "table 'p' has no vector column");
  }
}

}  // namespace
}  // namespace kolvex::semantic
