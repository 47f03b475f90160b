#include "declstore/lookups.h"

#include <sqlite3.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "core/lru_cache.h"
#include "core/sqlite.h"
#include "declstore/schema.h"
#include "platform/symbols.h"

namespace kolvex::declstore {
namespace {

const std::string SELECT_SYMBOLS = "SELECT " + std::string(SYNTAX_SYMBOL_COLUMNS) + " FROM syntax_symbols";

syntax::Span span_from(core::Statement& row, int first) {
  return syntax::Span{row.column_int(first),     row.column_int(first + 1), row.column_int(first + 2),
                      row.column_int(first + 3), row.column_int(first + 4), row.column_int(first + 5)};
}

// One row selected through SYNTAX_SYMBOL_COLUMNS.
syntax::SyntaxSymbol row_to_syntax_symbol(core::Statement& row) {
  if (row.column_count() != SYNTAX_SYMBOL_COLUMN_COUNT) {
    throw core::ValueError("a declaration row has " + std::to_string(row.column_count()) + " values, not " +
                           std::to_string(SYNTAX_SYMBOL_COLUMN_COUNT));
  }
  const syntax::DescriptorKind kind = platform::kind_from_text(row.column_text(4));
  syntax::Span declaration = span_from(row, 6);
  syntax::Span selection = span_from(row, 12);
  return syntax::SyntaxSymbol{
      .symbol = row.column_text(0),
      .file_path = row.column_text(1),
      .name = row.column_text(2),
      .qualified_name = row.column_text(3),
      .kind = kind,
      .parent_symbol = row.column_opt_text(5),
      .declaration = declaration,
      .selection = selection,
  };
}

// Simple name -> candidates, names in order of first arrival, each list in
// statement order.
platform::NameMap syntax_name_map(core::Connection& conn, bool uncovered_only) {
  core::Statement rows = conn.prepare(
      uncovered_only ? "SELECT sy.symbol, sy.name, sy.qualified_name, sy.kind FROM syntax_symbols sy "
                       "JOIN syntax_files sf ON sf.file_path = sy.file_path WHERE sf.scip_definition = 0"
                     : "SELECT symbol, name, qualified_name, kind FROM syntax_symbols");
  platform::NameMap map;
  std::unordered_map<std::string, std::size_t> position;
  while (rows.step()) {
    platform::Candidate candidate{
        .symbol = rows.column_text(0),
        .dotted_path = rows.column_text(2),
        .kind = platform::kind_from_text(rows.column_text(3)),
    };
    std::string name = rows.column_text(1);
    auto [slot, added] = position.try_emplace(name, map.size());
    if (added) map.emplace_back(std::move(name), std::vector<platform::Candidate>{});
    map[slot->second].second.push_back(std::move(candidate));
  }
  return map;
}

using NameMapPtr = std::shared_ptr<const platform::NameMap>;

// Name maps of published databases, keyed by the file's identity and the
// uncovered_only setting; the most recently used are kept.
core::LruCache<NameMapPtr>& name_maps() {
  static core::LruCache<NameMapPtr> cache(NAME_MAP_CACHE_MAX_SIZE);
  return cache;
}

// The cache key of the connection's main database when it is a published
// snapshot, otherwise none. A published snapshot is opened read-only with
// immutable=1 (the opener's promise that the file never changes); any other
// connection may see a database that is still being written. The key holds the
// file's device, inode, size and modification time besides its path, so a
// different file under a reused name never meets an old entry.
std::optional<std::string> published_map_key(core::Connection& conn, bool uncovered_only) {
  sqlite3* db = conn.raw();
  const char* file = sqlite3_db_filename(db, "main");
  if (file == nullptr || *file == '\0') return std::nullopt;
  if (sqlite3_db_readonly(db, "main") != 1 || !sqlite3_uri_boolean(file, "immutable", 0)) return std::nullopt;
  struct stat info {};
  if (::stat(file, &info) != 0) return std::nullopt;
  std::string key = uncovered_only ? "uncovered:" : "all:";
  key += std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" + std::to_string(info.st_size) + ":" +
         std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) + ":" + file;
  return key;
}

// The name map through the cache for a published database, built anew for
// any other. A failed build stores nothing.
NameMapPtr cached_syntax_name_map(core::Connection& conn, bool uncovered_only) {
  const std::optional<std::string> key = published_map_key(conn, uncovered_only);
  if (!key) return std::make_shared<const platform::NameMap>(syntax_name_map(conn, uncovered_only));
  if (std::optional<NameMapPtr> cached = name_maps().find(*key)) return *std::move(cached);
  // Built outside the cache's lock: this reads every eligible declaration.
  NameMapPtr built = std::make_shared<const platform::NameMap>(syntax_name_map(conn, uncovered_only));
  name_maps().store(*key, built);
  return built;
}

// The most parameters one statement may bind on this connection.
std::size_t parameter_limit(core::Connection& conn) {
  const int limit = sqlite3_limit(conn.raw(), SQLITE_LIMIT_VARIABLE_NUMBER, -1);
  return static_cast<std::size_t>(std::max(limit, 1));
}

}  // namespace

