// ParserPool: the grammar loader and parser cache of one worker.
//
// The first parse of a language builds its parser: the grammar module is bound
// (dlopen) and the runtime is handed its language; every later parse of that
// language reuses the parser. A failed build stores nothing and is tried again in
// full by the next parse (no negative cache). Missing or unloadable grammars raise
// SyntaxDependencyError instead of giving an empty tree.
//
// Not thread-safe: a pool, its parsers and the trees it returns belong to one
// worker. Separate workers use separate pools.
#pragma once

#include <tree_sitter/api.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "syntax/parse_tree.h"

namespace kolvex::syntax {

class ParserPool {
 public:
  ParserPool();
  ~ParserPool();
  ParserPool(const ParserPool&) = delete;
  ParserPool& operator=(const ParserPool&) = delete;
  ParserPool(ParserPool&&) noexcept;
  ParserPool& operator=(ParserPool&&) noexcept;

  // A full parse of `source` (handed to the parser as it is, not validated) with
  // the language's parser, built on first use. Offsets, rows and byte columns of
  // the tree refer to exactly these bytes. Throws the ValueError of `selection`,
  // SyntaxDependencyError when the grammar cannot be bound, core::ValueError for
  // a source of 4 GiB or more, and core::RuntimeError when the runtime gives no tree.
  ParseTree parse(std::string_view language, std::string_view source);

  // Languages whose parser has been built (for diagnostics and tests).
  std::size_t size() const noexcept { return parsers_.size(); }
  bool contains(std::string_view language) const { return parsers_.find(language) != parsers_.end(); }

 private:
  struct ParserDeleter {
    void operator()(TSParser* parser) const noexcept { ts_parser_delete(parser); }
  };
  using OwnedParser = std::unique_ptr<TSParser, ParserDeleter>;

  static OwnedParser build_parser(std::string_view language);

  std::map<std::string, OwnedParser, std::less<>> parsers_;
};

}  // namespace kolvex::syntax
