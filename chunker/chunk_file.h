// Declaration-boundary chunking: the chunker's entry point.
//
// chunk_file turns the decoded text of one source file into finished chunks
// (context header attached). For the languages of DEF_NODE_TYPES it cuts at the
// top-level declarations of the file's parse tree: a declaration within the
// body budget is one chunk, an oversized class is split per method, any other
// oversized declaration is cut into line windows; small neighbouring chunks are
// then merged. Every other language, and a parsed file without a top-level
// declaration, is cut into whole-file line windows. Node texts are always cut
// from the UTF-8 bytes of the text at the tree's byte offsets.
//
// A supplied tree is never parsed again; without one the file is parsed with the
// supplied pool, or with a pool of the call's own. A missing or broken grammar
// raises syntax::SyntaxDependencyError; it never falls back to windows.
//
// Runs on the caller's thread. The pool and tree belong to the caller's worker and
// must not be used by another call at the same time; the tables are constants.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

#include "chunker/chunk.h"

namespace kolvex::syntax {
class ParserPool;
class ParseTree;
}  // namespace kolvex::syntax

namespace kolvex::chunker {

// Node types that are declarations for the chunker, per language.
struct DefNodeTypesRow {
  std::string_view language;
  std::vector<std::string_view> types;
};
extern const std::array<DefNodeTypesRow, 6> DEF_NODE_TYPES;

// Class-like node types: split per method when oversized, never a method themselves.
inline constexpr std::array<std::string_view, 4> CLASS_NODE_TYPES = {
    "class_definition", "class_declaration", "interface_declaration", "protocol_declaration"};

// The declaration node types of `language`, or null when it has none.
const std::vector<std::string_view>* def_node_types(std::string_view language) noexcept;
bool has_def_node_types(std::string_view language) noexcept;

struct ChunkFileOptions {
  // A parse tree of exactly the bytes of `source` (null: parse them here). A tree
  // made from other bytes is not detected: its offsets would cut the wrong text.
  const syntax::ParseTree* tree = nullptr;
  // The worker's parser pool, used only when no tree is given (null: a pool of this call's own).
  syntax::ParserPool* pool = nullptr;
};

// The finished chunks of one file, in file order (possibly none). `source` is
// the file's decoded text; should it hold bytes that are not UTF-8, they are
// replaced by U+FFFD and a supplied tree is not used (it cannot describe the
// replaced text).
std::vector<Chunk> chunk_file(std::string_view rel_path, std::string_view source, std::string_view file_hash,
                              std::string_view language, const ChunkFileOptions& options = {});

// The building blocks, exposed for their own tests.

// Intermediate chunks of an oversized class: one per method (windows for an
// oversized method), or windows / one chunk of the class when it has no method.
std::vector<Chunk> split_class(TSNode node, std::string_view source, std::string_view rel_path,
                               std::string_view language, std::string_view file_hash);
// Windows of an oversized declaration `node` whose decoded text is `text`;
// `source` is the bytes the node's tree was parsed from.
std::vector<Chunk> split_oversized_def(TSNode node, std::string_view text, std::string_view source,
                                       std::string_view rel_path, std::string_view language,
                                       std::string_view file_hash);
// The declared name (the "name" field's bytes of `source`, decoded with replacement), or the name of
// the first child declaration that is a class, function or method; none otherwise.
std::optional<std::string> node_name(TSNode node, std::string_view source);
// The node's last line, 1-based, inclusive.
std::int64_t end_line(TSNode node) noexcept;
// Every descendant of `node` (not `node` itself) in pre-order.
std::vector<TSNode> walk(TSNode node);

}  // namespace kolvex::chunker
