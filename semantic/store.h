// The semantic index's store of vector tables: one table per repository slug,
// kept as "<slug>.lance" directly inside the vector directory. It reads the
// identity under which a table was built (from its first row), all rows of a
// table grouped by file, replaces a table whole, searches it by cosine nearest
// neighbour, and removes it. It is the only code that talks to the vector store.
//
// The vector store is bound on first use: constructing a store touches nothing on
// disk. The first operation of any kind binds it (SemanticExtraMissingError with
// INSTALL_HINT, the load failure as cause, when it is not installed; the
// directory is then not created), creates the vector directory with its parents
// and keeps the connection for the life of the store. A failed connect leaves the
// store unconnected, and the next operation tries again from the start.
//
// Besides that load failure the store catches exactly one error: the report of a
// missing table when opening one. Everything else propagates unchanged, and no
// operation returns a partial result. A missing column raises KeyError.
//
// Thread-safety: a store is used by one thread at a time (each search makes its
// own). Readers in other threads or processes see a table either whole before a
// replacement or whole after it, never a mixture.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "semantic/extra_missing.h"
#include "semantic/row.h"
#include "semantic/vector_table.h"

namespace kolvex::semantic {

// Everything that must match for stored vectors to be reusable.
struct TableIdentity {
  std::string model_name;
  std::string model_revision;
  std::string query_prefix;
  std::string doc_prefix;
  std::int64_t content_format;

  friend bool operator==(const TableIdentity&, const TableIdentity&) = default;
};

// The rows of one file, in stored order.
struct FileRows {
  std::string file_path;
  std::vector<Row> rows;
};

// A table's rows grouped by "file_path", files in order of first appearance.
class RowsByPath {
 public:
  // Appends `row` to the rows of `file_path`, adding the file when it is new.
  void append(const std::string& file_path, Row row);
  // The rows of a file, or null when the map has no such file.
  const std::vector<Row>* find(std::string_view file_path) const;

  const std::vector<FileRows>& files() const noexcept { return files_; }
  std::vector<FileRows>::const_iterator begin() const noexcept { return files_.begin(); }
  std::vector<FileRows>::const_iterator end() const noexcept { return files_.end(); }
  std::size_t size() const noexcept { return files_.size(); }
  bool empty() const noexcept { return files_.empty(); }

 private:
  std::vector<FileRows> files_;
  std::unordered_map<std::string, std::size_t> index_;
};

class SemanticStore {
 public:
  // Keeps `db_dir` and starts unconnected; no file-system access.
  explicit SemanticStore(std::filesystem::path db_dir);

  // The identity of the table's first row; none when the table is missing or has
  // no rows. "model_name" and "model_revision" are required (KeyError); missing
  // prefix columns read as "", a missing "content_format" as 0.
  std::optional<TableIdentity> table_identity(std::string_view slug);
  // Every row of the table, grouped by file; empty when the table is missing.
  RowsByPath rows_by_path(std::string_view slug);
  // Replaces the table's whole content with `rows`; no rows removes the table.
  void overwrite(std::string_view slug, const std::vector<Row>& rows);
  // At most `limit` rows nearest to `vector` by cosine distance, nearest first,
  // each ending with the extra column "_distance"; empty when the table is missing.
  std::vector<Row> search(std::string_view slug, const Vector& vector, std::int64_t limit);
  // Removes the table; a missing table is no error.
  void drop(std::string_view slug);

  const std::filesystem::path& db_dir() const noexcept { return db_dir_; }

 private:
  VectorDatabase& connect();
  std::optional<VectorTable> open(std::string_view slug);

  std::filesystem::path db_dir_;
  std::optional<VectorDatabase> db_;
};

}  // namespace kolvex::semantic
