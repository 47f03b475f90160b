#include "semantic/row.h"

#include <algorithm>

#include "core/text.h"

namespace kolvex::semantic {
namespace {

// Kind names as errors show them, in the order of Value's alternatives.
constexpr std::array<std::string_view, 4> KIND_NAMES = {"integer", "float", "text", "vector"};

[[noreturn]] void throw_kind_mismatch(std::string_view name, const Value& value, std::size_t expected) {
  throw core::ValueError("column " + core::quote(name) + " holds " + std::string(KIND_NAMES[value.index()]) +
                         ", not " + std::string(KIND_NAMES[expected]));
}

template <typename T>
const T& typed(const Row& row, std::string_view name) {
  const Value& value = row.at(name);
  if (const T* typed_value = std::get_if<T>(&value)) return *typed_value;
  throw_kind_mismatch(name, value, Value(T{}).index());
}

}  // namespace

const Value* Row::find(std::string_view name) const noexcept {
  auto it = std::find_if(columns.begin(), columns.end(), [&](const auto& column) { return column.first == name; });
  return it == columns.end() ? nullptr : &it->second;
}

const Value& Row::at(std::string_view name) const {
  if (const Value* value = find(name)) return *value;
  throw KeyError(core::quote(name));
}

void Row::set(std::string_view name, Value value) {
  for (auto& column : columns) {
    if (column.first == name) {
      column.second = std::move(value);
      return;
    }
  }
  columns.emplace_back(std::string(name), std::move(value));
}

const std::string& text_column(const Row& row, std::string_view name) { return typed<std::string>(row, name); }

std::int64_t integer_column(const Row& row, std::string_view name) { return typed<std::int64_t>(row, name); }

const Vector& vector_column(const Row& row, std::string_view name) { return typed<Vector>(row, name); }

std::optional<std::string> optional_text_column(const Row& row, std::string_view name) {
  if (row.find(name) == nullptr) return std::nullopt;
  return text_column(row, name);
}

std::optional<std::int64_t> optional_integer_column(const Row& row, std::string_view name) {
  if (row.find(name) == nullptr) return std::nullopt;
  return integer_column(row, name);
}

Row make_row(RowFields fields) {
  Row row;
  row.columns.reserve(ROW_COLUMNS.size());
  auto add = [&](std::size_t position, Value value) {
    row.columns.emplace_back(std::string(ROW_COLUMNS[position]), std::move(value));
  };
  add(0, std::move(fields.chunk_id));
  add(1, std::move(fields.content_hash));
  add(2, std::move(fields.file_hash));
  add(3, std::move(fields.file_path));
  add(4, fields.start_line);
  add(5, fields.end_line);
  add(6, std::move(fields.symbol_name));
  add(7, std::move(fields.language));
  add(8, std::move(fields.content));
  add(9, std::move(fields.vector));
  add(10, std::move(fields.model_name));
  add(11, std::move(fields.model_revision));
  add(12, std::move(fields.query_prefix));
  add(13, std::move(fields.doc_prefix));
  add(14, fields.content_format);
  return row;
}

}  // namespace kolvex::semantic
