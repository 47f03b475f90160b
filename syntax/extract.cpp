#include "syntax/extract.h"

#include <utility>

#include "core/hash.h"
#include "syntax/languages.h"
#include "syntax/records.h"
#include "syntax/walk.h"

namespace kolvex::syntax {

ParsedSyntax extract_file(std::string_view file_path, std::string_view source,
                          std::string_view language, ParserPool& pool,
                          std::optional<ParseTree> tree) {
  std::string identity = grammar_identity(language);
  std::string file_hash = core::sha256_hex(source);

  if (std::optional<std::string> fault = utf8_fault_text(source)) {
    return ParsedSyntax{std::string(file_path), std::move(file_hash), std::string(language),
                        std::move(identity), std::string(STATE_FAILED), std::move(fault),
                        {}, std::nullopt};
  }

  if (!tree) tree = pool.parse(language, source);
  std::vector<SyntaxSymbol> symbols =
      walk_declarations(language, tree->root_node(), source, file_path, file_hash);

  const bool damaged = tree->has_error();
  return ParsedSyntax{std::string(file_path),
                      std::move(file_hash),
                      std::string(language),
                      std::move(identity),
                      std::string(damaged ? STATE_PARTIAL : STATE_PARSED),
                      damaged ? std::optional<std::string>(PARTIAL_REASON) : std::nullopt,
                      std::move(symbols),
                      std::move(tree)};
}

}  // namespace kolvex::syntax
