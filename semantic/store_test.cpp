#include "semantic/store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <cmath>
#include <functional>

#include "core/fs.h"
#include "platform/config.h"
#include "semantic/testing.h"

namespace kolvex::semantic {
namespace {
namespace fs = std::filesystem;

const TableIdentity IDENTITY{"BAAI/bge-m3", "5617a9f61b028005a4858fdac845db406aefb181", "", "", 2};

Row chunk_row(std::string file_path, std::int64_t start_line, Vector vector, const TableIdentity& identity = IDENTITY) {
  return make_row(RowFields{"id-" + file_path + "-" + std::to_string(start_line), "ch-" + std::to_string(start_line),
                            "fh-" + file_path, file_path, start_line, start_line + 4, "", "python",
                            "content " + std::to_string(start_line), std::move(vector), identity.model_name,
                            identity.model_revision, identity.query_prefix, identity.doc_prefix,
                            identity.content_format});
}

std::vector<std::string> places(const std::vector<Row>& rows) {
  std::vector<std::string> out;
  for (const Row& row : rows) {
    out.push_back(text_column(row, "file_path") + ":" + std::to_string(integer_column(row, "start_line")));
  }
  return out;
}

// Rows without the columns from the named position on (older tables).
Row without(Row row, std::initializer_list<std::string_view> names) {
  std::erase_if(row.columns, [&](const auto& column) {
    for (std::string_view name : names) {
      if (column.first == name) return true;
    }
    return false;
  });
  return row;
}

class StoreTest : public ::testing::Test {
 protected:
  core::ScratchDir scratch = core::ScratchDir::create("semantic-store-test-");
  fs::path db_dir = scratch.path() / "data" / "lancedb";
};

TEST_F(StoreTest, ConstructionTouchesNothingAndTheFirstUseCreatesTheDirectory) {
  SemanticStore store(db_dir);
  EXPECT_FALSE(fs::exists(scratch.path() / "data"));
  EXPECT_EQ(store.table_identity("repo"), std::nullopt);
  EXPECT_TRUE(fs::is_directory(db_dir));
  EXPECT_TRUE(store.rows_by_path("repo").empty());
  EXPECT_TRUE(store.search("repo", {1, 0}, 30).empty());
  EXPECT_TRUE(fs::is_empty(db_dir));
}

TEST_F(StoreTest, WithoutTheVectorStoreEveryOperationRaisesAndNothingIsCreated) {
  testing::VectorStoreMissing missing;
  std::vector<std::pair<const char*, std::function<void(SemanticStore&)>>> operations = {
      {"table_identity", [](SemanticStore& s) { s.table_identity("repo"); }},
      {"rows_by_path", [](SemanticStore& s) { s.rows_by_path("repo"); }},
      {"overwrite", [](SemanticStore& s) { s.overwrite("repo", {chunk_row("a.py", 1, {1})}); }},
      {"overwrite empty", [](SemanticStore& s) { s.overwrite("repo", {}); }},
      {"search", [](SemanticStore& s) { s.search("repo", {1}, 30); }},
      {"drop", [](SemanticStore& s) { s.drop("repo"); }},
  };
  for (const auto& [name, operation] : operations) {
    SCOPED_TRACE(name);
    SemanticStore store(db_dir);
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        operation(store);
        ADD_FAILURE() << "no error";
      } catch (const SemanticExtraMissingError& error) {
        EXPECT_EQ(error.message(),
                  "semantic search requires the 'semantic' extra \u2014 install kolvex-mcp[semantic] (uv tool "
                  "install, or uvx --from), or `uv sync --extra semantic` in a source checkout");
        ASSERT_TRUE(error.cause());
        EXPECT_THROW(std::rethrow_exception(error.cause()), VectorStoreLoadError);
      }
    }
    EXPECT_FALSE(fs::exists(scratch.path() / "data"));
  }
}

TEST_F(StoreTest, AConnectedStoreKeepsItsConnection) {
  SemanticStore store(db_dir);
  store.overwrite("repo", {chunk_row("a.py", 1, {1, 0})});
  testing::VectorStoreMissing missing;
  EXPECT_EQ(store.table_identity("repo"), IDENTITY);
  EXPECT_THROW(SemanticStore(db_dir).table_identity("repo"), SemanticExtraMissingError);
}

