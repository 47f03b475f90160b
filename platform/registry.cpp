#include "platform/registry.h"

#include <sqlite3.h>

#include <system_error>

#include "core/error.h"
#include "core/json.h"
#include "core/text.h"
#include "platform/registry_error.h"

namespace kolvex::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view SCHEMA = R"sql(
CREATE TABLE IF NOT EXISTS repos (
  slug TEXT PRIMARY KEY,
  path TEXT NOT NULL,
  language TEXT NOT NULL,
  status TEXT NOT NULL,
  last_indexed TEXT NOT NULL,
  scip_enabled INTEGER NOT NULL DEFAULT 1,
  semantic_declined INTEGER NOT NULL DEFAULT 0,
  semantic_include TEXT NOT NULL DEFAULT '[]',
  commit_sha TEXT,
  scip_state TEXT,
  scip_failure_reason TEXT,
  scip_failed_at_sha TEXT,
  scheme_override TEXT,
  language_override TEXT,
  status_origin TEXT,
  status_reason TEXT,
  status_stderr TEXT,
  semantic_indexed_at TEXT,
  scip_failure_stderr TEXT,
  tracked_files INTEGER
);
)sql";

constexpr std::string_view COLUMNS =
    "slug, path, language, status, last_indexed, scip_enabled, semantic_declined, semantic_include, "
    "commit_sha, scip_state, scip_failure_reason, scip_failed_at_sha, scheme_override, language_override, "
    "status_origin, status_reason, status_stderr, semantic_indexed_at, scip_failure_stderr, tracked_files";

// ?12 tells whether a stage record is given; ?13 to ?16 are its fields.
constexpr std::string_view UPSERT_SQL = R"sql(
INSERT INTO repos (slug, path, language, commit_sha, status, last_indexed, scheme_override,
                   semantic_include, language_override, scip_enabled, status_reason,
                   scip_state, scip_failure_reason, scip_failure_stderr, scip_failed_at_sha)
VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, COALESCE(?8, '[]'), ?9, COALESCE(?10, 1), ?11, ?13, ?14, ?15, ?16)
ON CONFLICT(slug) DO UPDATE SET
  path = excluded.path,
  language = excluded.language,
  commit_sha = excluded.commit_sha,
  status = excluded.status,
  last_indexed = excluded.last_indexed,
  scheme_override = COALESCE(?7, scheme_override),
  semantic_include = COALESCE(?8, semantic_include),
  language_override = COALESCE(?9, language_override),
  scip_enabled = COALESCE(?10, scip_enabled),
  status_reason = ?11,
  status_origin = NULL,
  status_stderr = NULL,
  scip_state = CASE WHEN ?12 THEN ?13 ELSE scip_state END,
  scip_failure_reason = CASE WHEN ?12 THEN ?14 ELSE scip_failure_reason END,
  scip_failure_stderr = CASE WHEN ?12 THEN ?15 ELSE scip_failure_stderr END,
  scip_failed_at_sha = CASE WHEN ?12 THEN ?16 ELSE scip_failed_at_sha END
)sql";

constexpr std::string_view RECORD_FAILURE_SQL = R"sql(
INSERT INTO repos (slug, path, language, status, last_indexed, status_origin, status_reason, status_stderr)
VALUES (?1, ?2, ?3, ?8, ?4, ?5, ?6, ?7)
ON CONFLICT(slug) DO UPDATE SET
  path = excluded.path,
  language = excluded.language,
  status = excluded.status,
  last_indexed = excluded.last_indexed,
  status_origin = excluded.status_origin,
  status_reason = excluded.status_reason,
  status_stderr = excluded.status_stderr
)sql";

// Content that no registry write produces: the file is damaged.
[[noreturn]] void throw_damaged(const std::string& message) { throw core::SqliteError(message, SQLITE_CORRUPT); }

