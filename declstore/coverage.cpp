#include "declstore/coverage.h"

#include "blobcodec/blobcodec.h"
#include "core/sqlite.h"
#include "platform/query.h"

namespace kolvex::declstore {

ScipCapabilityFacts scip_capability_facts(core::Connection& conn) {
  ScipCapabilityFacts facts;
  if (!has_scip_conversion_tables(conn)) return facts;

  bool has_enclosing_ranges = false;
  {
    core::Statement ranges = conn.prepare(
        "SELECT DISTINCT d.relative_path FROM defn_enclosing_ranges r JOIN documents d ON d.id = r.document_id");
    while (ranges.step()) {
      has_enclosing_ranges = true;
      facts.outline_paths.insert(ranges.column_text(0));
    }
  }

  bool has_nonlocal_occurrence = false;
  {
    core::Statement chunks =
        conn.prepare("SELECT d.relative_path, c.occurrences FROM chunks c JOIN documents d ON d.id = c.document_id");
    while (chunks.step()) {
      // Every blob is decoded, also once the answer is settled: an undecodable
      // one must fail the derivation wherever it sits.
      const std::vector<blobcodec::ScipOccurrence> occurrences = blobcodec::decode_occurrences(chunks.column_value(1));
      const std::string path = chunks.column_text(0);
      for (const blobcodec::ScipOccurrence& occurrence : occurrences) {
        if (occurrence.symbol.starts_with(LOCAL_SYMBOL_PREFIX)) continue;
        has_nonlocal_occurrence = true;
        if (occurrence.is_definition()) {
          facts.outline_paths.insert(path);
          facts.definition_paths.insert(path);
        }
      }
    }
  }

  facts.has_types = platform::relationship_data_present(conn);
  facts.has_references = has_nonlocal_occurrence;
  facts.has_calls = has_nonlocal_occurrence && has_enclosing_ranges;
  return facts;
}

CoverageCounts coverage_counts_from_syntax_files(core::Connection& conn) {
  CoverageCounts counts;
  core::Statement rows = conn.prepare("SELECT state, COUNT(*) FROM syntax_files WHERE in_scope = 1 GROUP BY state");
  while (rows.step()) {
    // A state outside the vocabulary is not counted anywhere.
    if (std::int64_t* slot = count_of_state(counts, rows.column_text(0))) *slot = rows.column_int(1);
  }
  return counts;
}

}  // namespace kolvex::declstore