TEST_F(StoreTest, AFailedConnectLeavesTheStoreUnconnectedAndIsRetried) {
  fs::create_directories(db_dir.parent_path());
  core::write_file(db_dir, "not a directory");
  SemanticStore store(db_dir);
  EXPECT_THROW(store.table_identity("repo"), core::OsError);
  fs::remove(db_dir);
  EXPECT_EQ(store.table_identity("repo"), std::nullopt);
  EXPECT_TRUE(fs::is_directory(db_dir));
}

TEST_F(StoreTest, IdentityComesFromTheFirstRowOnly) {
  SemanticStore store(db_dir);
  TableIdentity other{"intfloat/e5-base", "unpinned", "query: ", "passage: ", 2};
  store.overwrite("repo", {chunk_row("a.py", 1, {1, 0}, other), chunk_row("b.py", 1, {0, 1})});
  EXPECT_EQ(store.table_identity("repo"), other);
  EXPECT_NE(store.table_identity("repo"), IDENTITY);
}

TEST_F(StoreTest, OlderTablesWithoutPrefixAndFormatColumnsReadAsEmptyPrefixesAndFormatZero) {
  SemanticStore store(db_dir);
  store.overwrite("repo", {without(chunk_row("a.py", 1, {1, 0}), {"query_prefix", "doc_prefix", "content_format"})});
  TableIdentity expected{IDENTITY.model_name, IDENTITY.model_revision, "", "", 0};
  EXPECT_EQ(store.table_identity("repo"), expected);
  EXPECT_NE(store.table_identity("repo"), IDENTITY);
}

TEST_F(StoreTest, FirstRowsWithoutModelNameOrRevisionAreKeyErrors) {
  SemanticStore store(db_dir);
  for (const char* column : {"model_name", "model_revision"}) {
    SCOPED_TRACE(column);
    store.overwrite("repo", {without(chunk_row("a.py", 1, {1, 0}), {column})});
    try {
      store.table_identity("repo");
      ADD_FAILURE() << "no error";
    } catch (const KeyError& error) {
      EXPECT_EQ(error.message(), "'" + std::string(column) + "'");
    }
  }
}

TEST_F(StoreTest, ATableWithoutRowsHasNoIdentity) {
  fs::create_directories(db_dir);
  VectorDatabase::connect(db_dir).create_table("repo", {});
  SemanticStore store(db_dir);
  EXPECT_EQ(store.table_identity("repo"), std::nullopt);
  EXPECT_TRUE(store.rows_by_path("repo").empty());
}

TEST_F(StoreTest, RowsGroupByFileInOrderOfFirstAppearance) {
  SemanticStore store(db_dir);
  std::vector<Row> rows = {chunk_row("b.py", 1, {1, 0}), chunk_row("a.py", 7, {0, 1}), chunk_row("b.py", 9, {1, 1})};
  store.overwrite("repo", rows);
  RowsByPath grouped = store.rows_by_path("repo");
  ASSERT_EQ(grouped.size(), 2u);
  EXPECT_EQ(grouped.files()[0].file_path, "b.py");
  EXPECT_EQ(grouped.files()[0].rows, (std::vector<Row>{rows[0], rows[2]}));
  EXPECT_EQ(grouped.files()[1].file_path, "a.py");
  EXPECT_EQ(grouped.files()[1].rows, std::vector<Row>{rows[1]});
  ASSERT_NE(grouped.find("a.py"), nullptr);
  EXPECT_EQ(*grouped.find("a.py"), std::vector<Row>{rows[1]});
  EXPECT_EQ(grouped.find("c.py"), nullptr);
}

TEST_F(StoreTest, ARowWithoutFilePathFailsTheGrouping) {
  SemanticStore store(db_dir);
  store.overwrite("repo", {without(chunk_row("a.py", 1, {1, 0}), {"file_path"})});
  try {
    store.rows_by_path("repo");
    FAIL() << "no error";
  } catch (const KeyError& error) {
    EXPECT_EQ(error.message(), "'file_path'");
  }
}