// Readers never block a run's writes, and a run never blocks readers. Switching
// an older registry needs it to itself for a moment; when another connection
// holds it, this one goes on in the old mode and a later open switches.
void use_write_ahead_log(core::Connection& connection) {
  try {
    connection.query_text("PRAGMA journal_mode = WAL");
  } catch (const core::SqliteError& error) {
    const int code = error.code() & 0xff;
    if (code != SQLITE_BUSY && code != SQLITE_LOCKED) throw;
  }
  // A recorded outcome survives a power loss once the call returns.
  connection.exec("PRAGMA synchronous = FULL");
}

std::string now_text() { return core::isoformat_utc(core::utc_now()); }

core::SystemTime parse_time(const std::string& text, std::string_view column) {
  auto parsed = core::parse_isoformat(text);
  if (!parsed) {
    throw_damaged("registry column " + std::string(column) + " holds a malformed date-time: " + core::quote(text));
  }
  return *parsed;
}

std::string include_to_json(const std::vector<std::string>& include) {
  core::Json array = core::Json::array();
  for (const auto& prefix : include) array.push_back(core::decode_utf8_replace(prefix));
  return core::dump_json(array, core::compact_json_style());
}

std::vector<std::string> include_from_json(const std::string& text) {
  std::vector<std::string> include;
  core::Json value;
  try {
    value = core::parse_json(text);
  } catch (const core::ValueError&) {
    throw_damaged("registry column semantic_include is not a JSON array");
  }
  if (!value.is_array()) throw_damaged("registry column semantic_include is not a JSON array");
  for (const auto& item : value) {
    if (!item.is_string()) throw_damaged("registry column semantic_include holds a non-text entry");
    include.push_back(item.get<std::string>());
  }
  return include;
}

// The enum of a stored text; a text outside its table means a damaged file
// (or one a newer version wrote), reported like any other damage.
template <typename Parse>
auto stored_value(std::string_view column, const std::string& text, Parse parse) {
  try {
    return parse(text);
  } catch (const core::ValueError& error) {
    throw_damaged("registry column " + std::string(column) + ": " + error.message());
  }
}

RegisteredRepo row_from(core::Statement& statement) {
  RegisteredRepo row;
  row.slug = statement.column_text(0);
  row.path = statement.column_text(1);
  row.language = statement.column_text(2);
  row.status = stored_value("status", statement.column_text(3), status_from_text);
  row.last_indexed = parse_time(statement.column_text(4), "last_indexed");
  row.scip_enabled = statement.column_int(5) != 0;
  row.semantic_declined = statement.column_int(6) != 0;
  row.semantic_include = include_from_json(statement.column_text(7));
  row.commit_sha = statement.column_opt_text(8);
  // The registry never writes an empty state; it reads as none.
  if (auto state = statement.column_opt_text(9); state && !state->empty()) {
    row.scip_state = stored_value("scip_state", *state, scip_state_from_text);
  }
  row.scip_failure_reason = statement.column_opt_text(10);
  row.scip_failed_at_sha = statement.column_opt_text(11);
  row.scheme_override = statement.column_opt_text(12);
  row.language_override = statement.column_opt_text(13);
  row.status_origin = statement.column_opt_text(14);
  row.status_reason = statement.column_opt_text(15);
  row.status_stderr = statement.column_opt_text(16);
  if (auto at = statement.column_opt_text(17)) row.semantic_indexed_at = parse_time(*at, "semantic_indexed_at");
  row.scip_failure_stderr = statement.column_opt_text(18);
  row.tracked_files = statement.column_opt_int(19);
  return row;
}

bool has_text(const std::optional<std::string>& value) { return value && !value->empty(); }

}  // namespace

Registry::Registry(std::filesystem::path path) : path_(std::move(path)) {}

Registry::~Registry() {
  try {
    close();
  } catch (...) {
    // A destructor must not throw; close() is idempotent and callers that care call it.
  }
}