std::vector<syntax::SyntaxSymbol> file_symbols(core::Connection& conn, std::string_view file_path) {
  core::Statement rows = conn.prepare(SELECT_SYMBOLS + " WHERE file_path = ? ORDER BY selection_start_byte");
  rows.bind(1, file_path);
  std::vector<syntax::SyntaxSymbol> symbols;
  while (rows.step()) symbols.push_back(row_to_syntax_symbol(rows));
  return symbols;
}

std::optional<syntax::SyntaxSymbol> get_syntax_symbol(core::Connection& conn, std::string_view symbol) {
  core::Statement row = conn.prepare(SELECT_SYMBOLS + " WHERE symbol = ?");
  row.bind(1, symbol);
  if (!row.step()) return std::nullopt;
  return row_to_syntax_symbol(row);
}

std::vector<syntax::SyntaxSymbol> find_syntax_symbols(core::Connection& conn, std::string_view query,
                                                      const FindOptions& options) {
  const NameMapPtr map = cached_syntax_name_map(conn, options.uncovered_only);
  const std::vector<platform::Candidate> candidates =
      platform::dotted_suffix_matches(*map, query, /*case_sensitive=*/true);
  if (candidates.empty()) return {};

  // Each id is read once; the answer below repeats what the matcher repeats.
  std::vector<std::string> ids;
  std::unordered_set<std::string> seen;
  for (const platform::Candidate& candidate : candidates) {
    if (seen.insert(candidate.symbol).second) ids.push_back(candidate.symbol);
  }

  std::unordered_map<std::string, syntax::SyntaxSymbol> fetched;
  const std::size_t batch = parameter_limit(conn);
  for (std::size_t start = 0; start < ids.size(); start += batch) {
    const std::size_t count = std::min(batch, ids.size() - start);
    std::string sql = SELECT_SYMBOLS + " WHERE symbol IN (";
    for (std::size_t i = 0; i < count; ++i) sql += i ? ",?" : "?";
    sql += ")";
    core::Statement rows = conn.prepare(sql);
    for (std::size_t i = 0; i < count; ++i) rows.bind(static_cast<int>(i + 1), ids[start + i]);
    while (rows.step()) {
      syntax::SyntaxSymbol symbol = row_to_syntax_symbol(rows);
      std::string id = symbol.symbol;
      fetched.insert_or_assign(std::move(id), std::move(symbol));
    }
  }

  std::vector<syntax::SyntaxSymbol> answer;
  for (const platform::Candidate& candidate : candidates) {
    auto found = fetched.find(candidate.symbol);
    if (found != fetched.end()) answer.push_back(found->second);
  }
  return answer;
}

std::pair<std::string, std::optional<std::string>> file_coverage(core::Connection& conn, std::string_view path) {
  core::Statement row = conn.prepare("SELECT state, reason FROM syntax_files WHERE file_path = ?");
  row.bind(1, path);
  if (!row.step()) return {std::string(UNKNOWN_FILE_STATE), std::nullopt};
  return {row.column_text(0), row.column_opt_text(1)};
}

std::optional<FileProviderCoverage> file_provider_coverage(core::Connection& conn, std::string_view path) {
  core::Statement row =
      conn.prepare("SELECT state, reason, scip_outline, scip_definition FROM syntax_files WHERE file_path = ?");
  row.bind(1, path);
  if (!row.step()) return std::nullopt;
  return FileProviderCoverage{
      .state = row.column_text(0),
      .reason = row.column_opt_text(1),
      .scip_outline = row.column_int(2) != 0,
      .scip_definition = row.column_int(3) != 0,
  };
}

}  // namespace kolvex::declstore