TEST_F(StoreTest, OverwriteReplacesTheWholeTableAndNoRowsRemoveIt) {
  SemanticStore store(db_dir);
  store.overwrite("repo", {chunk_row("a.py", 1, {1, 0}), chunk_row("a.py", 9, {0, 1})});
  std::vector<Row> second = {chunk_row("c.py", 3, {1, 1})};
  store.overwrite("repo", second);
  RowsByPath grouped = store.rows_by_path("repo");
  ASSERT_EQ(grouped.size(), 1u);
  EXPECT_EQ(grouped.files()[0].rows, second);

  store.overwrite("repo", {});
  EXPECT_FALSE(fs::exists(db_dir / "repo.lance"));
  EXPECT_EQ(store.table_identity("repo"), std::nullopt);
  EXPECT_NO_THROW(store.overwrite("repo", {}));
  EXPECT_NO_THROW(store.drop("repo"));
  EXPECT_TRUE(fs::is_empty(db_dir));
}

TEST_F(StoreTest, OverwriteWithNoRowsCreatesTheDirectory) {
  SemanticStore store(db_dir);
  store.overwrite("repo", {});
  EXPECT_TRUE(fs::is_directory(db_dir));
  EXPECT_TRUE(fs::is_empty(db_dir));
}

TEST_F(StoreTest, SearchReturnsAtMostLimitRowsNearestFirst) {
  SemanticStore store(db_dir);
  std::vector<Row> rows;
  // Row i points at angle 10*i degrees from the query: nearest is i = 0.
  for (int i = 9; i >= 0; --i) {
    double angle = i * 10.0 * 3.14159265358979 / 180.0;
    rows.push_back(chunk_row("f.py", i + 1, {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))}));
  }
  store.overwrite("repo", rows);
  std::vector<Row> found = store.search("repo", {1, 0}, 30);
  EXPECT_EQ(places(found), (std::vector<std::string>{"f.py:1", "f.py:2", "f.py:3", "f.py:4", "f.py:5", "f.py:6",
                                                     "f.py:7", "f.py:8", "f.py:9", "f.py:10"}));
  double previous = -1;
  for (const Row& row : found) {
    double distance = std::get<double>(*row.find("_distance"));
    EXPECT_GE(distance, previous);
    previous = distance;
  }
  EXPECT_EQ(places(store.search("repo", {1, 0}, 3)), (std::vector<std::string>{"f.py:1", "f.py:2", "f.py:3"}));
  EXPECT_TRUE(store.search("other", {1, 0}, 30).empty());
}

TEST_F(StoreTest, TablesLiveAsSlugDotLanceInTheVectorDirectoryAndRemovingThatForgetsThem) {
  fs::path root = scratch.path() / "root";
  fs::path vector_dir = platform::lancedb_dir(root);
  SemanticStore store(vector_dir);
  store.overwrite("api", {chunk_row("a.py", 1, {1, 0})});
  store.overwrite("api-gateway", {chunk_row("b.py", 1, {1, 0})});
  EXPECT_TRUE(fs::is_directory(vector_dir / "api.lance"));
  EXPECT_TRUE(fs::is_directory(vector_dir / "api-gateway.lance"));

  fs::remove_all(vector_dir / "api.lance");  // what forgetting a repository does
  EXPECT_EQ(store.table_identity("api"), std::nullopt);
  EXPECT_TRUE(store.search("api", {1, 0}, 30).empty());
  EXPECT_EQ(store.table_identity("api-gateway"), IDENTITY);
}

TEST_F(StoreTest, AnUnusableSlugIsAMissingTableAndCannotBeWritten) {
  SemanticStore store(db_dir);
  EXPECT_EQ(store.table_identity("../escape"), std::nullopt);
  EXPECT_TRUE(store.search("a/b", {1}, 30).empty());
  EXPECT_THROW(store.overwrite("../escape", {chunk_row("a.py", 1, {1})}), core::ValueError);
  EXPECT_FALSE(fs::exists(db_dir.parent_path() / "escape.lance"));
}

TEST_F(StoreTest, ADamagedTableFailsInsteadOfReadingAsMissing) {
  SemanticStore store(db_dir);
  store.overwrite("repo", {chunk_row("a.py", 1, {1, 0})});
  core::write_file(db_dir / "repo.lance" / "table.sqlite", std::string(8192, '\x7f'));
  EXPECT_THROW(store.table_identity("repo"), core::Error);
  EXPECT_THROW(store.search("repo", {1, 0}, 30), core::Error);
}

}  // namespace
}  // namespace kolvex::semantic
