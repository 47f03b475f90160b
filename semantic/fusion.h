// Reciprocal rank fusion of the three legs of a hybrid search.
//
// The vector leg (rows of the nearest-neighbour search, nearest first), the
// Zoekt leg (line hits) and the symbol leg (definition hits) are merged into one
// list of FusedHit, best first. A hit contributes 1 / (k + rank), rank being its
// 1-based position in its leg; leg scores and distances are never used. A Zoekt
// or symbol hit whose line lies inside a chunk of the vector leg credits that
// chunk (the first such row in vector order); any other hit stands alone under
// its own (path, start line, end line) key. Equal scores keep the order in which
// their entries were first made: vector-made, then Zoekt-made, then symbol-made.
//
// Pure: no I/O, no state between calls; any number of threads may fuse at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "defmatch/search.h"
#include "platform/search.h"
#include "semantic/row.h"

namespace kolvex::semantic {

// The default rank constant k.
inline constexpr int RRF_K = 60;
// Characters (code points) of a source row's content a fused hit keeps.
inline constexpr std::size_t CONTENT_TRUNCATE = 500;

struct FusedHit {
  std::string repo;
  std::string file_path;
  std::int64_t start_line;  // 1-based, inclusive
  std::int64_t end_line;    // 1-based, inclusive
  // A chunk's stored symbol name (possibly empty), a stand-alone symbol hit's
  // dotted path, none for a stand-alone Zoekt hit.
  std::optional<std::string> symbol_name;
  std::string content;  // at most CONTENT_TRUNCATE characters
  double score;
  std::vector<std::string> sources;  // "vector", "zoekt", "symbol", each once, in first-credit order

  bool operator==(const FusedHit&) const = default;
};

// One FusedHit per distinct (file path, start line, end line), sorted by score,
// highest first, equal scores in entry order. Vector rows must hold "file_path",
// "start_line" and "end_line" (KeyError otherwise); "symbol_name" and "content"
// read as empty text when absent. Throws core::ValueError when `k` < 0.
std::vector<FusedHit> reciprocal_rank_fusion(std::string_view repo, const std::vector<Row>& vector_rows,
                                             const std::vector<platform::ZoektHit>& zoekt_hits,
                                             const std::vector<defmatch::SymbolHit>& symbol_hits = {},
                                             int k = RRF_K);

}  // namespace kolvex::semantic
