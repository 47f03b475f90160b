// The row record of a vector table: an insertion-ordered map from column name to
// value. Rows are handed to SemanticStore::overwrite in this form and come back
// from its reading operations in it; the key order of the rows given to a write
// is the column order of the table it creates.
//
// Every row the semantic index writes carries the fifteen columns of ROW_COLUMNS,
// in that order; make_row builds such a row from its typed fields. Rows read back
// may lack columns (tables written before the identity columns existed) or carry
// more (search adds "_distance"), so readers look columns up by name: a missing
// column raises KeyError, a column of another kind core::ValueError.
//
// Thread-safety: plain values; const access from several threads is safe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/error.h"

namespace kolvex::semantic {

// A missing column of a row; the message is the quoted column name ('file_path').
class KeyError : public core::GenericError {
 public:
  using GenericError::GenericError;
  const char* type_name() const noexcept override { return "KeyError"; }
};

// An embedding vector: single-precision elements in dimension order.
using Vector = std::vector<float>;

// One column value: integer, floating-point number, text or vector.
using Value = std::variant<std::int64_t, double, std::string, Vector>;

struct Row {
  std::vector<std::pair<std::string, Value>> columns;  // in key order, names unique

  // The value of a column, or null when the row has no such column.
  const Value* find(std::string_view name) const noexcept;
  // The value of a column; throws KeyError when the row has no such column.
  const Value& at(std::string_view name) const;
  // Replaces the column's value, or appends the column when it is new.
  void set(std::string_view name, Value value);

  friend bool operator==(const Row&, const Row&) = default;
};

// Typed reads of one column: KeyError when it is missing, core::ValueError when
// it holds a value of another kind.
const std::string& text_column(const Row& row, std::string_view name);
std::int64_t integer_column(const Row& row, std::string_view name);
const Vector& vector_column(const Row& row, std::string_view name);
// Like text_column / integer_column, but none when the column is missing.
std::optional<std::string> optional_text_column(const Row& row, std::string_view name);
std::optional<std::int64_t> optional_integer_column(const Row& row, std::string_view name);

// The columns of every row the semantic index writes, in column order.
inline constexpr std::array<std::string_view, 15> ROW_COLUMNS = {
    "chunk_id",  "content_hash", "file_hash",      "file_path",    "start_line",
    "end_line",  "symbol_name",  "language",       "content",      "vector",
    "model_name", "model_revision", "query_prefix", "doc_prefix",  "content_format",
};

// The fifteen values of one row, in column order.
struct RowFields {
  std::string chunk_id;      // 32 lower-case hexadecimal digits (uuid4 hex)
  std::string content_hash;  // SHA-256 of the chunk content, 64 hexadecimal digits
  std::string file_hash;     // SHA-256 of the whole source file
  std::string file_path;     // repository-relative
  std::int64_t start_line;   // 1-based
  std::int64_t end_line;     // 1-based, inclusive
  std::string symbol_name;   // "" when the chunk belongs to no declaration
  std::string language;
  std::string content;  // the chunk text as embedded, context header included
  Vector vector;        // unit length
  std::string model_name;
  std::string model_revision;
  std::string query_prefix;
  std::string doc_prefix;
  std::int64_t content_format;
};

// The row record of `fields`, columns in the order of ROW_COLUMNS.
Row make_row(RowFields fields);

}  // namespace kolvex::semantic
