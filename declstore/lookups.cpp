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

// One row selected through SYNTAX_SYMBOL_COLUMNS, its values from column
// `first` on.
syntax::SyntaxSymbol row_to_syntax_symbol(core::Statement& row, int first = 0) {
  if (row.column_count() != first + SYNTAX_SYMBOL_COLUMN_COUNT) {
    throw core::ValueError("a declaration row has " + std::to_string(row.column_count() - first) + " values, not " +
                           std::to_string(SYNTAX_SYMBOL_COLUMN_COUNT));
  }
  const syntax::DescriptorKind kind = platform::kind_from_text(row.column_text(first + 4));
  syntax::Span declaration = span_from(row, first + 6);
  syntax::Span selection = span_from(row, first + 12);
  return syntax::SyntaxSymbol{
      .symbol = row.column_text(first),
      .file_path = row.column_text(first + 1),
      .name = row.column_text(first + 2),
      .qualified_name = row.column_text(first + 3),
      .kind = kind,
      .parent_symbol = row.column_opt_text(first + 5),
      .declaration = declaration,
      .selection = selection,
  };
}

// Simple name -> candidates, names in order of first arrival, each list in
// statement order, with where each candidate's row is.
struct SyntaxNames {
  platform::NameMap map;
  std::vector<std::vector<std::int64_t>> rows;  // rows[i][j]: the rowid of map[i].second[j]
  std::unordered_map<std::string, std::size_t> position;  // name -> i
  // A dotted path that matches a query ends with the query's last segment (its
  // text after the last dot), and a candidate's path mostly ends with its name.
  // The candidates whose path does not, (i, j) in map order, by the last segment
  // of their path.
  std::unordered_map<std::string_view, std::vector<std::pair<std::size_t, std::size_t>>> elsewhere;

  // Fills `elsewhere`; its keys point into the candidates, which must not move afterwards.
  void index_elsewhere() {
    for (std::size_t i = 0; i < map.size(); ++i) {
      const std::vector<platform::Candidate>& candidates = map[i].second;
      for (std::size_t j = 0; j < candidates.size(); ++j) {
        const std::string_view segment = last_segment(candidates[j].dotted_path);
        if (segment != map[i].first) elsewhere[segment].emplace_back(i, j);
      }
    }
  }

  static std::string_view last_segment(std::string_view dotted) {
    const std::size_t dot = dotted.rfind('.');
    return dot == std::string_view::npos ? dotted : dotted.substr(dot + 1);
  }
};

SyntaxNames syntax_names(core::Connection& conn, bool uncovered_only) {
  core::Statement rows = conn.prepare(
      uncovered_only ? "SELECT sy.symbol, sy.name, sy.qualified_name, sy.kind, sy.rowid FROM syntax_symbols sy "
                       "JOIN syntax_files sf ON sf.file_path = sy.file_path WHERE sf.scip_definition = 0"
                     : "SELECT symbol, name, qualified_name, kind, rowid FROM syntax_symbols");
  SyntaxNames names;
  while (rows.step()) {
    platform::Candidate candidate{
        .symbol = rows.column_text(0),
        .dotted_path = rows.column_text(2),
        .kind = platform::kind_from_text(rows.column_text(3)),
    };
    std::string name = rows.column_text(1);
    auto [slot, added] = names.position.try_emplace(name, names.map.size());
    if (added) {
      names.map.emplace_back(std::move(name), std::vector<platform::Candidate>{});
      names.rows.emplace_back();
    }
    names.map[slot->second].second.push_back(std::move(candidate));
    names.rows[slot->second].push_back(rows.column_int(4));
  }
  return names;
}

using NamesPtr = std::shared_ptr<const SyntaxNames>;

