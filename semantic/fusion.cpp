#include "semantic/fusion.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "core/text.h"

namespace kolvex::semantic {
namespace {

using EntryKey = std::tuple<std::string, std::int64_t, std::int64_t>;

// What a hit reports: a vector row, a Zoekt line or a symbol span.
struct SourceRow {
  std::string file_path;
  std::int64_t start_line;
  std::int64_t end_line;
  std::optional<std::string> symbol_name;
  std::string content;
};

struct Entry {
  double score = 0.0;
  std::vector<std::string> sources;
  std::optional<SourceRow> row;
};

// The accumulator of one call: entries in first-insertion order.
class Entries {
 public:
  explicit Entries(int k) : k_(k) {}

  void add(const EntryKey& key, std::int64_t rank, const char* source, std::optional<SourceRow> row) {
    auto [it, inserted] = index_.try_emplace(key, entries_.size());
    if (inserted) entries_.push_back({key, Entry{}});
    Entry& entry = entries_[it->second].second;
    entry.score += 1.0 / (static_cast<double>(k_) + static_cast<double>(rank));
    if (std::find(entry.sources.begin(), entry.sources.end(), source) == entry.sources.end()) {
      entry.sources.emplace_back(source);
    }
    if (!entry.row) entry.row = std::move(row);
  }

  const std::vector<std::pair<EntryKey, Entry>>& ordered() const { return entries_; }

 private:
  int k_;
  std::map<EntryKey, std::size_t> index_;
  std::vector<std::pair<EntryKey, Entry>> entries_;
};

SourceRow vector_source_row(const Row& row) {
  return {text_column(row, "file_path"), integer_column(row, "start_line"), integer_column(row, "end_line"),
          optional_text_column(row, "symbol_name").value_or(""), optional_text_column(row, "content").value_or("")};
}

// The key of the first vector row of `file_path` whose line range holds `line`.
std::optional<EntryKey> containing_chunk_key(const std::vector<SourceRow>& vector_rows, const std::string& file_path,
                                             std::int64_t line) {
  for (const SourceRow& row : vector_rows) {
    if (row.file_path == file_path && row.start_line <= line && line <= row.end_line) {
      return EntryKey{row.file_path, row.start_line, row.end_line};
    }
  }
  return std::nullopt;
}

std::string truncate_content(const std::string& content) {
  return std::string(core::code_point_slice(content, 0, CONTENT_TRUNCATE));
}

}  // namespace

std::vector<FusedHit> reciprocal_rank_fusion(std::string_view repo, const std::vector<Row>& vector_rows,
                                             const std::vector<platform::ZoektHit>& zoekt_hits,
                                             const std::vector<defmatch::SymbolHit>& symbol_hits, int k) {
  if (k < 0) throw core::ValueError("k must be 0 or more, got " + std::to_string(k));
  std::vector<SourceRow> chunks;
  chunks.reserve(vector_rows.size());
  for (const Row& row : vector_rows) chunks.push_back(vector_source_row(row));

  Entries entries(k);
  std::int64_t rank = 0;
  for (const SourceRow& chunk : chunks) {
    entries.add({chunk.file_path, chunk.start_line, chunk.end_line}, ++rank, "vector", chunk);
  }
  rank = 0;
  for (const platform::ZoektHit& hit : zoekt_hits) {
    ++rank;
    if (auto merged = containing_chunk_key(chunks, hit.path, hit.line_number)) {
      entries.add(*merged, rank, "zoekt", std::nullopt);
    } else {
      entries.add({hit.path, hit.line_number, hit.line_number}, rank, "zoekt",
                  SourceRow{hit.path, hit.line_number, hit.line_number, std::nullopt, hit.line_text});
    }
  }
  rank = 0;
  for (const defmatch::SymbolHit& hit : symbol_hits) {
    ++rank;
    if (auto merged = containing_chunk_key(chunks, hit.file_path, hit.start_line)) {
      entries.add(*merged, rank, "symbol", std::nullopt);
    } else {
      entries.add({hit.file_path, hit.start_line, hit.end_line}, rank, "symbol",
                  SourceRow{hit.file_path, hit.start_line, hit.end_line, hit.dotted_path, ""});
    }
  }

  std::vector<FusedHit> hits;
  hits.reserve(entries.ordered().size());
  for (const auto& [key, entry] : entries.ordered()) {
    const SourceRow& row = *entry.row;
    hits.push_back({std::string(repo), row.file_path, row.start_line, row.end_line, row.symbol_name,
                    truncate_content(row.content), entry.score, entry.sources});
  }
  std::stable_sort(hits.begin(), hits.end(), [](const FusedHit& a, const FusedHit& b) { return a.score > b.score; });
  return hits;
}

}  // namespace kolvex::semantic
