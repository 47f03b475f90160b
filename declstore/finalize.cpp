#include "declstore/finalize.h"

#include <set>
#include <string>

#include "core/sqlite.h"
#include "declstore/coverage.h"

namespace kolvex::declstore {
namespace {

void set_flag(core::Connection& conn, std::string_view sql, const std::set<std::string>& paths) {
  if (paths.empty()) return;
  core::Statement update = conn.prepare(sql);
  for (const std::string& path : paths) {
    update.bind(1, path);
    update.run();
    update.reset();
  }
}

}  // namespace

SnapshotFacts finalize_snapshot(core::Connection& conn, const FinalizeOptions& options) {
  // The flags and the facts row change together or not at all: everything runs
  // in one transaction, rolled back by the guard when any step fails.
  core::Transaction transaction(conn);
  // Only rows with a flag set are rewritten: a fresh build has none, and
  // rewriting every row would only dirty the whole table once more.
  conn.exec("UPDATE syntax_files SET scip_outline = 0, scip_definition = 0 WHERE scip_outline <> 0 OR "
            "scip_definition <> 0");

  const ScipCapabilityFacts capabilities = scip_capability_facts(conn);
  set_flag(conn, "UPDATE syntax_files SET scip_outline = 1 WHERE file_path = ?", capabilities.outline_paths);
  set_flag(conn, "UPDATE syntax_files SET scip_definition = 1 WHERE file_path = ?", capabilities.definition_paths);

  const CoverageCounts counts = coverage_counts_from_syntax_files(conn);

  SnapshotFacts facts{
      .generation = options.generation,
      .commit_sha = options.commit_sha,
      .source_hash = options.source_hash,
      .scip_state = options.scip_state,
      .syntax_counts = counts,
      .scip_outlines = !capabilities.outline_paths.empty(),
      .scip_definitions = !capabilities.definition_paths.empty(),
      .scip_references = capabilities.has_references,
      .scip_calls = capabilities.has_calls,
      .scip_types = capabilities.has_types,
  };

  {
    core::Statement insert = conn.prepare(
        "INSERT OR REPLACE INTO kolvex_snapshot (singleton, format_version, generation, commit_sha, published_at, "
        "source_hash, scip_state, scip_outlines, scip_definitions, scip_references, scip_calls, scip_types, "
        "syntax_counts) VALUES (1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, FORMAT_VERSION);
    insert.bind(2, options.generation);
    insert.bind(3, options.commit_sha);
    insert.bind(4, options.published_at);
    insert.bind(5, options.source_hash);
    insert.bind(6, options.scip_state);
    insert.bind(7, static_cast<std::int64_t>(facts.scip_outlines));
    insert.bind(8, static_cast<std::int64_t>(facts.scip_definitions));
    insert.bind(9, static_cast<std::int64_t>(facts.scip_references));
    insert.bind(10, static_cast<std::int64_t>(facts.scip_calls));
    insert.bind(11, static_cast<std::int64_t>(facts.scip_types));
    insert.bind(12, format_syntax_counts(counts));
    insert.run();
  }
  transaction.commit();
  return facts;
}

}  // namespace kolvex::declstore
