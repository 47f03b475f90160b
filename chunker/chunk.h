// Chunk record, size estimate and context headers of the semantic index's chunks.
//
// A Chunk is one piece of a source file as the semantic index stores it: its
// path, its line range, the declaration and class it was cut from, and the hash
// of its text. Every chunk is built by make_chunk, which computes the hash from
// the content it is given. Producers first build intermediate chunks whose content
// is the bare body; apply_headers then rebuilds each one with the context header
// in front ("# file: <path>", optionally "# in class: <name>", an empty line).
//
// Sizes are estimated without a tokenizer: one token per four code points of the
// decoded text (never bytes).
//
// Everything here is a pure function of its arguments and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::chunker {

// Target size of a finished chunk, header included, in estimated tokens.
inline constexpr std::int64_t MAX_TOKENS = 512;
// Share of MAX_TOKENS left for the context header.
inline constexpr std::int64_t HEADER_RESERVE_TOKENS = 32;
// Budget of a chunk body: window size, merge limit, oversize test of declarations.
inline constexpr std::int64_t EFFECTIVE_MAX_TOKENS = MAX_TOKENS - HEADER_RESERVE_TOKENS;
// A chunk below this size absorbs the chunk that follows it when merging.
inline constexpr std::int64_t MIN_TOKENS = 256;
// Overlap between consecutive line windows.
inline constexpr std::int64_t OVERLAP_TOKENS = 50;
// Characters per estimated token.
inline constexpr std::int64_t CHARS_PER_TOKEN = 4;
// Version of the chunk text produced here (header layout and cutting rules). The
// semantic index records it in the identity of a vector table: stored vectors are
// reused only while it matches.
inline constexpr int CONTENT_FORMAT = 2;

// One chunk. Plain value: two chunks are equal when all nine fields are; ChunkHash
// makes it usable as a hash-map key.
struct Chunk {
  std::string file_path;    // repository-relative, "/" separators, as the caller gave it
  std::int64_t start_line = 0;  // 1-based, inclusive
  std::int64_t end_line = 0;    // 1-based, inclusive
  std::string content;      // finished: header, empty line, body
  std::optional<std::string> symbol_name;
  std::string content_hash;  // SHA-256 of `content`, 64 lower-case hex digits
  std::string file_hash;     // hash of the whole file's bytes, as the caller gave it
  std::string language;
  std::optional<std::string> parent_name;  // the oversized class the chunk was cut out of

  bool operator==(const Chunk&) const = default;
};

struct ChunkHash {
  std::size_t operator()(const Chunk& chunk) const noexcept;
};

// Estimated tokens of `text`: its length in code points, integer-divided by 4.
std::int64_t tokens(std::string_view text) noexcept;

// The one constructor of chunks; computes content_hash from `content`.
Chunk make_chunk(std::string_view rel_path, std::string_view language, std::string_view file_hash,
                 std::string content, std::int64_t start_line, std::int64_t end_line,
                 std::optional<std::string> symbol, std::optional<std::string> parent = std::nullopt);

// The context header of `chunk` as it would appear in the file `rel_path`
// (the argument, not the chunk's own path), without a trailing newline.
std::string chunk_header(std::string_view rel_path, const Chunk& chunk);

// Each chunk rebuilt with header + "\n\n" + body as its content and `rel_path` as
// its path; same length and order, everything else carried over.
std::vector<Chunk> apply_headers(const std::vector<Chunk>& chunks, std::string_view rel_path);

}  // namespace kolvex::chunker
