#include "chunker/chunk_file.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <utility>

#include "chunker/windows.h"
#include "core/text.h"
#include "syntax/parse_tree.h"
#include "syntax/parser_pool.h"
#include "syntax/records.h"

namespace kolvex::chunker {

const std::array<DefNodeTypesRow, 6> DEF_NODE_TYPES = {{
    {"python", {"function_definition", "class_definition", "decorated_definition"}},
    {"typescript", {"function_declaration", "class_declaration", "method_definition"}},
    {"tsx", {"function_declaration", "class_declaration", "method_definition"}},
    {"java", {"method_declaration", "class_declaration", "interface_declaration"}},
    {"kotlin", {"function_declaration", "class_declaration"}},
    {"swift", {"function_declaration", "class_declaration", "protocol_declaration"}},
}};

namespace {

constexpr std::string_view DECORATED_DEFINITION = "decorated_definition";
constexpr std::string_view NAME_FIELD = "name";

bool contains(const std::vector<std::string_view>& types, std::string_view type) {
  return std::find(types.begin(), types.end(), type) != types.end();
}

bool is_class_type(std::string_view type) {
  return std::find(CLASS_NODE_TYPES.begin(), CLASS_NODE_TYPES.end(), type) != CLASS_NODE_TYPES.end();
}

std::string_view type_of(TSNode node) { return ts_node_type(node); }

std::int64_t start_line(TSNode node) { return static_cast<std::int64_t>(ts_node_start_point(node).row) + 1; }

// The node's text, cut from the source bytes and decoded strictly.
std::string node_text(TSNode node, std::string_view source) {
  return syntax::slice_text(source, ts_node_start_byte(node), ts_node_end_byte(node));
}

// A text is oversized when its estimate exceeds the body budget.
bool oversized(std::string_view text) { return tokens(text) > EFFECTIVE_MAX_TOKENS; }

// Windows of `text` numbered from `base_line`, each a chunk with `symbol` and `parent`.
void append_windows(std::vector<Chunk>& out, std::string_view text, std::int64_t base_line,
                    std::string_view rel_path, std::string_view language, std::string_view file_hash,
                    const std::optional<std::string>& symbol, const std::optional<std::string>& parent) {
  for (Window& window : window_lines(core::splitlines(text), base_line)) {
    out.push_back(make_chunk(rel_path, language, file_hash, std::move(window.text), window.start_line,
                             window.end_line, symbol, parent));
  }
}

// The chunks of a file that is cut into whole-file windows: never merged.
std::vector<Chunk> whole_file_windows(std::string_view rel_path, std::string_view source,
                                      std::string_view file_hash, std::string_view language) {
  return apply_headers(fixed_windows(rel_path, language, file_hash, source), rel_path);
}

}  // namespace

const std::vector<std::string_view>* def_node_types(std::string_view language) noexcept {
  for (const DefNodeTypesRow& row : DEF_NODE_TYPES) {
    if (row.language == language) return &row.types;
  }
  return nullptr;
}

bool has_def_node_types(std::string_view language) noexcept { return def_node_types(language) != nullptr; }

std::int64_t end_line(TSNode node) noexcept {
  TSPoint end = ts_node_end_point(node);
  return end.column == 0 ? static_cast<std::int64_t>(end.row) : static_cast<std::int64_t>(end.row) + 1;
}

std::vector<TSNode> walk(TSNode node) {
  // A cursor instead of recursion: deeply nested code cannot exhaust the stack.
  std::vector<TSNode> nodes;
  TSTreeCursor cursor = ts_tree_cursor_new(node);
  std::unique_ptr<TSTreeCursor, void (*)(TSTreeCursor*)> guard(&cursor, ts_tree_cursor_delete);
  if (!ts_tree_cursor_goto_first_child(&cursor)) return nodes;
  std::size_t depth = 1;
  while (depth > 0) {
    nodes.push_back(ts_tree_cursor_current_node(&cursor));
    if (ts_tree_cursor_goto_first_child(&cursor)) {
      ++depth;
      continue;
    }
    while (depth > 0 && !ts_tree_cursor_goto_next_sibling(&cursor)) {
      ts_tree_cursor_goto_parent(&cursor);
      --depth;
    }
  }
  return nodes;
}

std::optional<std::string> node_name(TSNode node, std::string_view source) {
  TSNode name = ts_node_child_by_field_name(node, NAME_FIELD.data(), static_cast<std::uint32_t>(NAME_FIELD.size()));
  if (!ts_node_is_null(name)) {
    std::size_t start = std::min<std::size_t>(ts_node_start_byte(name), source.size());
    std::size_t end = std::min<std::size_t>(ts_node_end_byte(name), source.size());
    if (end < start) end = start;
    return core::decode_utf8_replace(source.substr(start, end - start));
  }
  // A node without a name field (a decorated definition) is named after its
  // first child that declares a class, a function or a method.
  std::uint32_t count = ts_node_child_count(node);
  for (std::uint32_t k = 0; k < count; ++k) {
    TSNode child = ts_node_child(node, k);
    std::string_view type = type_of(child);
    bool declaration = core::ends_with(type, "_definition") || core::ends_with(type, "_declaration");
    bool qualifies = is_class_type(type) || type.find("function") != std::string_view::npos ||
                     type.find("method") != std::string_view::npos;
    if (declaration && qualifies) return node_name(child, source);
  }
  return std::nullopt;
}

std::vector<Chunk> split_oversized_def(TSNode node, std::string_view text, std::string_view source,
                                       std::string_view rel_path, std::string_view language,
                                       std::string_view file_hash) {
  std::vector<Chunk> chunks;
  append_windows(chunks, text, start_line(node), rel_path, language, file_hash, node_name(node, source),
                 std::nullopt);
  return chunks;
}

std::vector<Chunk> split_class(TSNode node, std::string_view source, std::string_view rel_path,
                               std::string_view language, std::string_view file_hash) {
  std::optional<std::string> class_name = node_name(node, source);
  const std::vector<std::string_view>* types = def_node_types(language);
  std::vector<TSNode> methods;
  if (types) {
    for (TSNode descendant : walk(node)) {
      std::string_view type = type_of(descendant);
      if (contains(*types, type) && !is_class_type(type)) methods.push_back(descendant);
    }
  }

  std::vector<Chunk> chunks;
  if (methods.empty()) {
    std::string text = node_text(node, source);
    if (text.empty()) return chunks;
    if (oversized(text)) {
      append_windows(chunks, text, start_line(node), rel_path, language, file_hash, class_name, class_name);
    } else {
      chunks.push_back(make_chunk(rel_path, language, file_hash, std::move(text), start_line(node),
                                  end_line(node), class_name));
    }
    return chunks;
  }

  for (TSNode method : methods) {
    std::optional<std::string> symbol = node_name(method, source);
    std::string text = node_text(method, source);
    if (text.empty()) continue;
    if (oversized(text)) {
      append_windows(chunks, text, start_line(method), rel_path, language, file_hash, symbol, class_name);
    } else {
      chunks.push_back(make_chunk(rel_path, language, file_hash, std::move(text), start_line(method),
                                  end_line(method), std::move(symbol), class_name));
    }
  }
  return chunks;
}

std::vector<Chunk> chunk_file(std::string_view rel_path, std::string_view given_source,
                              std::string_view file_hash, std::string_view language,
                              const ChunkFileOptions& options) {
  // The chunker reads text. Bytes that are not UTF-8 are read as their replaced
  // text, as every caller decodes a file; a tree made from the raw bytes would
  // not fit that text, so it is left aside and the text parsed here.
  const syntax::ParseTree* tree = options.tree;
  std::string replaced;
  std::string_view source = given_source;
  if (!core::is_valid_utf8(given_source)) {
    replaced = core::decode_utf8_replace(given_source);
    source = replaced;
    tree = nullptr;
  }

  const std::vector<std::string_view>* types = def_node_types(language);
  if (!types) return whole_file_windows(rel_path, source, file_hash, language);

  // Valid UTF-8 text is its own encoding: these are the bytes trees refer to.
  std::string_view bytes = source;
  std::optional<syntax::ParseTree> own_tree;
  if (!tree) {
    std::optional<syntax::ParserPool> own_pool;
    syntax::ParserPool* pool = options.pool;
    if (!pool) pool = &own_pool.emplace();
    own_tree.emplace(pool->parse(language, bytes));
    tree = &*own_tree;
  }

  TSNode root = tree->root_node();
  std::vector<TSNode> candidates;
  std::uint32_t count = ts_node_child_count(root);
  for (std::uint32_t k = 0; k < count; ++k) {
    TSNode child = ts_node_child(root, k);
    if (contains(*types, type_of(child))) candidates.push_back(child);
  }
  if (candidates.empty()) return whole_file_windows(rel_path, source, file_hash, language);

  std::vector<Chunk> chunks;
  for (TSNode candidate : candidates) {
    std::string text = node_text(candidate, bytes);
    if (text.empty()) continue;
    TSNode target = candidate;
    if (type_of(candidate) == DECORATED_DEFINITION && ts_node_child_count(candidate) > 0) {
      target = ts_node_child(candidate, ts_node_child_count(candidate) - 1);
    }
    if (is_class_type(type_of(target)) && oversized(text)) {
      std::vector<Chunk> parts = split_class(target, bytes, rel_path, language, file_hash);
      std::move(parts.begin(), parts.end(), std::back_inserter(chunks));
    } else if (oversized(text)) {
      std::vector<Chunk> parts = split_oversized_def(candidate, text, bytes, rel_path, language, file_hash);
      std::move(parts.begin(), parts.end(), std::back_inserter(chunks));
    } else {
      chunks.push_back(make_chunk(rel_path, language, file_hash, std::move(text), start_line(candidate),
                                  end_line(candidate), node_name(candidate, bytes)));
    }
  }
  return apply_headers(merge_small(chunks), rel_path);
}

}  // namespace kolvex::chunker
