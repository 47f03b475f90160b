// Small fixtures shared by the tests of the syntax build, merge, finalization,
// facts and lookups: syntax databases written row by row, and table contents
// rendered as text.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/sqlite.h"
#include "syntax/parse_tree.h"
#include "syntax/records.h"

namespace kolvex::declstore::testing {

// One syntax_files row; the flags start at 0 as the build writes them.
struct FileRow {
  std::string file_path;
  std::string state = "parsed";
  bool in_scope = true;
  std::optional<std::string> reason;
  std::optional<std::string> language = "python";
};

// A declaration of `file_path` named `qualified_name` (its last dotted part is
// the name), with its selection starting at `start_byte`.
syntax::SyntaxSymbol declaration(const std::string& id, const std::string& file_path,
                                 const std::string& qualified_name, std::int64_t start_byte,
                                 std::optional<std::string> parent = std::nullopt,
                                 syntax::DescriptorKind kind = syntax::DescriptorKind::TERM);

// Runs the schema script on `conn` and writes the rows.
void fill_syntax_tables(core::Connection& conn, const std::vector<FileRow>& files,
                        const std::vector<syntax::SyntaxSymbol>& symbols);
// The same into a new database file at `path`.
void write_syntax_database(const std::filesystem::path& path, const std::vector<FileRow>& files,
                           const std::vector<syntax::SyntaxSymbol>& symbols);

// A legacy snapshot: the converter's tables (documents, chunks,
// defn_enclosing_ranges) and no syntax tables, with one document "src/app.py";
// with `definition`, its one chunk holds a non-local definition occurrence,
// otherwise it has no chunk. Written in one transaction.
void write_legacy_database(const std::filesystem::path& path, bool definition = false);
// Adds a chunk that does not decode, so that any later derivation fails.
void add_undecodable_chunk(const std::filesystem::path& path);

// Every row of `sql`, each as its values joined by "|" (NULL as "NULL", blobs in hex).
std::vector<std::string> rows_of(core::Connection& conn, const std::string& sql);

// The schema entries and every row of the converter's five tables: compared
// before and after a change to show that the change left them alone.
std::vector<std::string> dump_converter_tables(core::Connection& conn);

// The flags of every syntax_files row: "path|scip_outline|scip_definition".
std::vector<std::string> flags_of(core::Connection& conn);

// Every row of the tables a syntax build writes (syntax_files, syntax_symbols,
// kolvex_snapshot) in rowid order, rowids included, each as "table|value|…" with
// text quoted, so that NULL and the text 'NULL' differ: two builds that must
// agree compare equal row for row.
std::vector<std::string> build_rows(const std::filesystem::path& db);

// The whole tree of a parse as text, to compare what two builds handed to their
// parse callbacks.
std::string tree_text(const syntax::ParseTree& tree);

}  // namespace kolvex::declstore::testing
