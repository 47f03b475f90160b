// Line windows and small-chunk merging.
//
// window_lines cuts a run of lines into overlapping windows of at most 1920
// characters (EFFECTIVE_MAX_TOKENS * 4) with about 200 characters of overlap
// (OVERLAP_TOKENS * 4); a line too long for a window is cut into slices of 1920
// characters. fixed_windows windows a whole file. merge_small folds a small chunk
// together with the chunk that follows it, in one pass from left to right.
// Everything here works on intermediate chunks (no context header yet) and counts
// code points, never bytes.
//
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "chunker/chunk.h"

namespace kolvex::chunker {

// One window: its pieces joined by "\n" and the 1-based lines of its first and
// last piece (inclusive).
struct Window {
  std::string text;
  std::int64_t start_line = 0;
  std::int64_t end_line = 0;

  bool operator==(const Window&) const = default;
};

// Windows over `lines` (each without its terminator); `base_line` is the 1-based
// number of the first line. No lines give no windows.
std::vector<Window> window_lines(const std::vector<std::string_view>& lines, std::int64_t base_line);

// The whole file `source` split at every line boundary (splitlines) and windowed
// from line 1; each window becomes a chunk without symbol or parent.
std::vector<Chunk> fixed_windows(std::string_view rel_path, std::string_view language,
                                 std::string_view file_hash, std::string_view source);

// Chunks in file order with each small chunk merged into by its successors while
// the merge rules allow; nothing is dropped or reordered.
std::vector<Chunk> merge_small(const std::vector<Chunk>& chunks);

}  // namespace kolvex::chunker
