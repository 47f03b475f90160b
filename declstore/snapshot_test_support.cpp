#include "declstore/snapshot_test_support.h"

#include <cstdio>
#include <cstdlib>

#include "declstore/schema.h"
#include "testkit/scip_builder.h"

namespace kolvex::declstore::testing {

syntax::SyntaxSymbol declaration(const std::string& id, const std::string& file_path,
                                 const std::string& qualified_name, std::int64_t start_byte,
                                 std::optional<std::string> parent, syntax::DescriptorKind kind) {
  const std::size_t dot = qualified_name.rfind('.');
  const std::string name = dot == std::string::npos ? qualified_name : qualified_name.substr(dot + 1);
  const auto length = static_cast<std::int64_t>(name.size());
  return syntax::SyntaxSymbol{
      .symbol = id,
      .file_path = file_path,
      .name = name,
      .qualified_name = qualified_name,
      .kind = kind,
      .parent_symbol = std::move(parent),
      .declaration = {start_byte - 4, start_byte + length + 10, 1, 0, 3, 2},
      .selection = {start_byte, start_byte + length, 1, 4, 1, 4 + length},
  };
}

void fill_syntax_tables(core::Connection& conn, const std::vector<FileRow>& files,
                        const std::vector<syntax::SyntaxSymbol>& symbols) {
  conn.exec(SYNTAX_SCHEMA);
  core::Statement file_insert = conn.prepare(
      "INSERT INTO syntax_files (file_path, language, file_hash, parser_identity, in_scope, state, reason) "
      "VALUES (?, ?, ?, ?, ?, ?, ?)");
  for (const FileRow& file : files) {
    const bool extracted = file.state == "parsed" || file.state == "partial" || file.state == "failed";
    file_insert.bind(1, file.file_path);
    file_insert.bind(2, file.language);
    file_insert.bind(3, extracted ? std::optional<std::string>(std::string(64, 'a')) : std::nullopt);
    file_insert.bind(4, extracted ? std::optional<std::string>(std::string(64, 'b')) : std::nullopt);
    file_insert.bind(5, file.in_scope ? 1 : 0);
    file_insert.bind(6, file.state);
    file_insert.bind(7, file.reason);
    file_insert.run();
    file_insert.reset();
  }
  core::Statement symbol_insert = conn.prepare("INSERT INTO syntax_symbols (" + std::string(SYNTAX_SYMBOL_COLUMNS) +
                                               ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  for (const syntax::SyntaxSymbol& s : symbols) {
    symbol_insert.bind(1, s.symbol).bind(2, s.file_path).bind(3, s.name).bind(4, s.qualified_name);
    symbol_insert.bind(5, platform::kind_text(s.kind)).bind(6, s.parent_symbol);
    int index = 7;
    for (const syntax::Span* span : {&s.declaration, &s.selection}) {
      for (std::int64_t value : {span->start_byte, span->end_byte, span->start_line, span->start_character,
                                 span->end_line, span->end_character}) {
        symbol_insert.bind(index++, value);
      }
    }
    symbol_insert.run();
    symbol_insert.reset();
  }
}

void write_syntax_database(const std::filesystem::path& path, const std::vector<FileRow>& files,
                           const std::vector<syntax::SyntaxSymbol>& symbols) {
  core::Connection conn = core::Connection::open(path);
  fill_syntax_tables(conn, files, symbols);
  conn.close();
}

void write_legacy_database(const std::filesystem::path& path, bool definition) {
  core::Connection conn = core::Connection::open(path);
  conn.exec("PRAGMA synchronous = OFF");
  core::Transaction transaction(conn);
  conn.exec(
      "CREATE TABLE documents (id INTEGER PRIMARY KEY, relative_path TEXT NOT NULL UNIQUE);"
      "CREATE TABLE chunks (id INTEGER PRIMARY KEY, document_id INTEGER NOT NULL, occurrences BLOB NOT NULL);"
      "CREATE TABLE defn_enclosing_ranges (id INTEGER PRIMARY KEY, document_id INTEGER NOT NULL, "
      "symbol_id INTEGER NOT NULL, start_line INTEGER NOT NULL, end_line INTEGER NOT NULL);"
      "INSERT INTO documents (id, relative_path) VALUES (1, 'src/app.py');");
  if (definition) {
    core::Statement insert = conn.prepare("INSERT INTO chunks (document_id, occurrences) VALUES (1, ?)");
    insert.bind_blob(1, testkit::occurrences_blob({testkit::scip_occurrence("py . pkg 1.0 app/Job#", {0, 6, 9}, 1)}));
    insert.run();
  }
  transaction.commit();
  conn.close();
}

void add_undecodable_chunk(const std::filesystem::path& path) {
  core::Connection conn = core::Connection::open(path);
  conn.exec("PRAGMA synchronous = OFF");
  conn.exec("INSERT INTO chunks (document_id, occurrences) VALUES (1, x'00112233')");
  conn.close();
}

namespace {

// A value as text: NULL, the number, the text (between single quotes when
// `quote_text`), or a blob as x'<hex>'.
std::string render(const core::SqlValue& value, bool quote_text = false) {
  if (std::holds_alternative<core::Null>(value)) return "NULL";
  if (const auto* number = std::get_if<std::int64_t>(&value)) return std::to_string(*number);
  if (const auto* real = std::get_if<double>(&value)) return std::to_string(*real);
  if (const auto* text = std::get_if<std::string>(&value)) return quote_text ? "'" + *text + "'" : *text;
  std::string hex = "x'";
  for (std::uint8_t byte : std::get<std::vector<std::uint8_t>>(value)) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    hex += digits;
  }
  return hex + "'";
}

}  // namespace

std::vector<std::string> rows_of(core::Connection& conn, const std::string& sql) {
  core::Statement statement = conn.prepare(sql);
  std::vector<std::string> rows;
  while (statement.step()) {
    std::string row;
    for (int i = 0; i < statement.column_count(); ++i) row += (i ? "|" : "") + render(statement.column_value(i));
    rows.push_back(row);
  }
  return rows;
}

std::vector<std::string> dump_converter_tables(core::Connection& conn) {
  std::vector<std::string> dump;
  for (const char* table : {"documents", "chunks", "mentions", "global_symbols", "defn_enclosing_ranges"}) {
    for (std::string& entry :
         rows_of(conn, std::string("SELECT type, name, sql FROM main.sqlite_master WHERE tbl_name = '") + table +
                           "' ORDER BY type, name")) {
      dump.push_back(std::move(entry));
    }
    for (std::string& row : rows_of(conn, std::string("SELECT * FROM main.") + table + " ORDER BY rowid")) {
      dump.push_back(std::string(table) + ": " + row);
    }
  }
  return dump;
}

std::vector<std::string> flags_of(core::Connection& conn) {
  return rows_of(conn, "SELECT file_path, scip_outline, scip_definition FROM syntax_files ORDER BY file_path");
}

std::vector<std::string> build_rows(const std::filesystem::path& db) {
  core::Connection conn = core::Connection::open(db, {.read_only = true});
  std::vector<std::string> rows;
  for (const char* table : {"syntax_files", "syntax_symbols", "kolvex_snapshot"}) {
    core::Statement select = conn.prepare(std::string("SELECT rowid, * FROM ") + table + " ORDER BY rowid");
    while (select.step()) {
      std::string row = table;
      for (int i = 0; i < select.column_count(); ++i) row += "|" + render(select.column_value(i), /*quote_text=*/true);
      rows.push_back(row);
    }
  }
  return rows;
}

std::string tree_text(const syntax::ParseTree& tree) {
  char* text = ts_node_string(tree.root_node());
  std::string copy = text;
  std::free(text);
  return copy;
}

}  // namespace kolvex::declstore::testing