template <typename Body>
auto Registry::guarded(std::string_view action, Body&& body) {
  if (closed_) throw core::SqliteError("the registry is closed");
  try {
    return body();
  } catch (const core::SqliteError&) {
    throw registry_failure(path_, action, std::current_exception());
  }
}

core::Connection* Registry::connection(bool create) {
  if (connection_.is_open()) return &connection_;
  std::error_code error;
  if (!create && !fs::exists(path_, error)) return nullptr;
  try {
    if (create && path_.has_parent_path()) fs::create_directories(path_.parent_path());
    core::Connection opened = core::Connection::open(path_);
    try {
      use_write_ahead_log(opened);
      opened.exec(SCHEMA);
    } catch (...) {
      opened.close();
      throw;
    }
    connection_ = std::move(opened);
  } catch (const std::exception&) {
    throw registry_failure(path_, REGISTRY_OPEN, std::current_exception());
  }
  return &connection_;
}

std::optional<RegisteredRepo> Registry::get(std::string_view slug) {
  return guarded(REGISTRY_READ, [&]() -> std::optional<RegisteredRepo> {
    core::Connection* connection = this->connection(false);
    if (connection == nullptr) return std::nullopt;
    auto statement = connection->prepare("SELECT " + std::string(COLUMNS) + " FROM repos WHERE slug = ?");
    statement.bind(1, slug);
    if (!statement.step()) return std::nullopt;
    return row_from(statement);
  });
}

std::vector<RegisteredRepo> Registry::list() {
  return guarded(REGISTRY_READ, [&] {
    std::vector<RegisteredRepo> rows;
    core::Connection* connection = this->connection(false);
    if (connection == nullptr) return rows;
    auto statement = connection->prepare("SELECT " + std::string(COLUMNS) + " FROM repos ORDER BY slug");
    while (statement.step()) rows.push_back(row_from(statement));
    return rows;
  });
}

void Registry::upsert(std::string_view slug, std::string_view path, std::string_view language,
                      const std::optional<std::string>& commit, RepoStatus status,
                      const UpsertOptions& options) {
  const auto& stage = options.scip_stage;
  const std::optional<std::string> include =
      options.semantic_include ? std::optional<std::string>(include_to_json(*options.semantic_include))
                               : std::nullopt;
  guarded(REGISTRY_WRITE, [&] {
    auto statement = connection(true)->prepare(UPSERT_SQL);
    statement.bind(1, slug).bind(2, path).bind(3, language).bind(4, commit).bind(5, status_text(status));
    statement.bind(6, now_text());
    statement.bind(7, options.scheme_override);
    statement.bind(8, include);
    statement.bind(9, options.language_override);
    if (options.scip_enabled) {
      statement.bind(10, *options.scip_enabled ? 1 : 0);
    } else {
      statement.bind_null(10);
    }
    statement.bind(11, options.status_reason);
    statement.bind(12, stage ? 1 : 0);
    if (stage) {
      statement.bind(13, scip_state_text(stage->state))
          .bind(14, stage->failure_reason)
          .bind(15, stage->failure_stderr)
          .bind(16, stage->failed_at_sha);
    } else {
      statement.bind_null(13).bind_null(14).bind_null(15).bind_null(16);
    }
    statement.run();
  });
}

void Registry::record_failure(std::string_view slug, std::string_view path, std::string_view language,
                              std::string_view origin, std::string_view reason, std::string_view text) {
  guarded(REGISTRY_WRITE, [&] {
    auto statement = connection(true)->prepare(RECORD_FAILURE_SQL);
    statement.bind(1, slug).bind(2, path).bind(3, language).bind(4, now_text()).bind(5, origin).bind(6, reason).bind(
        7, text);
    statement.bind(8, status_text(RepoStatus::FAILED));
    statement.run();
  });
}

// The next three change an existing row only: without a file there is no row.

