#include "defmatch/search.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "core/error.h"
#include "core/sqlite.h"
#include "core/text.h"
#include "defmatch/lower_map.h"
#include "defmatch/ranking.h"
#include "defmatch/tokens.h"

namespace kolvex::defmatch {
namespace {

// The first stored enclosing range of one symbol's definition (0-based lines).
constexpr std::string_view DEFINITION_SQL =
    "SELECT d.relative_path, r.start_line, r.end_line FROM defn_enclosing_ranges r "
    "JOIN global_symbols s ON s.id = r.symbol_id JOIN documents d ON d.id = r.document_id "
    "WHERE s.symbol = ? ORDER BY r.id LIMIT 1";

std::string missing_value(const platform::Candidate& candidate, std::string_view column) {
  return "definition of " + core::quote(core::decode_utf8_replace(candidate.symbol)) + " has no " +
         std::string(column);
}

std::string path_of(core::Statement& row, const platform::Candidate& candidate) {
  if (row.is_null(0)) throw core::ValueError(missing_value(candidate, "relative_path"));
  return row.column_text(0);
}

// A stored 0-based line as a 1-based one.
std::int64_t line_of(core::Statement& row, int column, std::string_view name, const platform::Candidate& candidate) {
  if (row.is_null(column)) throw core::ValueError(missing_value(candidate, name));
  const std::int64_t stored = row.column_int(column);
  if (stored == std::numeric_limits<std::int64_t>::max()) {
    throw core::ValueError("definition of " + core::quote(core::decode_utf8_replace(candidate.symbol)) +
                           " has an out-of-range " + std::string(name));
  }
  return stored + 1;
}

}  // namespace

std::vector<SymbolHit> search_symbols(core::Connection& conn, std::string_view query, int limit) {
  const std::vector<std::string> tokens = extract_tokens(query);
  if (tokens.empty() || limit < 1) return {};

  const auto lower_map = detail::lower_map(conn);
  const std::vector<platform::Candidate> ranked = detail::ranked_candidates(*lower_map, tokens);
  const std::size_t probed = std::min(ranked.size(), detail::CANDIDATE_SCAN_CAP);

  std::vector<SymbolHit> hits;
  if (probed == 0) return hits;
  core::Statement definition = conn.prepare(DEFINITION_SQL);
  for (std::size_t i = 0; i < probed; ++i) {
    const platform::Candidate& candidate = ranked[i];
    definition.reset();
    definition.bind(1, candidate.symbol);
    if (!definition.step()) continue;
    hits.push_back(SymbolHit{path_of(definition, candidate), line_of(definition, 1, "start_line", candidate),
                             line_of(definition, 2, "end_line", candidate), candidate.dotted_path, candidate.kind});
    if (hits.size() >= static_cast<std::size_t>(limit)) break;
  }
  return hits;
}

}  // namespace kolvex::defmatch
