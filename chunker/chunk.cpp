#include "chunker/chunk.h"

#include <utility>

#include "core/hash.h"
#include "core/text.h"

namespace kolvex::chunker {

namespace {

constexpr std::string_view FILE_HEADER_PREFIX = "# file: ";
constexpr std::string_view CLASS_HEADER_PREFIX = "# in class: ";
constexpr std::string_view HEADER_BODY_SEPARATOR = "\n\n";

void mix(std::size_t& seed, std::size_t value) noexcept {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

std::size_t hash_optional(const std::optional<std::string>& value) noexcept {
  return value ? std::hash<std::string>{}(*value) : 0x5bd1e995U;
}

}  // namespace

std::size_t ChunkHash::operator()(const Chunk& chunk) const noexcept {
  std::hash<std::string> text_hash;
  std::size_t seed = text_hash(chunk.file_path);
  mix(seed, std::hash<std::int64_t>{}(chunk.start_line));
  mix(seed, std::hash<std::int64_t>{}(chunk.end_line));
  mix(seed, text_hash(chunk.content));
  mix(seed, hash_optional(chunk.symbol_name));
  mix(seed, text_hash(chunk.content_hash));
  mix(seed, text_hash(chunk.file_hash));
  mix(seed, text_hash(chunk.language));
  mix(seed, hash_optional(chunk.parent_name));
  return seed;
}

std::int64_t tokens(std::string_view text) noexcept {
  return static_cast<std::int64_t>(core::code_point_length(text)) / CHARS_PER_TOKEN;
}

Chunk make_chunk(std::string_view rel_path, std::string_view language, std::string_view file_hash,
                 std::string content, std::int64_t start_line, std::int64_t end_line,
                 std::optional<std::string> symbol, std::optional<std::string> parent) {
  Chunk chunk;
  chunk.file_path = std::string(rel_path);
  chunk.start_line = start_line;
  chunk.end_line = end_line;
  chunk.content_hash = core::sha256_hex(content);
  chunk.content = std::move(content);
  chunk.symbol_name = std::move(symbol);
  chunk.file_hash = std::string(file_hash);
  chunk.language = std::string(language);
  chunk.parent_name = std::move(parent);
  return chunk;
}

std::string chunk_header(std::string_view rel_path, const Chunk& chunk) {
  std::string header(FILE_HEADER_PREFIX);
  header += rel_path;
  if (chunk.parent_name && !chunk.parent_name->empty()) {
    header += '\n';
    header += CLASS_HEADER_PREFIX;
    header += *chunk.parent_name;
  }
  return header;
}

std::vector<Chunk> apply_headers(const std::vector<Chunk>& chunks, std::string_view rel_path) {
  std::vector<Chunk> finished;
  finished.reserve(chunks.size());
  for (const Chunk& chunk : chunks) {
    std::string content = chunk_header(rel_path, chunk);
    content += HEADER_BODY_SEPARATOR;
    content += chunk.content;
    finished.push_back(make_chunk(rel_path, chunk.language, chunk.file_hash, std::move(content),
                                  chunk.start_line, chunk.end_line, chunk.symbol_name, chunk.parent_name));
  }
  return finished;
}

}  // namespace kolvex::chunker