void Registry::mark_tracked_files(std::string_view slug, std::int64_t count) {
  guarded(REGISTRY_WRITE, [&] {
    core::Connection* connection = this->connection(false);
    if (connection == nullptr) return;
    auto statement = connection->prepare("UPDATE repos SET tracked_files = ? WHERE slug = ?");
    statement.bind(1, count).bind(2, slug);
    statement.run();
  });
}

void Registry::mark_semantic_indexed(std::string_view slug) {
  guarded(REGISTRY_WRITE, [&] {
    core::Connection* connection = this->connection(false);
    if (connection == nullptr) return;
    auto statement = connection->prepare("UPDATE repos SET semantic_indexed_at = ? WHERE slug = ?");
    statement.bind(1, now_text()).bind(2, slug);
    statement.run();
  });
}

void Registry::set_semantic_declined(std::string_view slug, bool declined) {
  guarded(REGISTRY_WRITE, [&] {
    core::Connection* connection = this->connection(false);
    if (connection == nullptr) return;
    auto statement = connection->prepare("UPDATE repos SET semantic_declined = ? WHERE slug = ?");
    statement.bind(1, declined ? 1 : 0).bind(2, slug);
    statement.run();
  });
}

bool Registry::forget(std::string_view slug) {
  return guarded(REGISTRY_WRITE, [&] {
    core::Connection* connection = this->connection(false);
    if (connection == nullptr) return false;
    auto statement = connection->prepare("DELETE FROM repos WHERE slug = ?");
    statement.bind(1, slug);
    statement.run();
    return connection->changes() > 0;
  });
}

void Registry::write_atomically(const std::function<void()>& body) {
  // Only the transaction's own statements are guarded here: the registry
  // methods that `body` calls report their failures themselves, and its other
  // errors pass unchanged.
  std::optional<core::Transaction> transaction;
  guarded(REGISTRY_WRITE, [&] { transaction.emplace(*connection(true), "IMMEDIATE"); });
  body();
  guarded(REGISTRY_WRITE, [&] { transaction->commit(); });
}

void Registry::close() {
  closed_ = true;
  connection_.close();
}

std::string origin_of(const RegisteredRepo& row) {
  if (has_text(row.status_origin)) return *row.status_origin;
  switch (row.status) {
    case RepoStatus::FAILED:
      return std::string(ORIGIN_FAILED_HARD);
    case RepoStatus::DEGRADED:
      return "scip-" + (row.scip_state ? std::string(scip_state_text(*row.scip_state)) : std::string("unknown"));
    case RepoStatus::PARTIAL:
      return "partial-extraction";
    case RepoStatus::INDEXING:
      return "run-in-progress";
    case RepoStatus::SEARCH_ONLY:
      return "legacy-search-only";
    case RepoStatus::INDEXED:
      break;
  }
  return "index-run";
}

std::optional<std::string> recovery_for(const RegisteredRepo& row) {
  const std::string reindex = "kolvex reindex " + row.slug;
  switch (row.status) {
    case RepoStatus::FAILED:
      return "fix the cause above, then run: " + reindex;
    case RepoStatus::DEGRADED:
      if (row.scip_state == ScipState::UNAVAILABLE) {
        return "install the SCIP tools for " + row.language + " (run setup.sh), then run: " + reindex +
               " --scip; or turn SCIP off with: " + reindex + " --no-scip";
      }
      return "fix the SCIP indexer failure, then retry with: " + reindex + " --scip; or turn SCIP off with: " +
             reindex + " --no-scip";
    case RepoStatus::PARTIAL:
      return "some files were not fully extracted; fix or exclude them, then run: " + reindex;
    case RepoStatus::INDEXING:
      return "if no index run is active, the last one was interrupted; run: " + reindex;
    case RepoStatus::SEARCH_ONLY:
      return "recorded by an older version; run: " + reindex;
    case RepoStatus::INDEXED:
      break;
  }
  return std::nullopt;
}

}  // namespace kolvex::platform
