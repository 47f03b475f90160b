#include "chunker/windows.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "core/text.h"

namespace kolvex::chunker {

namespace {

// A whole line without its terminator, or one slice of a long line.
struct Piece {
  std::string_view text;
  std::int64_t line = 0;
  std::int64_t length = 0;  // code points
};

// Every line as one piece, except lines of `window_chars` characters or more
// (length plus joining newline over the budget), which become slices of
// `window_chars` characters, the last holding the rest.
std::vector<Piece> build_pieces(const std::vector<std::string_view>& lines, std::int64_t base_line,
                                std::int64_t window_chars) {
  std::vector<Piece> pieces;
  pieces.reserve(lines.size());
  for (std::size_t idx = 0; idx < lines.size(); ++idx) {
    std::string_view line = lines[idx];
    std::int64_t number = base_line + static_cast<std::int64_t>(idx);
    auto length = static_cast<std::int64_t>(core::code_point_length(line));
    if (length + 1 > window_chars) {
      for (std::int64_t offset = 0; offset < length; offset += window_chars) {
        std::string_view slice = core::code_point_slice(line, static_cast<std::size_t>(offset),
                                                        static_cast<std::size_t>(offset + window_chars));
        std::int64_t slice_length = std::min(window_chars, length - offset);
        pieces.push_back({slice, number, slice_length});
      }
    } else {
      pieces.push_back({line, number, length});
    }
  }
  return pieces;
}

std::string join_pieces(const std::vector<Piece>& pieces, std::size_t begin, std::size_t end) {
  std::string text;
  for (std::size_t k = begin; k < end; ++k) {
    if (k > begin) text += '\n';
    text += pieces[k].text;
  }
  return text;
}

}  // namespace

std::vector<Window> window_lines(const std::vector<std::string_view>& lines, std::int64_t base_line) {
  const std::int64_t window_chars = EFFECTIVE_MAX_TOKENS * CHARS_PER_TOKEN;
  const std::int64_t overlap_chars = OVERLAP_TOKENS * CHARS_PER_TOKEN;
  std::vector<Piece> pieces = build_pieces(lines, base_line, window_chars);

  std::vector<Window> windows;
  const std::size_t n = pieces.size();
  std::size_t i = 0;
  while (i < n) {
    std::size_t j = i;
    std::int64_t size = 0;
    while (j < n) {
      std::int64_t piece_len = pieces[j].length + 1;
      if (size > 0 && size + piece_len > window_chars) break;
      size += piece_len;
      ++j;
      if (size >= window_chars) break;
    }
    windows.push_back({join_pieces(pieces, i, j), pieces[i].line, pieces[j - 1].line});
    if (j == n) break;
    // The next window repeats the shortest run of trailing pieces worth at least
    // the overlap, but never this window's first piece, so it always advances.
    std::size_t back = j;
    std::int64_t osize = 0;
    while (back > i + 1 && osize < overlap_chars) {
      --back;
      osize += pieces[back].length + 1;
    }
    i = back;
  }
  return windows;
}

std::vector<Chunk> fixed_windows(std::string_view rel_path, std::string_view language,
                                 std::string_view file_hash, std::string_view source) {
  std::vector<std::string_view> lines = core::splitlines(source);
  std::vector<Chunk> chunks;
  if (lines.empty()) return chunks;
  for (Window& window : window_lines(lines, 1)) {
    chunks.push_back(make_chunk(rel_path, language, file_hash, std::move(window.text), window.start_line,
                                window.end_line, std::nullopt));
  }
  return chunks;
}

std::vector<Chunk> merge_small(const std::vector<Chunk>& chunks) {
  std::vector<Chunk> merged;
  merged.reserve(chunks.size());
  for (const Chunk& chunk : chunks) {
    if (!merged.empty()) {
      const Chunk& prev = merged.back();
      std::int64_t prev_tokens = tokens(prev.content);
      if (prev_tokens < MIN_TOKENS && prev.end_line < chunk.start_line &&
          prev.parent_name == chunk.parent_name &&
          prev_tokens + tokens(chunk.content) <= EFFECTIVE_MAX_TOKENS) {
        std::string content = prev.content + "\n\n" + chunk.content;
        std::optional<std::string> symbol =
            prev.symbol_name && !prev.symbol_name->empty() ? prev.symbol_name : chunk.symbol_name;
        Chunk joined = make_chunk(chunk.file_path, chunk.language, chunk.file_hash, std::move(content),
                                  prev.start_line, chunk.end_line, std::move(symbol), prev.parent_name);
        merged.back() = std::move(joined);
        continue;
      }
    }
    merged.push_back(chunk);
  }
  return merged;
}

}  // namespace kolvex::chunker
