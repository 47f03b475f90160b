#include "declstore/facts.h"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "core/json.h"
#include "core/lru_cache.h"
#include "core/sqlite.h"
#include "core/text.h"
#include "declstore/coverage.h"

namespace kolvex::declstore {
namespace {

constexpr std::string_view LEGACY_SCIP_STATE = "legacy";
constexpr std::string_view MALFORMED_COUNTS_PREFIX = "kolvex_snapshot.syntax_counts is malformed: ";

// Facts derived from legacy snapshots, keyed by database file path; the most
// recently used are kept.
core::LruCache<SnapshotFacts> LEGACY_FACTS_CACHE(LEGACY_FACTS_CACHE_MAX_SIZE);

// A flag column is true when its stored value is non-zero (a text or blob when
// it is not empty).
bool truthy(const core::SqlValue& value) {
  if (const auto* number = std::get_if<std::int64_t>(&value)) return *number != 0;
  if (const auto* real = std::get_if<double>(&value)) return *real != 0.0;
  if (const auto* text = std::get_if<std::string>(&value)) return !text->empty();
  if (const auto* bytes = std::get_if<std::vector<std::uint8_t>>(&value)) return !bytes->empty();
  return false;
}

// A decimal integer written as text: optional surrounding white space, an
// optional sign, digits with single underscores between them.
std::int64_t integer_from_text(const std::string& original) {
  const std::string_view text = core::strip(original);
  const auto invalid = [&] { return core::ValueError("invalid literal for int() with base 10: " + core::quote(original)); };
  std::size_t at = 0;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  if (at == text.size()) throw invalid();
  // Accumulated as a negative number so that the most negative value fits.
  std::int64_t value = 0;
  bool previous_digit = false;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (c == '_') {
      if (!previous_digit || at + 1 == text.size()) throw invalid();
      previous_digit = false;
      continue;
    }
    if (c < '0' || c > '9') throw invalid();
    const int digit = c - '0';
    if (value < (std::numeric_limits<std::int64_t>::min() + digit) / 10) {
      throw core::ValueError("integer out of range: " + core::quote(original));
    }
    value = value * 10 - digit;
    previous_digit = true;
  }
  if (!negative) {
    if (value == std::numeric_limits<std::int64_t>::min()) {
      throw core::ValueError("integer out of range: " + core::quote(original));
    }
    value = -value;
  }
  return value;
}

// One member of the counts object as an integer: integers unchanged, booleans
// as 1 and 0, finite reals truncated toward zero, decimal texts parsed.
std::int64_t count_from_json(const core::Json& member, std::string_view state) {
  constexpr double LIMIT = 9223372036854775808.0;  // 2**63
  if (member.is_boolean()) return member.get<bool>() ? 1 : 0;
  if (member.is_number_unsigned()) {
    const auto value = member.get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw core::ValueError("member " + core::quote(state) + " is out of range: " + std::to_string(value));
    }
    return static_cast<std::int64_t>(value);
  }
  if (member.is_number_integer()) return member.get<std::int64_t>();
  if (member.is_number_float()) {
    const double value = std::trunc(member.get<double>());
    if (!std::isfinite(value) || value >= LIMIT || value < -LIMIT) {
      throw core::ValueError("member " + core::quote(state) + " is out of range: " + core::dump_json(member));
    }
    return static_cast<std::int64_t>(value);
  }
  if (member.is_string()) return integer_from_text(member.get<std::string>());
  throw core::ValueError("member " + core::quote(state) + " is not a number: " + core::dump_json(member));
}

CoverageCounts counts_from_text(const core::SqlValue& stored) {
  std::string text;
  if (const auto* value = std::get_if<std::string>(&stored)) {
    text = *value;
  } else if (const auto* bytes = std::get_if<std::vector<std::uint8_t>>(&stored)) {
    text.assign(bytes->begin(), bytes->end());
  } else {
    const char* kind = std::holds_alternative<core::Null>(stored) ? "NULL" : "a number";
    throw core::ValueError(std::string("expected JSON text, not ") + kind);
  }
  const core::Json parsed = core::parse_json(text);
  if (!parsed.is_object()) throw core::ValueError("expected a JSON object, not " + std::string(parsed.type_name()));
  CoverageCounts counts;
  for (std::string_view state : STATE_KEYS) {
    auto member = parsed.find(std::string(state));
    if (member == parsed.end()) throw core::ValueError("missing member " + core::quote(state));
    *count_of_state(counts, state) = count_from_json(*member, state);
  }
  return counts;
}

SnapshotFacts read_new_format_facts(core::Connection& conn) {
  core::Statement row = conn.prepare(
      "SELECT generation, commit_sha, source_hash, scip_state, scip_outlines, scip_definitions, scip_references, "
      "scip_calls, scip_types, syntax_counts FROM kolvex_snapshot WHERE singleton = 1");
  if (!row.step()) throw SnapshotCorruptionError("kolvex_snapshot table exists but has no singleton row");
  for (int column = 0; column < 4; ++column) {
    if (row.is_null(column)) throw SnapshotCorruptionError("kolvex_snapshot row is missing required fields");
  }
  CoverageCounts counts;
  try {
    counts = counts_from_text(row.column_value(9));
  } catch (const std::exception& error) {
    throw SnapshotCorruptionError(std::string(MALFORMED_COUNTS_PREFIX) + error.what(), std::current_exception());
  }
  return SnapshotFacts{
      .generation = row.column_text(0),
      .commit_sha = row.column_text(1),
      .source_hash = row.column_text(2),
      .scip_state = row.column_text(3),
      .syntax_counts = counts,
      .scip_outlines = truthy(row.column_value(4)),
      .scip_definitions = truthy(row.column_value(5)),
      .scip_references = truthy(row.column_value(6)),
      .scip_calls = truthy(row.column_value(7)),
      .scip_types = truthy(row.column_value(8)),
  };
}

// The file of the connection's main database; empty for an in-memory or
// temporary one.
std::string conn_db_path(core::Connection& conn) {
  core::Statement list = conn.prepare("PRAGMA database_list");
  if (!list.step()) return "";
  return list.is_null(2) ? "" : list.column_text(2);
}

SnapshotFacts legacy_snapshot_facts(core::Connection& conn) {
  const std::string path = conn_db_path(conn);
  if (!path.empty()) {
    if (std::optional<SnapshotFacts> cached = LEGACY_FACTS_CACHE.find(path)) return *std::move(cached);
  }
  // Derived outside the cache's lock: this decodes every occurrences blob.
  const ScipCapabilityFacts capabilities = scip_capability_facts(conn);
  SnapshotFacts facts{
      .generation = std::nullopt,
      .commit_sha = std::nullopt,
      .source_hash = std::nullopt,
      .scip_state = std::string(LEGACY_SCIP_STATE),
      .syntax_counts = std::nullopt,
      .scip_outlines = !capabilities.outline_paths.empty(),
      .scip_definitions = !capabilities.definition_paths.empty(),
      .scip_references = capabilities.has_references,
      .scip_calls = capabilities.has_calls,
      .scip_types = capabilities.has_types,
  };
  if (!path.empty()) LEGACY_FACTS_CACHE.store(path, facts);
  return facts;
}

}  // namespace

SnapshotFacts read_snapshot_facts(core::Connection& conn) {
  if (has_table(conn, "kolvex_snapshot")) return read_new_format_facts(conn);
  return legacy_snapshot_facts(conn);
}

}  // namespace kolvex::declstore
