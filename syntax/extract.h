// Extraction entry: the bytes of one captured file to one ParsedSyntax.
//
// Grammar and runtime problems are errors; bytes that are not UTF-8 are the
// outcome "failed". Uses the caller's pool, so it runs on the pool's worker.
#pragma once

#include <optional>
#include <string_view>

#include "syntax/parse_tree.h"
#include "syntax/parser_pool.h"
#include "syntax/records.h"

namespace kolvex::syntax {

// The reason of a "partial" file.
inline constexpr std::string_view PARTIAL_REASON = "grammar produced error or missing nodes";

// Computes the grammar identity (its errors end the call first), the file hash,
// checks the bytes as strict UTF-8 ("failed" with no tree on the first invalid
// sequence, pool untouched), parses with `pool` unless `tree` is supplied (a
// supplied tree is used unchanged; the caller promises it was parsed from these
// bytes with this language), walks the tree and classifies the file as "parsed"
// or "partial": a tree with error or missing nodes has PARTIAL_REASON, a walk
// that met its bounds (walk.h) its bound reason, both joined by "; ".
ParsedSyntax extract_file(std::string_view file_path, std::string_view source,
                          std::string_view language, ParserPool& pool,
                          std::optional<ParseTree> tree = std::nullopt);

}  // namespace kolvex::syntax