// Name maps of published databases, keyed by the file's identity and the
// uncovered_only setting; the most recently used are kept.
core::LruCache<NamesPtr>& name_maps() {
  static core::LruCache<NamesPtr> cache(NAME_MAP_CACHE_MAX_SIZE);
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
NamesPtr cached_syntax_names(core::Connection& conn, bool uncovered_only) {
  auto build = [&] {
    auto names = std::make_shared<SyntaxNames>(syntax_names(conn, uncovered_only));
    names->index_elsewhere();
    return NamesPtr(std::move(names));
  };
  const std::optional<std::string> key = published_map_key(conn, uncovered_only);
  if (!key) return build();
  if (std::optional<NamesPtr> cached = name_maps().find(*key)) return *std::move(cached);
  // Built outside the cache's lock: this reads every eligible declaration.
  NamesPtr built = build();
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
  const NamesPtr names = cached_syntax_names(conn, options.uncovered_only);
  // Only a candidate whose path ends with the query's last segment can match:
  // those named so, and those listed elsewhere under it, merged in map order.
  const std::string_view segment = SyntaxNames::last_segment(query);
  std::vector<std::pair<std::size_t, std::size_t>> tried;
  if (auto named = names->position.find(std::string(segment)); named != names->position.end()) {
    for (std::size_t j = 0; j < names->map[named->second].second.size(); ++j) tried.emplace_back(named->second, j);
  }
  if (auto listed = names->elsewhere.find(segment); listed != names->elsewhere.end()) {
    const std::size_t named_end = tried.size();
    tried.insert(tried.end(), listed->second.begin(), listed->second.end());
    std::inplace_merge(tried.begin(), tried.begin() + static_cast<std::ptrdiff_t>(named_end), tried.end());
  }
  // The matching candidates in map order, as the rows that hold them.
  std::vector<std::pair<const platform::Candidate*, std::int64_t>> hits;
  for (const auto& [i, j] : tried) {
    const platform::Candidate& candidate = names->map[i].second[j];
    if (platform::dotted_suffix_match(candidate.dotted_path, query, /*case_sensitive=*/true)) {
      hits.emplace_back(&candidate, names->rows[i][j]);
    }
  }
  if (hits.empty()) return {};

  // Rows are read by rowid, in rowid order; a row whose symbol is no longer
  // the candidate's (a database changed since its map was built) is left out.
  std::vector<std::int64_t> rowids;
  rowids.reserve(hits.size());
  for (const auto& hit : hits) rowids.push_back(hit.second);
  std::sort(rowids.begin(), rowids.end());
  rowids.erase(std::unique(rowids.begin(), rowids.end()), rowids.end());
  auto slot_of = [&rowids](std::int64_t rowid) {
    return static_cast<std::size_t>(std::lower_bound(rowids.begin(), rowids.end(), rowid) - rowids.begin());
  };
  std::vector<std::optional<syntax::SyntaxSymbol>> fetched(rowids.size());
  const std::size_t batch = parameter_limit(conn);
  for (std::size_t start = 0; start < rowids.size(); start += batch) {
    const std::size_t count = std::min(batch, rowids.size() - start);
    std::string sql = "SELECT rowid, " + std::string(SYNTAX_SYMBOL_COLUMNS) + " FROM syntax_symbols WHERE rowid IN (";
    for (std::size_t i = 0; i < count; ++i) sql += i ? ",?" : "?";
    sql += ")";
    core::Statement rows = conn.prepare(sql);
    for (std::size_t i = 0; i < count; ++i) rows.bind(static_cast<int>(i + 1), rowids[start + i]);
    while (rows.step()) {
      const std::int64_t rowid = rows.column_int(0);
      const std::size_t slot = slot_of(rowid);
      if (slot < rowids.size() && rowids[slot] == rowid) fetched[slot].emplace(row_to_syntax_symbol(rows, 1));
    }
  }

  // Every row is one candidate of the map, so each fetched row is answered once.
  std::vector<syntax::SyntaxSymbol> answer;
  answer.reserve(hits.size());
  for (const auto& [candidate, rowid] : hits) {
    std::optional<syntax::SyntaxSymbol>& found = fetched[slot_of(rowid)];
    if (found && found->symbol == candidate->symbol) {
      answer.push_back(std::move(*found));
      found.reset();
    }
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
