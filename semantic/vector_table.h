// The vector store: directory-backed tables of rows, opened by name, replaced
// whole, dropped, read whole or by first row, and searched by nearest neighbour
// under the cosine metric with a row limit.
//
// Layout: a database is a directory; the table `name` is the directory
// "<name>.lance" directly inside it, holding the table's data file
// "table.sqlite" (a SQLite database: the column list and the rows in stored
// order, vectors as float32 blobs). A data file is written once under a
// temporary name in the table's directory and renamed into place, so a reader
// opens either the whole previous table or the whole new one, and keeps reading
// the version it opened while a writer replaces or drops the table. A table
// directory without its data file is no table.
//
// Search is exact: the cosine distance (1 - cos) of the query to every row's
// vector, nearest first, equal distances in stored order. Returned rows carry the
// distance as a last extra column "_distance".
//
// Thread-safety: a VectorDatabase is a path and may be used from any thread; a
// VectorTable is one open version of a table, used by one thread at a time.
// Readers in any thread or process may run while one writer replaces a table;
// two writers of one table at once are not supported (the later rename wins,
// and an earlier writer may fail).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/sqlite.h"
#include "semantic/row.h"

namespace kolvex::semantic {

// The vector store cannot be loaded (its library is not installed).
class VectorStoreLoadError : public core::RuntimeError {
 public:
  using RuntimeError::RuntimeError;
  const char* type_name() const noexcept override { return "VectorStoreLoadError"; }
};

// Binds the vector store for the first use of a database. Throws
// VectorStoreLoadError when it is unavailable (see semantic/testing.h).
void bind_vector_store();

// The name of the distance column that search adds to its rows.
inline constexpr std::string_view DISTANCE_COLUMN = "_distance";
// The column that search compares the query with.
inline constexpr std::string_view VECTOR_COLUMN = "vector";

// One version of one table, open for reading.
class VectorTable {
 public:
  const std::string& name() const noexcept { return name_; }
  // Column names in table order (empty for a table created without rows).
  std::vector<std::string> column_names() const;

  // The first `n` rows in stored order, reading no others.
  std::vector<Row> head(std::int64_t n);
  // Every row, every column, in stored order.
  std::vector<Row> to_rows();
  // At most `limit` rows (none when limit < 1), nearest to `query` first by
  // cosine distance over the "vector" column; each row ends with "_distance".
  // core::ValueError when the table has no vector column or `query` has another
  // number of dimensions than the stored vectors.
  std::vector<Row> search(const Vector& query, std::int64_t limit);

 private:
  friend class VectorDatabase;
  enum class Kind { integer, real, text, vector };
  struct Column {
    std::string name;
    Kind kind;
    std::int64_t dimensions;  // vector columns only
  };
  VectorTable(std::string name, core::Connection connection, std::vector<Column> columns);
  std::vector<Row> read_rows(std::string_view tail_sql, std::int64_t bound);
  Row row_from(core::Statement& statement);

  std::string name_;
  core::Connection connection_;
  std::vector<Column> columns_;
};

// A directory of tables.
class VectorDatabase {
 public:
  // A database on an existing directory (an empty one is an empty database).
  // core::OsError when `directory` is missing or not a directory.
  static VectorDatabase connect(const std::filesystem::path& directory);

  const std::filesystem::path& directory() const noexcept { return directory_; }
  // "<directory>/<name>.lance".
  std::filesystem::path table_path(std::string_view name) const;

  // The current version of the table. core::ValueError, and no other kind of
  // error, when there is no table of that name (an unusable name included).
  VectorTable open_table(std::string_view name) const;
  // Creates the table from `rows`, replacing whatever a table of that name held
  // ("overwrite" mode). The columns are the first row's keys in their order;
  // every row must have the same columns with values of the same kinds, and the
  // vectors of one column the same length (core::ValueError otherwise, before
  // anything is written).
  void create_table(std::string_view name, const std::vector<Row>& rows) const;
  // Removes the table; a missing table is no error.
  void drop_table(std::string_view name) const;

 private:
  explicit VectorDatabase(std::filesystem::path directory) : directory_(std::move(directory)) {}
  std::filesystem::path directory_;
};

}  // namespace kolvex::semantic
