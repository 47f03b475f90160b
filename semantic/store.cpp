#include "semantic/store.h"

#include <cerrno>
#include <system_error>

#include "core/fs.h"

namespace kolvex::semantic {
namespace fs = std::filesystem;

void RowsByPath::append(const std::string& file_path, Row row) {
  auto [it, added] = index_.emplace(file_path, files_.size());
  if (added) files_.push_back(FileRows{file_path, {}});
  files_[it->second].rows.push_back(std::move(row));
}

const std::vector<Row>* RowsByPath::find(std::string_view file_path) const {
  auto it = index_.find(std::string(file_path));
  return it == index_.end() ? nullptr : &files_[it->second].rows;
}

SemanticStore::SemanticStore(fs::path db_dir) : db_dir_(std::move(db_dir)) {}

VectorDatabase& SemanticStore::connect() {
  if (db_) return *db_;
  try {
    bind_vector_store();
  } catch (const VectorStoreLoadError&) {
    throw SemanticExtraMissingError(std::string(INSTALL_HINT), std::current_exception());
  }
  std::error_code error;
  fs::create_directories(db_dir_, error);
  if (error) throw core::os_error(error.value(), db_dir_);
  db_ = VectorDatabase::connect(db_dir_);
  return *db_;
}

std::optional<VectorTable> SemanticStore::open(std::string_view slug) {
  VectorDatabase& db = connect();
  try {
    return db.open_table(slug);
  } catch (const core::ValueError&) {
    // How the vector store reports that it has no table of that name.
    return std::nullopt;
  }
}

std::optional<TableIdentity> SemanticStore::table_identity(std::string_view slug) {
  std::optional<VectorTable> table = open(slug);
  if (!table) return std::nullopt;
  std::vector<Row> first = table->head(1);
  if (first.empty()) return std::nullopt;
  const Row& row = first.front();
  // Tables written before the prefix and format columns existed read as empty
  // prefixes and format 0, which no current identity equals.
  return TableIdentity{
      text_column(row, "model_name"),
      text_column(row, "model_revision"),
      optional_text_column(row, "query_prefix").value_or(""),
      optional_text_column(row, "doc_prefix").value_or(""),
      optional_integer_column(row, "content_format").value_or(0),
  };
}

RowsByPath SemanticStore::rows_by_path(std::string_view slug) {
  RowsByPath grouped;
  std::optional<VectorTable> table = open(slug);
  if (!table) return grouped;
  for (Row& row : table->to_rows()) {
    std::string file_path = text_column(row, "file_path");
    grouped.append(file_path, std::move(row));
  }
  return grouped;
}

void SemanticStore::overwrite(std::string_view slug, const std::vector<Row>& rows) {
  VectorDatabase& db = connect();
  if (rows.empty()) {
    // A table is never empty: a generation without rows leaves no table.
    drop(slug);
    return;
  }
  db.create_table(slug, rows);
}

std::vector<Row> SemanticStore::search(std::string_view slug, const Vector& vector, std::int64_t limit) {
  std::optional<VectorTable> table = open(slug);
  if (!table) return {};
  return table->search(vector, limit);
}

void SemanticStore::drop(std::string_view slug) { connect().drop_table(slug); }

}  // namespace kolvex::semantic
