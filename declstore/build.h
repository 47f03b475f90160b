// The syntax snapshot build: a run's manifest to a fresh syntax database.
//
// build_declstore creates the database anew (an existing file is replaced), runs
// the schema script, and writes one syntax_files row per manifest entry and the
// syntax_symbols rows of every captured file of a known language, all in one
// transaction. A captured file whose path the previous snapshot holds with the
// same file hash under the same grammar identity is carried forward: its rows are
// copied unchanged, declaration ids included, without extracting it again. Every
// other captured file is read from its copy (never from the working tree) and
// extracted with the run's parser pool.
//
// The shared-parse callback receives, in manifest order, the bytes and a parse
// tree of each captured file whose path is in `parse_for`: the extraction's own
// tree, or one fresh parse for a carried-forward file or one whose bytes are not
// UTF-8. The tree is valid only during the call.
//
// Any failure (grammar errors, unreadable copies, database errors, an exception
// from the callback) ends the build with nothing committed; the database file
// then holds only the empty tables.
//
// Thread-safety: runs on the caller's thread; the pool and the previous snapshot
// connection are lent for the call and used only on that thread.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "declstore/capture.h"
#include "declstore/schema.h"

namespace kolvex::core {
class Connection;
}

namespace kolvex::syntax {
class ParserPool;
class ParseTree;
}  // namespace kolvex::syntax

namespace kolvex::declstore {

// Called with the manifest entry, the bytes of its copy and a tree of those bytes.
using ParsedCallback =
    std::function<void(const CapturedFile& captured, std::string_view data, const syntax::ParseTree& tree)>;

struct BuildOptions {
  // The previously published snapshot (read only, never closed here); null: none.
  // A snapshot without syntax_files is treated like none.
  core::Connection* previous = nullptr;
  // Paths whose parse tree the callback wants, compared exactly with file_path.
  std::unordered_set<std::string> parse_for;
  // The shared-parse callback; without it parse_for has no effect.
  ParsedCallback on_parsed;
};

// Builds the syntax database at `db_path` (parent directories created) from
// `manifest`. Throws whatever failed; see the header comment.
SyntaxBuildReport build_declstore(const std::filesystem::path& db_path, const SourceManifest& manifest,
                                  syntax::ParserPool& pool, const BuildOptions& options = {});

}  // namespace kolvex::declstore
